// What the kit's parts share: its names, the device's folders as the kit
// found them, its log's lines not yet written, what its log says it made,
// and the work of each part (one file each).
//
// The kit changes a device as a careful tool changes a user's data: it
// writes what it is about to make to its log (and flushes it) before it
// makes it, and what it made after. What is its own, a later start tells by
// what each thing carries, whatever stopped the run in between: the kit's
// mark in a placeholder's bytes and in a key, its sign in a folder, its
// temporary name; the log only says where to look.
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
// Under HKEY_LOCAL_MACHINE: the folders prepare read. Made first and removed
// last, it is how a later start knows a round is not over.
#define TRQ_KIT_MARKER TEXT("Software\\TRQ Uninstall Kit")
// The value the kit puts in every key it makes but the marker: a key is the
// kit's only while it holds it (or, made and cut short, holds nothing).
#define TRQ_KIT_KEY_MARK TEXT("TRQ Uninstall Kit")
// The holder waits on the first until the kit's undo sets it, and sets the
// second once it holds its files. The kit makes the third first, and a kit
// that finds it made already knows another one runs.
#define TRQ_KIT_STOP_EVENT TEXT("TRQ Uninstall Kit stop")
#define TRQ_KIT_READY_EVENT TEXT("TRQ Uninstall Kit ready")
#define TRQ_KIT_RUNNING_EVENT TEXT("TRQ Uninstall Kit running")
// Where the kit probes on its own files when the package is there.
#define TRQ_KIT_SCRATCH TEXT("\\TRQ Uninstall Kit scratch")

// What the log says of a file, folder or key: the last line that named it
// since the log's last "clean" line.
enum ItemKind { kItemFile, kItemFolder, kItemKey };
enum ItemState { kStateNone, kStateMaking, kStateMade, kStateExists, kStateUndone };

// The kit's log read back, in memory: the folders prepare read, and what
// the log last said of each name since the last round was finished. A name
// is kept as a hash of its kind and folded characters, in a table of its
// own: each line costs the same whatever came before it. The log is only a
// list of where to look, so two names of one hash cost a line in the box at
// worst, never a thing removed.
const int kJournalItems = 512;
const int kJournalSlots = 1024;  // a power of two, twice the names kept
const unsigned kJournalReadSize = 8192;
struct JournalSlot {
    unsigned hash;
    unsigned round;       // the slot is empty unless it is the journal's round
    unsigned char kind;   // ItemKind
    unsigned char state;  // ItemState
};
struct Journal {
    bool open;  // the log names something the kit was making since its last "clean"
    WCHAR folder[kPackageBaseCount][MAX_PATH];
    bool known[kPackageBaseCount];
    unsigned round;  // a "clean" line starts another
    int count;       // names kept of this round
    JournalSlot slots[kJournalSlots];
    char text[kJournalReadSize];  // the log as it is read
};

// What the undo leaves, for its last box: the names and why, as many as
// fit; the rest counted.
const int kBoxChars = 1200;
struct LeftList {
    WCHAR text[kBoxChars];
    int length;
    int count;   // things left
    int shown;   // of them in text
};

// Lines are gathered here and written together, before the kit makes what
// they announce: room for many lines, one write.
const unsigned kLogBatchSize = 8192;

