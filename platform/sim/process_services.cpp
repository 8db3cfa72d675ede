// The device's facts (GetVersionExW, SystemParametersInfoW from device.ini's
// [Device]) and its programs: the one a command runs, those it starts
// (CreateProcessW), the events they set and wait on, and what stays
// running from one command to the next (device.ini's [Running]).
//
// A program that waits, without a time-out, on an event that is not set
// runs no further: it stays running, holding its image and the files its
// handles have open, until a later program sets the event (then it ends:
// it is not resumed) or the device restarts. Nothing a program starts runs
// on the host: a Pocket PC image runs in the emulator that loaded it
// (loader), and any other file, such as the sample device's stand-ins, is
// taken as a program that runs until the device restarts, as the Startup
// rule takes a shortcut's target.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "platform/sim/device_startup.h"
#include "platform/sim/service_text.h"
#include "platform/sim/services.h"

namespace sim {

using formats::RunningProgram;
using formats::SameDevicePath;

namespace {

constexpr DWORD kThreadIds = 0x1000;  // a program's thread: its id plus this

// Copies text and its NUL into a buffer of units characters.
void CopyText(const std::u16string& text, WCHAR* buffer, size_t units)
{
    const size_t n = std::min(text.size(), units - 1);
    std::memcpy(buffer, text.data(), n * sizeof(WCHAR));
    buffer[n] = 0;
}

// Whether device.ini can keep an event's name, should a program wait on it
// past the command: no control character, no lone surrogate, no blank at
// either end (which device.ini does not keep), at most MAX_PATH characters.
bool KeepableName(const std::u16string& name)
{
    if (name.size() > MAX_PATH || name.front() == u' ' || name.back() == u' ') return false;
    for (char16_t c : name)
        if (c < 0x20 || c == 0x7F) return false;
    return formats::IsValidUtf16(name);
}

std::string WaitNote(const std::shared_ptr<EventObject>& event)
{
    if (event && !event->name.empty())
        return "waits on the event \"" + formats::Utf16ToUtf8Lossy(event->name) + "\": it stays running";
    return "waits on what no program can set: it stays running until the device restarts";
}

}  // namespace

// ------------------------------------------------------------ device facts --

// Faulted: FALSE, error else ERROR_INVALID_PARAMETER; nothing written.
BOOL DeviceSession::GetVersionExW(LPOSVERSIONINFOW info)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    const DWORD size = info ? info->dwOSVersionInfoSize : 0;
    const formats::DeviceSection& facts = image.config.device;
    BOOL ok = FALSE;
    if (fault) ok = Failed(fault->error.value_or(ERROR_INVALID_PARAMETER));
    else if (!info) ok = Failed(ERROR_INVALID_PARAMETER);
    else if (size < sizeof(OSVERSIONINFOW)) ok = Failed(ERROR_INSUFFICIENT_BUFFER);
    else {
        info->dwMajorVersion = facts.majorVersion;
        info->dwMinorVersion = facts.minorVersion;
        info->dwBuildNumber = facts.buildNumber;
        info->dwPlatformId = facts.platformId;
        std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
        CopyText(facts.servicePack, info->szCSDVersion, 128);
        ok = TRUE;
    }
    return ok;
}

// Faulted: FALSE, error else ERROR_INVALID_PARAMETER; nothing written.
//
// SPI_GETPLATFORMTYPE and SPI_GETOEMINFO, whose size is the buffer's in
// bytes, as on Windows CE.
BOOL DeviceSession::SystemParametersInfoW(UINT action, UINT size, PVOID buffer, UINT)
{
    std::optional<Fault> fault = Enter(__func__, NumberText(action));
    const formats::DeviceSection& facts = image.config.device;
    const std::u16string* text = action == SPI_GETPLATFORMTYPE ? &facts.platformType
                                 : action == SPI_GETOEMINFO    ? &facts.oemInfo
                                                               : nullptr;
    BOOL ok = FALSE;
    if (fault) ok = Failed(fault->error.value_or(ERROR_INVALID_PARAMETER));
    else if (!text || !buffer) ok = Failed(ERROR_INVALID_PARAMETER);
    else if (size < (text->size() + 1) * sizeof(WCHAR)) ok = Failed(ERROR_INSUFFICIENT_BUFFER);
    else {
        CopyText(*text, static_cast<WCHAR*>(buffer), text->size() + 1);
        ok = TRUE;
    }
    return ok;
}

