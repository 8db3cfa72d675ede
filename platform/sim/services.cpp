// The device services of device/device.h, acted out on a device image.
#include "platform/sim/services.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/device.h"
#include "formats/text.h"
#include "platform/sim/kill_step.h"

namespace sim {

static DeviceSession* g_active = nullptr;

DeviceSession::DeviceSession(DeviceImage& image_, Trace& trace_)
    : image(image_), files(image_.Files()), trace(trace_), previous_(g_active)
{
    g_active = this;
}

DeviceSession::~DeviceSession()
{
    for (auto& block : heapBlocks) delete[] static_cast<uint8_t*>(block.first);
    g_active = previous_;
}

DeviceSession& DeviceSession::Active()
{
    if (!g_active) {
        std::fputs("simulated device: a platform call with no device session\n", stderr);
        std::abort();
    }
    return *g_active;
}

std::optional<Fault> DeviceSession::Enter(const std::string& op, const std::string& argument)
{
    KillStep();
    ++calls;
    int kindIndex = ++callsOf[op];
    if (!faults) return std::nullopt;
    return faults(op, calls, kindIndex, argument);
}

void DeviceSession::StopRun(Stop why)
{
    stop = why;
    if (!stopPoint) {
        std::fputs("simulated device: the run stopped outside RunUninstallOn\n", stderr);
        std::abort();
    }
    std::longjmp(*stopPoint, 1);
}

}  // namespace sim

using sim::DeviceSession;
using sim::Fault;

namespace {

std::u16string Text(LPCWSTR s)
{
    return s ? std::u16string(s) : std::u16string();
}

std::string Utf8(LPCWSTR s)
{
    return sim::Utf16ToUtf8Lossy(Text(s));
}

const char* RootName(HKEY root)
{
    if (root == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
    if (root == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
    if (root == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
    return nullptr;
}

nlohmann::ordered_json RootJson(HKEY root)
{
    if (const char* name = RootName(root)) return name;
    char handle[32];
    std::snprintf(handle, sizeof handle, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(root)));
    return handle;
}

// The key a handle stands for: a root, or a key opened earlier.
bool KeyOf(DeviceSession& s, HKEY key, sim::Root& root, std::u16string& path)
{
    if (key == HKEY_CLASSES_ROOT) root = sim::Root::ClassesRoot;
    else if (key == HKEY_CURRENT_USER) root = sim::Root::CurrentUser;
    else if (key == HKEY_LOCAL_MACHINE) root = sim::Root::LocalMachine;
    else {
        auto it = s.openKeys.find(reinterpret_cast<uintptr_t>(key));
        if (it == s.openKeys.end()) return false;
        root = it->second.first;
        path = it->second.second;
        return true;
    }
    path.clear();
    return true;
}

std::u16string Join(const std::u16string& parent, LPCWSTR child)
{
    std::u16string sub = Text(child);
    if (parent.empty()) return sub;
    if (sub.empty()) return parent;
    return parent + u"\\" + sub;
}

BOOL Fail(DeviceSession& s, uint32_t error)
{
    s.lastError = error;
    return FALSE;
}

}  // namespace

LONG RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("RegOpenKeyExW", Utf8(subKey));
    LONG status;
    sim::Root r;
    std::u16string base;
    if (fault) {
        status = static_cast<LONG>(fault->result.value_or(fault->error.value_or(ERROR_FILE_NOT_FOUND)));
    } else if (!result) {
        status = ERROR_INVALID_PARAMETER;
    } else if (!KeyOf(s, root, r, base)) {
        status = ERROR_INVALID_HANDLE;
    } else {
        std::u16string path = Join(base, subKey);
        if (!s.image.registry.registry.Find(r, path)) {
            status = ERROR_FILE_NOT_FOUND;
        } else {
            uintptr_t handle = s.nextKey++;
            s.openKeys[handle] = {r, path};
            *result = reinterpret_cast<HKEY>(handle);
            status = ERROR_SUCCESS;
        }
    }
    s.trace.Add({{"op", "RegOpenKeyExW"}, {"root", RootJson(root)}, {"path", Utf8(subKey)},
                 {"options", options}, {"access", access}, {"result", status}});
    return status;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD bytes)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("RegQueryValueExW", Utf8(name));
    DWORD offered = bytes ? *bytes : 0;
    LONG status;
    sim::Root r;
    std::u16string path;
    const sim::RegKey* k = nullptr;
    if (fault && !fault->data) {
        status = static_cast<LONG>(fault->result.value_or(fault->error.value_or(ERROR_FILE_NOT_FOUND)));
    } else if (reserved || (data && !bytes)) {
        status = ERROR_INVALID_PARAMETER;
    } else if (!fault && !KeyOf(s, key, r, path)) {
        status = ERROR_INVALID_HANDLE;
    } else if (!fault && !(k = s.image.registry.registry.Find(r, path))) {
        status = 1018;  // ERROR_KEY_DELETED
    } else {
        sim::RegValue injected;
        const sim::RegValue* v;
        if (fault) {
            injected.type = fault->type.value_or(REG_SZ);
            injected.data.assign(fault->data->begin(), fault->data->end());
            v = &injected;
        } else {
            v = k->FindValue(Text(name));
        }
        if (!v) {
            status = ERROR_FILE_NOT_FOUND;
        } else {
            DWORD size = static_cast<DWORD>(v->data.size());
            if (type) *type = v->type;
            if (fault) {
                // A misbehaving platform: whatever it claims, it writes no
                // more than the buffer holds.
                if (data && size) std::memcpy(data, v->data.data(), std::min(size, offered));
                status = static_cast<LONG>(fault->result.value_or(fault->error.value_or(ERROR_SUCCESS)));
            } else if (data && size > offered) {
                status = ERROR_MORE_DATA;
            } else {
                if (data && size) std::memcpy(data, v->data.data(), size);
                status = ERROR_SUCCESS;
            }
            if (bytes) *bytes = size;
        }
    }
    s.trace.Add({{"op", "RegQueryValueExW"}, {"name", Utf8(name)}, {"bytes", offered},
                 {"result", status}});
    return status;
}

