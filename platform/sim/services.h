// The simulated device as one run of a program sees it: the device image
// the calls act on, and every call of device/device_calls.h as a member
// function of the same name and parameters.
//
// Whoever runs a program on the device calls these members: the ARM
// emulator from each COREDLL export it serves (harness/emulator/), and,
// for the device code built for this host, the free functions of
// device/device.h that the runner binds to one device for a run
// (harness/runner/bound_device.h). Nothing here reaches a device but the
// one it is called on.
//
// A call that ends the run on a real device (a soft reset that the device
// takes, a box nobody answers) returns all the same, with Stopped() true:
// the caller makes no further call.
#ifndef TRQ_SIM_SERVICES_H
#define TRQ_SIM_SERVICES_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/device.h"
#include "platform/sim/back_end.h"
#include "platform/sim/device_image.h"
#include "platform/sim/device_objects.h"
#include "platform/sim/trace.h"

namespace sim {

using formats::Root;

struct BoxRecord {
    std::u16string text;
    std::u16string caption;
    uint32_t flags = 0;
    int result = 0;
};

// Presses a button of a message box: IDOK, IDYES, IDNO or IDCANCEL, or
// nothing when no answer is left (the run then stops at that box).
using BoxAnswerer = std::function<std::optional<int>(const BoxRecord& box)>;

// Why the device stopped running the program before it returned.
enum class Stop {
    None,
    Reset,     // the device restarted
    NoAnswer,  // a box found no answer
    Fault,     // the program itself broke down (see DeviceSession::fault)
    Waiting,   // the program waits on an event no program has set: it stays running
};

// A fault to inject into one platform call; see FaultPlan. A faulted call
// does nothing on the device and fails as a device's call of its kind
// fails; each service says how beside the code that fails it (services.cpp,
// file_services.cpp, registry_services.cpp, process_services.cpp).
// GetProcessHeap and Sleep are never failed.
struct Fault {
    std::optional<int64_t> result;  // the call's return value
    std::optional<uint32_t> error;  // the thread's error code afterwards
    std::optional<std::string> data;  // RegQueryValueExW: the bytes returned
    std::optional<uint32_t> type;     // RegQueryValueExW: the type returned
    std::string rule;                 // the --fail rule that made it, as written, for the trace

    // What a call that returns a status gives back: result, else error,
    // else the call's own way of failing.
    int64_t Status(int64_t ownFailure) const { return result.value_or(error.value_or(ownFailure)); }
};

// Decides, for each platform call, whether it fails. `index` counts every
// traced call of the run from 1; `kindIndex` counts calls of that op from 1;
// `argument` is the call's path, value name or CSIDL as text, as the call
// has it (UTF-16, not copied: a plan that keeps it makes its own copy).
using FaultPlan = std::function<std::optional<Fault>(const std::string& op, int index,
                                                     int kindIndex, std::u16string_view argument)>;

// The key a registry handle names on the device: one of the three roots,
// or nothing for any other handle.
std::optional<Root> RootOfHandle(HKEY handle);
// A handle as the reports name it: the root's name ("HKEY_LOCAL_MACHINE"),
// or its value ("0x1000").
std::string HandleName(HKEY handle);

// What the device's GetVersionExW and SystemParametersInfoW answer, from
// device.ini's [Device], as the trace build asks for them: the facts its
// trace's first records name.
DeviceFacts DeviceFactsOf(const formats::DeviceSection& device);

// How the device meets one run: who answers its boxes, which calls fail,
// whether a soft reset comes back, and whether the registry goes to
// registry.reg during the run, as the device keeps it (a RAM registry at each
// change, a hive one at each RegFlushKey): for a run that writes the device
// back.
struct RunSettings {
    BoxAnswerer answerer;
    FaultPlan faults;
    bool resetReturns = false;  // KernelIoControl comes back instead of restarting
    bool persistRegistry = false;
};

// What one run did, as the device tells it once the run's program has come
// back (DeviceSession::EndRun).
struct RunReport {
    Stop stop = Stop::None;  // Reset: the device restarted; NoAnswer: left at a box; Waiting: still running
    std::string fault;       // Stop::Fault: what went wrong, and where
    std::vector<BoxRecord> boxes;  // only when the trace keeps its records
    int resetRequests = 0;
    int calls = 0;
    size_t heapBlocksLeft = 0;  // still allocated when the run ended
    int badHeapFrees = 0;
    size_t keysLeftOpen = 0;
    // What became of the programs the run started, and of the run's own
    // program when it waits.
    std::vector<ProgramNote> programs;
    bool registryChanged = false;  // registry.reg is to be written back
    bool configChanged = false;    // device.ini's [Running] is to be written back
};

// The simulated device of one run: the back end (back_end.h) the device code
// built for this host is bound to, and the device the emulator serves.
class DeviceSession final : public BackEnd {
public:
    DeviceSession(DeviceImage& image, Trace& trace, RunSettings settings = {});
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // The device calls of every tier, each as device/device.h declares it:
    // the uninstaller's (services.cpp, registry_services.cpp), the back end
    // the host build of the device code reaches; the trace build's and the
    // device kit's (file_services.cpp, registry_services.cpp,
    // process_services.cpp), which only emulated programs make.
#define TRQ_DECLARE_SERVICE(type, name, params, args, faults, success, kinds) type name params override;
    TRQ_DEVICE_CALLS(TRQ_DECLARE_SERVICE)
#undef TRQ_DECLARE_SERVICE
#define TRQ_DECLARE_SERVICE(type, name, params, args, faults, success, kinds) type name params;
    TRQ_TRACE_CALLS(TRQ_DECLARE_SERVICE)
    TRQ_KIT_CALLS(TRQ_DECLARE_SERVICE)
#undef TRQ_DECLARE_SERVICE

