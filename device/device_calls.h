// Every call the device code may make, listed once: the Windows CE core
// library (COREDLL) subset the removal plans and the dialogue name.
//
// Everything that knows the calls is made from this list:
//   - device/device.h declares them, with C linkage, for the device code;
//   - platform/wince/ gives each an import thunk, so a Pocket PC executable
//     imports exactly these names from COREDLL.dll;
//   - tools/elf-to-wince lets an image import these names and no other;
//   - platform/sim/fault_rules.cpp lets --fail and the fault sweep fail each
//     call marked Faultable;
//   - harness/emulator/coredll.cpp serves each as a COREDLL export, copying
//     its arguments in and out of the emulated memory by their kinds below.
//   - device/device_call_table.h makes each a row of the one table host
//     tools and the trace writer read: its name, tier, faults, what success
//     is, and each parameter's name and kind.
// Adding a call is one entry here and its service on the simulated device
// (a member of sim::DeviceSession in the platform/sim/ file of its job);
// the emulator serves it from the kinds, and the build stops where the
// kinds and the parameters disagree.
//
// This header needs no Windows types: the return type and the parameters
// are carried as they are written, and only device/device.h, which has
// the types, spells them out. The kinds are plain constants usable by the
// device code's compilers and the host's alike.
#ifndef TRQ_DEVICE_CALLS_H
#define TRQ_DEVICE_CALLS_H

namespace device_calls {

// What an argument is, for a host that must copy it between the program's
// memory and its own. Every pointer may be null.
enum class Kind : unsigned char {
    Value,       // a number taken as it is: flags, a size, a code, a CSIDL
    Handle,      // a key, window, heap or heap block COREDLL gave out: passed on, never read through
    StringIn,    // a NUL-terminated UTF-16 string the call reads
    BufferIn,    // bytes the call reads; their count is another argument
    BufferOut,   // memory the call may fill: its size another argument, or fixed by the call's contract
    WordOut,     // a DWORD the call may set
    CountInOut,  // a DWORD the call reads (a buffer's size) and sets (what it holds, or needs)
    HandleOut,   // where the call stores a handle it opens
    Reserved,    // must be null; the call neither reads nor writes through it
};

// How a buffer's size is counted: bytes, or UTF-16 characters of two bytes.
enum class Unit : unsigned char { Bytes, Chars };

struct Arg {
    Kind kind;
    int sizeArg;         // BufferIn, BufferOut: the argument, from 0, that holds the size; -1 for none
    Unit unit;           // BufferIn, BufferOut: what the size counts
    unsigned fixedSize;  // BufferOut without a size argument: its size, in units
};

constexpr Arg Value() { return {Kind::Value, -1, Unit::Bytes, 0}; }
constexpr Arg Handle() { return {Kind::Handle, -1, Unit::Bytes, 0}; }
constexpr Arg StringIn() { return {Kind::StringIn, -1, Unit::Bytes, 0}; }
constexpr Arg BufferIn(int sizeArg, Unit unit) { return {Kind::BufferIn, sizeArg, unit, 0}; }
constexpr Arg BufferOut(int sizeArg, Unit unit) { return {Kind::BufferOut, sizeArg, unit, 0}; }
constexpr Arg FixedBufferOut(unsigned size, Unit unit) { return {Kind::BufferOut, -1, unit, size}; }
constexpr Arg WordOut() { return {Kind::WordOut, -1, Unit::Bytes, 0}; }
constexpr Arg CountInOut() { return {Kind::CountInOut, -1, Unit::Bytes, 0}; }
constexpr Arg HandleOut() { return {Kind::HandleOut, -1, Unit::Bytes, 0}; }
constexpr Arg Reserved() { return {Kind::Reserved, -1, Unit::Bytes, 0}; }

// Which programs may import a call. The uninstaller imports the calls of
// TRQ_DEVICE_CALLS and no other; its trace build (TRQUninstallTrace.exe)
// adds the file and device-facts calls it writes its trace with
// (TRQ_TRACE_CALLS); the device kit (TRQUninstallKit.exe) may import any
// call of the three lists (TRQ_KIT_CALLS adds what preparing and holding a
// device take). A program of one tier may import the calls of its tier and
// of the tiers below.
enum Tier { Uninstaller, Trace, Kit };

// Whether --fail and the fault sweep may make the call fail. A call the
// device cannot see fail (GetProcessHeap: the process always has its heap)
// is never faulted, nor counted among the calls a rule's "#N" counts.
enum Faults { Faultable, NeverFails };

// What the call's success is, by what it returned. After a call that
// failed, what its buffers and words out hold says nothing.
enum class Success : unsigned char {
    Status,      // a LONG status: ERROR_SUCCESS
    NotFalse,    // a BOOL: not FALSE
    NonNull,     // a handle or pointer: not null
    NotInvalid,  // not the all-ones word the call fails with: INVALID_HANDLE_VALUE,
                 // INVALID_FILE_ATTRIBUTES, INVALID_SET_FILE_POINTER, WAIT_FAILED
    Length,      // a length in characters: not 0 and, with a character buffer
                 // whose size is a value, less than that size
    Always,      // nothing it returns says it failed: void, GetLastError, the button pressed
};

// The buffer SHGetSpecialFolderPath fills: MAX_PATH characters, by contract.
constexpr unsigned kMaxPathChars = 260;
// OSVERSIONINFOW, which GetVersionExW fills: five DWORDs, then the service
// pack's name in 128 characters; the caller sets its first DWORD to its size.
constexpr unsigned kOsVersionInfoBytes = 5 * 4 + 128 * 2;
// PROCESS_INFORMATION on the device (32-bit): two handles, two DWORDs.
constexpr unsigned kProcessInformationBytes = 16;

}  // namespace device_calls

