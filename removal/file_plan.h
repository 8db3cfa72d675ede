// What the package put in the device's file system, and how it goes.
#ifndef TRQ_REMOVAL_FILE_PLAN_H
#define TRQ_REMOVAL_FILE_PLAN_H

#include "device/device.h"

// Where a row's path starts.
enum FileBase {
    kFixedPath,       // the path is complete as written
    kInstallDir,      // the install directory read from the install record
    kStartupFolder,   // CSIDL_STARTUP, without a trailing separator
    kTempFolder,      // GetTempPathW, with a trailing separator
    kProgramsFolder,  // CSIDL_PROGRAMS, without a trailing separator
};

enum FileAction {
    kGate,       // Startup shortcut: a sharing violation here skips the next row
    kCounted,    // program file: a sharing violation adds one to the count
    kPlain,      // log or shortcut: deleted if possible, nothing else
    kDirectory,  // the install directory itself, removed if empty
};

struct FileRow {
    FileBase base;
    const WCHAR* suffix;  // appended to the base as is; no separator is added
    FileAction action;
};

extern const FileRow kFilePlan[];
extern const int kFilePlanRows;

// RemoveProgramFiles returns this instead of a count when its work buffers
// could not be allocated; nothing has been deleted then.
const int kFileRemovalNotRun = -1;

// Deletes the package's files in plan order and returns how many of the
// counted program files are held open by other processes (0 to 9), or
// kFileRemovalNotRun.
int RemoveProgramFiles(LPCWSTR installDir);

// Deletes one program file; 1 when another process holds it open, else 0.
int DeleteCounted(LPCWSTR path);

// Copies base then suffix into buffer (MAX_PATH characters). Returns false,
// leaving an empty string, when the whole would not fit: a shortened path
// could name another file.
bool ComposePath(LPWSTR buffer, LPCWSTR base, LPCWSTR suffix);

#endif
