#include "platform/trace/trace_line.h"

#include "device/device_text.h"

namespace {

const char kHexDigits[] = "0123456789abcdef";
// The longest value that is never cut: a number or a handle.
const unsigned kValueRoom = 24;

// Room left for text before the closing reserve.
unsigned Room(const TraceLine& line)
{
    const unsigned end = line.size - kTraceLineReserve;
    return line.length < end ? end - line.length : 0;
}

// Appends count bytes, or nothing (and marks the line cut) when they do not
// fit: a value is never left half written but for a string's contents.
bool Append(TraceLine& line, const char* bytes, unsigned count)
{
    if (line.cut || count > Room(line)) {
        line.cut = true;
        return false;
    }
    for (unsigned i = 0; i < count; ++i) line.text[line.length++] = bytes[i];
    return true;
}

bool AppendChar(TraceLine& line, char c) { return Append(line, &c, 1); }

unsigned Length(const char* text)
{
    unsigned n = 0;
    while (text[n]) ++n;
    return n;
}

// The digits of value, most significant first, into digits; returns how
// many. Without division: ARMv4 has no divide instruction, and the device
// builds link no routine of the compiler's support library.
unsigned Decimal(ULONG_PTR value, char* digits)
{
    // The largest power of ten a word holds (10^19 on a 64-bit host, 10^9
    // on the device) has this many digits.
    const unsigned most = sizeof(ULONG_PTR) == 8 ? 20 : 10;
    ULONG_PTR power = 1;
    unsigned places = 1;
    while (places < most && power * 10 <= value) {
        power *= 10;
        ++places;
    }
    for (unsigned i = 0; i < places; ++i) {
        char digit = '0';
        while (value >= power) {
            value -= power;
            ++digit;
        }
        digits[i] = digit;
        // The next lower power, by multiplication alone.
        ULONG_PTR lower = 1;
        while (lower * 10 < power) lower *= 10;
        power = lower;
    }
    return places;
}

unsigned Hexadecimal(ULONG_PTR value, char* digits)
{
    unsigned places = 1;
    while (places < 2 * sizeof value && value >> (4 * places)) ++places;
    for (unsigned i = 0; i < places; ++i) digits[i] = kHexDigits[value >> (4 * (places - 1 - i)) & 0xF];
    return places;
}

// A string's contents are written up to where they stop fitting; the
// closing quote is always written (its room is part of the reserve).
void AppendStringByte(TraceLine& line, const char* bytes, unsigned count)
{
    // Keep one byte for the closing quote beyond the usual reserve.
    if (!line.cut && count + 1 > Room(line)) line.cut = true;
    Append(line, bytes, count);
}

void OpenString(TraceLine& line) { AppendChar(line, '"'); }
void CloseString(TraceLine& line)
{
    // The quote fits even when the contents were cut: it is never counted
    // against the room the contents may take.
    line.text[line.length++] = '"';
}

// Local arrays are filled element by element: an initialiser would make
// the compiler call memset or memcpy, which the device builds do not have.
void Escaped(TraceLine& line, unsigned code)
{
    char e[6];
    e[0] = '\\';
    e[1] = 'u';
    for (int i = 5; i >= 2; --i, code >>= 4) e[i] = kHexDigits[code & 0xF];
    AppendStringByte(line, e, 6);
}

void Utf8(TraceLine& line, unsigned code)
{
    char b[4];
    AppendStringByte(line, b, device_text::Utf8Bytes(code, b));
}

void Character(TraceLine& line, unsigned code)
{
    if (code == '"' || code == '\\') {
        char e[2];
        e[0] = '\\';
        e[1] = static_cast<char>(code);
        AppendStringByte(line, e, 2);
    } else if (code < 0x20 || code == 0x7F) {
        Escaped(line, code);
    } else {
        Utf8(line, code);
    }
}

// Before a member: the comma that separates it from the last.
void Separate(TraceLine& line)
{
    if (!line.first) AppendChar(line, ',');
    line.first = false;
}

}  // namespace

