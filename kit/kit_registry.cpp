// Keys the kit makes and removes, and its marker. Every key the kit makes
// holds its mark, TRQ_KIT_KEY_MARK (the marker aside, known by its name):
// a key whose mark is gone is not the kit's, whoever made one of that name
// since. The marker, HKEY_LOCAL_MACHINE\Software\TRQ Uninstall Kit, keeps
// the folders prepare read and a value for each file and folder it made.
#include "kit/kit_work.h"

namespace {

// A key's path is separated by backslashes alone: a slash is part of a name.
bool IsKeySeparator(WCHAR c) { return c == TEXT('\\'); }

LPCWSTR RootName(HKEY root)
{
    return root == HKEY_CLASSES_ROOT   ? TEXT("HKEY_CLASSES_ROOT")
           : root == HKEY_CURRENT_USER ? TEXT("HKEY_CURRENT_USER")
                                       : TEXT("HKEY_LOCAL_MACHINE");
}

bool SetValue(const Kit& kit, HKEY key, const PackageValue& value, LONG* result)
{
    if (value.type == REG_DWORD) {
        const DWORD number = value.number;
        *result = RegSetValueExW(key, value.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                 sizeof number);
        return *result == ERROR_SUCCESS;
    }
    WCHAR text[MAX_PATH];
    const int length = ExpandPackageText(value.text, kit.folder[kPackageInstallDir], text, MAX_PATH);
    if (length < 0) {
        *result = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    *result = RegSetValueExW(key, value.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             static_cast<DWORD>((length + 1) * sizeof(WCHAR)));
    return *result == ERROR_SUCCESS;
}

LONG SetMark(HKEY key, LPCWSTR name)
{
    const DWORD made = 1;
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&made), sizeof made);
}

bool HasMark(HKEY key, LPCWSTR name)
{
    DWORD type = 0, data = 0, bytes = sizeof data;
    return RegQueryValueExW(key, name, 0, &type, reinterpret_cast<LPBYTE>(&data), &bytes) == ERROR_SUCCESS;
}

// The key's mark, then the package's values for a source's own key.
LONG Fill(const Kit& kit, HKEY key, int source, int depth)
{
    LONG result = SetMark(key, TRQ_KIT_KEY_MARK);
    const PackageKey* row = KeySourcePackageKey(source);
    if (result != ERROR_SUCCESS || !row || depth != KeyDepth(row->path)) return result;
    for (int i = 0; i < row->valueCount; ++i)
        if (!SetValue(kit, key, row->values[i], &result)) return result;
    return ERROR_SUCCESS;
}

}  // namespace

int KeyDepth(LPCWSTR path)
{
    int depth = path[0] ? 1 : 0;
    for (int i = 0; path[i]; ++i) depth += IsKeySeparator(path[i]);
    return depth;
}

bool KeyAt(LPCWSTR path, int depth, LPWSTR key)
{
    int i = 0, seen = 1;
    for (; i < MAX_PATH - 1 && path[i]; ++i) {
        if (IsKeySeparator(path[i]) && seen++ == depth) break;
        key[i] = path[i];
    }
    key[i] = 0;
    return i < MAX_PATH - 1 || !path[i];
}

int KeySourceCount() { return kPackageKeyCount + 2; }
bool IsMarkerSource(int source) { return source == 0; }

const PackageKey* KeySourcePackageKey(int source)
{
    if (source == 0) return 0;
    return source <= kPackageKeyCount ? &kPackageKeys[source - 1] : &kPackageInstallRecord;
}

HKEY KeySourceRoot(int source)
{
    const PackageKey* row = KeySourcePackageKey(source);
    return row ? row->root : HKEY_LOCAL_MACHINE;
}

LPCWSTR KeySourcePath(int source)
{
    const PackageKey* row = KeySourcePackageKey(source);
    return row ? row->path : TRQ_KIT_MARKER;
}

