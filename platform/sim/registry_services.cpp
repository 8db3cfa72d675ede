// The registry's services: the uninstaller's (opening, reading, closing and
// deleting keys) and the device kit's (making keys, setting and deleting
// values, counting a key's sub-keys and values, flushing), on the registry
// of the device image. The run writes it back to registry.reg when it ends,
// if it changed (registryChanged); during the run, as the device keeps its
// registry (device.ini's [Device] Registry=): a RAM registry at each change,
// a hive registry at each RegFlushKey, so that a command killed in between
// leaves what the device would keep.
#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/reg_file.h"
#include "platform/sim/service_text.h"
#include "platform/sim/services.h"

namespace sim {

using formats::RegKey;
using formats::RegValue;
using formats::Root;
using formats::RootName;

namespace {

// What RegFlushKey answers where the registry has no persistent store, and
// where its hive files cannot be written.
const LONG kErrorNotSupported = 50;
const LONG kErrorWriteFault = 29;

std::u16string Join(const std::u16string& parent, LPCWSTR child)
{
    const std::u16string_view sub = Text(child);
    if (parent.empty()) return std::u16string(sub);
    if (sub.empty()) return parent;
    std::u16string joined;
    joined.reserve(parent.size() + 1 + sub.size());
    return joined.append(parent).append(1, u'\\').append(sub);
}

// The names of a key path, "" giving none.
std::vector<std::u16string> KeyNames(std::u16string_view path)
{
    std::vector<std::u16string> names;
    for (size_t at = 0; !path.empty();) {
        const size_t slash = path.find(u'\\', at);
        names.emplace_back(path.substr(at, slash == std::u16string_view::npos ? std::u16string_view::npos : slash - at));
        if (slash == std::u16string_view::npos) break;
        at = slash + 1;
    }
    return names;
}

}  // namespace

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

// A new handle for the key at path under root, as RegOpenKeyExW and
// RegCreateKeyExW give out.
HKEY DeviceSession::OpenKeyHandle(Root root, std::u16string path)
{
    const uintptr_t handle = nextKey++;
    openKeys[handle] = {root, std::move(path)};
    return reinterpret_cast<HKEY>(handle);
}

// The key a handle stands for, in the registry now: ERROR_SUCCESS, or
// ERROR_INVALID_HANDLE (no key of this run's), or ERROR_KEY_DELETED (it
// went while open).
LONG DeviceSession::FindOpenKey(HKEY handle, Root& root, std::u16string& path, RegKey*& key)
{
    if (!KeyOf(handle, root, path)) return ERROR_INVALID_HANDLE;
    key = image.registry.keys.Find(root, path);
    return key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

LONG DeviceSession::FindOpenKey(HKEY handle, RegKey*& key)
{
    Root root;
    std::u16string path;
    return FindOpenKey(handle, root, path, key);
}

// Faulted: result, else error, else ERROR_FILE_NOT_FOUND; no key is opened.
LONG DeviceSession::RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD, REGSAM, PHKEY result)
{
    std::optional<Fault> fault = Enter(__func__, Text(subKey));
    if (fault) return static_cast<LONG>(fault->Status(ERROR_FILE_NOT_FOUND));
    if (!result) return ERROR_INVALID_PARAMETER;
    Root r;
    std::u16string base;
    if (!KeyOf(root, r, base)) return ERROR_INVALID_HANDLE;
    std::u16string path = Join(base, subKey);
    if (!image.registry.keys.Find(r, path)) return ERROR_FILE_NOT_FOUND;
    *result = OpenKeyHandle(r, std::move(path));
    return ERROR_SUCCESS;
}

// Faulted: without data, result, else error, else ERROR_FILE_NOT_FOUND, nothing
//   written; with data, as if the value held data with type (REG_SZ if not
//   given): the type and the full size reported, no more than the offered
//   bytes copied, status result, else error, else ERROR_SUCCESS. The key is
//   not looked at.
LONG DeviceSession::RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                     LPDWORD bytes)
{
    std::optional<Fault> fault = Enter(__func__, Text(name));
    if (fault && !fault->data) return static_cast<LONG>(fault->Status(ERROR_FILE_NOT_FOUND));
    if (reserved || (data && !bytes)) return ERROR_INVALID_PARAMETER;
    const DWORD offered = bytes ? *bytes : 0;
    RegValue injected;
    const RegValue* v = &injected;
    if (fault) {
        injected.type = fault->type.value_or(REG_SZ);
        injected.data.assign(fault->data->begin(), fault->data->end());
    } else {
        RegKey* k;
        if (LONG status = FindOpenKey(key, k)) return status;
        if (!(v = k->FindValue(Text(name)))) return ERROR_FILE_NOT_FOUND;
    }
    const DWORD size = static_cast<DWORD>(v->data.size());
    if (type) *type = v->type;
    if (bytes) *bytes = size;
    if (fault) {
        // A misbehaving platform: whatever it claims, it writes no more
        // than the buffer holds.
        if (data && size) std::memcpy(data, v->data.data(), std::min(size, offered));
        return static_cast<LONG>(fault->Status(ERROR_SUCCESS));
    }
    if (data && size > offered) return ERROR_MORE_DATA;
    if (data && size) std::memcpy(data, v->data.data(), size);
    return ERROR_SUCCESS;
}

