#include "formats/wince_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace wince {

using elf::ElfFile;
using elf::ElfSection;
using elf::ElfSymbol;

namespace {

// The layout every Pocket PC accepts: sections on pages of their own in
// memory (pe::kWincePage), on sectors of their own in the file.
constexpr uint32_t kFileAlignment = 0x200;  // one sector
constexpr uint16_t kWindowsCeMajor = 4, kWindowsCeMinor = 20;  // Pocket PC 2003 and later
constexpr uint32_t kStackReserve = 0x10000, kStackCommit = 0x1000;  // Windows CE's defaults
constexpr uint32_t kHeapReserve = 0x100000, kHeapCommit = 0x1000;

// The headers: the DOS header holds only its magic and where the PE header
// starts, right after it. A Pocket PC runs no DOS stub.
constexpr size_t kPeHeaderOffset = 0x40;

struct Import {
    std::string name;  // without the prefix
    uint32_t slot = 0;  // its address in the import address table
};

using pe::Fail;

// The import address table as the linker laid it out: one named 4-byte slot
// after another, filling the section exactly.
bool FindImports(const ElfFile& elf, const ElfSection& iat, const std::vector<std::string>& importable,
                 std::vector<Import>& imports, std::string& error)
{
    const size_t prefix = std::strlen(kImportSlotPrefix);
    for (const ElfSymbol& s : elf.symbols) {
        if (s.name.compare(0, prefix, kImportSlotPrefix) != 0 || !s.defined) continue;
        std::string name = s.name.substr(prefix);
        if (s.section != kImportSection)
            return Fail(error, "import slot " + s.name + " lies outside " + kImportSection);
        if (std::find(importable.begin(), importable.end(), name) == importable.end())
            return Fail(error, "imports " + name + ", which is not one of the device calls");
        for (const Import& earlier : imports)
            if (earlier.name == name) return Fail(error, "imports " + name + " twice");
        imports.push_back({name, s.value});
    }
    if (imports.empty()) return Fail(error, std::string("no import slots in ") + kImportSection);
    std::sort(imports.begin(), imports.end(),
              [](const Import& a, const Import& b) { return a.slot < b.slot; });
    for (size_t i = 0; i < imports.size(); ++i)
        if (imports[i].slot != iat.address + 4 * i)
            return Fail(error, "the import slot at " + pe::Hex(static_cast<uint32_t>(iat.address + 4 * i)) +
                                   " has no " + kImportSlotPrefix + " name");
    if (iat.size != 4 * imports.size())
        return Fail(error, std::string(kImportSection) + " holds " + std::to_string(iat.size) +
                               " bytes, not the " + std::to_string(imports.size()) + " slots named");
    return true;
}

// Every symbol defined, the entry at WinMain in the code, nothing to place
// but the code and the import address table.
bool CheckElf(const ElfFile& elf, const ElfSection*& code, const ElfSection*& iat, std::string& error)
{
    code = elf.Section(kCodeSection);
    iat = elf.Section(kImportSection);
    if (!code || !code->allocated || !code->hasBytes || code->size == 0)
        return Fail(error, std::string("no ") + kCodeSection + " section: nothing to run");
    if (!iat || !iat->allocated || !iat->hasBytes)
        return Fail(error, std::string("no ") + kImportSection +
                               " section: the import thunks were not linked in");
    for (const ElfSection& s : elf.sections)
        if (s.allocated && s.size && &s != code && &s != iat)
            return Fail(error, "section " + s.name + " (" + std::to_string(s.size) +
                                   " bytes) has no place in the image");
    for (const ElfSymbol& s : elf.symbols)
        if (!s.defined && s.global)
            return Fail(error, "undefined symbol " + s.name +
                                   ": the device code calls COREDLL through import thunks only");
    const ElfSymbol* entry = elf.Symbol(kEntrySymbol);
    if (!entry || !entry->function || entry->section != kCodeSection ||
        entry->value - code->address >= code->size)
        return Fail(error, std::string("no function ") + kEntrySymbol + " in " + kCodeSection);
    if (elf.entry != entry->value)
        return Fail(error, "the ELF entry " + pe::Hex(elf.entry) + " is not " + kEntrySymbol);
    return true;
}

// The rest of the import directory, after the import address table and its
// terminating zero slot: the descriptor of COREDLL.dll and the zero one that
// ends the list, the import lookup table, the hint/name entries, the
// library's name. Every slot of both tables names its hint/name entry.
struct ImportDirectory {
    uint32_t descriptors = 0;  // offsets within the section
    uint32_t tableSize = 0;    // of the import address table, terminator included
};

ImportDirectory AppendImportDirectory(pe::Bytes& section, uint32_t sectionRva,
                                      const std::vector<Import>& imports)
{
    const uint32_t slots = static_cast<uint32_t>(imports.size());
    ImportDirectory dir;
    dir.tableSize = 4 * (slots + 1);
    dir.descriptors = dir.tableSize;
    const uint32_t lookup = dir.descriptors + 2 * static_cast<uint32_t>(pe::SizeOf<pe::ImportDescriptor>());
    uint32_t at = lookup + 4 * (slots + 1);
    section.resize(at);
    for (uint32_t i = 0; i < slots; ++i) {
        const uint32_t hintName = sectionRva + at;
        pe::Put(section, size_t{4} * i, hintName, 4);           // import address table
        pe::Put(section, lookup + size_t{4} * i, hintName, 4);  // import lookup table
        pe::Put(section, at, 0, 2);                             // hint: none, look the name up
        const std::string& name = imports[i].name;
        section.insert(section.end(), name.begin(), name.end());
        section.resize(pe::AlignUp<size_t>(section.size() + 1, 2));
        at = static_cast<uint32_t>(section.size());
    }
    pe::ImportDescriptor coredll;
    coredll.importLookupTable = sectionRva + lookup;
    coredll.name = sectionRva + at;
    coredll.importAddressTable = sectionRva;
    pe::Store(section, dir.descriptors, coredll);
    pe::Store(section, dir.descriptors + pe::SizeOf<pe::ImportDescriptor>(), pe::ImportDescriptor{});
    section.insert(section.end(), kImportLibrary, kImportLibrary + sizeof kImportLibrary);
    return dir;
}

struct PlacedSection {
    const char* name;
    uint32_t characteristics;
    uint32_t rva;
    pe::Bytes bytes;
};

// Each section on its own pages, in order, above the headers' page and
// within the process slot.
bool CheckSectionPlaces(const std::vector<PlacedSection>& sections, std::string& error)
{
    uint32_t end = pe::kWincePage;
    for (const PlacedSection& s : sections) {
        const uint32_t address = pe::kWinceExeBase + s.rva;
        if (s.rva < end || s.rva % pe::kWincePage)
            return Fail(error, std::string("section ") + s.name + " at " + pe::Hex(address) +
                                   " is not on a page of its own above " + pe::Hex(pe::kWinceExeBase + end));
        end = pe::AlignUp<uint32_t>(s.rva + static_cast<uint32_t>(s.bytes.size()), pe::kWincePage);
        if (end < s.rva || uint64_t{pe::kWinceExeBase} + end > pe::kWinceSlotEnd)
            return Fail(error, "the image would end past " + pe::Hex(pe::kWinceSlotEnd) +
                                   ", the end of the 32 MiB process slot");
    }
    return true;
}

// Where everything lies in the file: the headers, each section's bytes on
// sectors of their own after them, in order.
struct FileLayout {
    size_t fileHeader = 0, optionalHeader = 0, sectionTable = 0;
    uint32_t headersSize = 0;
    std::vector<uint32_t> rawOffset, rawSize;  // each section's, in the file
    uint32_t fileSize = 0;
};

FileLayout LayOutFile(const std::vector<PlacedSection>& sections)
{
    FileLayout layout;
    layout.fileHeader = kPeHeaderOffset + 4;  // after the PE signature
    layout.optionalHeader = layout.fileHeader + pe::SizeOf<pe::FileHeader>();
    layout.sectionTable = layout.optionalHeader + pe::SizeOf<pe::OptionalHeader32>();
    layout.headersSize = pe::AlignUp<uint32_t>(
        static_cast<uint32_t>(layout.sectionTable + sections.size() * pe::SizeOf<pe::SectionHeader>()),
        kFileAlignment);
    uint32_t at = layout.headersSize;
    for (const PlacedSection& s : sections) {
        layout.rawOffset.push_back(at);
        layout.rawSize.push_back(pe::AlignUp<uint32_t>(static_cast<uint32_t>(s.bytes.size()), kFileAlignment));
        at += layout.rawSize.back();
    }
    layout.fileSize = at;
    return layout;
}

pe::FileHeader ArmFileHeader(size_t sectionCount)
{
    pe::FileHeader file;
    file.machine = pe::kMachineArm;
    file.numberOfSections = static_cast<uint16_t>(sectionCount);
    file.timeDateStamp = 0;  // the same sources make the same image
    file.sizeOfOptionalHeader = static_cast<uint16_t>(pe::SizeOf<pe::OptionalHeader32>());
    file.characteristics = pe::kRelocsStripped | pe::kExecutableImage | pe::kLineNumsStripped |
                           pe::kLocalSymsStripped | pe::k32BitMachine | pe::kDebugStripped;
    return file;
}

// The code first, then the import address table with the rest of the
// import directory.
pe::OptionalHeader32 WinceOptionalHeader(const std::vector<PlacedSection>& sections, const FileLayout& layout,
                                         uint32_t entryRva, const ImportDirectory& imports)
{
    const PlacedSection& code = sections[0];
    const PlacedSection& iat = sections[1];
    pe::OptionalHeader32 opt;
    opt.magic = pe::kMagicPe32;
    opt.sizeOfCode = layout.rawSize[0];
    for (size_t i = 1; i < sections.size(); ++i) opt.sizeOfInitializedData += layout.rawSize[i];
    opt.addressOfEntryPoint = entryRva;
    opt.baseOfCode = code.rva;
    opt.baseOfData = iat.rva;
    opt.imageBase = pe::kWinceExeBase;
    opt.sectionAlignment = pe::kWincePage;
    opt.fileAlignment = kFileAlignment;
    opt.majorOperatingSystemVersion = opt.majorSubsystemVersion = kWindowsCeMajor;
    opt.minorOperatingSystemVersion = opt.minorSubsystemVersion = kWindowsCeMinor;
    opt.sizeOfImage = pe::AlignUp<uint32_t>(sections.back().rva + static_cast<uint32_t>(sections.back().bytes.size()),
                                            pe::kWincePage);
    opt.sizeOfHeaders = layout.headersSize;
    opt.subsystem = pe::kSubsystemWindowsCeGui;
    opt.sizeOfStackReserve = kStackReserve;
    opt.sizeOfStackCommit = kStackCommit;
    opt.sizeOfHeapReserve = kHeapReserve;
    opt.sizeOfHeapCommit = kHeapCommit;
    opt.numberOfRvaAndSizes = pe::kDataDirectories;
    opt.dataDirectory[pe::kImportDirectory] = {iat.rva + imports.descriptors,
                                               2 * static_cast<uint32_t>(pe::SizeOf<pe::ImportDescriptor>())};
    opt.dataDirectory[pe::kImportAddressTable] = {iat.rva, imports.tableSize};
    return opt;
}

void WriteHeaders(pe::Bytes& image, const FileLayout& layout, const pe::OptionalHeader32& opt, size_t sectionCount)
{
    pe::Put(image, 0, pe::kDosMagic, 2);
    pe::Put(image, pe::kDosPeOffsetField, kPeHeaderOffset, 4);
    pe::Put(image, kPeHeaderOffset, pe::kPeSignature, 4);
    pe::Store(image, layout.fileHeader, ArmFileHeader(sectionCount));
    pe::Store(image, layout.optionalHeader, opt);
}

void WriteSectionTable(pe::Bytes& image, const FileLayout& layout, const std::vector<PlacedSection>& sections)
{
    for (size_t i = 0; i < sections.size(); ++i) {
        const PlacedSection& s = sections[i];
        pe::SectionHeader h;
        std::memcpy(h.name, s.name, std::min(std::strlen(s.name), sizeof h.name));
        h.virtualSize = static_cast<uint32_t>(s.bytes.size());
        h.virtualAddress = s.rva;
        h.sizeOfRawData = layout.rawSize[i];
        h.pointerToRawData = layout.rawOffset[i];
        h.characteristics = s.characteristics;
        pe::Store(image, layout.sectionTable + i * pe::SizeOf<pe::SectionHeader>(), h);
    }
}

// Each section's bytes at its place, zeros to the end of its last sector.
void WriteSectionData(pe::Bytes& image, const FileLayout& layout, const std::vector<PlacedSection>& sections)
{
    for (size_t i = 0; i < sections.size(); ++i)
        std::copy(sections[i].bytes.begin(), sections[i].bytes.end(), image.begin() + layout.rawOffset[i]);
}

void WriteChecksum(pe::Bytes& image, const FileLayout& layout)
{
    const size_t field = layout.optionalHeader + pe::kChecksumOffset;
    pe::Put(image, field, pe::Checksum(image, field), 4);
}

// As a linker writes an image: the layout, the headers, the section table,
// the sections' data, and last the checksum over all of it.
pe::Bytes WriteImage(const std::vector<PlacedSection>& sections, uint32_t entryRva, const ImportDirectory& imports)
{
    const FileLayout layout = LayOutFile(sections);
    pe::Bytes image(layout.fileSize, 0);
    WriteHeaders(image, layout, WinceOptionalHeader(sections, layout, entryRva, imports), sections.size());
    WriteSectionTable(image, layout, sections);
    WriteSectionData(image, layout, sections);
    WriteChecksum(image, layout);
    return image;
}

}  // namespace

