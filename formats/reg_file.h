// The registry of a device image: a regedit export
// ("Windows Registry Editor Version 5.00").
#ifndef TRQ_FORMATS_REG_FILE_H
#define TRQ_FORMATS_REG_FILE_H

#include <cstddef>
#include <string>
#include <string_view>

#include "formats/registry.h"
#include "formats/text.h"

namespace formats {

struct RegFile {
    Registry keys;
    TextEncoding encoding = TextEncoding::Utf16LeBom;  // written back as read
    bool crlf = true;                                   // line ends as read
};

struct RegFileError {
    std::string file;
    int line = 0;  // 0: the file as a whole
    std::string reason;
    std::string Message() const;  // "file:line: reason" ("file: reason" for line 0)
};

// The registry's own limits, refused when a file is read: how deep keys nest
// below a root, and how long one key name may be (UTF-16 units). They also
// bound how much FormatRegFile can write for a file of a given size.
constexpr int kMaxKeyDepth = 512;
constexpr size_t kMaxKeyNameLength = 255;
// The full names of all keys ("ROOT\path"), added up: each key is listed
// and written back by its full name, so a file of many deep keys could
// otherwise take far more memory than its size.
constexpr size_t kMaxKeyNamesLength = size_t(32) << 20;

// Whether a key or value name, written by FormatRegFile, reads back as
// itself: no line break or other control character, no lone surrogate;
// a key name also not empty, of at most kMaxKeyNameLength units and
// without "\" (which separates key names).
bool RegFileHoldsValueName(std::u16string_view name);
bool RegFileHoldsKeyName(std::u16string_view name);

// Parses bytes of a .reg file. On failure fills error and returns false and
// leaves out as it was.
//
// Accepted: UTF-16LE with a byte-order mark, UTF-8 with or without one; LF or
// CRLF line ends (mixed too: crlf follows the first line). After the header
// line come blank lines, ";" comments, "[ROOT\path]" sections and values:
// "name" or @ for the default value, then ="string" (\\ and \" escaped),
// dword:8 hex digits, hex:bytes or hex(type):bytes, bytes continued over lines
// ending in "\". Refused: other headers and roots, "[-key]" and "name"=-
// deletions, empty key names, lone surrogates in names and strings (hex data
// keeps any bytes), NUL characters anywhere in the text, and the limits
// above (keys nested deeper are refused, not truncated).
bool ParseRegFile(std::string_view bytes, const std::string& fileName, RegFile& out,
                  RegFileError& error);
// Writes every key as its own section, parents first, in stored order (the
// roots only when they hold values), and every value in stored order. A
// REG_SZ that is one well-formed string with a single terminating NUL and no
// line breaks is written as "string", a 4-byte REG_DWORD as dword:, all
// other data as hex bytes, wrapped to lines of at most 80 columns. Names are
// taken to be what the parser accepts (a lone surrogate is written as U+FFFD
// in UTF-8).
std::string FormatRegFile(const RegFile& file);
// The same into bytes, which it replaces. The text is encoded as it is
// made, so writing takes no more than bytes holds, and nothing new when
// bytes already has the capacity (FormattedRegFileSize) for it.
void FormatRegFile(const RegFile& file, std::string& bytes);
// How many bytes FormatRegFile writes for file.
size_t FormattedRegFileSize(const RegFile& file);

// The largest registry.reg read.
constexpr size_t kMaxRegFileBytes = size_t(64) << 20;

}  // namespace formats

#endif
