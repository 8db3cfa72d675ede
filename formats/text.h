// Text helpers for the simulated device: UTF-8 on the host, UTF-16 on the
// device, and the case-insensitive name matching of the device's registry
// and file system.
#ifndef TRQ_FORMATS_TEXT_H
#define TRQ_FORMATS_TEXT_H

#include <optional>
#include <string>
#include <string_view>

namespace sim {

// Strict conversions: nullopt on malformed input (lone surrogates, bad UTF-8).
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);
std::optional<std::string> Utf16ToUtf8(std::u16string_view utf16);

// For messages and traces: never fails; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8Lossy(std::u16string_view utf16);


// True when every surrogate is part of a pair.
bool IsValidUtf16(std::u16string_view utf16);

// text as UTF-16LE bytes, as a device stores it; no terminator is added.
std::string Utf16LeBytes(std::u16string_view text);

// Simple case folding of one UTF-16 unit (ASCII and Latin-1).
char16_t FoldCase(char16_t c);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

}  // namespace sim

#endif
