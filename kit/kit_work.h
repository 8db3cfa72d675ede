// What the kit's parts share: its names, the device's folders as the kit
// found them, and the work of each part (one file each).
#ifndef TRQ_KIT_KIT_WORK_H
#define TRQ_KIT_KIT_WORK_H

#include "device/device.h"
#include "package/package.h"

// The access the kit asks for on the keys it writes: desktop Windows wants
// it named, Windows CE takes none (0).
#if defined(_WIN32) && !defined(_WIN32_WCE)
#define TRQ_KIT_KEY_ACCESS KEY_ALL_ACCESS
#else
#define TRQ_KIT_KEY_ACCESS 0
#endif
#ifndef CSIDL_PROGRAM_FILES
#define CSIDL_PROGRAM_FILES 0x0026
#endif

#define TRQ_KIT_CAPTION TEXT("TRQ Uninstall Kit")
// Beside the trace build's "\TRQ Uninstall trace.txt", for the owner to send back.
#define TRQ_KIT_LOG TEXT("\\TRQ Uninstall Kit log.txt")
// Under HKEY_LOCAL_MACHINE: one value for each key and folder the kit made.
#define TRQ_KIT_MARKER TEXT("Software\\TRQ Uninstall Kit")
// The holder waits on the first until the kit's undo sets it, and sets the
// second once it holds its files.
#define TRQ_KIT_STOP_EVENT TEXT("TRQ Uninstall Kit stop")
#define TRQ_KIT_READY_EVENT TEXT("TRQ Uninstall Kit ready")
// Where the kit probes on its own files when the package is really installed.
#define TRQ_KIT_SCRATCH TEXT("\\TRQ Uninstall Kit scratch")

// Where the kit runs and what the device told it.
struct Kit {
    WCHAR self[MAX_PATH];                       // the kit's own file
    WCHAR folder[kPackageBaseCount][MAX_PATH];  // each base of the package's files
    bool known[kPackageBaseCount];              // whether the device named that base
};

// How a file is held open, and which file stands for which of the
// package's held files (kit_folders.cpp).
struct HeldFile {
    PackageBase base;
    const WCHAR* name;
    const char* how;  // "running program" or "open without sharing"
};
const int kHeldFileCount = 4;
extern const HeldFile kHeldFiles[kHeldFileCount];  // the first is the utility itself, the running program
const int kScratchFileCount = 2;
extern const PackageFile kScratchFiles[kScratchFileCount];  // in TRQ_KIT_SCRATCH; the first the scratch holder
#define TRQ_KIT_RUNNING_PROGRAM "running program"
#define TRQ_KIT_OPEN_WITHOUT_SHARING "open without sharing"

// ---- kit_folders.cpp: where things are.

// Reads the kit's own file name and the device's folders.
bool ReadSelf(Kit& kit);
void ReadFolders(Kit& kit);
void LogFolders(const Kit& kit);
// The path of a package file on this device; false when its base is unknown
// or the whole would not fit.
bool PackagePath(const Kit& kit, PackageBase base, LPCWSTR name, LPWSTR path);
bool ScratchPath(LPCWSTR name, LPWSTR path);
// Whether a file is the package's utility, which the kit copies itself to.
bool IsUtility(const PackageFile& file);
// The package's file of that base and name; 0 when there is none.
const PackageFile* FindPackageFile(PackageBase base, LPCWSTR name);
// Whether path names the device path want, with or without a drive ("C:"),
// letters compared without regard to case.
bool SamePath(LPCWSTR path, LPCWSTR want);
// The placeholder's bytes, for this device's install directory.
int PlaceholderBytes(const Kit& kit, const PackageFile& file, char* bytes, int size);

// ---- kit_log.cpp: the log, one JSON line at a time.

void LogStart(const char* mode);
void LogEnd(const char* mode);
void LogFolder(const char* name, LPCWSTR path);  // path null: the device did not say
// {"kit":kind,what:name}: made, exists, undone, failed (with the error).
void LogItem(const char* kind, const char* what, LPCWSTR name);
void LogFailed(const char* what, LPCWSTR name, DWORD error);
void LogHolds(LPCWSTR file, const char* how, LPCWSTR by);
void LogProbe(LPCWSTR file, const char* how, BOOL result, DWORD error, bool restored);
void LogStopped(LPCWSTR program);