void LineBegin(TraceLine& line, char* buffer, unsigned size)
{
    line.text = buffer;
    line.size = size;
    line.length = 0;
    line.depth = 0;
    line.first = true;
    line.cut = false;
    line.text[line.length++] = '{';
    line.depth = 1;
}

unsigned LineEnd(TraceLine& line)
{
    // Objects left open by a cut are closed from the reserve; a cut line
    // then says so at its top level.
    while (line.depth > 1) {
        line.text[line.length++] = '}';
        --line.depth;
    }
    if (line.cut) {
        const char* mark = line.first ? "\"cut\":true" : ",\"cut\":true";
        for (unsigned i = 0; mark[i]; ++i) line.text[line.length++] = mark[i];
    }
    line.text[line.length++] = '}';
    line.text[line.length++] = '\r';
    line.text[line.length++] = '\n';
    line.depth = 0;
    return line.length;
}

void PutKey(TraceLine& line, const char* key)
{
    const unsigned count = Length(key);
    // A key is written only with room for its value's start after it, so
    // that a cut never leaves a key without a value or a trailing comma.
    const unsigned need = (line.first ? 0 : 1) + count + 3 + kValueRoom;
    if (line.cut || need > Room(line)) {
        line.cut = true;
        return;
    }
    Separate(line);
    AppendChar(line, '"');
    Append(line, key, count);
    Append(line, "\":", 2);
}

void PutNull(TraceLine& line) { Append(line, "null", 4); }

void PutBool(TraceLine& line, bool value) { value ? Append(line, "true", 4) : Append(line, "false", 5); }

void PutUnsigned(TraceLine& line, ULONG_PTR value)
{
    char digits[24];
    Append(line, digits, Decimal(value, digits));
}

void PutSigned(TraceLine& line, ULONG_PTR bits)
{
    char digits[24];
    digits[0] = '-';
    const unsigned sign = bits >> (8 * sizeof bits - 1);
    const ULONG_PTR magnitude = sign ? 0 - bits : bits;
    Append(line, digits, sign + Decimal(magnitude, digits + sign));
}

void PutHandle(TraceLine& line, ULONG_PTR value)
{
    char text[24];
    text[0] = '"';
    text[1] = '0';
    text[2] = 'x';
    const unsigned n = Hexadecimal(value, text + 3);
    text[3 + n] = '"';
    Append(line, text, n + 4);
}

void PutText(TraceLine& line, const char* text)
{
    OpenString(line);
    if (line.cut) return;
    for (unsigned i = 0; text[i] && !line.cut; ++i) Character(line, static_cast<unsigned char>(text[i]));
    CloseString(line);
}

void PutString16(TraceLine& line, const WCHAR* text, unsigned count)
{
    OpenString(line);
    if (line.cut) return;
    for (unsigned i = 0; i < count && text[i] && !line.cut; ++i) {
        const unsigned unit = static_cast<unsigned>(text[i]);
        const bool pairs = device_text::IsHighSurrogate(unit) && i + 1 < count;
        const unsigned next = pairs ? static_cast<unsigned>(text[i + 1]) : 0;
        const unsigned code = device_text::CodePoint(unit, next);
        if (code >= 0x10000) {
            Utf8(line, code);
            ++i;
        } else if (device_text::IsHighSurrogate(code) || device_text::IsLowSurrogate(code)) {
            Escaped(line, code);  // a surrogate alone, which UTF-8 cannot carry
        } else {
            Character(line, code);
        }
    }
    CloseString(line);
}

void PutHexBytes(TraceLine& line, const BYTE* bytes, unsigned count)
{
    OpenString(line);
    if (line.cut) return;
    for (unsigned i = 0; i < count && !line.cut; ++i) {
        char pair[2];
        pair[0] = kHexDigits[bytes[i] >> 4];
        pair[1] = kHexDigits[bytes[i] & 0xF];
        AppendStringByte(line, pair, 2);
    }
    CloseString(line);
}

void OpenObject(TraceLine& line)
{
    if (AppendChar(line, '{')) {
        ++line.depth;
        line.first = true;
    }
}

void CloseObject(TraceLine& line)
{
    if (line.depth <= 1) return;
    line.text[line.length++] = '}';
    --line.depth;
    line.first = false;
}
