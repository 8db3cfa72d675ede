// The device services of device/device.h, acted out on a device image.
#include "platform/sim/services.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "formats/text.h"
#include "platform/sim/kill_step.h"

namespace sim {

using formats::RegKey;
using formats::RegValue;
using formats::Root;
using formats::RootName;
using formats::Utf16ToUtf8Lossy;

namespace {

std::u16string Text(LPCWSTR s)
{
    return s ? std::u16string(s) : std::u16string();
}

std::string Utf8(LPCWSTR s)
{
    return Utf16ToUtf8Lossy(Text(s));
}

std::u16string Join(const std::u16string& parent, LPCWSTR child)
{
    std::u16string sub = Text(child);
    if (parent.empty()) return sub;
    if (sub.empty()) return parent;
    return parent + u"\\" + sub;
}

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
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

DeviceSession::DeviceSession(DeviceImage& image_, Trace& trace_)
    : image(image_), files(image_.Files()), trace(trace_)
{
}

DeviceSession::~DeviceSession()
{
    for (auto& block : heapBlocks) delete[] static_cast<uint8_t*>(block.first);
}

std::optional<Fault> DeviceSession::Enter(const char* op, const std::string& argument)
{
    KillStep();
    op_ = op;
    ++calls;
    auto counted = callsOf.find(std::string_view(op));
    if (counted == callsOf.end()) counted = callsOf.emplace(op, 0).first;
    const int kindIndex = ++counted->second;
    if (!faults) return std::nullopt;
    return faults(op, calls, kindIndex, argument);
}

void DeviceSession::Record(Fields fields)
{
    nlohmann::ordered_json record = {{"op", op_}};
    for (auto& [name, value] : fields.items()) record[name] = std::move(value);
    trace.Add(std::move(record));
}

BOOL DeviceSession::Failed(uint32_t error)
{
    lastError = error;
    return FALSE;
}

// The key a handle stands for: a root, or a key opened earlier.
bool DeviceSession::KeyOf(HKEY key, Root& root, std::u16string& path) const
{
    if (std::optional<Root> r = RootOfHandle(key)) {
        root = *r;
        path.clear();
        return true;
    }
    auto it = openKeys.find(reinterpret_cast<uintptr_t>(key));
    if (it == openKeys.end()) return false;
    root = it->second.first;
    path = it->second.second;
    return true;
}

LONG DeviceSession::RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    std::optional<Fault> fault = Enter(__func__, Utf8(subKey));
    LONG status;
    Root r;
    std::u16string base;
    if (fault) {
        status = static_cast<LONG>(fault->Status(ERROR_FILE_NOT_FOUND));
    } else if (!result) {
        status = ERROR_INVALID_PARAMETER;
    } else if (!KeyOf(root, r, base)) {
        status = ERROR_INVALID_HANDLE;
    } else {
        std::u16string path = Join(base, subKey);
        if (!image.registry.keys.Find(r, path)) {
            status = ERROR_FILE_NOT_FOUND;
        } else {
            uintptr_t handle = nextKey++;
            openKeys[handle] = {r, path};
            *result = reinterpret_cast<HKEY>(handle);
            status = ERROR_SUCCESS;
        }
    }
    Served([&] { return Fields{{"root", HandleName(root)}, {"path", Utf8(subKey)}, {"options", options}, {"access", access},
            {"result", status}}; });
    return status;
}

LONG DeviceSession::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                     LPDWORD bytes)
{
    std::optional<Fault> fault = Enter(__func__, Utf8(name));
    DWORD offered = bytes ? *bytes : 0;
    LONG status;
    Root r;
    std::u16string path;
    const RegKey* k = nullptr;
    if (fault && !fault->data) {
        status = static_cast<LONG>(fault->Status(ERROR_FILE_NOT_FOUND));
    } else if (reserved || (data && !bytes)) {
        status = ERROR_INVALID_PARAMETER;
    } else if (!fault && !KeyOf(key, r, path)) {
        status = ERROR_INVALID_HANDLE;
    } else if (!fault && !(k = image.registry.keys.Find(r, path))) {
        status = ERROR_KEY_DELETED;
    } else {
        RegValue injected;
        const RegValue* v;
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
                status = static_cast<LONG>(fault->Status(ERROR_SUCCESS));
            } else if (data && size > offered) {
                status = ERROR_MORE_DATA;
            } else {
                if (data && size) std::memcpy(data, v->data.data(), size);
                status = ERROR_SUCCESS;
            }
            if (bytes) *bytes = size;
        }
    }
    Served([&] { return Fields{{"name", Utf8(name)}, {"bytes", offered}, {"result", status}}; });
    return status;
}