HKEY OpenMarker(bool create)
{
    HKEY marker = 0;
    if (!create)
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, TRQ_KIT_MARKER, 0, TRQ_KIT_KEY_ACCESS, &marker) == ERROR_SUCCESS
                   ? marker
                   : 0;
    DWORD disposition = 0;
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, TRQ_KIT_MARKER, 0, 0, 0, TRQ_KIT_KEY_ACCESS, 0, &marker,
                           &disposition) == ERROR_SUCCESS
               ? marker
               : 0;
}

void CloseMarker(HKEY marker)
{
    if (marker) RegCloseKey(marker);
}

void NoteMaking(HKEY marker, LPCWSTR name) { SetMark(marker, name); }
void ForgetMaking(HKEY marker, LPCWSTR name) { RegDeleteValueW(marker, name); }

bool MarkerSaysMaking(LPCWSTR name)
{
    HKEY marker = OpenMarker(false);
    const bool making = marker && HasMark(marker, name);
    CloseMarker(marker);
    return making;
}

void KeepFolders(const Kit& kit, HKEY marker)
{
    for (int base = 0; base < kPackageBaseCount; ++base) {
        if (!kit.known[base]) continue;
        WCHAR name[16];
        int i = 0;
        for (const char* n = FolderName(base); *n; ++n) name[i++] = static_cast<WCHAR>(*n);
        name[i] = 0;
        int length = 0;
        while (kit.folder[base][length]) ++length;
        RegSetValueExW(marker, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(kit.folder[base]),
                       static_cast<DWORD>((length + 1) * sizeof(WCHAR)));
    }
}

void ReadKeptFolders(Kit& kit, HKEY marker)
{
    WCHAR kept[kPackageBaseCount][MAX_PATH];
    bool known[kPackageBaseCount];
    int count = 0;
    for (int base = 0; base < kPackageBaseCount; ++base) {
        WCHAR name[16];
        int i = 0;
        for (const char* n = FolderName(base); *n; ++n) name[i++] = static_cast<WCHAR>(*n);
        name[i] = 0;
        DWORD type = 0, bytes = (MAX_PATH - 1) * sizeof(WCHAR);
        known[base] = RegQueryValueExW(marker, name, 0, &type, reinterpret_cast<LPBYTE>(kept[base]), &bytes) ==
                          ERROR_SUCCESS &&
                      type == REG_SZ && bytes >= sizeof(WCHAR);
        if (!known[base]) continue;
        kept[base][bytes / sizeof(WCHAR)] = 0;
        known[base] = kept[base][0] != 0;
        ++count;
    }
    kit.keptFolders = count;
    if (!count) return;  // a marker without them: the folders come from elsewhere
    for (int base = 0; base < kPackageBaseCount; ++base) {
        kit.known[base] = known[base];
        for (int i = 0; i < MAX_PATH && (i == 0 || kept[base][i - 1]); ++i) kit.folder[base][i] = kept[base][i];
    }
}

void Flush(HKEY key) { RegFlushKey(key); }

bool KeyName(LPWSTR name, HKEY root, LPCWSTR path)
{
    return JoinPackagePath(name, RootName(root), path);
}