DeviceFacts DeviceFactsOf(const formats::DeviceSection& device)
{
    // As GetVersionExW answers an OSVERSIONINFOW of its size, and
    // SystemParametersInfoW a text that fits the buffer: kFactChars
    // characters, its NUL included.
    DeviceFacts facts{};
    facts.osKnown = TRUE;
    facts.os.dwOSVersionInfoSize = sizeof facts.os;
    facts.os.dwMajorVersion = device.majorVersion;
    facts.os.dwMinorVersion = device.minorVersion;
    facts.os.dwBuildNumber = device.buildNumber;
    facts.os.dwPlatformId = device.platformId;
    CopyText(device.servicePack, facts.os.szCSDVersion, 128);
    for (auto [text, known, buffer] : {std::tuple{&device.platformType, &facts.platformTypeKnown, facts.platformType},
                                       std::tuple{&device.oemInfo, &facts.oemKnown, facts.oem}}) {
        *known = text->size() < kFactChars;
        if (*known) CopyText(*text, buffer, kFactChars);
    }
    return facts;
}

// ---------------------------------------------------------------- programs --

DeviceProgram& DeviceSession::Current() { return programs[current_]; }

DeviceProgram* DeviceSession::ProgramWithId(int id)
{
    for (DeviceProgram& program : programs)
        if (program.id == id) return &program;
    return nullptr;
}

void DeviceSession::RunsProgram(std::u16string path, bool imageOnDevice)
{
    programs[0].image = imageOnDevice ? path : std::u16string();
    programs[0].module = std::move(path);
}

void DeviceSession::SetModuleHandle(uintptr_t handle) { Current().moduleHandle = handle; }

bool DeviceSession::Parked() const { return programs[current_].state == DeviceProgram::State::Waiting; }

void DeviceSession::Park(std::shared_ptr<EventObject> event)
{
    Current().state = DeviceProgram::State::Waiting;
    Current().waitsOn = std::move(event);
    if (current_ == 0) report_.stop = Stop::Waiting;
}

// The program's handles close, and with them what they held.
void DeviceSession::EndProgram(DeviceProgram& program, std::string what)
{
    program.state = DeviceProgram::State::Ended;
    program.waitsOn.reset();
    program.heldFiles.clear();
    for (auto it = handles.begin(); it != handles.end();)
        it = it->second.owner == program.id ? handles.erase(it) : std::next(it);
    if (!what.empty()) report_.programs.push_back({program.module, std::move(what)});
}

RunReport DeviceSession::EndRun()
{
    DeviceProgram& own = programs[0];
    if (own.state == DeviceProgram::State::Waiting) report_.programs.push_back({own.module, WaitNote(own.waitsOn)});
    else EndProgram(own, "");
    std::vector<RunningProgram> running;
    for (const DeviceProgram& program : programs) {
        if (program.state == DeviceProgram::State::Ended) continue;
        RunningProgram kept{program.image.empty() ? program.module : program.image, program.heldFiles, {}, false};
        for (const auto& [value, handle] : handles) {
            if (handle.owner != program.id || handle.kind != DeviceHandle::Kind::File) continue;
            const std::u16string& path = handle.file.path;
            const bool listed = SameDevicePath(path, kept.program) ||
                                std::any_of(kept.files.begin(), kept.files.end(),
                                            [&](const std::u16string& f) { return SameDevicePath(f, path); });
            if (!listed) kept.files.push_back(path);
        }
        if (program.waitsOn && !program.waitsOn->name.empty()) {
            kept.event = program.waitsOn->name;
            kept.manualReset = program.waitsOn->manualReset;
        }
        running.push_back(std::move(kept));
    }
    report_.configChanged = running != runningAtStart_;
    image.config.running = std::move(running);

    report_.heapBlocksLeft = heapBlocks.size();
    report_.keysLeftOpen = openKeys.size();
    return std::move(report_);
}

void DeviceSession::ProgramBrokeDown(std::string what)
{
    report_.stop = Stop::Fault;
    report_.fault = std::move(what);
}

ProgramLoader DeviceSession::LendProgramLoader(ProgramLoader lent)
{
    std::swap(loader, lent);
    return lent;
}

std::shared_ptr<EventObject> DeviceSession::NamedEvent(const std::u16string& name) const
{
    auto it = namedEvents_.find(name);
    return it == namedEvents_.end() ? nullptr : it->second.lock();
}

// Ends the programs waiting on event, in the order they started: every one,
// or the first.
std::vector<std::u16string> DeviceSession::EndWaitersOf(const std::shared_ptr<EventObject>& event, bool all)
{
    std::vector<std::u16string> ended;
    for (size_t i = 0; i < programs.size(); ++i) {
        if (programs[i].state != DeviceProgram::State::Waiting || programs[i].waitsOn != event) continue;
        ended.push_back(programs[i].module);
        EndProgram(programs[i], "ended: the event it waited on was set");
        if (!all) break;
    }
    return ended;
}

