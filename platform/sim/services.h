// The simulated device's side of device/device.h: the state that the
// device services act on while the uninstaller runs.
//
// The device code calls plain functions (RegOpenKeyExW, DeleteFileW, ...),
// so the simulator keeps one active session; DeviceSession's constructor
// makes itself the active one and its destructor undoes that.
#ifndef TRQ_SIM_SERVICES_H
#define TRQ_SIM_SERVICES_H

#include <csetjmp>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/sim/device_image.h"
#include "platform/sim/trace.h"

namespace sim {

struct BoxRecord {
    std::u16string text;
    std::u16string caption;
    uint32_t flags = 0;
    int result = 0;
};

// Presses a button of a message box: IDOK, IDYES, IDNO or IDCANCEL, or
// nothing when no answer is left (the run then stops at that box).
using BoxAnswerer = std::function<std::optional<int>(const BoxRecord& box)>;

// Why the device stopped running the uninstaller before it returned.
enum class Stop {
    None,
    Reset,     // the device restarted
    NoAnswer,  // a box found no answer
    Fault,     // the program itself broke down (see DeviceSession::fault)
};

// A fault to inject into one platform call; see FaultPlan. A faulted call
// does nothing on the device; what it returns:
//   RegOpenKeyExW, RegCloseKey, RegDeleteKeyW: result, else error, else
//     ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED; no key
//     is opened, closed (it stays open) or deleted.
//   RegQueryValueExW without data: result, else error, else
//     ERROR_FILE_NOT_FOUND; nothing is written. With data: as if the value
//     held data with type (REG_SZ if not given): the type and the full size
//     are reported, no more than the offered bytes are copied, and the status
//     is result, else error, else ERROR_SUCCESS. The key is not looked at.
//   SetFileAttributesW, DeleteFileW, RemoveDirectoryW: FALSE with error as
//     the thread's error code, else ERROR_ACCESS_DENIED (DeleteFileW:
//     ERROR_SHARING_VIOLATION).
//   GetTempPathW: result (else 0), nothing written; error, if given, as the
//     thread's error code. A result over the caller's size is a path that
//     would not fit.
//   SHGetSpecialFolderPath: FALSE, nothing written.
//   GetLastError: result, else error, else 0. SetLastError: the code is not
//     stored.
//   GetForegroundWindow: no window (null).
//   MessageBoxW: the box is recorded, the answerer is not asked, and result
//     (else 0, a box that could not be shown) is the button returned.
//   KernelIoControl: FALSE, no reset.
//   HeapAlloc: null. HeapFree: FALSE, and the block stays allocated.
struct Fault {
    std::optional<int64_t> result;  // the call's return value
    std::optional<uint32_t> error;  // the thread's error code afterwards
    std::optional<std::string> data;  // RegQueryValueExW: the bytes returned
    std::optional<uint32_t> type;     // RegQueryValueExW: the type returned
};

// Decides, for each platform call, whether it fails. `index` counts every
// traced call of the run from 1; `kindIndex` counts calls of that op from 1;
// `argument` is the call's path, value name or CSIDL as text.
using FaultPlan = std::function<std::optional<Fault>(const std::string& op, int index,
                                                     int kindIndex, const std::string& argument)>;

class DeviceSession {
public:
    DeviceSession(DeviceImage& image, Trace& trace);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    static DeviceSession& Active();

    DeviceImage& image;
    DeviceFiles files;
    Trace& trace;
    BoxAnswerer answerer;
    FaultPlan faults;
    bool resetReturns = false;  // KernelIoControl comes back instead of restarting

    // Where a reset or an unanswered box ends the run; see RunUninstallOn.
    std::jmp_buf* stopPoint = nullptr;
    Stop stop = Stop::None;
    std::string fault;  // Stop::Fault: what went wrong, and where

    // What the run did.
    uint32_t lastError = 0;
    int calls = 0;
    std::map<std::string, int> callsOf;
    std::vector<BoxRecord> boxes;  // only when the trace keeps its records
    int resetRequests = 0;
    bool registryChanged = false;
    std::map<void*, size_t> heapBlocks;  // live HeapAlloc blocks
    int badHeapFrees = 0;
    std::map<uintptr_t, std::pair<Root, std::u16string>> openKeys;
    uintptr_t nextKey = 0x1000;

    // Counts the call and asks the fault plan about it.
    std::optional<Fault> Enter(const std::string& op, const std::string& argument);
    [[noreturn]] void StopRun(Stop why);

private:
    DeviceSession* previous_;
};

}  // namespace sim

#endif
