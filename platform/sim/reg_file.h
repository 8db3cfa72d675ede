// The registry of a device image: a regedit export
// ("Windows Registry Editor Version 5.00").
#ifndef TRQ_SIM_REG_FILE_H
#define TRQ_SIM_REG_FILE_H

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/sim/registry.h"

namespace sim {

enum class TextEncoding { Utf16LeBom, Utf8Bom, Utf8 };

struct RegFile {
    Registry registry;
    TextEncoding encoding = TextEncoding::Utf16LeBom;  // written back as read
    bool crlf = true;                                   // line ends as read
};

struct RegFileError {
    std::string file;
    int line = 0;  // 0: the file as a whole
    std::string reason;
    std::string Message() const;  // "file:line: reason"
};

// Parses bytes of a .reg file. On failure fills error and returns false.
bool ParseRegFile(std::string_view bytes, const std::string& fileName, RegFile& out,
                  RegFileError& error);
std::string FormatRegFile(const RegFile& file);

bool ReadRegFile(const std::filesystem::path& path, RegFile& out, RegFileError& error);
// Atomic: writes a temporary file beside it, then renames it over.
bool WriteRegFile(const std::filesystem::path& path, const RegFile& file, std::string& error);

}  // namespace sim

#endif