// CALL(return type, name, (parameters), (the parameters' names), Faultable or NeverFails,
//      what success is (Success), (kind of each parameter))
#define TRQ_DEVICE_CALLS(CALL)                                                                     \
    CALL(LONG, RegOpenKeyExW,                                                                      \
         (HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result),                  \
         (root, subKey, options, access, result), Faultable, Status,                               \
         (Handle(), StringIn(), Value(), Value(), HandleOut()))                                    \
    CALL(LONG, RegQueryValueExW,                                                                   \
         (HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD bytes),     \
         (key, name, reserved, type, data, bytes), Faultable, Status,                              \
         (Handle(), StringIn(), Reserved(), WordOut(), BufferOut(5, Unit::Bytes), CountInOut()))   \
    CALL(LONG, RegCloseKey, (HKEY key), (key), Faultable, Status, (Handle()))                      \
    CALL(LONG, RegDeleteKeyW, (HKEY root, LPCWSTR subKey), (root, subKey), Faultable, Status,      \
         (Handle(), StringIn()))                                                                   \
    CALL(BOOL, SetFileAttributesW, (LPCWSTR path, DWORD attributes), (path, attributes),           \
         Faultable, NotFalse, (StringIn(), Value()))                                               \
    CALL(BOOL, DeleteFileW, (LPCWSTR path), (path), Faultable, NotFalse, (StringIn()))             \
    CALL(BOOL, RemoveDirectoryW, (LPCWSTR path), (path), Faultable, NotFalse, (StringIn()))        \
    CALL(DWORD, GetTempPathW, (DWORD size, LPWSTR buffer), (size, buffer), Faultable, Length,      \
         (Value(), BufferOut(0, Unit::Chars)))                                                     \
    CALL(BOOL, SHGetSpecialFolderPath, (HWND owner, LPWSTR buffer, int csidl, BOOL create),        \
         (owner, buffer, csidl, create), Faultable, NotFalse,                                      \
         (Handle(), FixedBufferOut(kMaxPathChars, Unit::Chars), Value(), Value()))                 \
    CALL(DWORD, GetLastError, (void), (), Faultable, Always, ())                                   \
    CALL(void, SetLastError, (DWORD error), (error), Faultable, Always, (Value()))                 \
    CALL(HWND, GetForegroundWindow, (void), (), Faultable, NonNull, ())                            \
    CALL(int, MessageBoxW, (HWND owner, LPCWSTR text, LPCWSTR caption, UINT flags),                \
         (owner, text, caption, flags), Faultable, Always,                                         \
         (Handle(), StringIn(), StringIn(), Value()))                                              \
    CALL(HANDLE, GetProcessHeap, (void), (), NeverFails, NonNull, ())                              \
    CALL(LPVOID, HeapAlloc, (HANDLE heap, DWORD flags, SIZE_T bytes), (heap, flags, bytes),        \
         Faultable, NonNull, (Handle(), Value(), Value()))                                         \
    CALL(BOOL, HeapFree, (HANDLE heap, DWORD flags, LPVOID block), (heap, flags, block),           \
         Faultable, NotFalse, (Handle(), Value(), Handle()))                                       \
    CALL(BOOL, KernelIoControl,                                                                    \
         (DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned),       \
         (code, in, inSize, out, outSize, returned), Faultable, NotFalse,                          \
         (Value(), BufferIn(2, Unit::Bytes), Value(), BufferOut(4, Unit::Bytes), Value(), WordOut()))