// Faulted: result, else error, else ERROR_INVALID_HANDLE; the key stays open.
LONG DeviceSession::RegCloseKey(HKEY key)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    if (fault) return static_cast<LONG>(fault->Status(ERROR_INVALID_HANDLE));
    return openKeys.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// Faulted: result, else error, else ERROR_ACCESS_DENIED; nothing is deleted.
LONG DeviceSession::RegDeleteKeyW(HKEY root, LPCWSTR subKey)
{
    std::optional<Fault> fault = Enter(__func__, Text(subKey));
    if (fault) return static_cast<LONG>(fault->Status(ERROR_ACCESS_DENIED));
    Root r;
    std::u16string base;
    if (!KeyOf(root, r, base)) return ERROR_INVALID_HANDLE;
    // A key cannot delete itself through an empty path.
    if (Text(subKey).empty()) return ERROR_ACCESS_DENIED;
    // As on Windows CE, the key goes with everything below it.
    if (!image.registry.keys.Delete(r, Join(base, subKey))) return ERROR_FILE_NOT_FOUND;
    RegistryWritten();
    return ERROR_SUCCESS;
}

void DeviceSession::RegistryWritten()
{
    report_.registryChanged = true;
    if (settings_.persistRegistry && image.config.device.registry == formats::RegistryStore::Ram) {
        // What cannot be written now is written when the run ends, or the
        // run says it could not be.
        std::string ignored;
        SaveRegistry(image, ignored, false);
    }
}

bool DeviceSession::RegistryMayGrow(uint64_t bytes)
{
    if (!registryBytes_) registryBytes_ = FormattedRegFileSize(image.registry);
    if (*registryBytes_ + bytes > formats::kMaxRegFileBytes) return false;
    *registryBytes_ += bytes;
    return true;
}

// Faulted: result, else error, else ERROR_ACCESS_DENIED; no key made or opened.
LONG DeviceSession::RegCreateKeyExW(HKEY root, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM,
                                    LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition)
{
    std::optional<Fault> fault = Enter(__func__, Text(subKey));
    if (fault) return static_cast<LONG>(fault->Status(ERROR_ACCESS_DENIED));
    if (!result) return ERROR_INVALID_PARAMETER;
    Root r;
    std::u16string base;
    RegKey* parent;
    if (LONG status = FindOpenKey(root, r, base, parent)) return status;
    // Only names registry.reg can hold again, as deep as it holds them.
    const std::vector<std::u16string> names = KeyNames(Text(subKey));
    bool valid = KeyNames(base).size() + names.size() <= static_cast<size_t>(formats::kMaxKeyDepth);
    for (const std::u16string& name : names) valid = valid && formats::RegFileHoldsKeyName(name);
    if (!valid) return ERROR_INVALID_PARAMETER;
    uint64_t growth = 0;
    std::u16string walked = base;
    for (const std::u16string& name : names) {
        walked = walked.empty() ? name : walked + u"\\" + name;
        if (!image.registry.keys.Find(r, walked))
            growth += kRegistryBytesPerUnit * (std::strlen(RootName(r)) + 1 + walked.size()) + kRegistryBytesPerItem;
    }
    if (growth && !RegistryMayGrow(growth)) return ERROR_NOT_ENOUGH_MEMORY;
    std::u16string path = Join(base, subKey);
    if (growth) {
        image.registry.keys.Create(r, path);
        RegistryWritten();
    }
    *result = OpenKeyHandle(r, std::move(path));
    if (disposition) *disposition = growth ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

// Faulted: result, else error, else ERROR_ACCESS_DENIED; no value changed.
LONG DeviceSession::RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD bytes)
{
    std::optional<Fault> fault = Enter(__func__, Text(name));
    if (fault) return static_cast<LONG>(fault->Status(ERROR_ACCESS_DENIED));
    RegKey* k;
    if (LONG status = FindOpenKey(key, k)) return status;
    const std::u16string valueName(Text(name));
    if ((!data && bytes) || valueName.size() > formats::kMaxKeyNameLength || !formats::RegFileHoldsValueName(valueName))
        return ERROR_INVALID_PARAMETER;
    if (!RegistryMayGrow(kRegistryBytesPerUnit * (valueName.size() + bytes) + kRegistryBytesPerItem))
        return ERROR_NOT_ENOUGH_MEMORY;
    // The bytes as given, whatever the type says of them.
    k->SetValue(RegValue{valueName, type, std::vector<uint8_t>(data, data + bytes)});
    RegistryWritten();
    return ERROR_SUCCESS;
}

