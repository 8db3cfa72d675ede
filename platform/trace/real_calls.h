// The platform's own implementation of each call of the uninstaller's list,
// as the trace build's link reaches it: the device code's calls go to the
// trace layer (__wrap_<name>, platform/trace/traced_calls.cpp), and the
// layer makes the call itself through __real_<name>, which the linker's
// --wrap option resolves to the platform's <name>: the COREDLL import thunk
// on a Pocket PC, the system DLL's import stub (or platform/win32/'s
// KernelIoControl) on desktop Windows.
#ifndef TRQ_PLATFORM_TRACE_REAL_CALLS_H
#define TRQ_PLATFORM_TRACE_REAL_CALLS_H

#include "device/device.h"

// A name after the platform's headers have had their say: desktop Windows
// spells SHGetSpecialFolderPath as SHGetSpecialFolderPathW.
#define TRQ_TRACE_PASTE_(a, b) a##b
#define TRQ_TRACE_PASTE(a, b) TRQ_TRACE_PASTE_(a, b)

extern "C" {
// NOLINTBEGIN(bugprone-macro-parentheses): params is the call's parameter list, parentheses and all
#define TRQ_DECLARE_REAL_CALL(type, name, params, args, faults, success, kinds) \
    type WINAPI TRQ_TRACE_PASTE(__real_, name) params;
TRQ_DEVICE_CALLS(TRQ_DECLARE_REAL_CALL)
#undef TRQ_DECLARE_REAL_CALL
// NOLINTEND(bugprone-macro-parentheses)
}

#endif
