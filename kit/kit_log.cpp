// The kit's log: one JSON object a line, UTF-8, each ended by "\r\n",
// appended to TRQ_KIT_LOG and flushed, so that whatever happens next (a
// reset, a flat battery) the lines written so far stay. Lines are gathered
// and written together where the kit is about to act on what they say: what
// it is about to make is in the log before it makes it. The kit and its
// holder both write to it, whole lines at a time.
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

bool WriteBytes(const char* bytes, DWORD count)
{
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        HANDLE file = CreateFileW(TRQ_KIT_LOG, GENERIC_WRITE, FILE_SHARE_READ, 0, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, 0);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            const bool wrote = SetFilePointer(file, 0, 0, FILE_END) != INVALID_SET_FILE_POINTER &&
                               WriteFile(file, bytes, count, &written, 0) && written == count &&
                               FlushFileBuffers(file);
            CloseHandle(file);
            return wrote;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) return false;
        Sleep(kOpenRetryMs);
    }
    return false;
}

// The line joins those gathered; what is gathered is written first when
// the line would not fit beside it.
void Gather(Kit& kit, TraceLine& line)
{
    const unsigned count = LineEnd(line);
    if (kit.pendingLength + count > kLogBatchSize) LogWrite(kit);
    for (unsigned i = 0; i < count; ++i) kit.pending[kit.pendingLength++] = line.text[i];
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

const char* ItemKey(ItemKind what)
{
    return what == kItemFile ? "file" : what == kItemFolder ? "folder" : "key";
}

}  // namespace

bool LogWrite(Kit& kit)
{
    if (kit.pendingLength && !WriteBytes(kit.pending, kit.pendingLength)) kit.logFailed = true;
    kit.pendingLength = 0;
    return !kit.logFailed;
}

void LogStart(Kit& kit, const char* mode)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "start");
    PutMode(line, mode);
    DeviceFacts facts;
    ReadDeviceFacts(facts);
    PutDeviceFacts(line, facts);
    Gather(kit, line);
    LogWrite(kit);
}

void LogEnd(Kit& kit, const char* mode)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "end");
    PutMode(line, mode);
    Gather(kit, line);
    LogWrite(kit);
}

void LogFolder(Kit& kit, const char* name, LPCWSTR path)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "folder");
    PutKey(line, "name");
    PutText(line, name);
    PutPath(line, "path", path);
    Gather(kit, line);
}

void LogItem(Kit& kit, const char* kind, ItemKind what, LPCWSTR name)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, kind);
    PutPath(line, ItemKey(what), name);
    Gather(kit, line);
}

static void LogFailedLine(Kit& kit, const char* what, LPCWSTR name, DWORD error)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "failed");
    PutPath(line, what, name);
    PutKey(line, "error");
    PutUnsigned(line, error);
    Gather(kit, line);
}

void LogHolds(Kit& kit, LPCWSTR file, const char* how, LPCWSTR by)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "holds");
    PutPath(line, "file", file);
    PutKey(line, "how");
    PutText(line, how);
    PutPath(line, "by", by);
    Gather(kit, line);
}

void LogProbe(Kit& kit, LPCWSTR file, const char* how, BOOL result, DWORD error, bool restored)
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
    Gather(kit, line);
}

void LogStopped(Kit& kit, LPCWSTR program)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "stopped");
    PutPath(line, "program", program);
    Gather(kit, line);
    LogWrite(kit);
}

void LogClean(Kit& kit)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "clean");
    Gather(kit, line);
    LogWrite(kit);
}

namespace {

void AppendToBox(LeftList& left, LPCWSTR name, const char* why)
{
    ++left.count;
    // Room kept for the line that counts the rest (LeftBoxList).
    const int room = kBoxChars - 64;
    int length = left.length;
    bool fits = true;
    const auto put = [&](WCHAR unit) {
        if (length < room - 1) left.text[length++] = unit;
        else fits = false;
    };
    if (left.shown) put(TEXT(';'));
    put(TEXT(' '));
    for (int i = 0; name[i] && fits; ++i) put(name[i]);
    put(TEXT(' '));
    put(TEXT('('));
    for (int i = 0; why[i] && fits; ++i) put(static_cast<WCHAR>(why[i]));
    put(TEXT(')'));
    if (!fits) return;
    left.length = length;
    left.text[length] = 0;
    ++left.shown;
}

}  // namespace

void LogLeft(Kit& kit, ItemKind what, LPCWSTR name, const char* why)
{
    char buffer[kLineSize];
    TraceLine line;
    LineBegin(line, buffer, sizeof buffer);
    PutKind(line, "left");
    PutPath(line, ItemKey(what), name);
    PutKey(line, "why");
    PutText(line, why);
    Gather(kit, line);
    AppendToBox(kit.left, name, why);
}

void LogFailed(Kit& kit, const char* what, LPCWSTR name, DWORD error)
{
    LogFailedLine(kit, what, name, error);
    char why[24];
    int n = 0;
    for (const char* word = "error "; *word; ++word) why[n++] = *word;
    char digits[12];
    int places = 0;
    do {
        DWORD rest = error, tenth = 0;
        while (rest >= 10) {  // no division on the device: by subtraction
            rest -= 10;
            ++tenth;
        }
        digits[places++] = static_cast<char>('0' + rest);
        error = tenth;
    } while (error && places < 11);
    while (places) why[n++] = digits[--places];
    why[n] = 0;
    AppendToBox(kit.left, name, why);
}