bool MakeWinceImage(const ElfFile& elf, const std::vector<std::string>& importable, pe::Bytes& image,
                    std::string& error)
{
    const ElfSection* code = nullptr;
    const ElfSection* iat = nullptr;
    std::vector<Import> imports;
    if (!CheckElf(elf, code, iat, error) || !FindImports(elf, *iat, importable, imports, error))
        return false;
    for (const ElfSection* s : {code, iat})
        if (s->address < pe::kWinceExeBase)
            return Fail(error, "section " + s->name + " at " + pe::Hex(s->address) +
                                   " lies below the image base " + pe::Hex(pe::kWinceExeBase));

    std::vector<PlacedSection> sections = {
        {kCodeSection, pe::kContainsCode | pe::kMemExecute | pe::kMemRead,
         code->address - pe::kWinceExeBase, code->bytes},
        // The loader writes the import address table: readable and writable.
        {kImportSection, pe::kContainsInitializedData | pe::kMemRead | pe::kMemWrite,
         iat->address - pe::kWinceExeBase, iat->bytes}};
    const ImportDirectory directory = AppendImportDirectory(sections[1].bytes, sections[1].rva, imports);
    if (!CheckSectionPlaces(sections, error)) return false;
    image = WriteImage(sections, elf.entry - pe::kWinceExeBase, directory);
    return true;
}

}  // namespace wince
