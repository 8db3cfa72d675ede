// Reading a Pocket PC executable the way Windows CE loads it: the headers
// and each section at the image base, with the protection its section asks
// for, and the list of what it imports.
#ifndef TRQ_HARNESS_EMULATOR_WINCE_LOADER_H
#define TRQ_HARNESS_EMULATOR_WINCE_LOADER_H

#include <cstdint>
#include <string>
#include <vector>

#include "formats/pe_format.h"

namespace emulator {

struct LoadedImage {
    struct Section {
        std::string name;
        uint32_t address = 0;  // page-aligned
        uint32_t size = 0;     // whole pages
        uint32_t access = 0;   // kRead, kWrite, kExecute
    };
    struct Import {
        std::string library;  // as the image spells it
        std::string name;
        uint32_t slot = 0;    // the address of its import address table entry
    };
    uint32_t base = 0;
    pe::Bytes memory;  // the image as loaded, from base on: headers, sections, zeros
    std::vector<Section> sections;  // the headers' page first
    std::vector<Import> imports;
    uint32_t entry = 0;
    uint32_t stackReserve = 0;
};

// What the loader reads of an import directory at most, whatever the file
// says: it stops there, so that no file can make it read on for long or
// hold much. Windows CE executables import from a handful of libraries,
// under names far shorter than this.
constexpr size_t kMostImportLibraries = 16;
constexpr size_t kLongestImportName = 255;  // bytes, library names too

// False, with the reason in error, when the emulated Pocket PC would refuse
// the file: not an ARM Windows CE GUI executable (a DLL is not one), not
// loadable at 0x00010000 as it is, sections outside the image or the file
// or of no size, an entry point outside the code, an import directory
// naming any library but COREDLL.dll (even one it imports nothing from), an
// import by ordinal, a malformed import directory, more than
// kMostImportLibraries libraries, more than mostImports imports in all, a
// name longer than kLongestImportName. What it holds is bounded: the
// image's pages (within the 32 MiB process slot) and at most mostImports
// names. Names from the file appear in error as host::Printable makes them.
bool LoadWinceImage(const pe::Bytes& file, size_t mostImports, LoadedImage& image, std::string& error);

}  // namespace emulator

#endif
