// The package as a fresh install leaves it on a device: the package
// manager's install record, every registry key the package writes with its
// values, and every file it puts down with placeholder contents. The sample
// device (harness/runner/sample_device.cpp) and the device kit (kit/) both
// lay the package out from these tables; the removal plans (removal/) name
// the same files and keys on their own, in the order they go.
//
// Plain constant tables and free functions: no allocation, no global state,
// usable by the device code of every build.
#ifndef TRQ_PACKAGE_PACKAGE_H
#define TRQ_PACKAGE_PACKAGE_H

#include "device/device.h"

// Written where a text names the install directory; replaced by the
// directory the install record holds (ExpandPackageText). Angle brackets
// cannot appear in a device path.
#define TRQ_INSTALL_DIR_MARK TEXT("<InstallDir>")

// The install directory's own name, below the device's Program Files
// folder; and the whole of it on a device with the English folder names.
#define TRQ_INSTALL_DIR_NAME TEXT("TRQ")
#define TRQ_DEFAULT_INSTALL_DIR TEXT("\\Program Files\\TRQ")

// A registry value: a string (REG_SZ), which may name the install
// directory, or a number (REG_DWORD).
struct PackageValue {
    const WCHAR* name;  // empty: the key's default value
    DWORD type;         // REG_SZ or REG_DWORD
    const WCHAR* text;  // REG_SZ
    DWORD number;       // REG_DWORD
};

struct PackageKey {
    HKEY root;
    const WCHAR* path;
    const PackageValue* values;
    int valueCount;
};

// The package manager's install record, which the uninstaller reads the
// install directory from.
extern const PackageKey kPackageInstallRecord;

// The package's other keys, parents before children, in the order the
// package writes them.
extern const PackageKey kPackageKeys[];
extern const int kPackageKeyCount;

// Where a file lies.
enum PackageBase {
    kPackageInstallDir,  // the install directory
    kPackageWindows,     // \Windows
    kPackageStartup,     // the Startup folder (CSIDL_STARTUP)
    kPackagePrograms,    // the Start menu's Programs folder (CSIDL_PROGRAMS)
    kPackageTemp,        // the temporary folder (GetTempPathW)
};
const int kPackageBaseCount = 5;

// What a file holds.
enum PackageContents {
    kPackageText,      // the text, as UTF-8
    kPackageShortcut,  // a Windows CE shortcut to the program the text names
};

struct PackageFile {
    PackageBase base;
    const WCHAR* name;  // below the base; may name a folder of its own ("AppMgr\\...")
    PackageContents contents;
    const WCHAR* text;  // may name the install directory
};

// Every file of the package, by base, in the order the package puts them
// down.
extern const PackageFile kPackageFiles[];
extern const int kPackageFileCount;

// Copies text into buffer (size characters, terminator included), each
// TRQ_INSTALL_DIR_MARK replaced by installDir. Returns the length, or -1
// when the whole would not fit (buffer then holds an empty string).
int ExpandPackageText(LPCWSTR text, LPCWSTR installDir, LPWSTR buffer, int size);

// The bytes of file with the install directory installDir, into buffer
// (size bytes): its text as UTF-8, or for a shortcut the length of the
// quoted target, "#", the quoted target and a line end, e.g.
// 22#"\Windows\TRQUtil.exe". Returns the count, or -1 when it would not fit.
int PackageFileBytes(const PackageFile& file, LPCWSTR installDir, char* buffer, int size);

// Copies base, a separator unless base ends with one, and name into buffer
// (MAX_PATH characters). False, leaving an empty string, when the whole
// would not fit.
bool JoinPackagePath(LPWSTR buffer, LPCWSTR base, LPCWSTR name);

#endif
