// The device services the uninstaller uses: the small subset of the
// Windows CE core library (COREDLL) named by the removal plans and the
// dialogue, and nothing else.
//
// flow/ and removal/ include this header and call these functions by their
// platform names. Which implementation they get is decided at link time:
//   - Windows CE: COREDLL itself, through the import thunks of
//     platform/wince/, made from the list of device/device_calls.h.
//   - Desktop Windows (mingw-w64): the system DLLs, plus platform/win32/ for
//     the one call desktop Windows lacks (KernelIoControl).
//   - Linux: platform/sim/, the simulated device; the ARM emulator
//     (harness/emulator/) serves a Pocket PC executable's COREDLL imports
//     from the same functions.
#ifndef TRQ_DEVICE_H
#define TRQ_DEVICE_H

// Every call the device code may make, in one list (a Pocket PC executable
// imports exactly these names from COREDLL.dll).
#include "device/device_calls.h"

#if defined(_WIN32) && !defined(_WIN32_WCE)  // desktop Windows

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
#include <shlobj.h>

// The kernel control call that soft-resets a Pocket PC. COREDLL exports it;
// desktop Windows has no such call (platform/win32/ looks it up at run time).
extern "C" BOOL WINAPI KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                       DWORD outSize, LPDWORD returned);
// Windows CE sets and resets an event with EventModify; desktop Windows has
// SetEvent instead (the device kit's desktop build maps one to the other).
#define EVENT_SET 3
extern "C" BOOL WINAPI EventModify(HANDLE event, DWORD function);
#ifndef SPI_GETPLATFORMTYPE
#define SPI_GETPLATFORMTYPE 257
#define SPI_GETOEMINFO 258
#endif

#else  // Windows CE, which has no SDK headers here, and the simulated device

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define TEXT(s) u##s

typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef uint8_t BYTE;
typedef BYTE* LPBYTE;
typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef int BOOL;
typedef DWORD REGSAM;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef void* LPVOID;
typedef void* HANDLE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef const void* LPCVOID;
typedef void* PVOID;
typedef LONG* PLONG;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED* LPOVERLAPPED;
typedef struct _STARTUPINFOW* LPSTARTUPINFOW;
typedef struct _FILETIME* PFILETIME;

typedef struct _OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *LPOSVERSIONINFOW;
static_assert(sizeof(OSVERSIONINFOW) == device_calls::kOsVersionInfoBytes, "OSVERSIONINFOW as COREDLL fills it");

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

#define FALSE 0
#define TRUE 1
#define MAX_PATH 260
static_assert(MAX_PATH == device_calls::kMaxPathChars, "the list's path buffer is MAX_PATH characters");

// Root keys carry the platform's values, sign-extended as on Win64.
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)(LONG)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)(LONG)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)(LONG)0x80000002)

#define KEY_READ 0x20019
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_MORE_DATA 234L
#define ERROR_DIRECTORY 267L
#define ERROR_KEY_DELETED 1018L

#define FILE_ATTRIBUTE_READONLY 0x1
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_NORMAL 0x80

#define MB_OK 0x0
#define MB_OKCANCEL 0x1
#define MB_YESNOCANCEL 0x3
#define MB_YESNO 0x4
#define MB_TYPEMASK 0xF
#define MB_ICONERROR 0x10
#define MB_ICONQUESTION 0x20
#define MB_ICONEXCLAMATION 0x30
#define MB_ICONINFORMATION 0x40
#define MB_ICONMASK 0xF0
#define MB_SETFOREGROUND 0x10000

#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

#define CSIDL_PROGRAMS 0x0002
#define CSIDL_STARTUP 0x0007

#define INVALID_HANDLE_VALUE ((HANDLE)(ULONG_PTR)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define FILE_SHARE_READ 0x1
#define FILE_SHARE_WRITE 0x2
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_FILE_EXISTS 80L
#define ERROR_DISK_FULL 112L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_BAD_EXE_FORMAT 193L
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2
#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3
#define VER_PLATFORM_WIN32_CE 3
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED 0xFFFFFFFF
#define SPI_GETPLATFORMTYPE 257
#define SPI_GETOEMINFO 258

// The calls themselves: COREDLL exports them by these names, with C linkage.
// The uninstaller's device code sees its own calls alone; the trace build's
// layer and the device kit, which define TRQ_DEVICE_ALL_CALLS, see the
// calls of every tier (device/device_calls.h).
extern "C" {
#define TRQ_DECLARE_DEVICE_CALL(type, name, params, args, faults, success, kinds) type WINAPI name params;
TRQ_DEVICE_CALLS(TRQ_DECLARE_DEVICE_CALL)
#ifdef TRQ_DEVICE_ALL_CALLS
TRQ_TRACE_CALLS(TRQ_DECLARE_DEVICE_CALL)
TRQ_KIT_CALLS(TRQ_DECLARE_DEVICE_CALL)
#endif
#undef TRQ_DECLARE_DEVICE_CALL
}

#endif  // Windows CE and the simulated device

#ifndef IOCTL_HAL_REBOOT
#define IOCTL_HAL_REBOOT 0x0101003C
#endif

#endif  // TRQ_DEVICE_H