// Faulted: result, else error, else ERROR_ACCESS_DENIED; no value changed.
LONG DeviceSession::RegDeleteValueW(HKEY key, LPCWSTR name)
{
    std::optional<Fault> fault = Enter(__func__, Text(name));
    if (fault) return static_cast<LONG>(fault->Status(ERROR_ACCESS_DENIED));
    RegKey* k;
    if (LONG status = FindOpenKey(key, k)) return status;
    if (!k->RemoveValue(Text(name))) return ERROR_FILE_NOT_FOUND;
    RegistryWritten();
    return ERROR_SUCCESS;
}

// Faulted: result, else error, else ERROR_ACCESS_DENIED; registry.reg not written.
LONG DeviceSession::RegFlushKey(HKEY key)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    if (fault) return static_cast<LONG>(fault->Status(ERROR_ACCESS_DENIED));
    Root r;
    std::u16string path;
    if (!KeyOf(key, r, path)) return ERROR_INVALID_HANDLE;
    // A registry in RAM with no persistent store has nothing to flush to:
    // the call fails, and every write stays all the same.
    if (image.config.device.registry == formats::RegistryStore::Ram) return kErrorNotSupported;
    // The whole registry goes to its hive files, whichever key is named.
    std::string ignored;
    return !settings_.persistRegistry || SaveRegistry(image, ignored, false) ? ERROR_SUCCESS : kErrorWriteFault;
}

// Faulted: result, else error, else ERROR_INVALID_HANDLE; nothing written.
LONG DeviceSession::RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classChars, LPDWORD reserved,
                                     LPDWORD subKeys, LPDWORD maxSubKeyChars, LPDWORD maxClassChars,
                                     LPDWORD values, LPDWORD maxValueNameChars, LPDWORD maxValueBytes,
                                     LPDWORD, PFILETIME)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    if (fault) return static_cast<LONG>(fault->Status(ERROR_INVALID_HANDLE));
    if (reserved || (keyClass && !classChars)) return ERROR_INVALID_PARAMETER;
    RegKey* k;
    if (LONG status = FindOpenKey(key, k)) return status;
    // Keys on the device have no class: an empty one, of no length.
    if (keyClass && *classChars) keyClass[0] = 0;
    if (classChars) *classChars = 0;
    if (maxClassChars) *maxClassChars = 0;
    DWORD longestKey = 0, longestName = 0, largest = 0;
    for (const auto& sub : k->keys) longestKey = std::max(longestKey, static_cast<DWORD>(sub->name.size()));
    for (const RegValue& v : k->values) {
        longestName = std::max(longestName, static_cast<DWORD>(v.name.size()));
        largest = std::max(largest, static_cast<DWORD>(v.data.size()));
    }
    if (subKeys) *subKeys = static_cast<DWORD>(k->keys.size());
    if (maxSubKeyChars) *maxSubKeyChars = longestKey;
    if (values) *values = static_cast<DWORD>(k->values.size());
    if (maxValueNameChars) *maxValueNameChars = longestName;
    if (maxValueBytes) *maxValueBytes = largest;
    return ERROR_SUCCESS;
}

}  // namespace sim
