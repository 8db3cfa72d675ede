#include "formats/text.h"

#include <cstdint>

#include "device/device_text.h"

namespace formats {

namespace {

using device_text::IsHighSurrogate;
using device_text::IsLowSurrogate;

void AppendUtf8(std::string& out, char32_t cp)
{
    char bytes[4];
    out.append(bytes, device_text::Utf8Bytes(cp, bytes));
}

// Converts UTF-16 to UTF-8. A lone surrogate fails the conversion, or with
// lossy set becomes U+FFFD.
bool ConvertUtf16ToUtf8(std::u16string_view in, bool lossy, std::string& out)
{
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t c = device_text::CodePoint(in[i], i + 1 < in.size() ? in[i + 1] : 0);
        if (c >= 0x10000) {
            ++i;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            if (!lossy) return false;
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return true;
}

// UTF-16LE, the byte-order mark already taken off.
bool DecodeUtf16Le(std::string_view bytes, std::u16string& text, TextDecodeError& error)
{
    if (bytes.size() % 2 != 0) {
        error.reason = "UTF-16 file with an odd number of bytes";
        return false;
    }
    auto byteAt = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    text.resize(bytes.size() / 2);
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(byteAt(2 * i) | byteAt(2 * i + 1) << 8);
    }
    return true;
}

// UTF-8, checked line by line so a bad sequence is reported with its line.
bool DecodeUtf8(std::string_view bytes, std::u16string& text, TextDecodeError& error)
{
    text.clear();
    text.reserve(bytes.size());
    int lineNumber = 1;
    while (!bytes.empty()) {
        const size_t end = bytes.find('\n');
        const std::string_view line = bytes.substr(0, end);
        std::optional<std::u16string> decoded = Utf8ToUtf16(line);
        if (!decoded) {
            error.line = lineNumber;
            error.reason = "invalid UTF-8";
            return false;
        }
        text += *decoded;
        if (end == std::string_view::npos) break;
        text.push_back(u'\n');
        bytes.remove_prefix(end + 1);
        ++lineNumber;
    }
    return true;
}

}  // namespace

bool DecodeUtf8(std::string_view text, size_t at, char32_t& code, size_t& length)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    char32_t cp;
    char32_t least;  // the smallest code point this length may carry
    if (lead < 0x80) {
        code = lead;
        length = 1;
        return true;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07, least = 0x10000;
    } else {
        return false;  // continuation byte, C0/C1 or F5..FF
    }
    if (text.size() - at < length) return false;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char b = static_cast<unsigned char>(text[at + k]);
        if ((b & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    code = cp;
    return true;
}

int HexDigit(char32_t c)
{
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        char32_t cp;
        size_t length;
        if (!DecodeUtf8(utf8, i, cp, length)) return std::nullopt;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view utf16)
{
    std::string out;
    if (!ConvertUtf16ToUtf8(utf16, false, out)) return std::nullopt;
    return out;
}

std::string Utf16ToUtf8Lossy(std::u16string_view utf16)
{
    std::string out;
    ConvertUtf16ToUtf8(utf16, true, out);
    return out;
}

bool IsValidUtf16(std::u16string_view utf16)
{
    for (size_t i = 0; i < utf16.size(); ++i) {
        const char16_t c = utf16[i];
        if (IsHighSurrogate(c)) {
            if (i + 1 >= utf16.size() || !IsLowSurrogate(utf16[i + 1])) return false;
            ++i;
        } else if (IsLowSurrogate(c)) {
            return false;
        }
    }
    return true;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
    }
    return true;
}

std::string Utf16LeBytes(std::u16string_view text)
{
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (const char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

bool DecodeText(std::string_view bytes, TextEncoding& encoding, std::u16string& text,
                TextDecodeError& error)
{
    auto byteAt = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    if (bytes.size() >= 2 && byteAt(0) == 0xFF && byteAt(1) == 0xFE) {
        encoding = TextEncoding::Utf16LeBom;
        return DecodeUtf16Le(bytes.substr(2), text, error);
    }
    if (bytes.size() >= 2 && byteAt(0) == 0xFE && byteAt(1) == 0xFF) {
        error.reason = "UTF-16 big-endian files are not supported (use UTF-16LE or UTF-8)";
        return false;
    }
    if (bytes.size() >= 2 && byteAt(0) != 0 && byteAt(1) == 0) {
        error.reason = "looks like UTF-16 without a byte-order mark, which is not supported";
        return false;
    }
    encoding = TextEncoding::Utf8;
    if (bytes.size() >= 3 && byteAt(0) == 0xEF && byteAt(1) == 0xBB && byteAt(2) == 0xBF) {
        encoding = TextEncoding::Utf8Bom;
        bytes.remove_prefix(3);
    }
    return DecodeUtf8(bytes, text, error);
}

}  // namespace formats