// Where the kit runs, what the device told it, and what its log holds.
// It lives on the process heap (RunKit), not on the stack.
struct Kit {
    WCHAR self[MAX_PATH];                       // the kit's own file
    WCHAR folder[kPackageBaseCount][MAX_PATH];  // each base of the package's files
    bool known[kPackageBaseCount];              // whether the device named that base
    char pending[kLogBatchSize];                // lines not yet written to the log
    unsigned pendingLength;
    bool logFailed;  // a line could not be written
    int keptFolders;  // folders the marker keeps (ReadKeptFolders)
    LeftList left;    // what the undo left, and why
    Journal journal;
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

// Room for any placeholder: a text of MAX_PATH characters as UTF-8, or a
// shortcut to such a target.
const int kPlaceholderSize = 1024;

// ---- kit_folders.cpp: where things are.

// Reads the kit's own file name and the device's folders.
bool ReadSelf(Kit& kit);
void ReadFolders(Kit& kit);
void LogFolders(Kit& kit);
// The path of a package file on this device; false when its base is unknown
// or the whole would not fit.
bool PackagePath(const Kit& kit, PackageBase base, LPCWSTR name, LPWSTR path);
bool ScratchPath(LPCWSTR name, LPWSTR path);
// Whether a file is the package's utility, which the kit copies itself to.
bool IsUtility(const PackageFile& file);
// The package's file of that base and name; 0 when there is none.
const PackageFile* FindPackageFile(PackageBase base, LPCWSTR name);
// Whether two names are the same, compared in the case a device's names
// compare in (device_text::FoldCase).
bool SameText(LPCWSTR a, LPCWSTR b);
// Whether path names the device path want, with or without a drive ("C:").
bool SamePath(LPCWSTR path, LPCWSTR want);
// The placeholder's bytes, for this device's install directory: the
// package's, then the kit's mark, a line no file of the package holds; in a
// folder the kit made (inMadeFolder), a mark that says so, the folder's sign
// once its own sign file has gone.
int PlaceholderBytes(const Kit& kit, const PackageFile& file, char* bytes, int size, bool inMadeFolder);
// The sign file in each folder the kit makes, and its bytes, which name the
// folder: set aside at the folder's temporary name while the folder is
// removed, it still signs it.
#define TRQ_KIT_SIGN TEXT("TRQ Uninstall Kit made this folder.txt")
int SignBytes(LPCWSTR folder, char* bytes, int size);
// The folder names the log and the marker give the bases.
const char* FolderName(int base);

// ---- kit_log.cpp: the log, one JSON line at a time.

// Each Log* call gathers its line; LogWrite writes what is gathered, and
// says whether every line so far reached the log. Start, end, stopped and
// clean lines are written at once.
bool LogWrite(Kit& kit);
void LogStart(Kit& kit, const char* mode);
void LogEnd(Kit& kit, const char* mode);
void LogFolder(Kit& kit, const char* name, LPCWSTR path);  // path null: the device did not say
// {"kit":kind,what:name}: making, made, exists, undone.
void LogItem(Kit& kit, const char* kind, ItemKind what, LPCWSTR name);
// Both name the thing in the undo's last box too (Kit::left).
void LogFailed(Kit& kit, const char* what, LPCWSTR name, DWORD error);
// {"kit":"left",what:name,"why":why}: named by the log, there, and not
// provably the kit's, or the kit's and not removable for the reason given.
void LogLeft(Kit& kit, ItemKind what, LPCWSTR name, const char* why);
void LogHolds(Kit& kit, LPCWSTR file, const char* how, LPCWSTR by);
void LogProbe(Kit& kit, LPCWSTR file, const char* how, BOOL result, DWORD error, bool restored);
void LogStopped(Kit& kit, LPCWSTR program);
// The round is finished: nothing the kit made is left (but the log).
void LogClean(Kit& kit);

// ---- kit_journal.cpp: the log read back.

// Reads the log's end into kit.journal; an unreadable or missing log is an
// empty journal.
void ReadJournal(Kit& kit);
ItemState JournalState(const Journal& journal, ItemKind kind, LPCWSTR name);
// Whether the kit was making it, by its log: the log's last word on it is
// "making" or "made".
bool JournalSaysMaking(const Journal& journal, ItemKind kind, LPCWSTR name);

// ---- kit_files.cpp: files and folders.

bool Exists(LPCWSTR path);
// A new file with these bytes, never replacing one: ERROR_SUCCESS, or why not.
DWORD WriteNewFile(LPCWSTR path, const char* bytes, int count);
// The kit's temporary name for path, beside it in the same folder: what the
// kit makes is made there, then moved into place whole (MoveFileW), so that
// at its own name it is whole or not there. Whatever is at this name is the
// kit's.
#define TRQ_KIT_TEMP TEXT(".TRQ Uninstall Kit.tmp")
bool TempBeside(LPCWSTR path, LPWSTR temp);
// Removes what is at a temporary name of the kit's (a file, or a folder
// with at most its sign in it). Logs undone or failed; false when it stays.
bool RemoveTemp(Kit& kit, LPCWSTR temp);
// A new file with these bytes, or a copy of from, put in place whole, never
// over anything: ERROR_SUCCESS, or why not (the temporary name gone again).
DWORD PutWhole(LPCWSTR path, const char* bytes, int count);
DWORD CopyWhole(LPCWSTR from, LPCWSTR path);
// A new folder with the kit's sign in it, put in place whole.
DWORD PutSignedFolder(LPCWSTR path);
// Moves a file or folder; ERROR_SUCCESS or why not.
DWORD MoveTo(LPCWSTR from, LPCWSTR to);
// Whether the file at path holds exactly these bytes.
bool HoldsWhole(LPCWSTR path, const char* bytes, int count);
// Whether the file at path holds the kit's own bytes, all of them.
bool HoldsSelf(const Kit& kit, LPCWSTR path);
// Deletes a file the kit made, waiting a little while something still
// holds it. Logs undone or failed.
bool RemoveFile(Kit& kit, LPCWSTR path);
// How many folders lie above path's last name below the root, and the one
// at depth (1: the topmost) as a path of its own.
int FoldersAbove(LPCWSTR path);
bool FolderAbove(LPCWSTR path, int depth, LPWSTR folder);

// ---- kit_registry.cpp: keys, and the marker of what the kit made.

// The kit's marker key, opened (and created when create is true); 0 when
// it is not there or cannot be made.
HKEY OpenMarker(bool create);
void CloseMarker(HKEY marker);
// Before the kit makes a key, the marker holds a value of the key's name
// (HKEY_...\path), until the key is made, marked and flushed: a key that
// is empty and unmarked is the kit's, made and stopped before its mark,
// only while the marker says so.
void NoteMaking(HKEY marker, LPCWSTR name);
void ForgetMaking(HKEY marker, LPCWSTR name);
bool MarkerSaysMaking(LPCWSTR name);
// The folders prepare read, kept with the marker; read back into kit.folder
// where the marker has them.
void KeepFolders(const Kit& kit, HKEY marker);
void ReadKeptFolders(Kit& kit, HKEY marker);
// Writes the marker's changes to the device's store; where the registry is
// in RAM with no store behind it, this fails, and there is nothing to do.
void Flush(HKEY key);
// "HKEY_LOCAL_MACHINE\path" into name (MAX_PATH characters).
bool KeyName(LPWSTR name, HKEY root, LPCWSTR path);
// Whether the key is there, and whether it holds the kit's mark.
bool KeyThere(HKEY root, LPCWSTR path);
bool KeyMarked(HKEY root, LPCWSTR path);

// The keys the kit makes, in the order it makes them: the marker first,
// the package's keys, the install record last. Each key of a source is one
// of its levels ("a\b\c": "a", "a\b", "a\b\c").
int KeySourceCount();
bool IsMarkerSource(int source);
HKEY KeySourceRoot(int source);
LPCWSTR KeySourcePath(int source);
const PackageKey* KeySourcePackageKey(int source);  // 0 for the marker
int KeyDepth(LPCWSTR path);
bool KeyAt(LPCWSTR path, int depth, LPWSTR key);

// Makes the key at (source, depth), marked, with the package's values when
// it is the source's own key: made, exists (there already, left alone) or
// failed, each logged.
enum Made { kMade, kExisted, kFailed };
Made MakeKey(Kit& kit, int source, int depth);
// Deletes the key at (source, depth) when it is the kit's: it holds the
// kit's mark (or, empty, the marker says the kit was making it), and no key
// below it. One the log names that is there without
// the mark is left, and named (LogLeft). False when it is the kit's and stays.
bool RemoveKey(Kit& kit, int source, int depth);
// Removes the marker when no key is below it; false when it stays.
bool RemoveMarker(Kit& kit);

// ---- kit_holder.cpp: the copy of the kit that holds files open.

// When the kit runs as the utility or as the scratch holder: holds the
// files, waits to be stopped, then lets them go.
bool IsHolder(const Kit& kit, bool* scratch);
int RunHolder(Kit& kit, bool scratch);
// Starts the holder at program and waits until it holds its files.
bool StartHolder(Kit& kit, LPCWSTR program);
// Whether a holder is running (its stop event exists).
bool HolderRunning();
// Tells a running holder to stop and gives it a moment; false when none ran.
bool StopHolder(Kit& kit, LPCWSTR program);

// ---- kit_probe.cpp: what deleting a held file answers.

// Deletes path once, logs the answer, and puts the file back if it went:
// the placeholder's bytes, or without a placeholder a copy of the kit.
void Probe(Kit& kit, LPCWSTR path, const char* how, const PackageFile* placeholder, bool inMadeFolder);

// ---- the ways the kit runs (kit_prepare.cpp, kit_undo.cpp).

enum Prepared { kPreparedAll, kPreparedPart, kPreparedNothing };
// Whether any of the package's files or keys is on the device.
bool PackageThere(const Kit& kit);
// The package laid out, the holder started, the probes made on the files
// this run made. kPreparedNothing: the kit could not write its log or its
// marker and made nothing.
Prepared Prepare(Kit& kit);
// Probes on scratch files of the kit's own, which then go again. False
// when a probe could not be made.
bool ProbeOnScratch(Kit& kit);
// Whether anything of the kit is on the device, its finished log aside.
bool KitThere(Kit& kit);
// Everything that carries the kit's proof removed, the round then logged
// clean: kUndoneAll; with things the log names left alone as not provably
// the kit's (Kit::left): kUndoneLeft; kUndonePart when something of the
// kit's stays (Kit::left says what and why).
enum Undone { kUndoneAll, kUndoneLeft, kUndonePart };
Undone Undo(Kit& kit);

#endif
