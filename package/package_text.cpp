#include "package/package.h"

namespace {

bool IsSeparator(WCHAR c) { return c == TEXT('\\') || c == TEXT('/'); }

// Whether text starts with the install directory's mark.
bool AtMark(LPCWSTR text)
{
    LPCWSTR mark = TRQ_INSTALL_DIR_MARK;
    while (*mark && *text == *mark) {
        ++text;
        ++mark;
    }
    return *mark == 0;
}

int MarkLength()
{
    int length = 0;
    for (LPCWSTR mark = TRQ_INSTALL_DIR_MARK; *mark; ++mark) ++length;
    return length;
}

// Appends text at buffer[*length]; false when it would not fit with the
// terminator.
bool Append(LPWSTR buffer, int size, int* length, LPCWSTR text)
{
    for (; *text; ++text) {
        if (*length >= size - 1) return false;
        buffer[(*length)++] = *text;
    }
    return true;
}

// One UTF-16 unit's code point at text[*i] (a pair taken together), as
// UTF-8 at buffer[*count]; false when it would not fit.
bool AppendUtf8(LPCWSTR text, int* i, char* buffer, int size, int* count)
{
    unsigned code = static_cast<unsigned>(text[*i]);
    const unsigned next = static_cast<unsigned>(text[*i + 1]);
    if (code >= 0xD800 && code < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
        ++*i;
    }
    char bytes[4];
    int n;
    if (code < 0x80) {
        bytes[0] = static_cast<char>(code);
        n = 1;
    } else if (code < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | code >> 6);
        bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
        n = 2;
    } else if (code < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | code >> 12);
        bytes[1] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
        n = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | code >> 18);
        bytes[1] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
        n = 4;
    }
    if (*count + n > size) return false;
    for (int b = 0; b < n; ++b) buffer[(*count)++] = bytes[b];
    return true;
}

bool AppendUtf8Text(LPCWSTR text, char* buffer, int size, int* count)
{
    for (int i = 0; text[i]; ++i)
        if (!AppendUtf8(text, &i, buffer, size, count)) return false;
    return true;
}

bool AppendBytes(const char* text, char* buffer, int size, int* count)
{
    for (; *text; ++text) {
        if (*count == size) return false;
        buffer[(*count)++] = *text;
    }
    return true;
}

}  // namespace

int ExpandPackageText(LPCWSTR text, LPCWSTR installDir, LPWSTR buffer, int size)
{
    const int markLength = MarkLength();
    int length = 0;
    bool fits = true;
    while (*text && fits) {
        if (AtMark(text)) {
            fits = Append(buffer, size, &length, installDir);
            text += markLength;
        } else if (length < size - 1) {
            buffer[length++] = *text++;
        } else {
            fits = false;
        }
    }
    buffer[fits ? length : 0] = 0;
    return fits ? length : -1;
}

int PackageFileBytes(const PackageFile& file, LPCWSTR installDir, char* buffer, int size)
{
    WCHAR text[MAX_PATH];
    if (ExpandPackageText(file.text, installDir, text, MAX_PATH) < 0) return -1;
    int count = 0;
    if (file.contents == kPackageText) return AppendUtf8Text(text, buffer, size, &count) ? count : -1;

    // A shortcut: the quoted target's length in bytes, then "#" and the
    // quoted target, as the shell reads it.
    char target[3 * MAX_PATH + 2];
    int targetLength = 0;
    if (!AppendBytes("\"", target, sizeof target, &targetLength) ||
        !AppendUtf8Text(text, target, sizeof target, &targetLength) ||
        !AppendBytes("\"", target, sizeof target, &targetLength))
        return -1;
    // Under 1000 bytes: the largest target is 3 * MAX_PATH + 2. The digits
    // by subtraction, as the device builds have no division.
    int rest = targetLength;
    char hundreds = '0', tens = '0';
    while (rest >= 100) {
        rest -= 100;
        ++hundreds;
    }
    while (rest >= 10) {
        rest -= 10;
        ++tens;
    }
    char digits[4];
    int places = 0;
    if (hundreds != '0') digits[places++] = hundreds;
    if (hundreds != '0' || tens != '0') digits[places++] = tens;
    digits[places++] = static_cast<char>('0' + rest);
    for (int i = 0; i < places; ++i) {
        if (count == size) return -1;
        buffer[count++] = digits[i];
    }
    if (!AppendBytes("#", buffer, size, &count)) return -1;
    for (int i = 0; i < targetLength; ++i) {
        if (count == size) return -1;
        buffer[count++] = target[i];
    }
    return AppendBytes("\r\n", buffer, size, &count) ? count : -1;
}

bool JoinPackagePath(LPWSTR buffer, LPCWSTR base, LPCWSTR name)
{
    int length = 0;
    bool fits = Append(buffer, MAX_PATH, &length, base);
    if (fits && (length == 0 || !IsSeparator(buffer[length - 1])))
        fits = Append(buffer, MAX_PATH, &length, TEXT("\\"));
    fits = fits && Append(buffer, MAX_PATH, &length, name);
    buffer[fits ? length : 0] = 0;
    return fits;
}
