// The holder: a copy of the kit, started as the package's utility, that
// holds the package's files as a started device does, until the kit's undo
// (or a restart) stops it. It shows nothing on the screen.
#include "kit/kit_work.h"

namespace {

// How long the kit waits for a holder to hold its files, and gives one it
// stopped to let them go.
const DWORD kReadyWaitMs = 10000;
const DWORD kStopWaitMs = 1000;

// Sets a named event that another process made, if it is there.
void SetNamedEvent(LPCWSTR name)
{
    HANDLE event = CreateEventW(0, TRUE, FALSE, name);
    if (!event) return;
    EventModify(event, EVENT_SET);
    CloseHandle(event);
}

// What a holder at this place holds: the package's files for the utility,
// the scratch file for the scratch holder. The first is its own image.
bool HeldPath(const Kit& kit, bool scratch, int i, LPWSTR path)
{
    if (scratch) return ScratchPath(kScratchFiles[i].name, path);
    return PackagePath(kit, kHeldFiles[i].base, kHeldFiles[i].name, path);
}

const char* HowHeld(bool scratch, int i)
{
    return scratch ? (i == 0 ? TRQ_KIT_RUNNING_PROGRAM : TRQ_KIT_OPEN_WITHOUT_SHARING) : kHeldFiles[i].how;
}

}  // namespace

bool IsHolder(const Kit& kit, bool* scratch)
{
    WCHAR path[MAX_PATH];
    *scratch = ScratchPath(kScratchFiles[0].name, path) && SamePath(kit.self, path);
    return *scratch || (PackagePath(kit, kHeldFiles[0].base, kHeldFiles[0].name, path) &&
                        SamePath(kit.self, path));
}

int RunHolder(Kit& kit, bool scratch)
{
    LogStart(kit, "hold");
    // The event first, so that a kit started while this one opens its files
    // finds it running.
    HANDLE stop = CreateEventW(0, TRUE, FALSE, TRQ_KIT_STOP_EVENT);
    if (!stop) LogFailed(kit, "event", TRQ_KIT_STOP_EVENT, GetLastError());

    WCHAR self[MAX_PATH];
    HeldPath(kit, scratch, 0, self);
    LogHolds(kit, self, HowHeld(scratch, 0), self);
    static_assert(kScratchFileCount <= kHeldFileCount, "the scratch holder holds no more than the utility");
    const int count = scratch ? kScratchFileCount : kHeldFileCount;
    HANDLE held[kHeldFileCount];
    int holding = 0;
    for (int i = 1; i < count && stop; ++i) {
        WCHAR path[MAX_PATH];
        if (!HeldPath(kit, scratch, i, path)) continue;
        // No sharing at all: as a library a service has loaded, it can
        // neither be opened again nor deleted.
        HANDLE file = CreateFileW(path, GENERIC_READ, 0, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
        if (file == INVALID_HANDLE_VALUE) {
            LogFailed(kit, "file", path, GetLastError());
            continue;
        }
        held[holding++] = file;
        LogHolds(kit, path, HowHeld(scratch, i), self);
    }
    LogWrite(kit);
    SetNamedEvent(TRQ_KIT_READY_EVENT);

    if (stop) {
        WaitForSingleObject(stop, INFINITE);
        CloseHandle(stop);
    }
    for (int i = 0; i < holding; ++i) CloseHandle(held[i]);
    LogEnd(kit, "hold");
    return 0;
}

bool StartHolder(Kit& kit, LPCWSTR program)
{
    HANDLE ready = CreateEventW(0, TRUE, FALSE, TRQ_KIT_READY_EVENT);
#if defined(_WIN32) && !defined(_WIN32_WCE)
    // Desktop Windows wants to be told how to show the program; Windows CE
    // takes no such thing.
    STARTUPINFOW startup;
    BYTE* bytes = reinterpret_cast<BYTE*>(&startup);
    for (unsigned i = 0; i < sizeof startup; ++i) bytes[i] = 0;
    startup.cb = sizeof startup;
    LPSTARTUPINFOW startupInfo = &startup;
#else
    LPSTARTUPINFOW startupInfo = 0;
#endif
    PROCESS_INFORMATION process;
    if (!CreateProcessW(program, 0, 0, 0, FALSE, 0, 0, 0, startupInfo, &process)) {
        LogFailed(kit, "program", program, GetLastError());
        if (ready) CloseHandle(ready);
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const bool held = ready && WaitForSingleObject(ready, kReadyWaitMs) == WAIT_OBJECT_0;
    if (!held) LogFailed(kit, "event", TRQ_KIT_READY_EVENT, ready ? WAIT_TIMEOUT : GetLastError());
    if (ready) CloseHandle(ready);
    return held;
}

bool HolderRunning()
{
    SetLastError(0);
    HANDLE stop = CreateEventW(0, TRUE, FALSE, TRQ_KIT_STOP_EVENT);
    if (!stop) return false;
    const bool running = GetLastError() == ERROR_ALREADY_EXISTS;
    CloseHandle(stop);
    return running;
}

bool StopHolder(Kit& kit, LPCWSTR program)
{
    SetLastError(0);
    HANDLE stop = CreateEventW(0, TRUE, FALSE, TRQ_KIT_STOP_EVENT);
    if (!stop) return false;
    const bool running = GetLastError() == ERROR_ALREADY_EXISTS;
    if (running) {
        EventModify(stop, EVENT_SET);
        Sleep(kStopWaitMs);
        LogStopped(kit, program);
    }
    CloseHandle(stop);
    return running;
}
