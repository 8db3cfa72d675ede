// The Pocket PC executable's two readers, on any bytes:
//   - as an ARM ELF file for elf-to-wince: an image it makes must load in the
//     emulator's loader with the same entry point and the same imports, each
//     a device call, in the same order;
//   - as an executable for the emulator's loader: one it accepts has its
//     sections in the image, in order, within the process slot, its entry
//     point in code and its import address table in the image, and holds no
//     more than the loader's stated limits: the image's pages within the
//     slot, no more imports than COREDLL serves, no longer names.
// Neither may read or write out of bounds (ASan, UBSan), nor allocate more
// than the slot in one piece (the test runs it with -malloc_limit_mb).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/call_names.h"
#include "formats/wince_image.h"
#include "harness/emulator/arm_machine.h"
#include "harness/emulator/coredll.h"
#include "harness/emulator/wince_loader.h"

namespace {

[[noreturn]] void Broken(const std::string& what)
{
    std::fprintf(stderr, "wince image fuzz: %s\n", what.c_str());
    std::abort();
}

void CheckLoaded(const emulator::LoadedImage& image)
{
    uint64_t end = image.base;
    bool entryInCode = false;
    for (const emulator::LoadedImage::Section& s : image.sections) {
        if (s.address < end || s.address % 0x1000 || s.size % 0x1000) Broken("sections out of order: " + s.name);
        end = uint64_t{s.address} + s.size;
        if (end > image.base + image.memory.size() || end > pe::kWinceSlotEnd) Broken("a section past the image: " + s.name);
        entryInCode = entryInCode || (image.entry >= s.address && image.entry < end && (s.access & emulator::kExecute));
    }
    if (!entryInCode) Broken("the entry point is not in code");
    if (uint64_t{image.base} + image.memory.size() > pe::kWinceSlotEnd) Broken("an image past the process slot");
    if (image.imports.size() > emulator::kExportCount) Broken("more imports than COREDLL serves");
    for (const emulator::LoadedImage::Import& import : image.imports) {
        if (import.slot < image.base || uint64_t{import.slot} + 4 > image.base + image.memory.size())
            Broken("the slot of " + import.name + " lies outside the image");
        // Names are held as printable text: at most four characters a byte.
        if (import.name.size() > 4 * emulator::kLongestImportName ||
            import.library.size() > 4 * emulator::kLongestImportName)
            Broken("a name longer than the loader's limit");
    }
}

void AsElfFile(const pe::Bytes& bytes)
{
    elf::ElfFile elf;
    pe::Bytes made;
    std::string error;
    if (!elf::ReadElfFile(bytes, elf, error) || !wince::MakeWinceImage(elf, device_calls::CallNames(), made, error)) return;
    emulator::LoadedImage image;
    if (!emulator::LoadWinceImage(made, emulator::kExportCount, image, error)) Broken("an image elf-to-wince made does not load: " + error);
    CheckLoaded(image);
    if (image.entry != elf.entry) Broken("the entry point moved");
    std::vector<std::string> slots;
    for (const elf::ElfSymbol& s : elf.symbols)
        if (s.defined && s.name.rfind(wince::kImportSlotPrefix, 0) == 0) slots.push_back(s.name.substr(std::strlen(wince::kImportSlotPrefix)));
    if (slots.size() != image.imports.size()) Broken("imports lost or added");
    for (const emulator::LoadedImage::Import& import : image.imports) {
        if (import.library != wince::kImportLibrary) Broken("an import from " + import.library);
        const elf::ElfSymbol* slot = elf.Symbol(wince::kImportSlotPrefix + import.name);
        if (!slot || slot->value != import.slot) Broken("the slot of " + import.name + " moved");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const pe::Bytes bytes(data, data + size);
    AsElfFile(bytes);
    emulator::LoadedImage image;
    std::string error;
    if (emulator::LoadWinceImage(bytes, emulator::kExportCount, image, error)) CheckLoaded(image);
    return 0;
}
