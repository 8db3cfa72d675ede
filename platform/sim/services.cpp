// The device services of device/device.h, acted out on a device image.
#include "platform/sim/services.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "formats/text.h"
#include "platform/sim/kill_step.h"
#include "platform/sim/service_text.h"

namespace sim {

using formats::Root;
using formats::RootName;
using formats::RunningProgram;
using formats::Utf16ToUtf8Lossy;

namespace {

// The window in front: the Today screen.
const uintptr_t kTodayScreen = 0x10010;

}  // namespace

std::optional<Root> RootOfHandle(HKEY handle)
{
    if (handle == HKEY_CLASSES_ROOT) return Root::ClassesRoot;
    if (handle == HKEY_CURRENT_USER) return Root::CurrentUser;
    if (handle == HKEY_LOCAL_MACHINE) return Root::LocalMachine;
    return std::nullopt;
}

std::string HandleName(HKEY handle)
{
    if (std::optional<Root> root = RootOfHandle(handle)) return RootName(*root);
    char text[32];
    (void)std::snprintf(text, sizeof text, "0x%llx",
                        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

DeviceSession::DeviceSession(DeviceImage& image_, Trace& trace_, RunSettings settings)
    : image(image_), trace(trace_), files(image_.Files()), settings_(std::move(settings))
{
    DeviceProgram own;
    own.id = nextProgram_++;
    own.module = u"\\TRQUninstall.exe";
    programs.push_back(std::move(own));
    // What earlier commands' programs started and still runs.
    runningAtStart_ = image.config.running;
    for (const RunningProgram& running : image.config.running) {
        DeviceProgram program;
        program.id = nextProgram_++;
        program.image = program.module = running.program;
        program.heldFiles = running.files;
        if (!running.event.empty()) {
            program.state = DeviceProgram::State::Waiting;
            program.waitsOn = NamedEvent(running.event);
            if (!program.waitsOn) {
                program.waitsOn = std::make_shared<EventObject>(EventObject{running.event, running.manualReset, false});
                namedEvents_[running.event] = program.waitsOn;
            }
        }
        programs.push_back(std::move(program));
    }
}

DeviceSession::~DeviceSession()
{
    for (auto& block : heapBlocks) delete[] static_cast<uint8_t*>(block.first);
}

std::optional<Fault> DeviceSession::Enter(const char* op, std::u16string_view argument)
{
    KillStep();
    ++report_.calls;
    auto counted = callsOf.find(std::string_view(op));
    if (counted == callsOf.end()) counted = callsOf.emplace(op, 0).first;
    const int kindIndex = ++counted->second;
    if (!settings_.faults) return std::nullopt;
    // The name kept: no string made per call.
    std::optional<Fault> fault = settings_.faults(counted->first, report_.calls, kindIndex, argument);
    if (fault) Notes().fault = fault->rule;
    return fault;
}

SimNotes& DeviceSession::Notes()
{
    if (notes_.empty()) return unrecorded_ = SimNotes{};
    return notes_.back();
}

void DeviceSession::Calling(const device_calls::Row& call)
{
    notes_.emplace_back();
    // A call of a program another program started names the program.
    if (current_ != 0) notes_.back().process = programs[current_].id;
    trace.Calling(call, notes_.back());
}

void DeviceSession::Returned(const TracedCall& call)
{
    const SimNotes notes = notes_.empty() ? SimNotes{} : std::move(notes_.back());
    if (!notes_.empty()) notes_.pop_back();
    if (!trace.Wanted()) return;
    if (Stopped()) trace.EndedRun(call, notes);
    else if (!Parked()) trace.Returned(call, notes);
}

BOOL DeviceSession::Failed(uint32_t error)
{
    lastError = error;
    return FALSE;
}

// Faulted: FALSE, error else ERROR_ACCESS_DENIED.
BOOL DeviceSession::SetFileAttributesW(LPCWSTR path, DWORD attributes)
{
    std::optional<Fault> fault = Enter(__func__, Text(path));
    BOOL ok;
    if (fault) ok = Failed(fault->error.value_or(ERROR_ACCESS_DENIED));
    else if (uint32_t error = files.SetAttributes(FilePath(path), attributes)) ok = Failed(error);
    else ok = TRUE;
    return ok;
}

// Faulted: FALSE, error else ERROR_SHARING_VIOLATION. A file another
// program holds is refused as the device's file system refuses it.
BOOL DeviceSession::DeleteFileW(LPCWSTR path)
{
    std::optional<Fault> fault = Enter(__func__, Text(path));
    const std::u16string_view file = FilePath(path);
    BOOL ok;
    std::optional<Holder> holder;
    if (fault) {
        ok = Failed(fault->error.value_or(ERROR_SHARING_VIOLATION));
    } else if ((holder = HolderOf(file)) && files.Exists(file)) {
        ok = Failed(formats::FileSystemOf(image.config.device.fileSystem).HeldError(holder->kind));
        Notes().heldBy = holder->by;
    } else if (uint32_t error = files.DeleteFile(file)) {
        ok = Failed(error);
    } else {
        ok = TRUE;
    }
    return ok;
}

// Faulted: FALSE, error else ERROR_ACCESS_DENIED.
BOOL DeviceSession::RemoveDirectoryW(LPCWSTR path)
{
    std::optional<Fault> fault = Enter(__func__, Text(path));
    BOOL ok;
    if (fault) ok = Failed(fault->error.value_or(ERROR_ACCESS_DENIED));
    else if (uint32_t error = files.RemoveDirectory(FilePath(path))) ok = Failed(error);
    else ok = TRUE;
    return ok;
}

// Faulted: result (else 0), nothing written; error, if given, as the thread's
//   error code. A result over the caller's size is a path that would not fit.
DWORD DeviceSession::GetTempPathW(DWORD size, LPWSTR buffer)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    const std::u16string& temp = image.config.temp;
    DWORD result;
    if (fault) {
        result = static_cast<DWORD>(fault->result.value_or(0));
        if (fault->error) lastError = *fault->error;
    } else if (temp.empty()) {
        result = 0;
        lastError = ERROR_PATH_NOT_FOUND;
    } else if (temp.size() + 1 > size || !buffer) {
        result = static_cast<DWORD>(temp.size() + 1);  // what the caller would need
    } else {
        std::memcpy(buffer, temp.c_str(), (temp.size() + 1) * sizeof(WCHAR));
        result = static_cast<DWORD>(temp.size());
    }
    return result;
}

// Faulted: FALSE, nothing written.
BOOL DeviceSession::SHGetSpecialFolderPath(HWND, LPWSTR buffer, int csidl, BOOL)
{
    std::optional<Fault> fault = Enter(__func__, NumberText(csidl));
    const std::u16string* folder = csidl == CSIDL_STARTUP    ? &image.config.startup
                                   : csidl == CSIDL_PROGRAMS ? &image.config.programs
                                                             : nullptr;
    BOOL ok = FALSE;
    if (!fault && folder && !folder->empty() && folder->size() < MAX_PATH && buffer) {
        std::memcpy(buffer, folder->c_str(), (folder->size() + 1) * sizeof(WCHAR));
        ok = TRUE;
    }
    return ok;
}

// Faulted: result, else error, else 0.
DWORD DeviceSession::GetLastError()
{
    std::optional<Fault> fault = Enter(__func__, u"");
    return fault ? static_cast<DWORD>(fault->Status(0)) : lastError;
}

// Faulted: the code is not stored.
void DeviceSession::SetLastError(DWORD error)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    if (!fault) lastError = error;
}

// Faulted: no window (null).
HWND DeviceSession::GetForegroundWindow()
{
    std::optional<Fault> fault = Enter(__func__, u"");
    return fault ? nullptr : reinterpret_cast<HWND>(kTodayScreen);
}

// Faulted: the box is recorded, the answerer is not asked, and result (else 0, a
//   box that could not be shown) is the button returned.
int DeviceSession::MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT flags)
{
    std::optional<Fault> fault = Enter(__func__, Text(text));
    BoxRecord box{std::u16string(Text(text)), std::u16string(Text(caption)), flags, 0};
    std::optional<int> pressed;
    if (fault) pressed = static_cast<int>(fault->result.value_or(0));
    else if (settings_.answerer) pressed = settings_.answerer(box);
    box.result = pressed.value_or(0);
    if (trace.Keeps()) report_.boxes.push_back(box);  // kept, like the trace, only when asked for
    if (!pressed) report_.stop = Stop::NoAnswer;  // the box stays on the screen
    return box.result;
}