// The calls the trace build adds to the uninstaller's: the trace file
// written and flushed record by record, and the device's facts for its
// first record.
#define TRQ_TRACE_CALLS(CALL)                                                                      \
    CALL(HANDLE, CreateFileW,                                                                      \
         (LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,                 \
          DWORD disposition, DWORD flags, HANDLE templateFile),                                    \
         (path, access, share, security, disposition, flags, templateFile), Faultable, NotInvalid, \
         (StringIn(), Value(), Value(), Reserved(), Value(), Value(), Reserved()))                 \
    CALL(BOOL, WriteFile,                                                                          \
         (HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped),       \
         (file, data, bytes, written, overlapped), Faultable, NotFalse,                            \
         (Handle(), BufferIn(2, Unit::Bytes), Value(), WordOut(), Reserved()))                     \
    CALL(DWORD, SetFilePointer, (HANDLE file, LONG distance, PLONG distanceHigh, DWORD method),    \
         (file, distance, distanceHigh, method), Faultable, NotInvalid,                            \
         (Handle(), Value(), Reserved(), Value()))                                                 \
    CALL(BOOL, FlushFileBuffers, (HANDLE file), (file), Faultable, NotFalse, (Handle()))           \
    CALL(BOOL, CloseHandle, (HANDLE object), (object), Faultable, NotFalse, (Handle()))            \
    CALL(BOOL, GetVersionExW, (LPOSVERSIONINFOW info), (info), Faultable, NotFalse,                \
         (FixedBufferOut(kOsVersionInfoBytes, Unit::Bytes)))                                       \
    CALL(BOOL, SystemParametersInfoW, (UINT action, UINT size, PVOID buffer, UINT winIni),         \
         (action, size, buffer, winIni), Faultable, NotFalse,                                      \
         (Value(), Value(), BufferOut(1, Unit::Bytes), Value()))

