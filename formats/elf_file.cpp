#include "formats/elf_file.h"

#include <elf.h>

#include <cstring>

namespace elf {

namespace {

// A structure of the file at offset, or false when it runs past the end.
template <class T> bool ReadAt(const std::vector<uint8_t>& bytes, uint64_t offset, T& out)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, bytes.data() + offset, sizeof(T));
    return true;
}

// A NUL-terminated name in a string table section.
bool NameAt(const std::vector<uint8_t>& bytes, const Elf32_Shdr& table, uint32_t index,
            std::string& name)
{
    if (index >= table.sh_size || table.sh_offset > bytes.size() ||
        bytes.size() - table.sh_offset < table.sh_size)
        return false;
    const char* start = reinterpret_cast<const char*>(bytes.data() + table.sh_offset);
    const void* end = std::memchr(start + index, 0, table.sh_size - index);
    if (!end) return false;
    name.assign(start + index, static_cast<const char*>(end));
    return true;
}

bool CheckHeader(const Elf32_Ehdr& h, std::string& error)
{
    if (std::memcmp(h.e_ident, ELFMAG, SELFMAG) != 0) error = "not an ELF file";
    else if (h.e_ident[EI_CLASS] != ELFCLASS32) error = "not a 32-bit ELF file";
    else if (h.e_ident[EI_DATA] != ELFDATA2LSB) error = "not a little-endian ELF file";
    else if (h.e_machine != EM_ARM) error = "not an ARM ELF file";
    else if (h.e_type != ET_EXEC) error = "not a linked executable (ELF type " + std::to_string(h.e_type) + ")";
    else if (h.e_shentsize != sizeof(Elf32_Shdr)) error = "unexpected section header size";
    else return true;
    return false;
}

bool ReadSymbols(const std::vector<uint8_t>& bytes, const std::vector<Elf32_Shdr>& headers,
                 const Elf32_Shdr& symtab, ElfFile& elf, std::string& error)
{
    if (symtab.sh_link >= headers.size() || symtab.sh_entsize != sizeof(Elf32_Sym)) {
        error = "malformed symbol table";
        return false;
    }
    const Elf32_Shdr& names = headers[symtab.sh_link];
    for (uint32_t i = 1; i < symtab.sh_size / sizeof(Elf32_Sym); ++i) {
        Elf32_Sym s;
        ElfSymbol symbol;
        if (!ReadAt(bytes, uint64_t{symtab.sh_offset} + i * sizeof(Elf32_Sym), s) ||
            !NameAt(bytes, names, s.st_name, symbol.name)) {
            error = "symbol " + std::to_string(i) + " runs past the end of the file";
            return false;
        }
        const int type = ELF32_ST_TYPE(s.st_info), binding = ELF32_ST_BIND(s.st_info);
        if (type == STT_SECTION || type == STT_FILE || symbol.name.empty()) continue;
        symbol.value = s.st_value;
        symbol.defined = s.st_shndx != SHN_UNDEF;
        symbol.global = binding == STB_GLOBAL || binding == STB_WEAK;
        symbol.function = type == STT_FUNC;
        if (symbol.defined && s.st_shndx < elf.sections.size())
            symbol.section = elf.sections[s.st_shndx].name;
        elf.symbols.push_back(symbol);
    }
    return true;
}

}  // namespace

const ElfSection* ElfFile::Section(const std::string& name) const
{
    for (const ElfSection& s : sections)
        if (s.name == name) return &s;
    return nullptr;
}

const ElfSymbol* ElfFile::Symbol(const std::string& name) const
{
    for (const ElfSymbol& s : symbols)
        if (s.name == name && s.defined) return &s;
    return nullptr;
}

bool ReadElfFile(const std::vector<uint8_t>& bytes, ElfFile& elf, std::string& error)
{
    elf = ElfFile{};
    Elf32_Ehdr header;
    if (!ReadAt(bytes, 0, header)) {
        error = "too short for an ELF file";
        return false;
    }
    if (!CheckHeader(header, error)) return false;
    elf.entry = header.e_entry;

    std::vector<Elf32_Shdr> headers(header.e_shnum);
    for (uint32_t i = 0; i < header.e_shnum; ++i)
        if (!ReadAt(bytes, uint64_t{header.e_shoff} + i * sizeof(Elf32_Shdr), headers[i])) {
            error = "section header " + std::to_string(i) + " runs past the end of the file";
            return false;
        }
    if (header.e_shstrndx >= headers.size()) {
        error = "no section name table";
        return false;
    }

    const Elf32_Shdr* symtab = nullptr;
    for (const Elf32_Shdr& h : headers) {
        ElfSection section;
        if (!NameAt(bytes, headers[header.e_shstrndx], h.sh_name, section.name)) {
            error = "a section name runs past the end of the file";
            return false;
        }
        section.address = h.sh_addr;
        section.size = h.sh_size;
        section.allocated = h.sh_flags & SHF_ALLOC;
        section.hasBytes = h.sh_type != SHT_NOBITS;
        if (section.allocated && section.hasBytes) {
            if (h.sh_offset > bytes.size() || bytes.size() - h.sh_offset < h.sh_size) {
                error = "section " + section.name + " runs past the end of the file";
                return false;
            }
            section.bytes.assign(bytes.begin() + h.sh_offset, bytes.begin() + h.sh_offset + h.sh_size);
        }
        if (h.sh_type == SHT_SYMTAB) symtab = &h;
        elf.sections.push_back(std::move(section));
    }
    if (!symtab) {
        error = "no symbol table (was the ELF file stripped?)";
        return false;
    }
    return ReadSymbols(bytes, headers, *symtab, elf, error);
}

}  // namespace elf