LONG RegCloseKey(HKEY key)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("RegCloseKey", "");
    s.trace.Add({{"op", "RegCloseKey"}});
    if (fault) return static_cast<LONG>(fault->result.value_or(fault->error.value_or(ERROR_INVALID_HANDLE)));
    return s.openKeys.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegDeleteKeyW(HKEY root, LPCWSTR subKey)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("RegDeleteKeyW", Utf8(subKey));
    LONG status;
    sim::Root r;
    std::u16string base;
    if (fault) {
        status = static_cast<LONG>(fault->result.value_or(fault->error.value_or(ERROR_ACCESS_DENIED)));
    } else if (!KeyOf(s, root, r, base)) {
        status = ERROR_INVALID_HANDLE;
    } else if (Text(subKey).empty()) {
        status = ERROR_ACCESS_DENIED;  // a key cannot delete itself through an empty path
    } else if (s.image.registry.registry.Delete(r, Join(base, subKey))) {
        // As on Windows CE, the key goes with everything below it.
        s.registryChanged = true;
        status = ERROR_SUCCESS;
    } else {
        status = ERROR_FILE_NOT_FOUND;
    }
    s.trace.Add({{"op", "RegDeleteKeyW"}, {"root", RootJson(root)}, {"path", Utf8(subKey)},
                 {"result", status}});
    return status;
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("SetFileAttributesW", Utf8(path));
    BOOL ok;
    if (fault) ok = Fail(s, fault->error.value_or(ERROR_ACCESS_DENIED));
    else if (uint32_t error = s.files.SetAttributes(Text(path), attributes)) ok = Fail(s, error);
    else ok = TRUE;
    s.trace.Add({{"op", "SetFileAttributesW"}, {"path", Utf8(path)}, {"attributes", attributes}});
    return ok;
}

BOOL DeleteFileW(LPCWSTR path)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("DeleteFileW", Utf8(path));
    BOOL ok;
    if (fault) ok = Fail(s, fault->error.value_or(ERROR_SHARING_VIOLATION));
    else if (s.files.Exists(Text(path)) && s.image.config.IsHeldOpen(Text(path)))
        ok = Fail(s, ERROR_SHARING_VIOLATION);
    else if (uint32_t error = s.files.DeleteFile(Text(path))) ok = Fail(s, error);
    else ok = TRUE;
    s.trace.Add({{"op", "DeleteFileW"}, {"path", Utf8(path)}, {"result", ok}, {"error", s.lastError}});
    return ok;
}

BOOL RemoveDirectoryW(LPCWSTR path)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("RemoveDirectoryW", Utf8(path));
    BOOL ok;
    if (fault) ok = Fail(s, fault->error.value_or(ERROR_ACCESS_DENIED));
    else if (uint32_t error = s.files.RemoveDirectory(Text(path))) ok = Fail(s, error);
    else ok = TRUE;
    s.trace.Add({{"op", "RemoveDirectoryW"}, {"path", Utf8(path)}, {"result", ok}});
    return ok;
}

DWORD GetTempPathW(DWORD size, LPWSTR buffer)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("GetTempPathW", "");
    const std::u16string& temp = s.image.config.temp;
    DWORD result;
    std::u16string written;
    if (fault) {
        result = static_cast<DWORD>(fault->result.value_or(0));
        if (fault->error) s.lastError = *fault->error;
    } else if (temp.empty()) {
        result = 0;
        s.lastError = ERROR_PATH_NOT_FOUND;
    } else if (temp.size() + 1 > size || !buffer) {
        result = static_cast<DWORD>(temp.size() + 1);  // what the caller would need
    } else {
        std::memcpy(buffer, temp.c_str(), (temp.size() + 1) * sizeof(WCHAR));
        result = static_cast<DWORD>(temp.size());
        written = temp;
    }
    s.trace.Add({{"op", "GetTempPathW"}, {"size", size}, {"result", result},
                 {"path", sim::Utf16ToUtf8Lossy(written)}});
    return result;
}