LONG DeviceSession::RegCloseKey(HKEY key)
{
    std::optional<Fault> fault = Enter(__func__, "");
    Served();
    if (fault) return static_cast<LONG>(fault->Status(ERROR_INVALID_HANDLE));
    return openKeys.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG DeviceSession::RegDeleteKeyW(HKEY root, LPCWSTR subKey)
{
    std::optional<Fault> fault = Enter(__func__, Utf8(subKey));
    LONG status;
    Root r;
    std::u16string base;
    if (fault) {
        status = static_cast<LONG>(fault->Status(ERROR_ACCESS_DENIED));
    } else if (!KeyOf(root, r, base)) {
        status = ERROR_INVALID_HANDLE;
    } else if (Text(subKey).empty()) {
        status = ERROR_ACCESS_DENIED;  // a key cannot delete itself through an empty path
    } else if (image.registry.keys.Delete(r, Join(base, subKey))) {
        // As on Windows CE, the key goes with everything below it.
        registryChanged = true;
        status = ERROR_SUCCESS;
    } else {
        status = ERROR_FILE_NOT_FOUND;
    }
    Served([&] { return Fields{{"root", HandleName(root)}, {"path", Utf8(subKey)}, {"result", status}}; });
    return status;
}

BOOL DeviceSession::SetFileAttributesW(LPCWSTR path, DWORD attributes)
{
    std::optional<Fault> fault = Enter(__func__, Utf8(path));
    BOOL ok;
    if (fault) ok = Failed(fault->error.value_or(ERROR_ACCESS_DENIED));
    else if (uint32_t error = files.SetAttributes(Text(path), attributes)) ok = Failed(error);
    else ok = TRUE;
    Served([&] { return Fields{{"path", Utf8(path)}, {"attributes", attributes}}; });
    return ok;
}

BOOL DeviceSession::DeleteFileW(LPCWSTR path)
{
    std::optional<Fault> fault = Enter(__func__, Utf8(path));
    BOOL ok;
    if (fault) ok = Failed(fault->error.value_or(ERROR_SHARING_VIOLATION));
    else if (files.Exists(Text(path)) && image.config.IsHeldOpen(Text(path))) ok = Failed(ERROR_SHARING_VIOLATION);
    else if (uint32_t error = files.DeleteFile(Text(path))) ok = Failed(error);
    else ok = TRUE;
    Served([&] { return Fields{{"path", Utf8(path)}, {"result", ok}, {"error", lastError}}; });
    return ok;
}

BOOL DeviceSession::RemoveDirectoryW(LPCWSTR path)
{
    std::optional<Fault> fault = Enter(__func__, Utf8(path));
    BOOL ok;
    if (fault) ok = Failed(fault->error.value_or(ERROR_ACCESS_DENIED));
    else if (uint32_t error = files.RemoveDirectory(Text(path))) ok = Failed(error);
    else ok = TRUE;
    Served([&] { return Fields{{"path", Utf8(path)}, {"result", ok}}; });
    return ok;
}

DWORD DeviceSession::GetTempPathW(DWORD size, LPWSTR buffer)
{
    std::optional<Fault> fault = Enter(__func__, "");
    const std::u16string& temp = image.config.temp;
    DWORD result;
    std::u16string written;
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
        written = temp;
    }
    Served([&] { return Fields{{"size", size}, {"result", result}, {"path", Utf16ToUtf8Lossy(written)}}; });
    return result;
}