// The calls the device kit adds: a fresh install's files, folders and keys
// made (each file and folder under a name of the kit's, then moved into
// place whole; the registry flushed, so that what the kit marks outlives a
// reset; a key's sub-keys counted before the kit deletes it), its own files
// read back before it removes them, and the package's
// running utility stood for by a copy of the kit that holds files open
// until it is told to stop (a named event; Windows CE sets an event with
// EventModify, which desktop Windows calls SetEvent).
#define TRQ_KIT_CALLS(CALL)                                                                        \
    CALL(BOOL, ReadFile,                                                                           \
         (HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, LPOVERLAPPED overlapped),           \
         (file, data, bytes, read, overlapped), Faultable, NotFalse,                               \
         (Handle(), BufferOut(2, Unit::Bytes), Value(), WordOut(), Reserved()))                    \
    CALL(DWORD, GetFileAttributesW, (LPCWSTR path), (path), Faultable, NotInvalid, (StringIn()))   \
    CALL(BOOL, CreateDirectoryW, (LPCWSTR path, LPSECURITY_ATTRIBUTES security), (path, security), \
         Faultable, NotFalse, (StringIn(), Reserved()))                                            \
    CALL(BOOL, CopyFileW, (LPCWSTR from, LPCWSTR to, BOOL failIfExists), (from, to, failIfExists), \
         Faultable, NotFalse, (StringIn(), StringIn(), Value()))                                   \
    CALL(BOOL, MoveFileW, (LPCWSTR from, LPCWSTR to), (from, to), Faultable, NotFalse,             \
         (StringIn(), StringIn()))                                                                 \
    CALL(LONG, RegCreateKeyExW,                                                                    \
         (HKEY root, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access, \
          LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition),                      \
         (root, subKey, reserved, keyClass, options, access, security, result, disposition),       \
         Faultable, Status,                                                                        \
         (Handle(), StringIn(), Value(), Reserved(), Value(), Value(), Reserved(), HandleOut(),    \
          WordOut()))                                                                              \
    CALL(LONG, RegSetValueExW,                                                                     \
         (HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD bytes),      \
         (key, name, reserved, type, data, bytes), Faultable, Status,                              \
         (Handle(), StringIn(), Value(), Value(), BufferIn(5, Unit::Bytes), Value()))              \
    CALL(LONG, RegDeleteValueW, (HKEY key, LPCWSTR name), (key, name), Faultable, Status,          \
         (Handle(), StringIn()))                                                                   \
    CALL(LONG, RegFlushKey, (HKEY key), (key), Faultable, Status, (Handle()))                      \
    CALL(LONG, RegQueryInfoKeyW,                                                                   \
         (HKEY key, LPWSTR keyClass, LPDWORD classChars, LPDWORD reserved, LPDWORD subKeys,       \
          LPDWORD maxSubKeyChars, LPDWORD maxClassChars, LPDWORD values, LPDWORD maxValueNameChars, \
          LPDWORD maxValueBytes, LPDWORD securityDescriptor, PFILETIME lastWriteTime),            \
         (key, keyClass, classChars, reserved, subKeys, maxSubKeyChars, maxClassChars, values,     \
          maxValueNameChars, maxValueBytes, securityDescriptor, lastWriteTime),                    \
         Faultable, Status,                                                                        \
         (Handle(), BufferOut(2, Unit::Chars), CountInOut(), Reserved(), WordOut(), WordOut(),     \
          WordOut(), WordOut(), WordOut(), WordOut(), Reserved(), Reserved()))                     \
    CALL(DWORD, GetModuleFileNameW, (HMODULE module, LPWSTR buffer, DWORD size),                   \
         (module, buffer, size), Faultable, Length, (Handle(), BufferOut(2, Unit::Chars), Value())) \
    CALL(BOOL, CreateProcessW,                                                                     \
         (LPCWSTR program, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,              \
          LPSECURITY_ATTRIBUTES threadSecurity, BOOL inheritHandles, DWORD flags, LPVOID environment, \
          LPCWSTR folder, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information),              \
         (program, commandLine, processSecurity, threadSecurity, inheritHandles, flags,            \
          environment, folder, startup, information),                                              \
         Faultable, NotFalse,                                                                      \
         (StringIn(), StringIn(), Reserved(), Reserved(), Value(), Value(), Reserved(),            \
          Reserved(), Reserved(), FixedBufferOut(kProcessInformationBytes, Unit::Bytes)))          \
    CALL(HANDLE, CreateEventW,                                                                     \
         (LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCWSTR name),      \
         (security, manualReset, initialState, name), Faultable, NonNull,                          \
         (Reserved(), Value(), Value(), StringIn()))                                               \
    CALL(BOOL, EventModify, (HANDLE event, DWORD function), (event, function), Faultable, NotFalse, \
         (Handle(), Value()))                                                                      \
    CALL(DWORD, WaitForSingleObject, (HANDLE object, DWORD milliseconds), (object, milliseconds),  \
         Faultable, NotInvalid, (Handle(), Value()))                                               \
    CALL(void, Sleep, (DWORD milliseconds), (milliseconds), NeverFails, Always, (Value()))

// Every call of the three lists, in the order of their tiers.
#define TRQ_ALL_CALLS(CALL) TRQ_DEVICE_CALLS(CALL) TRQ_TRACE_CALLS(CALL) TRQ_KIT_CALLS(CALL)

#endif  // TRQ_DEVICE_CALLS_H
