// A linked 32-bit little-endian ARM ELF executable, as arm-none-eabi-ld
// writes it: its sections and its symbols, nothing more.
#ifndef TRQ_FORMATS_ELF_FILE_H
#define TRQ_FORMATS_ELF_FILE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace elf {

struct ElfSection {
    std::string name;
    uint32_t address = 0;
    uint32_t size = 0;
    bool allocated = false;  // takes memory when the program runs
    bool hasBytes = false;   // false: zero-filled (.bss)
    std::vector<uint8_t> bytes;
};

struct ElfSymbol {
    std::string name;
    uint32_t value = 0;
    bool defined = false;
    bool global = false;  // global or weak
    bool function = false;
    std::string section;  // where it is defined
};

struct ElfFile {
    uint32_t entry = 0;
    std::vector<ElfSection> sections;
    std::vector<ElfSymbol> symbols;

    const ElfSection* Section(const std::string& name) const;
    const ElfSymbol* Symbol(const std::string& name) const;
};

// Parses bytes as an ARM ELF executable. On failure says why in error.
bool ReadElfFile(const std::vector<uint8_t>& bytes, ElfFile& elf, std::string& error);

}  // namespace elf

#endif