    // The program the command runs, by the device path it is known by
    // (GetModuleFileNameW answers it) and whether that is its image among
    // the device's files, held open while it runs; and the instance handle
    // it knows itself by. By default "\TRQUninstall.exe", no file.
    void RunsProgram(std::u16string path, bool imageOnDevice);
    void SetModuleHandle(uintptr_t handle);
    // The command's program has come back (returned, broken down, waiting
    // or stopped): its handles close unless it waits; the programs still
    // running go to device.ini's [Running] (image.config.running). Then
    // what the run did, given away: called once, at the run's end.
    RunReport EndRun();
    // The emulated program broke down (what went wrong, and where): the run
    // stops there (Stop::Fault).
    void ProgramBrokeDown(std::string what);
    // Lends the device the loader of the Pocket PC images that programs
    // start, for as long as the lender's run lasts; gives back the one it had
    // (none: each program started is a stand-in, see CreateProcessW in
    // process_services.cpp).
    ProgramLoader LendProgramLoader(ProgramLoader loader);
    // Whether the program now running waits (WaitForSingleObject on an
    // event that is not set, without a time-out): it runs no further. For
    // the command's own program, that also stops the run (Stop::Waiting).
    bool Parked() const;

    // HeapAlloc for a heap that has no room for the block (the emulated
    // process heap decides that): the device sees the call and fails it,
    // NULL with ERROR_NOT_ENOUGH_MEMORY.
    void HeapAllocWithoutRoom(DWORD flags, SIZE_T bytes);

    // Whether the last call ended the run; see RunReport::stop.
    bool Stopped() const override { return report_.stop != Stop::None; }
    DWORD ErrorCode() const override { return lastError; }
    // A call about to be made and the call that returned, as the dispatcher
    // that passes it on has its words (bound_device.cpp for the host build,
    // the emulator's COREDLL for a program it runs): the trace writes and
    // keeps its record, with the notes the services took of it. A call that
    // ended the run, or parked its program, has none.
    void Calling(const device_calls::Row& call) override;
    void Returned(const TracedCall& call) override;