// Faulted: result (else 0), error else ERROR_INVALID_HANDLE; nothing written.
//
// The running program's own path: the device path it was started by (for
// the command's own program, what RunsProgram named). A buffer too short
// gets what fits and its NUL, and the call answers its size.
DWORD DeviceSession::GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    const DeviceProgram& running = Current();
    DWORD result = 0;
    std::u16string written;
    if (fault) {
        result = static_cast<DWORD>(fault->result.value_or(0));
        lastError = fault->error.value_or(ERROR_INVALID_HANDLE);
    } else if (module && reinterpret_cast<uintptr_t>(module) != running.moduleHandle) {
        lastError = ERROR_MOD_NOT_FOUND;
    } else if (!buffer || !size) {
        lastError = buffer ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER;
    } else {
        written = running.module.substr(0, size - 1);
        CopyText(written, buffer, size);
        result = written.size() < running.module.size() ? size : static_cast<DWORD>(written.size());
        if (written.size() < running.module.size()) lastError = ERROR_INSUFFICIENT_BUFFER;
    }
    return result;
}

// Faulted: FALSE, error else ERROR_NOT_ENOUGH_MEMORY; nothing starts.
BOOL DeviceSession::CreateProcessW(LPCWSTR program, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                   BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION information)
{
    std::optional<Fault> fault = Enter(__func__, Text(program));
    // A name without a folder is looked up in \Windows, as the loader does.
    const std::optional<std::u16string> path = program ? LibraryPath(FilePath(program)) : std::nullopt;
    FileFacts facts;
    size_t running = 0;
    for (size_t i = 1; i < programs.size(); ++i) running += programs[i].state != DeviceProgram::State::Ended;
    LoadedProgram loaded;
    const auto refusal = [&]() -> uint32_t {
        if (fault) return fault->error.value_or(ERROR_NOT_ENOUGH_MEMORY);
        if (!program) return ERROR_INVALID_PARAMETER;
        if (!path || files.Look(*path, facts) != 0 || facts.kind != FileKind::File) return ERROR_FILE_NOT_FOUND;
        if (running >= kMostRunning || starts >= kMostStarts || handles.size() + 2 > kMostHandles)
            return ERROR_NOT_ENOUGH_MEMORY;
        if (!MayOpen(facts.canonical, GENERIC_READ, FILE_SHARE_READ)) return ERROR_SHARING_VIOLATION;
        std::string bytes;
        if (files.ReadAt(facts.canonical, 0, 2, bytes) != 0) return ERROR_ACCESS_DENIED;
        if (bytes != "MZ" || !loader) return 0;  // a stand-in
        std::string why;
        if (facts.size > kLargestDeviceFile || files.ReadAt(facts.canonical, 0, facts.size, bytes) != 0 ||
            !loader(formats::Utf16ToUtf8Lossy(facts.canonical.substr(facts.canonical.rfind(u'\\') + 1)), bytes,
                    loaded, why))
            return ERROR_BAD_EXE_FORMAT;
        return 0;
    };
    if (uint32_t error = refusal()) {
        Failed(error);
        return FALSE;
    }
    DeviceProgram started;
    started.id = nextProgram_++;
    started.image = started.module = facts.canonical;
    started.moduleHandle = loaded.moduleHandle;
    return StartProgram(std::move(started), std::u16string(Text(commandLine)), loaded.run ? &loaded : nullptr, information);
}

BOOL DeviceSession::StartProgram(DeviceProgram program, const std::u16string& commandLine, LoadedProgram* loaded,
                                 LPPROCESS_INFORMATION information)
{
    ++starts;
    const int id = program.id;
    DeviceHandle process, thread;
    process.kind = DeviceHandle::Kind::Process;
    thread.kind = DeviceHandle::Kind::Thread;
    process.program = thread.program = id;
    const uintptr_t processHandle = AddHandle(std::move(process)), threadHandle = AddHandle(std::move(thread));
    if (information) {
        information->hProcess = reinterpret_cast<HANDLE>(processHandle);
        information->hThread = reinterpret_cast<HANDLE>(threadHandle);
        information->dwProcessId = static_cast<DWORD>(id);
        information->dwThreadId = kThreadIds + static_cast<DWORD>(id);
    }
    programs.push_back(std::move(program));
    const size_t index = programs.size() - 1;
    Notes().started = id;
    if (!loaded) {
        report_.programs.push_back({programs[index].module,
                                "no Pocket PC image: taken as a program that runs until the device restarts"});
        return TRUE;
    }
    // It runs now, until it returns, breaks down or waits: the program that
    // started it goes on once it does. Each has its own thread's error code.
    const size_t parent = current_;
    programs[parent].lastError = lastError;
    current_ = index;
    lastError = 0;
    const ProgramRun run = loaded->run(*this, commandLine);
    DeviceProgram& ran = programs[index];  // the table may have grown meanwhile
    if (Stopped()) {
        // The device restarted or waits at a box: it stays as it is.
    } else if (!run.fault.empty()) {
        EndProgram(ran, "broke down: " + run.fault);
    } else if (ran.state == DeviceProgram::State::Waiting) {
        report_.programs.push_back({ran.module, WaitNote(ran.waitsOn)});
    } else {
        EndProgram(ran, "returned " + std::to_string(run.exitCode));
    }
    current_ = parent;
    lastError = programs[parent].lastError;
    return TRUE;
}