// Faulted: FALSE, no reset.
BOOL DeviceSession::KernelIoControl(DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD)
{
    std::optional<Fault> fault = Enter(__func__, NumberText(code));
    if (fault || code != IOCTL_HAL_REBOOT) return FALSE;
    ++report_.resetRequests;
    if (!settings_.resetReturns) report_.stop = Stop::Reset;  // the device restarts
    return FALSE;
}

// The process heap: the device never looks at its handle.
HANDLE DeviceSession::GetProcessHeap()
{
    return &heapBlocks;
}

// Faulted: null.
LPVOID DeviceSession::HeapAlloc(HANDLE, DWORD, SIZE_T bytes)
{
    return Allocate(bytes, true);
}

void DeviceSession::HeapAllocWithoutRoom(DWORD, SIZE_T bytes)
{
    if (!Allocate(bytes, false)) lastError = ERROR_NOT_ENOUGH_MEMORY;
}

LPVOID DeviceSession::Allocate(SIZE_T bytes, bool heapHasRoom)
{
    std::optional<Fault> fault = Enter("HeapAlloc", NumberText(bytes));
    if (fault || !heapHasRoom) return nullptr;
    uint8_t* block = new uint8_t[bytes ? bytes : 1];
    std::memset(block, 0xCD, bytes);  // as a debug heap: never zero by luck
    heapBlocks[block] = bytes;
    return block;
}

// Faulted: FALSE, and the block stays allocated.
BOOL DeviceSession::HeapFree(HANDLE, DWORD, LPVOID block)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    if (fault) return FALSE;
    auto it = heapBlocks.find(block);
    if (it == heapBlocks.end()) {
        ++report_.badHeapFrees;
        return FALSE;
    }
    delete[] static_cast<uint8_t*>(it->first);
    heapBlocks.erase(it);
    return TRUE;
}

}  // namespace sim