    DeviceImage& image;
    Trace& trace;

private:
    // Counts the call op and asks the fault plan about it; a fault's rule
    // goes to the call's notes.
    std::optional<Fault> Enter(const char* op, std::u16string_view argument);
    // What the trace notes of the call being served, beside its record.
    SimNotes& Notes();
    BOOL Failed(uint32_t error);
    bool KeyOf(HKEY key, Root& root, std::u16string& path) const;
    HKEY OpenKeyHandle(Root root, std::u16string path);
    LONG FindOpenKey(HKEY handle, Root& root, std::u16string& path, formats::RegKey*& key);
    LONG FindOpenKey(HKEY handle, formats::RegKey*& key);
    LPVOID Allocate(SIZE_T bytes, bool heapHasRoom);

    // file_services.cpp: a path argument as the device's files read it
    // (a desktop Windows device's drive names its root); whether a file may
    // be opened with access and share now, given everything that holds it;
    // what holds it, if anything, and how (a program's image before a
    // handle); the table's free handle.
    std::u16string_view FilePath(LPCWSTR path) const;
    bool MayOpen(const std::u16string& path, uint32_t access, uint32_t share) const;
    struct Holder {
        formats::HoldKind kind;
        const char* by;  // "user" ([HeldOpen]), "device" ([HeldByDevice]) or "program"
    };
    std::optional<Holder> HolderOf(std::u16string_view path) const;
    uintptr_t AddHandle(DeviceHandle handle);
    DeviceHandle* HandleOf(HANDLE handle, DeviceHandle::Kind kind);
    OpenFile* FileOf(HANDLE handle);
    uint32_t TransferRefusal(const std::optional<Fault>& fault, uint32_t otherwise, HANDLE file, const void* data,
                             DWORD bytes, LPOVERLAPPED overlapped, uint32_t access, OpenFile*& open);
    // registry_services.cpp: whether the registry may grow by bytes more;
    // a change made, kept at once where the device's registry is in RAM.
    bool RegistryMayGrow(uint64_t bytes);
    void RegistryWritten();
    // process_services.cpp
    DeviceProgram& Current();
    DeviceProgram* ProgramWithId(int id);
    void Park(std::shared_ptr<EventObject> event);
    void EndProgram(DeviceProgram& program, std::string what);
    std::shared_ptr<EventObject> NamedEvent(const std::u16string& name) const;
    std::vector<std::u16string> EndWaitersOf(const std::shared_ptr<EventObject>& event, bool all);
    BOOL StartProgram(DeviceProgram program, const std::u16string& commandLine, LoadedProgram* loaded,
                      LPPROCESS_INFORMATION information);

    DeviceFiles files;
    const RunSettings settings_;

    // What the run did, as EndRun gives it back; its stop ends the run.
    RunReport report_;
    uint32_t lastError = 0;
    std::map<std::string, int, std::less<>> callsOf;  // each op's calls so far
    std::map<void*, size_t> heapBlocks;  // live HeapAlloc blocks
    std::map<uintptr_t, std::pair<Root, std::u16string>> openKeys;
    uintptr_t nextKey = 0x1000;

    // Files, events and programs: every program's handles, in one table, each
    // handle its owner's only.
    std::map<uintptr_t, DeviceHandle> handles;
    std::vector<DeviceProgram> programs;  // the command's own first
    // Loads the Pocket PC images programs start; none: each program started
    // is a stand-in (see CreateProcessW in process_services.cpp).
    ProgramLoader loader;
    uint64_t bytesWritten = 0;  // by WriteFile and CopyFileW
    int made = 0;               // files and folders they and CreateDirectoryW made
    int starts = 0;             // programs started by CreateProcessW

    std::vector<SimNotes> notes_;  // of each call being served, the innermost last
    SimNotes unrecorded_;          // of a call served without Calling (a test's direct call)
    size_t current_ = 0;  // index in programs of the one running now
    int nextProgram_ = 1;
    uintptr_t nextHandle_ = 0x40000;
    std::map<std::u16string, std::weak_ptr<EventObject>> namedEvents_;
    std::vector<formats::RunningProgram> runningAtStart_;  // device.ini's, to tell a change
    std::optional<uint64_t> registryBytes_;  // registry.reg's bound, once counted
};

}  // namespace sim

#endif
