#include "harness/emulator/wince_loader.h"

#include <algorithm>
#include <cstdio>

#include "formats/host_file.h"
#include "harness/emulator/arm_machine.h"
#include "harness/emulator/coredll.h"

namespace emulator {

namespace {

using pe::Fail;

// A NUL-terminated name at rva within the loaded image, of at most
// kLongestImportName bytes. False, with error, otherwise.
bool NameAt(const pe::Bytes& memory, uint32_t rva, const std::string& what, std::string& name,
            std::string& error)
{
    name.clear();
    for (uint64_t at = rva; at < memory.size(); ++at) {
        if (!memory[at]) return true;
        if (name.size() == kLongestImportName)
            return Fail(error, what + " \"" + host::Printable(name) + "...\" is longer than " +
                                   std::to_string(kLongestImportName) + " bytes");
        name.push_back(static_cast<char>(memory[at]));
    }
    return Fail(error, what + " runs past the image");
}

bool CheckHeaders(const pe::FileHeader& file, const pe::OptionalHeader32& opt, std::string& error)
{
    if (file.machine != pe::kMachineArm)
        return Fail(error, "machine " + pe::Hex(file.machine, 4) + " is not ARM (0x01C0)");
    if (!(file.characteristics & pe::kExecutableImage)) return Fail(error, "not an executable image");
    if (file.characteristics & pe::kDll) return Fail(error, "a DLL, not an executable");
    if (opt.magic != pe::kMagicPe32) return Fail(error, "not a PE32 image");
    if (opt.subsystem != pe::kSubsystemWindowsCeGui)
        return Fail(error, "subsystem " + std::to_string(opt.subsystem) + " is not Windows CE GUI (9)");
    if (opt.imageBase != pe::kWinceExeBase)
        return Fail(error, "image base " + pe::Hex(opt.imageBase) + ": Windows CE loads an executable at " +
                               pe::Hex(pe::kWinceExeBase) + " and this loader relocates nothing");
    if (opt.sectionAlignment != pe::kWincePage)
        return Fail(error, "section alignment " + pe::Hex(opt.sectionAlignment) + " is not a page");
    if (opt.sizeOfImage == 0 || uint64_t{opt.imageBase} + opt.sizeOfImage > pe::kWinceSlotEnd)
        return Fail(error, "an image of " + std::to_string(opt.sizeOfImage) +
                               " bytes does not fit in the 32 MiB process slot");
    if (opt.sizeOfHeaders == 0 || opt.sizeOfHeaders > opt.sizeOfImage)
        return Fail(error, "headers of " + std::to_string(opt.sizeOfHeaders) + " bytes");
    return true;
}

uint32_t AccessOf(uint32_t characteristics)
{
    return (characteristics & pe::kMemRead ? kRead : 0) | (characteristics & pe::kMemWrite ? kWrite : 0) |
           (characteristics & pe::kMemExecute ? kExecute : 0);
}

// Copies each section to its place; sections must follow one another on
// pages of their own, after the headers, within the image.
bool LoadSections(const pe::Bytes& file, size_t table, uint16_t count, LoadedImage& image,
                  std::string& error)
{
    uint32_t end = image.sections[0].size;
    for (uint16_t i = 0; i < count; ++i) {
        pe::SectionHeader h;
        if (!pe::Load(file, table + i * pe::SizeOf<pe::SectionHeader>(), h))
            return Fail(error, "the section table runs past the end of the file");
        LoadedImage::Section s;
        s.name = host::Printable(std::string(h.name, std::find(h.name, h.name + sizeof h.name, '\0')));
        s.address = image.base + h.virtualAddress;
        const uint64_t size = pe::PageAlign(std::max(h.virtualSize, h.sizeOfRawData));
        s.access = AccessOf(h.characteristics);
        if (size == 0) return Fail(error, "section " + s.name + " at " + pe::Hex(s.address) + " has no size");
        if (h.virtualAddress % pe::kWincePage || h.virtualAddress < end)
            return Fail(error, "section " + s.name + " at " + pe::Hex(s.address) +
                                   " does not follow the one before on a page of its own");
        if (h.virtualAddress + size > image.memory.size())
            return Fail(error, "section " + s.name + " ends past the end of the image");
        s.size = static_cast<uint32_t>(size);
        const uint32_t copied = std::min(h.virtualSize ? h.virtualSize : h.sizeOfRawData, h.sizeOfRawData);
        if (uint64_t{h.pointerToRawData} + copied > file.size())
            return Fail(error, "section " + s.name + " runs past the end of the file");
        std::copy_n(file.begin() + h.pointerToRawData, copied, image.memory.begin() + h.virtualAddress);
        end = h.virtualAddress + s.size;
        image.sections.push_back(s);
    }
    return true;
}

// The imports of one library: its lookup table of names (or its address
// table, when it has none) and its address table, up to a zero entry.
bool LoadLibraryImports(const pe::ImportDescriptor& d, size_t mostImports, LoadedImage& image,
                        std::string& error)
{
    std::string library;
    if (!NameAt(image.memory, d.name, "an import library's name", library, error)) return false;
    library = host::Printable(library);
    // Whether or not it imports anything from it: a library it names must be there.
    if (!IsCoredll(library))
        return Fail(error, "imports from " + library +
                               ", a library the emulated Pocket PC does not have (it has COREDLL.dll alone)");
    const uint32_t lookup = d.importLookupTable ? d.importLookupTable : d.importAddressTable;
    for (uint32_t i = 0;; ++i) {
        uint64_t entry = 0;
        if (!pe::Get(image.memory, uint64_t{lookup} + uint64_t{4} * i, entry, 4))
            return Fail(error, "the imports from " + library + " run past the image");
        if (!entry) return true;
        if (image.imports.size() == mostImports)
            return Fail(error, "more than " + std::to_string(mostImports) +
                                   " imports, the most the emulated COREDLL.dll has names for");
        if (entry & pe::kImportByOrdinal)
            return Fail(error, "imports ordinal " + std::to_string(entry & 0xFFFF) + " from " + library +
                                   ": only imports by name are served");
        if (uint64_t{d.importAddressTable} + uint64_t{4} * i + 4 > image.memory.size())
            return Fail(error, "the import address table of " + library + " runs past the image");
        LoadedImage::Import import{library, "", image.base + d.importAddressTable + 4 * i};
        if (!NameAt(image.memory, static_cast<uint32_t>(entry) + 2, "an import's name from " + library,
                    import.name, error))
            return false;
        import.name = host::Printable(import.name);
        image.imports.push_back(import);
    }
}

// The import directory: one descriptor per library, until an all-zero one.
bool LoadImports(const pe::OptionalHeader32& opt, size_t mostImports, LoadedImage& image, std::string& error)
{
    if (opt.numberOfRvaAndSizes <= pe::kImportDirectory) return true;
    const pe::DataDirectory dir = opt.dataDirectory[pe::kImportDirectory];
    if (!dir.rva) return true;
    const size_t size = pe::SizeOf<pe::ImportDescriptor>();
    for (size_t n = 0;; ++n) {
        pe::ImportDescriptor d;
        if (!pe::Load(image.memory, dir.rva + uint64_t{n} * size, d))
            return Fail(error, "the import directory runs past the image");
        if (!d.importLookupTable && !d.name && !d.importAddressTable) return true;
        if (n == kMostImportLibraries)
            return Fail(error, "imports from more than " + std::to_string(kMostImportLibraries) + " libraries");
        if (!LoadLibraryImports(d, mostImports, image, error)) return false;
    }
}

}  // namespace

bool LoadWinceImage(const pe::Bytes& file, size_t mostImports, LoadedImage& image, std::string& error)
{
    image = LoadedImage{};
    uint64_t magic = 0, peOffset = 0, signature = 0;
    if (!pe::Get(file, 0, magic, 2) || magic != pe::kDosMagic)
        return Fail(error, "not an executable: no MZ header");
    if (!pe::Get(file, pe::kDosPeOffsetField, peOffset, 4) || !pe::Get(file, peOffset, signature, 4) ||
        signature != pe::kPeSignature)
        return Fail(error, "not a PE image: no PE signature");
    pe::FileHeader fileHeader;
    pe::OptionalHeader32 opt;
    const size_t optional = peOffset + 4 + pe::SizeOf<pe::FileHeader>();
    if (!pe::Load(file, peOffset + 4, fileHeader) ||
        fileHeader.sizeOfOptionalHeader < pe::SizeOf<pe::OptionalHeader32>() || !pe::Load(file, optional, opt))
        return Fail(error, "the PE headers run past the end of the file");
    if (!CheckHeaders(fileHeader, opt, error)) return false;
    if (opt.sizeOfHeaders > file.size()) return Fail(error, "the headers run past the end of the file");

    image.base = opt.imageBase;
    image.memory.assign(pe::PageAlign(opt.sizeOfImage), 0);  // within the slot: checked
    std::copy_n(file.begin(), opt.sizeOfHeaders, image.memory.begin());
    image.sections.push_back({"headers", image.base, static_cast<uint32_t>(pe::PageAlign(opt.sizeOfHeaders)), kRead});
    if (!LoadSections(file, optional + fileHeader.sizeOfOptionalHeader, fileHeader.numberOfSections, image,
                      error) ||
        !LoadImports(opt, mostImports, image, error))
        return false;

    image.entry = image.base + opt.addressOfEntryPoint;
    image.stackReserve = opt.sizeOfStackReserve;
    for (const LoadedImage::Section& s : image.sections)
        if (image.entry >= s.address && image.entry - s.address < s.size && (s.access & kExecute)) return true;
    return Fail(error, "the entry point " + pe::Hex(image.entry) + " is not in a code section");
}

}  // namespace emulator