bool KeyThere(HKEY root, LPCWSTR path)
{
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool KeyMarked(HKEY root, LPCWSTR path)
{
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    const bool marked = HasMark(key, TRQ_KIT_KEY_MARK);
    RegCloseKey(key);
    return marked;
}

Made MakeKey(Kit& kit, int source, int depth)
{
    WCHAR path[MAX_PATH], name[MAX_PATH];
    if (!KeyAt(KeySourcePath(source), depth, path) || !KeyName(name, KeySourceRoot(source), path)) {
        LogFailed(kit, "key", KeySourcePath(source), ERROR_INVALID_NAME);
        return kFailed;
    }
    HKEY key = 0;
    DWORD disposition = 0;
    LONG result = RegCreateKeyExW(KeySourceRoot(source), path, 0, 0, 0, TRQ_KIT_KEY_ACCESS, 0, &key, &disposition);
    if (result != ERROR_SUCCESS) {
        LogFailed(kit, "key", name, static_cast<DWORD>(result));
        return kFailed;
    }
    if (disposition != REG_CREATED_NEW_KEY) {
        // Another program's key, made since the kit looked: not the kit's to write.
        RegCloseKey(key);
        LogItem(kit, "exists", kItemKey, name);
        return kExisted;
    }
    result = Fill(kit, key, source, depth);
    RegCloseKey(key);
    LogItem(kit, "made", kItemKey, name);
    if (result == ERROR_SUCCESS) return kMade;
    LogFailed(kit, "key", name, static_cast<DWORD>(result));
    return kFailed;
}

bool RemoveKey(Kit& kit, int source, int depth)
{
    const HKEY root = KeySourceRoot(source);
    WCHAR path[MAX_PATH], name[MAX_PATH];
    if (!KeyAt(KeySourcePath(source), depth, path) || !KeyName(name, root, path)) return true;
    HKEY key;
    LONG result = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
    if (result == ERROR_FILE_NOT_FOUND) return true;  // gone: the uninstaller took it, or it was never made
    DWORD subKeys = 0, values = 0;
    if (result == ERROR_SUCCESS) {
        result = RegQueryInfoKeyW(key, 0, 0, 0, &subKeys, 0, 0, &values, 0, 0, 0, 0);
        const bool marked = result == ERROR_SUCCESS && HasMark(key, TRQ_KIT_KEY_MARK);
        RegCloseKey(key);
        // Made and stopped before its mark: empty, and the marker, the kit's
        // own key, still says the kit was making it.
        const bool cutShort = result == ERROR_SUCCESS && !marked && !subKeys && !values && MarkerSaysMaking(name);
        if (result == ERROR_SUCCESS && !marked && !cutShort) {
            // Another's, or made and cut short before its mark: nothing says
            // which, so it stays.
            if (JournalSaysMaking(kit.journal, kItemKey, name)) LogLeft(kit, kItemKey, name, "it carries no mark of the kit's");
            return true;
        }
        if (result == ERROR_SUCCESS && subKeys) {
            // The kit's keys below went first: what is below now is
            // another's, or one of the kit's that could not go.
            LogLeft(kit, kItemKey, name, "a key the kit did not make is below it");
            return false;
        }
    }
    if (result == ERROR_SUCCESS) result = RegDeleteKeyW(root, path);
    if (result == ERROR_SUCCESS) {
        LogItem(kit, "undone", kItemKey, name);
        return true;
    }
    if (result == ERROR_FILE_NOT_FOUND) return true;
    LogFailed(kit, "key", name, static_cast<DWORD>(result));
    return false;
}

bool RemoveMarker(Kit& kit)
{
    WCHAR name[MAX_PATH];
    KeyName(name, HKEY_LOCAL_MACHINE, TRQ_KIT_MARKER);
    HKEY marker = OpenMarker(false);
    if (!marker) return true;
    DWORD subKeys = 0;
    LONG result = RegQueryInfoKeyW(marker, 0, 0, 0, &subKeys, 0, 0, 0, 0, 0, 0, 0);
    RegCloseKey(marker);
    if (result == ERROR_SUCCESS && subKeys) {
        LogLeft(kit, kItemKey, name, "a key the kit did not make is below it");
        return false;
    }
    if (result == ERROR_SUCCESS) result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, TRQ_KIT_MARKER);
    if (result == ERROR_SUCCESS) {
        LogItem(kit, "undone", kItemKey, name);
        return true;
    }
    if (result == ERROR_FILE_NOT_FOUND) return true;
    LogFailed(kit, "key", name, static_cast<DWORD>(result));
    return false;
}
