// Text helpers for the simulated device: UTF-8 on the host, UTF-16 on the
// device, and the case-insensitive name matching of the device's registry
// and file system (the device's rule, device/device_text.h).
#ifndef TRQ_FORMATS_TEXT_H
#define TRQ_FORMATS_TEXT_H

#include <optional>
#include <string>
#include <string_view>

#include "device/device_text.h"

namespace formats {

// Strict conversions: nullopt on malformed input (lone surrogates, bad UTF-8).
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);
std::optional<std::string> Utf16ToUtf8(std::u16string_view utf16);

// For messages and traces: never fails; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8Lossy(std::u16string_view utf16);

// One UTF-8 sequence at text[at]: its code point and its length in bytes.
// False for malformed UTF-8: a stray continuation byte, an overlong form, a
// surrogate, past U+10FFFF, or a sequence cut short.
bool DecodeUtf8(std::string_view text, size_t at, char32_t& code, size_t& length);

// The value of a hexadecimal digit, of either case; -1 for any other
// character.
int HexDigit(char32_t c);

// True when every surrogate is part of a pair.
bool IsValidUtf16(std::u16string_view utf16);

// text as UTF-16LE bytes, as a device stores it; no terminator is added.
std::string Utf16LeBytes(std::u16string_view text);

// How a text file from the host is encoded, told by the byte-order mark it
// starts with.
enum class TextEncoding { Utf16LeBom, Utf8Bom, Utf8 };

// Why a text file's bytes are not text: line is 0 for the file as a whole.
struct TextDecodeError {
    int line = 0;
    std::string reason;
};

// A text file's bytes as UTF-16, by the byte-order mark they start with:
// UTF-16LE after FF FE (any units kept, lone surrogates too), UTF-8 after
// EF BB BF or without a mark. Refused: UTF-16 big-endian, UTF-16 without a
// mark (a byte, then a zero), an odd number of UTF-16 bytes, and malformed
// UTF-8, reported with the line that holds it. On failure text is
// unspecified.
bool DecodeText(std::string_view bytes, TextEncoding& encoding, std::u16string& text,
                TextDecodeError& error);

// One UTF-16 unit in the case a device's names compare in (ASCII and
// Latin-1 letters folded), and two names compared so.
using device_text::FoldCase;
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

}  // namespace formats

#endif
