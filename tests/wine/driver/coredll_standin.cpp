// A stand-in for the device's COREDLL, for runs under Wine. The uninstaller
// looks KernelIoControl up in "coredll.dll" at run time; this library sits
// beside TRQUninstall.exe, records each call as one JSON object per line in
// kernelio.log (in the same directory) and answers FALSE, as if the reset had
// not happened, so the uninstaller carries on to its next box.
//
// No C runtime is used: the library is loaded into the uninstaller, which has
// none either.
#include <windows.h>

namespace {

HMODULE g_self;

// Appends text (ASCII) at buffer[*length].
void Append(char* buffer, int* length, const char* text)
{
    while (*text) buffer[(*length)++] = *text++;
}

void AppendNumber(char* buffer, int* length, unsigned long long value)
{
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (count) buffer[(*length)++] = digits[--count];
}

void AppendField(char* buffer, int* length, const char* name, unsigned long long value)
{
    Append(buffer, length, name);
    AppendNumber(buffer, length, value);
}

// The log's path: this library's own path with the file name replaced.
bool LogPath(WCHAR* path, DWORD size)
{
    DWORD length = GetModuleFileNameW(g_self, path, size);
    if (length == 0 || length >= size) return false;
    DWORD slash = length;
    while (slash > 0 && path[slash - 1] != L'\\' && path[slash - 1] != L'/') --slash;
    const WCHAR name[] = L"kernelio.log";
    if (slash + sizeof name / sizeof name[0] > size) return false;
    for (DWORD i = 0; i < sizeof name / sizeof name[0]; ++i) path[slash + i] = name[i];
    return true;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) g_self = instance;
    return TRUE;
}

extern "C" BOOL WINAPI KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                       DWORD outSize, LPDWORD returned)
{
    char line[256];
    int length = 0;
    AppendField(line, &length, "{\"code\":", code);
    AppendField(line, &length, ",\"in\":", reinterpret_cast<ULONG_PTR>(in));
    AppendField(line, &length, ",\"in_size\":", inSize);
    AppendField(line, &length, ",\"out\":", reinterpret_cast<ULONG_PTR>(out));
    AppendField(line, &length, ",\"out_size\":", outSize);
    AppendField(line, &length, ",\"returned\":", reinterpret_cast<ULONG_PTR>(returned));
    Append(line, &length, "}\r\n");

    WCHAR path[MAX_PATH];
    if (LogPath(path, MAX_PATH)) {
        HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, 0, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, 0);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(file, line, static_cast<DWORD>(length), &written, 0);
            CloseHandle(file);
        }
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
