#include "kit/kit_work.h"

namespace {

bool IsSeparator(WCHAR c) { return c == TEXT('\\'); }

LPCWSTR RootName(HKEY root)
{
    return root == HKEY_CLASSES_ROOT   ? TEXT("HKEY_CLASSES_ROOT")
           : root == HKEY_CURRENT_USER ? TEXT("HKEY_CURRENT_USER")
                                       : TEXT("HKEY_LOCAL_MACHINE");
}

// How many keys path names, the topmost first ("a\b\c": 3).
int Depth(LPCWSTR path)
{
    int depth = path[0] ? 1 : 0;
    for (int i = 0; path[i]; ++i) depth += IsSeparator(path[i]);
    return depth;
}

// The key of that depth on path ("a\b\c", 2: "a\b").
bool KeyAt(LPCWSTR path, int depth, LPWSTR key)
{
    int i = 0, seen = 1;
    for (; path[i] && i < MAX_PATH - 1; ++i) {
        if (IsSeparator(path[i]) && seen++ == depth) break;
        key[i] = path[i];
    }
    key[i] = 0;
    return i < MAX_PATH - 1 || !path[i];
}

// The install record and the package's other keys, one by one.
int RowCount() { return kPackageKeyCount + 1; }
const PackageKey& Row(int i) { return i == 0 ? kPackageInstallRecord : kPackageKeys[i - 1]; }

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

// Deletes root\path if the kit marked it as made. False when it stays:
// another program's key may lie below it (desktop Windows then refuses,
// where Windows CE would take it along).
bool RemoveMadeKey(HKEY marker, HKEY root, LPCWSTR path)
{
    WCHAR name[MAX_PATH];
    if (!KeyName(name, root, path) || !Marked(marker, name)) return true;
    const LONG result = RegDeleteKeyW(root, path);
    if (result == ERROR_SUCCESS) {
        LogItem("undone", "key", name);
        Unmark(marker, name);
        return true;
    }
    if (result != ERROR_FILE_NOT_FOUND) {
        LogFailed("key", name, static_cast<DWORD>(result));
        return false;
    }
    Unmark(marker, name);  // gone already: the uninstaller took it
    return true;
}

}  // namespace

HKEY OpenMarker(bool create)
{
    HKEY marker = 0;
    if (!create)
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, TRQ_KIT_MARKER, 0, TRQ_KIT_KEY_ACCESS, &marker) == ERROR_SUCCESS
                   ? marker
                   : 0;
    DWORD disposition = 0;
    const LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, TRQ_KIT_MARKER, 0, 0, 0, TRQ_KIT_KEY_ACCESS, 0,
                                        &marker, &disposition);
    WCHAR name[MAX_PATH];
    KeyName(name, HKEY_LOCAL_MACHINE, TRQ_KIT_MARKER);
    if (result != ERROR_SUCCESS) {
        LogFailed("key", name, static_cast<DWORD>(result));
        return 0;
    }
    if (disposition == REG_CREATED_NEW_KEY) LogItem("made", "key", name);
    return marker;
}

void CloseMarker(HKEY marker)
{
    if (marker) RegCloseKey(marker);
}

bool Marked(HKEY marker, LPCWSTR name)
{
    if (!marker) return false;
    DWORD type = 0, data = 0, bytes = sizeof data;
    return RegQueryValueExW(marker, name, 0, &type, reinterpret_cast<LPBYTE>(&data), &bytes) ==
           ERROR_SUCCESS;
}

bool Mark(HKEY marker, LPCWSTR name)
{
    const DWORD made = 1;
    return RegSetValueExW(marker, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&made), sizeof made) ==
           ERROR_SUCCESS;
}

void Unmark(HKEY marker, LPCWSTR name) { RegDeleteValueW(marker, name); }

void RemoveMarker()
{
    WCHAR name[MAX_PATH];
    KeyName(name, HKEY_LOCAL_MACHINE, TRQ_KIT_MARKER);
    const LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, TRQ_KIT_MARKER);
    if (result == ERROR_SUCCESS)
        LogItem("undone", "key", name);
    else if (result != ERROR_FILE_NOT_FOUND)
        LogFailed("key", name, static_cast<DWORD>(result));
}

bool KeyName(LPWSTR name, HKEY root, LPCWSTR path)
{
    return JoinPackagePath(name, RootName(root), path);
}

bool MakeKey(const Kit& kit, HKEY marker, const PackageKey& key)
{
    const int depth = Depth(key.path);
    WCHAR path[MAX_PATH], name[MAX_PATH];
    HKEY made = 0;
    bool madeNow = false;
    for (int d = 1; d <= depth; ++d) {
        if (made) RegCloseKey(made);
        made = 0;
        DWORD disposition = 0;
        const bool named = KeyAt(key.path, d, path) && KeyName(name, key.root, path);
        const LONG result = named ? RegCreateKeyExW(key.root, path, 0, 0, 0, TRQ_KIT_KEY_ACCESS, 0, &made,
                                                    &disposition)
                                  : ERROR_INVALID_NAME;
        if (result != ERROR_SUCCESS) {
            LogFailed("key", named ? name : key.path, static_cast<DWORD>(result));
            return false;
        }
        madeNow = disposition == REG_CREATED_NEW_KEY;
        if (!madeNow) continue;
        if (!Mark(marker, name)) {
            // What the kit cannot mark, it cannot undo: leave nothing behind.
            LogFailed("key", name, GetLastError());
            RegCloseKey(made);
            RegDeleteKeyW(key.root, path);
            return false;
        }
        LogItem("made", "key", name);
    }
    if (!madeNow) {
        // Another program's key: its values are not the kit's to write.
        LogItem("exists", "key", name);
        RegCloseKey(made);
        return true;
    }
    bool wrote = true;
    for (int i = 0; i < key.valueCount && wrote; ++i) {
        LONG result = ERROR_SUCCESS;
        wrote = SetValue(kit, made, key.values[i], &result);
        if (!wrote) LogFailed("key", name, static_cast<DWORD>(result));
    }
    RegCloseKey(made);
    return wrote;
}

bool RemoveKeys(HKEY marker)
{
    int deepest = 0;
    for (int i = 0; i < RowCount(); ++i)
        if (Depth(Row(i).path) > deepest) deepest = Depth(Row(i).path);
    // All the keys of one depth before any above them: a key goes only
    // once the kit's own below it are gone.
    bool removed = true;
    for (int depth = deepest; depth >= 1; --depth) {
        for (int i = RowCount() - 1; i >= 0; --i) {
            WCHAR path[MAX_PATH];
            if (Depth(Row(i).path) < depth || !KeyAt(Row(i).path, depth, path)) continue;
            removed = RemoveMadeKey(marker, Row(i).root, path) && removed;
        }
    }
    return removed;
}

bool AnyKeyMarked(HKEY marker)
{
    for (int i = 0; i < RowCount(); ++i) {
        for (int depth = 1; depth <= Depth(Row(i).path); ++depth) {
            WCHAR path[MAX_PATH], name[MAX_PATH];
            if (KeyAt(Row(i).path, depth, path) && KeyName(name, Row(i).root, path) && Marked(marker, name))
                return true;
        }
    }
    return false;
}

bool InstallRecordThere()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPackageInstallRecord.path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool InstallRecordMadeByKit(HKEY marker)
{
    WCHAR name[MAX_PATH];
    return KeyName(name, kPackageInstallRecord.root, kPackageInstallRecord.path) && Marked(marker, name);
}
