// Small Pocket PC programs of the device kit's calls, for the emulator's
// tests; the build defines which (TRQ_KIT_HOLD, TRQ_KIT_STOP). Each returns 0
// when the device answered as it should, and a number naming the step
// otherwise.
//   kit_hold  as a user taps it: starts a copy of itself with the command
//             line "hold", which opens the package's program without sharing
//             and waits on the stop event; then finds that program held.
//   kit_stop  sets the stop event, and then deletes the program it released.
#define TRQ_DEVICE_ALL_CALLS
#include "device/device.h"

namespace {

const WCHAR kStop[] = TEXT("TRQ Uninstall Kit stop");
const WCHAR kHeld[] = TEXT("\\Program Files\\TRQ\\TRQ.exe");

#if defined(TRQ_KIT_HOLD)
bool Same(LPCWSTR a, LPCWSTR b)
{
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}
#endif

}  // namespace

extern "C" int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int)
{
#if defined(TRQ_KIT_HOLD)
    if (Same(commandLine, TEXT("hold"))) {
        if (CreateFileW(kHeld, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr) ==
            INVALID_HANDLE_VALUE)
            return 11;
        HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, kStop);
        if (!stop) return 12;
        WaitForSingleObject(stop, INFINITE);
        return 13;  // never: the stop ends it
    }
    WCHAR self[MAX_PATH];
    if (!GetModuleFileNameW(nullptr, self, MAX_PATH)) return 1;
    PROCESS_INFORMATION holder;
    // Windows CE only reads the command line.
    LPWSTR hold = const_cast<LPWSTR>(TEXT("hold"));
    if (!CreateProcessW(self, hold, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &holder)) return 2;
    if (DeleteFileW(kHeld) || GetLastError() != ERROR_SHARING_VIOLATION) return 3;
    if (WaitForSingleObject(holder.hProcess, 0) != WAIT_TIMEOUT) return 4;
    return CloseHandle(holder.hThread) && CloseHandle(holder.hProcess) ? 0 : 5;
#elif defined(TRQ_KIT_STOP)
    (void)commandLine;
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, kStop);
    if (!stop || GetLastError() != ERROR_ALREADY_EXISTS) return 1;
    if (!EventModify(stop, EVENT_SET)) return 2;
    if (!DeleteFileW(kHeld)) return 3;
    return CloseHandle(stop) ? 0 : 4;
#endif
}
