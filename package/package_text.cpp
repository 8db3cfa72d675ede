#include "package/package.h"

#include "device/device_text.h"

using device_text::AppendText;

namespace {

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

// The code point at text[*i] (a surrogate pair taken together, *i then
// past its first unit) as UTF-8 at buffer[*count]; false when it would not fit.
bool AppendUtf8(LPCWSTR text, int* i, char* buffer, int size, int* count)
{
    const unsigned code = device_text::CodePoint(static_cast<unsigned>(text[*i]), static_cast<unsigned>(text[*i + 1]));
    if (code >= 0x10000) ++*i;
    char bytes[4];
    const int n = static_cast<int>(device_text::Utf8Bytes(code, bytes));
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
            fits = AppendText(buffer, size, &length, installDir);
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
    bool fits = AppendText(buffer, MAX_PATH, &length, base);
    if (fits && (length == 0 || !device_text::IsPathSeparator(buffer[length - 1])))
        fits = AppendText(buffer, MAX_PATH, &length, TEXT("\\"));
    fits = fits && AppendText(buffer, MAX_PATH, &length, name);
    buffer[fits ? length : 0] = 0;
    return fits;
}