// ---- kit_files.cpp: files and folders.

// Creates every missing folder above path (not path itself), marking each
// it made; false when one could not be made.
bool MakeParents(HKEY marker, LPCWSTR path);
bool Exists(LPCWSTR path);
// A new file with these bytes, never replacing one: ERROR_SUCCESS, or why not.
DWORD WriteNewFile(LPCWSTR path, const char* bytes, int count);
// The same, logged as made, exists or failed; false when it failed.
bool MakeFile(LPCWSTR path, const char* bytes, int count);
// A copy of the kit at path; never replaces a file.
bool CopySelf(const Kit& kit, LPCWSTR path);
// Whether the file at path holds exactly these bytes, or the kit's own.
bool HoldsBytes(LPCWSTR path, const char* bytes, int count);
bool IsCopyOfSelf(const Kit& kit, LPCWSTR path);
// Deletes a file the kit made, waiting a little while something still
// holds it. Logs undone or failed.
bool RemoveFile(LPCWSTR path);
// How many folders lie above path's last name below the root, and the one
// at depth (1: the topmost) as a path of its own.
int FoldersAbove(LPCWSTR path);
bool FolderAbove(LPCWSTR path, int depth, LPWSTR folder);
// Removes folder if the kit marked it as made and it is empty; false when
// it is marked and stays.
bool RemoveMadeFolder(HKEY marker, LPCWSTR folder);

// ---- kit_registry.cpp: keys, and the marker of what the kit made.

// The kit's marker key, opened (and created when create is true); 0 when
// it is not there or cannot be made.
HKEY OpenMarker(bool create);
void CloseMarker(HKEY marker);
bool Marked(HKEY marker, LPCWSTR name);
bool Mark(HKEY marker, LPCWSTR name);
void Unmark(HKEY marker, LPCWSTR name);
// Removes the marker key itself.
void RemoveMarker();
// "HKEY_LOCAL_MACHINE\path" into name (MAX_PATH characters).
bool KeyName(LPWSTR name, HKEY root, LPCWSTR path);
// Makes a key of the package, with its values when the kit made it.
bool MakeKey(const Kit& kit, HKEY marker, const PackageKey& key);
// Deletes the keys of the package the kit made, children first; whether
// any it made stays.
bool RemoveKeys(HKEY marker);
bool AnyKeyMarked(HKEY marker);
// Whether the package's install record is there, and whether the kit made it.
bool InstallRecordThere();
bool InstallRecordMadeByKit(HKEY marker);

// ---- kit_holder.cpp: the copy of the kit that holds files open.

// When the kit runs as the utility or as the scratch holder: holds the
// files, waits to be stopped, then lets them go.
bool IsHolder(const Kit& kit, bool* scratch);
int RunHolder(Kit& kit, bool scratch);
// Starts the holder at program and waits until it holds its files.
bool StartHolder(LPCWSTR program);
// Whether a holder is running (its stop event exists).
bool HolderRunning();
// Tells a running holder to stop and gives it a moment; false when none ran.
bool StopHolder(LPCWSTR program);

// ---- kit_probe.cpp: what deleting a held file answers.

// Deletes path once, logs the answer, and puts the file back if it went:
// the placeholder's bytes, or without a placeholder a copy of the kit.
void Probe(const Kit& kit, LPCWSTR path, const char* how, const PackageFile* placeholder);

// ---- the ways the kit runs (kit_prepare.cpp, kit_undo.cpp).

enum Prepared { kPreparedAll, kPreparedPart, kPreparedNothing };
// The package laid out, the holder started, the probes made.
// kPreparedNothing: the kit could not write its marker and touched nothing.
Prepared Prepare(Kit& kit);
// Probes on scratch files of the kit's own, which then go again. False
// when a probe could not be made.
bool ProbeOnScratch(Kit& kit);
// Whether anything of the kit is on the device, its log aside.
bool KitThere(const Kit& kit);
// Everything of the kit's removed. False when something it made stays.
bool Undo(Kit& kit);
// The scratch files and folder removed, as far as they are the kit's.
bool RemoveScratch(const Kit& kit);

#endif