BOOL DeviceSession::SHGetSpecialFolderPath(HWND, LPWSTR buffer, int csidl, BOOL)
{
    std::optional<Fault> fault = Enter(__func__, std::to_string(csidl));
    const std::u16string* folder = csidl == CSIDL_STARTUP    ? &image.config.startup
                                   : csidl == CSIDL_PROGRAMS ? &image.config.programs
                                                             : nullptr;
    BOOL ok = FALSE;
    if (!fault && folder && !folder->empty() && folder->size() < MAX_PATH && buffer) {
        std::memcpy(buffer, folder->c_str(), (folder->size() + 1) * sizeof(WCHAR));
        ok = TRUE;
    }
    Served([&] {
        Fields fields = {{"csidl", csidl}, {"result", ok}};
        if (ok) fields["path"] = Utf16ToUtf8Lossy(*folder);
        return fields;
    });
    return ok;
}

DWORD DeviceSession::GetLastError()
{
    std::optional<Fault> fault = Enter(__func__, "");
    DWORD error = fault ? static_cast<DWORD>(fault->Status(0)) : lastError;
    Served([&] { return Fields{{"result", error}}; });
    return error;
}

void DeviceSession::SetLastError(DWORD error)
{
    std::optional<Fault> fault = Enter(__func__, "");
    if (!fault) lastError = error;
    Served([&] { return Fields{{"error", error}}; });
}

HWND DeviceSession::GetForegroundWindow()
{
    std::optional<Fault> fault = Enter(__func__, "");
    Served();
    return fault ? nullptr : reinterpret_cast<HWND>(kTodayScreen);
}

int DeviceSession::MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT flags)
{
    std::optional<Fault> fault = Enter(__func__, Utf8(text));
    BoxRecord box{Text(text), Text(caption), flags, 0};
    std::optional<int> pressed;
    if (fault) pressed = static_cast<int>(fault->result.value_or(0));
    else if (answerer) pressed = answerer(box);
    box.result = pressed.value_or(0);
    if (trace.Keeps()) boxes.push_back(box);  // kept, like the trace, only when asked for
    Served([&] { return Fields{{"text", Utf8(text)}, {"caption", Utf8(caption)}, {"flags", flags}, {"result", box.result}}; });
    if (!pressed) stop = Stop::NoAnswer;  // the box stays on the screen
    return box.result;
}

BOOL DeviceSession::KernelIoControl(DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD)
{
    std::optional<Fault> fault = Enter(__func__, std::to_string(code));
    Served([&] { return Fields{{"code", code}}; });
    if (fault || code != IOCTL_HAL_REBOOT) return FALSE;
    ++resetRequests;
    if (!resetReturns) stop = Stop::Reset;  // the device restarts
    return FALSE;
}

// The process heap: the device never looks at its handle.
HANDLE DeviceSession::GetProcessHeap()
{
    return &heapBlocks;
}

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
    std::optional<Fault> fault = Enter("HeapAlloc", std::to_string(bytes));
    Served([&] { return Fields{{"bytes", bytes}}; });
    if (fault || !heapHasRoom) return nullptr;
    uint8_t* block = new uint8_t[bytes ? bytes : 1];
    std::memset(block, 0xCD, bytes);  // as a debug heap: never zero by luck
    heapBlocks[block] = bytes;
    return block;
}

BOOL DeviceSession::HeapFree(HANDLE, DWORD, LPVOID block)
{
    std::optional<Fault> fault = Enter(__func__, "");
    Served();
    if (fault) return FALSE;
    auto it = heapBlocks.find(block);
    if (it == heapBlocks.end()) {
        ++badHeapFrees;
        return FALSE;
    }
    delete[] static_cast<uint8_t*>(it->first);
    heapBlocks.erase(it);
    return TRUE;
}

}  // namespace sim
