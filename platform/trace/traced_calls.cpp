// The trace layer of TRQUninstallTrace.exe: every call of the uninstaller's
// list (TRQ_DEVICE_CALLS) gets a wrapper of the call's own signature,
// __wrap_<name>, to which the trace build's link sends the device code's
// calls (cmake/trace_build.cmake). The wrapper
//   - writes the line {"calling":"<name>"}, so a call that never returns
//     (the soft reset, a box nobody answers, a crash) still shows;
//   - takes the counts the call reads (CountInOut) before it changes them;
//   - makes the call itself (__real_<name>, platform/trace/real_calls.h),
//     with the thread's last error as the device code left it;
//   - reads the last error the call left and writes the call's record
//     (platform/trace/call_record.h), unnumbered: the device has no global
//     data to count in;
//   - returns the call's result with the last error the call left: the
//     layer's own file calls are undone (trace_file.h) and not recorded.
// One template does the work; the wrappers are made from the list, with no
// code of their own.
#define TRQ_DEVICE_ALL_CALLS  // the file calls of the trace build's tier
#include "device/device.h"
#include "platform/trace/call_record.h"
#include "platform/trace/real_calls.h"
#include "platform/trace/trace_file.h"

namespace {

using device_calls::Row;

// Before the call: the line that says it is being made, and the counts it
// reads.
__attribute__((noinline)) void Before(const Row& call, const TraceWord* words, DWORD* countsIn)
{
    char text[kCallingLineSize];
    AppendTraceLine(text, WriteCallingLine(call, text, sizeof text));
    TakeCountsIn(call, words, countsIn);
}

// After the call: its record.
__attribute__((noinline)) void After(const Row& row, const TraceWord* words, const DWORD* countsIn, DWORD result,
                                     DWORD error)
{
    char text[kTraceLineSize];
    TouchFromTheTop(text, sizeof text);
    TracedCall call;
    call.call = &row;
    call.args = words;
    call.countsIn = countsIn;
    call.result = result;
    call.error = error;
    AppendTraceLine(text, WriteCallRecord(call, text, sizeof text));
}

template <typename T>
struct Same {
    typedef T type;
};
template <typename T>
struct IsVoid {
    static const bool value = false;
};
template <>
struct IsVoid<void> {
    static const bool value = true;
};

// The call through real, traced. The parameters' types come from real alone.
template <typename R, typename... P>
R Traced(const Row& call, R(WINAPI* real)(P...), typename Same<P>::type... args)
{
    // One word more than there are parameters: a call without any has an
    // array too.
    const TraceWord words[sizeof...(P) + 1] = {WordOf(args)...};
    DWORD countsIn[sizeof...(P) + 1];
    Before(call, words, countsIn);
    if constexpr (IsVoid<R>::value) {
        real(args...);
        const DWORD error = __real_GetLastError();
        After(call, words, countsIn, 0, error);
    } else {
        const R result = real(args...);
        const DWORD error = __real_GetLastError();
        After(call, words, countsIn, ResultWord(result), error);
        return result;
    }
}

}  // namespace

// The wrapper's arguments after a comma, or nothing for a call without any.
#define TRQ_TRACE_ARGUMENTS(...) __VA_OPT__(, ) __VA_ARGS__

// NOLINTBEGIN(bugprone-macro-parentheses): params is the call's parameter list, parentheses and all
// The record names the call as the list does (its row's name), whatever
// the platform's headers make of the symbol.

#define TRQ_TRACED_CALL(type, name, params, args, faults, success, kinds)                       \
    extern "C" type WINAPI TRQ_TRACE_PASTE(__wrap_, name) params                                   \
    {                                                                                              \
        return Traced(device_calls::call::name,                                                    \
                      &TRQ_TRACE_PASTE(__real_, name) TRQ_TRACE_ARGUMENTS args);                   \
    }
TRQ_DEVICE_CALLS(TRQ_TRACED_CALL)
#undef TRQ_TRACED_CALL

#if defined(_WIN32) && !defined(_WIN32_WCE)
// Desktop Windows declares the calls __declspec(dllimport): the device code
// calls through the import slot __imp_<name>, which the link sends to a slot
// of the layer's own, holding the wrapper.
#define TRQ_TRACED_IMPORT_SLOT(type, name, params, args, faults, success, kinds) \
    extern "C" type(WINAPI* const TRQ_TRACE_PASTE(__wrap___imp_, name)) params = TRQ_TRACE_PASTE(__wrap_, name);
TRQ_DEVICE_CALLS(TRQ_TRACED_IMPORT_SLOT)
#undef TRQ_TRACED_IMPORT_SLOT
#endif
// NOLINTEND(bugprone-macro-parentheses)
