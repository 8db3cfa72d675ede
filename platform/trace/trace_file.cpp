#define TRQ_DEVICE_ALL_CALLS  // the file calls of the trace build's tier
#include "platform/trace/trace_file.h"

#include "platform/trace/real_calls.h"

void AppendTraceLine(const char* text, unsigned length)
{
    // The uninstaller's own GetLastError and SetLastError are the traced
    // ones: the layer reaches the platform's directly.
    const DWORD lastError = __real_GetLastError();
    HANDLE file = CreateFileW(TEXT("\\TRQ Uninstall trace.txt"), GENERIC_WRITE, FILE_SHARE_READ, 0,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        if (SetFilePointer(file, 0, 0, FILE_END) != INVALID_SET_FILE_POINTER &&
            WriteFile(file, text, length, &written, 0))
            FlushFileBuffers(file);
        CloseHandle(file);
    }
    __real_SetLastError(lastError);
}