// ------------------------------------------------------------------ events --

// Faulted: null, error else ERROR_NOT_ENOUGH_MEMORY.
HANDLE DeviceSession::CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    std::optional<Fault> fault = Enter(__func__, Text(name));
    const std::u16string named(Text(name));
    HANDLE result = nullptr;
    std::shared_ptr<EventObject> event;
    if (fault) {
        lastError = fault->error.value_or(ERROR_NOT_ENOUGH_MEMORY);
    } else if (!named.empty() && !KeepableName(named)) {
        lastError = ERROR_INVALID_NAME;
    } else if (handles.size() >= kMostHandles) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        // A second create of a name gets the same event, as it was made.
        event = named.empty() ? nullptr : NamedEvent(named);
        lastError = event ? ERROR_ALREADY_EXISTS : 0;
        if (!event) {
            event = std::make_shared<EventObject>(EventObject{named, manualReset != FALSE, initialState != FALSE});
            if (!named.empty()) namedEvents_[named] = event;
        }
        DeviceHandle handle;
        handle.kind = DeviceHandle::Kind::Event;
        handle.event = event;
        result = reinterpret_cast<HANDLE>(AddHandle(std::move(handle)));
    }
    return result;
}

// Faulted: FALSE, error else ERROR_INVALID_HANDLE; the event is as it was.
BOOL DeviceSession::EventModify(HANDLE event, DWORD function)
{
    std::optional<Fault> fault = Enter(__func__, NumberText(function));
    DeviceHandle* handle = fault ? nullptr : HandleOf(event, DeviceHandle::Kind::Event);
    BOOL ok = FALSE;
    std::vector<std::u16string> ended;
    if (fault) {
        ok = Failed(fault->error.value_or(ERROR_INVALID_HANDLE));
    } else if (!handle) {
        ok = Failed(ERROR_INVALID_HANDLE);
    } else if (function != EVENT_SET && function != EVENT_PULSE && function != EVENT_RESET) {
        ok = Failed(ERROR_INVALID_PARAMETER);
    } else {
        // Setting ends the programs that wait on it: every one for a
        // manual-reset event, which stays set; the first for an auto-reset
        // one, which stays set only when none waited. A pulse ends them the
        // same way and leaves the event reset.
        const std::shared_ptr<EventObject> object = handle->event;
        if (function != EVENT_RESET) ended = EndWaitersOf(object, object->manualReset);
        object->set = function == EVENT_SET && (object->manualReset || ended.empty());
        ok = TRUE;
    }
    Notes().ended = static_cast<int>(ended.size());
    return ok;
}

// Faulted: result, else WAIT_FAILED, error else ERROR_INVALID_HANDLE; the
//   program does not wait.
//
// No host time passes: a wait with a time-out on what is not signalled times
// out at once, and one without parks the program.
DWORD DeviceSession::WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    auto it = handles.find(reinterpret_cast<uintptr_t>(object));
    const bool mine = it != handles.end() && it->second.owner == Current().id;
    DWORD result = WAIT_FAILED;
    if (fault) {
        result = static_cast<DWORD>(fault->result.value_or(WAIT_FAILED));
        lastError = fault->error.value_or(ERROR_INVALID_HANDLE);
    } else if (!mine || it->second.kind == DeviceHandle::Kind::File) {
        lastError = ERROR_INVALID_HANDLE;
    } else if (it->second.kind == DeviceHandle::Kind::Event) {
        const std::shared_ptr<EventObject> event = it->second.event;
        if (event->set) {
            if (!event->manualReset) event->set = false;
            result = WAIT_OBJECT_0;
        } else if (milliseconds != INFINITE) {
            result = WAIT_TIMEOUT;
        } else {
            Park(event);
        }
    } else {
        // A program's process or thread is signalled when it has ended; one
        // that waits is waited for until what it waits on is set.
        const DeviceProgram* target = ProgramWithId(it->second.program);
        if (!target || target->state == DeviceProgram::State::Ended) {
            result = WAIT_OBJECT_0;
        } else if (milliseconds != INFINITE) {
            result = WAIT_TIMEOUT;
        } else {
            Park(target->waitsOn);
        }
    }
    return result;
}

void DeviceSession::Sleep(DWORD) {}

}  // namespace sim
