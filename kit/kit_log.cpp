// The kit's log: one JSON object a line, UTF-8, each ended by "\r\n",
// appended to TRQ_KIT_LOG and flushed line by line, so that whatever
// happens next (a reset, a flat battery) the lines written so far stay.
// The kit and its holder both write to it, one whole line at a time.
#include "kit/kit_work.h"
#include "platform/trace/device_facts.h"
#include "platform/trace/trace_line.h"

namespace {

// Room for any line with a path of MAX_PATH characters, however escaped,
// in a frame that stays under a page of stack. A longer line is cut, and
// says so ("cut":true).
const unsigned kLineSize = 2048;
// Another process (the kit, its holder) may be writing the log just then.
const int kOpenAttempts = 20;
const DWORD kOpenRetryMs = 50;

void Write(TraceLine& line)
{
    const DWORD count = LineEnd(line);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        HANDLE file = CreateFileW(TRQ_KIT_LOG, GENERIC_WRITE, FILE_SHARE_READ, 0, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, 0);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            SetFilePointer(file, 0, 0, FILE_END);
            WriteFile(file, line.text, count, &written, 0);
            FlushFileBuffers(file);
            CloseHandle(file);
            return;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) return;
        Sleep(kOpenRetryMs);
    }
}

void PutKind(TraceLine& line, const char* kind)
{
    PutKey(line, "kit");
    PutText(line, kind);
}

void PutPath(TraceLine& line, const char* key, LPCWSTR path)
{
    PutKey(line, key);
    if (path)
        PutString16(line, path, MAX_PATH);
    else
        PutNull(line);
}

void PutMode(TraceLine& line, const char* mode)
{
    PutKey(line, "mode");
    PutText(line, mode);
}

}  // namespace

void LogStart(const char* mode)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "start");
    PutMode(line, mode);
    DeviceFacts facts;
    ReadDeviceFacts(facts);
    PutDeviceFacts(line, facts);
    Write(line);
}

void LogEnd(const char* mode)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "end");
    PutMode(line, mode);
    Write(line);
}

void LogFolder(const char* name, LPCWSTR path)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "folder");
    PutKey(line, "name");
    PutText(line, name);
    PutPath(line, "path", path);
    Write(line);
}

void LogItem(const char* kind, const char* what, LPCWSTR name)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, kind);
    PutPath(line, what, name);
    Write(line);
}

void LogFailed(const char* what, LPCWSTR name, DWORD error)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "failed");
    PutPath(line, what, name);
    PutKey(line, "error");
    PutUnsigned(line, error);
    Write(line);
}

void LogHolds(LPCWSTR file, const char* how, LPCWSTR by)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "holds");
    PutPath(line, "file", file);
    PutKey(line, "how");
    PutText(line, how);
    PutPath(line, "by", by);
    Write(line);
}

void LogProbe(LPCWSTR file, const char* how, BOOL result, DWORD error, bool restored)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "probe");
    PutPath(line, "file", file);
    PutKey(line, "how");
    PutText(line, how);
    PutKey(line, "result");
    PutUnsigned(line, result ? 1 : 0);
    PutKey(line, "error");
    PutUnsigned(line, error);
    PutKey(line, "restored");
    PutBool(line, restored);
    Write(line);
}

void LogStopped(LPCWSTR program)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "stopped");
    PutPath(line, "program", program);
    Write(line);
}
