// Text as a device holds it, UTF-16, for the device code and the host
// alike: a path's separators, the case in which a device's names compare,
// a bounded append, and a code point's UTF-8.
//
// Freestanding and header only: no includes, no C runtime, nothing
// allocated. The functions take any character type of UTF-16 units
// (WCHAR is wchar_t on desktop Windows and char16_t elsewhere).
#ifndef TRQ_DEVICE_TEXT_H
#define TRQ_DEVICE_TEXT_H

namespace device_text {

// A separator between a device path's names: a backslash, or the slash the
// device's file system takes as one. A registry key's path is separated by
// backslashes only (a slash belongs to the key's name).
template <typename Char>
constexpr bool IsPathSeparator(Char c)
{
    return c == Char('\\') || c == Char('/');
}

// The case in which a device's names compare, one rule for the simulated
// device's registry and file system and for the paths the device kit
// compares: a capital of ASCII or Latin-1 (U+00C0..U+00DE, but the
// multiplication sign U+00D7) as its small letter, every other unit as it is.
template <typename Char>
constexpr Char FoldCase(Char c)
{
    const unsigned unit = static_cast<unsigned>(c);
    const bool capital = (unit >= 'A' && unit <= 'Z') || (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7);
    return capital ? static_cast<Char>(unit + 0x20) : c;
}

// Appends text, up to its terminator, at buffer[*length] of a buffer of
// size units; false where the whole would not fit with a terminator after
// it (what fit is then written, *length past it). The terminator is the
// caller's to write.
template <typename Char>
bool AppendText(Char* buffer, int size, int* length, const Char* text)
{
    for (; *text; ++text) {
        if (*length >= size - 1) return false;
        buffer[(*length)++] = *text;
    }
    return true;
}

constexpr bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit < 0xDC00; }
constexpr bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit < 0xE000; }

// The code point a UTF-16 unit starts, next the unit after it (0 at the
// text's end): a high surrogate and a low one are one code point, from
// 0x10000 (the two units taken together); any other unit, a surrogate
// standing alone too, is its own.
constexpr unsigned CodePoint(unsigned unit, unsigned next)
{
    return IsHighSurrogate(unit) && IsLowSurrogate(next) ? 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00)
                                                         : unit;
}

// code's UTF-8 into bytes, which has room for 4; returns how many. A
// surrogate is written as any other code point below 0x10000 would be.
// The bytes are set one by one: an initialiser would have the compiler
// call memset, which the device builds do not have.
inline unsigned Utf8Bytes(unsigned code, char* bytes)
{
    if (code < 0x80) {
        bytes[0] = static_cast<char>(code);
        return 1;
    }
    if (code < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | code >> 6);
        bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | code >> 12);
        bytes[1] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
        return 3;
    }
    bytes[0] = static_cast<char>(0xF0 | code >> 18);
    bytes[1] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
    return 4;
}

}  // namespace device_text

#endif
