// The Pocket PC executable made from a linked ARM ELF file: a PE32 image for
// ARM, Windows CE GUI, loaded at 0x00010000 as it is (no relocations), which
// imports by name from COREDLL.dll alone.
#ifndef TRQ_FORMATS_WINCE_IMAGE_H
#define TRQ_FORMATS_WINCE_IMAGE_H

#include <string>
#include <vector>

#include "formats/elf_file.h"
#include "formats/pe_format.h"

namespace wince {

using elf::ElfFile;

// What the linker script promises and the image relies on.
constexpr char kCodeSection[] = ".text";     // code and constants
constexpr char kImportSection[] = ".idata";  // the import address table, one slot per call
constexpr char kImportSlotPrefix[] = "__imp_";
constexpr char kEntrySymbol[] = "WinMain";
constexpr char kImportLibrary[] = "COREDLL.dll";

// Makes the image. importable: the only names the image may import. False,
// with the reason in error, when the ELF file is not what the linker script
// makes or the image would not load on a Pocket PC.
bool MakeWinceImage(const ElfFile& elf, const std::vector<std::string>& importable,
                    pe::Bytes& image, std::string& error);

}  // namespace wince

#endif