BOOL SHGetSpecialFolderPath(HWND, LPWSTR buffer, int csidl, BOOL)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("SHGetSpecialFolderPath", std::to_string(csidl));
    const std::u16string* folder = csidl == CSIDL_STARTUP    ? &s.image.config.startup
                                   : csidl == CSIDL_PROGRAMS ? &s.image.config.programs
                                                             : nullptr;
    BOOL ok = FALSE;
    if (!fault && folder && !folder->empty() && folder->size() < MAX_PATH && buffer) {
        std::memcpy(buffer, folder->c_str(), (folder->size() + 1) * sizeof(WCHAR));
        ok = TRUE;
    }
    nlohmann::ordered_json record = {{"op", "SHGetSpecialFolderPath"}, {"csidl", csidl}, {"result", ok}};
    if (ok) record["path"] = sim::Utf16ToUtf8Lossy(*folder);
    s.trace.Add(std::move(record));
    return ok;
}

DWORD GetLastError(void)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("GetLastError", "");
    DWORD error = fault ? static_cast<DWORD>(fault->result.value_or(fault->error.value_or(0))) : s.lastError;
    s.trace.Add({{"op", "GetLastError"}, {"result", error}});
    return error;
}

void SetLastError(DWORD error)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("SetLastError", "");
    if (!fault) s.lastError = error;
    s.trace.Add({{"op", "SetLastError"}, {"error", error}});
}

HWND GetForegroundWindow(void)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("GetForegroundWindow", "");
    s.trace.Add({{"op", "GetForegroundWindow"}});
    // The Today screen, unless the device says no window is in front.
    return fault ? nullptr : reinterpret_cast<HWND>(uintptr_t{0x10010});
}

// MessageBoxW and KernelIoControl may end the run with a longjmp, which
// runs no destructors: each does its work in a helper, so that nothing with
// a destructor is alive in the frame that jumps.
static std::optional<int> ShowBox(DeviceSession& s, LPCWSTR text, LPCWSTR caption, UINT flags)
{
    std::optional<Fault> fault = s.Enter("MessageBoxW", Utf8(text));
    sim::BoxRecord box{Text(text), Text(caption), flags, 0};
    std::optional<int> pressed;
    if (fault) pressed = static_cast<int>(fault->result.value_or(0));
    else if (s.answerer) pressed = s.answerer(box);
    box.result = pressed.value_or(0);
    if (s.trace.Keeps()) s.boxes.push_back(box);  // kept, like the trace, only when asked for
    s.trace.Add({{"op", "MessageBoxW"}, {"text", Utf8(text)}, {"caption", Utf8(caption)},
                 {"flags", flags}, {"result", box.result}});
    return pressed;
}

int MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT flags)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<int> pressed = ShowBox(s, text, caption, flags);
    if (!pressed) s.StopRun(sim::Stop::NoAnswer);
    return *pressed;
}

// True when the device takes the reset request.
static bool ResetRequested(DeviceSession& s, DWORD code)
{
    std::optional<Fault> fault = s.Enter("KernelIoControl", std::to_string(code));
    s.trace.Add({{"op", "KernelIoControl"}, {"code", code}});
    if (fault || code != IOCTL_HAL_REBOOT) return false;
    ++s.resetRequests;
    return true;
}

extern "C" BOOL KernelIoControl(DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD)
{
    DeviceSession& s = DeviceSession::Active();
    if (ResetRequested(s, code) && !s.resetReturns) s.StopRun(sim::Stop::Reset);
    return FALSE;
}

HANDLE GetProcessHeap(void)
{
    static int heap;
    return &heap;
}

LPVOID HeapAlloc(HANDLE, DWORD, SIZE_T bytes)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("HeapAlloc", std::to_string(bytes));
    s.trace.Add({{"op", "HeapAlloc"}, {"bytes", bytes}});
    if (fault) return nullptr;
    uint8_t* block = new uint8_t[bytes ? bytes : 1];
    std::memset(block, 0xCD, bytes);  // as a debug heap: never zero by luck
    s.heapBlocks[block] = bytes;
    return block;
}

BOOL HeapFree(HANDLE, DWORD, LPVOID block)
{
    DeviceSession& s = DeviceSession::Active();
    std::optional<Fault> fault = s.Enter("HeapFree", "");
    s.trace.Add({{"op", "HeapFree"}});
    if (fault) return FALSE;
    auto it = s.heapBlocks.find(block);
    if (it == s.heapBlocks.end()) {
        ++s.badHeapFrees;
        return FALSE;
    }
    delete[] static_cast<uint8_t*>(it->first);
    s.heapBlocks.erase(it);
    return TRUE;
}
