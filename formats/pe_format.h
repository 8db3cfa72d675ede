// The executable format a Pocket PC loads: a PE32 image for ARM with the
// Windows CE GUI subsystem. The headers are listed here once, field by field
// in file order; elf-to-wince writes them and the ARM emulator reads them
// back through the same lists. Host code only: the device never parses its
// own image.
#ifndef TRQ_FORMATS_PE_FORMAT_H
#define TRQ_FORMATS_PE_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace pe {

// ---------------------------------------------------------------- values --

// Where Windows CE (4.2 to 5.2) loads an executable: at 0x00010000, inside
// the 32 MiB slot of the process's own address space, in pages of 4 KiB.
constexpr uint32_t kWinceExeBase = 0x00010000;
constexpr uint32_t kWinceSlotEnd = 0x02000000;
constexpr uint32_t kWincePage = 0x1000;

// value rounded up to a multiple of alignment: a page, a sector, a word.
template <class T> constexpr T AlignUp(T value, T alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

inline uint64_t PageAlign(uint64_t value)
{
    return AlignUp<uint64_t>(value, kWincePage);
}

// An address or a field as messages write it: 0x00011000.
inline std::string Hex(uint32_t value, int digits = 8)
{
    char text[16];
    (void)std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// How the image's reader and writer refuse: the reason in error, and false.
inline bool Fail(std::string& error, std::string reason)
{
    error = std::move(reason);
    return false;
}

constexpr uint16_t kDosMagic = 0x5A4D;          // "MZ"
constexpr size_t kDosPeOffsetField = 0x3C;      // e_lfanew: where the PE signature is
constexpr uint32_t kPeSignature = 0x00004550;   // "PE\0\0"

// ARM in ARM state, as every Pocket PC runs it (0x01C2 is Thumb, 0x01C4 the
// Thumb-2 of desktop Windows on ARM, which a Pocket PC refuses).
constexpr uint16_t kMachineArm = 0x01C0;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kSubsystemWindowsCeGui = 9;

// File header characteristics.
constexpr uint16_t kRelocsStripped = 0x0001;
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t kLineNumsStripped = 0x0004;
constexpr uint16_t kLocalSymsStripped = 0x0008;
constexpr uint16_t k32BitMachine = 0x0100;
constexpr uint16_t kDebugStripped = 0x0200;
constexpr uint16_t kDll = 0x2000;  // a library, not a program to run

// Section characteristics.
constexpr uint32_t kContainsCode = 0x00000020;
constexpr uint32_t kContainsInitializedData = 0x00000040;
constexpr uint32_t kMemExecute = 0x20000000;
constexpr uint32_t kMemRead = 0x40000000;
constexpr uint32_t kMemWrite = 0x80000000;

// An import lookup entry with this bit imports by ordinal, not by name.
constexpr uint32_t kImportByOrdinal = 0x80000000;

// Where OptionalHeader32::checkSum lies within the optional header.
constexpr size_t kChecksumOffset = 64;

// Data directory indices.
constexpr size_t kImportDirectory = 1;
constexpr size_t kImportAddressTable = 12;
constexpr size_t kDataDirectories = 16;

// --------------------------------------------------------------- headers --

struct FileHeader {
    uint16_t machine = 0;
    uint16_t numberOfSections = 0;
    uint32_t timeDateStamp = 0;
    uint32_t pointerToSymbolTable = 0;
    uint32_t numberOfSymbols = 0;
    uint16_t sizeOfOptionalHeader = 0;
    uint16_t characteristics = 0;
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct OptionalHeader32 {
    uint16_t magic = 0;
    uint8_t majorLinkerVersion = 0;
    uint8_t minorLinkerVersion = 0;
    uint32_t sizeOfCode = 0;
    uint32_t sizeOfInitializedData = 0;
    uint32_t sizeOfUninitializedData = 0;
    uint32_t addressOfEntryPoint = 0;
    uint32_t baseOfCode = 0;
    uint32_t baseOfData = 0;
    uint32_t imageBase = 0;
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    uint16_t majorOperatingSystemVersion = 0;
    uint16_t minorOperatingSystemVersion = 0;
    uint16_t majorImageVersion = 0;
    uint16_t minorImageVersion = 0;
    uint16_t majorSubsystemVersion = 0;
    uint16_t minorSubsystemVersion = 0;
    uint32_t win32VersionValue = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t checkSum = 0;
    uint16_t subsystem = 0;
    uint16_t dllCharacteristics = 0;
    uint32_t sizeOfStackReserve = 0;
    uint32_t sizeOfStackCommit = 0;
    uint32_t sizeOfHeapReserve = 0;
    uint32_t sizeOfHeapCommit = 0;
    uint32_t loaderFlags = 0;
    uint32_t numberOfRvaAndSizes = 0;
    DataDirectory dataDirectory[kDataDirectories];
};

struct SectionHeader {
    char name[8] = {};
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t sizeOfRawData = 0;
    uint32_t pointerToRawData = 0;
    uint32_t pointerToRelocations = 0;
    uint32_t pointerToLinenumbers = 0;
    uint16_t numberOfRelocations = 0;
    uint16_t numberOfLinenumbers = 0;
    uint32_t characteristics = 0;
};

struct ImportDescriptor {
    uint32_t importLookupTable = 0;  // OriginalFirstThunk
    uint32_t timeDateStamp = 0;
    uint32_t forwarderChain = 0;
    uint32_t name = 0;               // RVA of the library's name
    uint32_t importAddressTable = 0; // FirstThunk
};

// Each header's fields in file order, for Store and Load.
template <class V> void Fields(V& v, FileHeader& h)
{
    v(h.machine), v(h.numberOfSections), v(h.timeDateStamp), v(h.pointerToSymbolTable),
        v(h.numberOfSymbols), v(h.sizeOfOptionalHeader), v(h.characteristics);
}

template <class V> void Fields(V& v, OptionalHeader32& h)
{
    v(h.magic), v(h.majorLinkerVersion), v(h.minorLinkerVersion), v(h.sizeOfCode),
        v(h.sizeOfInitializedData), v(h.sizeOfUninitializedData), v(h.addressOfEntryPoint),
        v(h.baseOfCode), v(h.baseOfData), v(h.imageBase), v(h.sectionAlignment),
        v(h.fileAlignment), v(h.majorOperatingSystemVersion), v(h.minorOperatingSystemVersion),
        v(h.majorImageVersion), v(h.minorImageVersion), v(h.majorSubsystemVersion),
        v(h.minorSubsystemVersion), v(h.win32VersionValue), v(h.sizeOfImage), v(h.sizeOfHeaders),
        v(h.checkSum), v(h.subsystem), v(h.dllCharacteristics), v(h.sizeOfStackReserve),
        v(h.sizeOfStackCommit), v(h.sizeOfHeapReserve), v(h.sizeOfHeapCommit), v(h.loaderFlags),
        v(h.numberOfRvaAndSizes);
    for (DataDirectory& d : h.dataDirectory) v(d.rva), v(d.size);
}

template <class V> void Fields(V& v, SectionHeader& h)
{
    for (char& c : h.name) v(c);
    v(h.virtualSize), v(h.virtualAddress), v(h.sizeOfRawData), v(h.pointerToRawData),
        v(h.pointerToRelocations), v(h.pointerToLinenumbers), v(h.numberOfRelocations),
        v(h.numberOfLinenumbers), v(h.characteristics);
}

template <class V> void Fields(V& v, ImportDescriptor& h)
{
    v(h.importLookupTable), v(h.timeDateStamp), v(h.forwarderChain), v(h.name),
        v(h.importAddressTable);
}

// ------------------------------------------------------- bytes on file --

using Bytes = std::vector<uint8_t>;

// Little-endian integers at an offset; Store grows bytes as needed.
inline void Put(Bytes& bytes, size_t offset, uint64_t value, size_t size)
{
    if (bytes.size() < offset + size) bytes.resize(offset + size);
    for (size_t i = 0; i < size; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// False when the field runs past the end.
inline bool Get(const Bytes& bytes, size_t offset, uint64_t& value, size_t size)
{
    if (offset > bytes.size() || bytes.size() - offset < size) return false;
    value = 0;
    for (size_t i = 0; i < size; ++i) value |= uint64_t{bytes[offset + i]} << (8 * i);
    return true;
}

namespace detail {

struct Counter {
    size_t size = 0;
    template <class F> void operator()(F&) { size += sizeof(F); }
};

struct Writer {
    Bytes& bytes;
    size_t at;
    template <class F> void operator()(F& field)
    {
        Put(bytes, at, static_cast<uint64_t>(field), sizeof(F));
        at += sizeof(F);
    }
};

struct Reader {
    const Bytes& bytes;
    size_t at;
    bool ok = true;
    template <class F> void operator()(F& field)
    {
        uint64_t value = 0;
        ok = ok && Get(bytes, at, value, sizeof(F));
        field = static_cast<F>(value);
        at += sizeof(F);
    }
};

}  // namespace detail

// The size of a header on file.
template <class H> size_t SizeOf()
{
    detail::Counter counter;
    H header;
    Fields(counter, header);
    return counter.size;
}

template <class H> void Store(Bytes& bytes, size_t offset, H header)
{
    detail::Writer writer{bytes, offset};
    Fields(writer, header);
}

// False when the header runs past the end of bytes.
template <class H> bool Load(const Bytes& bytes, size_t offset, H& header)
{
    detail::Reader reader{bytes, offset};
    Fields(reader, header);
    return reader.ok;
}

// The PE checksum: 16-bit words summed with their carries folded back in,
// the checksum field itself counted as zero, plus the file's length.
inline uint32_t Checksum(const Bytes& image, size_t checksumOffset)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2) continue;
        uint32_t word = image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + image.size());
}

}  // namespace pe

#endif
