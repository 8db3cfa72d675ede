// A device call as one trace record, made from the kinds of its arguments in
// device/device_calls.h: one writer for every call, no code per call.
//
//   {"n":1,"call":"RegOpenKeyExW","args":{"root":"0x80000002","subKey":"SOFTWARE\\Apps\\...",
//    "options":0,"access":131097,"result":"0x1000"},"ret":0,"error":0}
//
// Each argument is written under its name in the list, by its kind: a
// Value as a number (32 bits, unsigned); a Handle as "0x..." (32 bits, the
// device's width, on every build); a StringIn as
// a string (null for a null pointer); a BufferIn as hexadecimal bytes; a
// BufferOut as what it holds after the call (characters as a string up to
// their NUL, bytes as hexadecimal, as many as the call's CountInOut or
// WordOut says it wrote, within the buffer, else the whole buffer); a
// WordOut as a number; a CountInOut as {"in":N,"out":M}; a HandleOut as the
// handle stored; a Reserved as null. "ret" is the result (numbers signed as
// their type is, pointers and handles as "0x..."), absent for a call that
// returns nothing; "error" the thread's error code right after the call.
//
// Freestanding, like trace_line.h.
#ifndef TRQ_PLATFORM_TRACE_CALL_RECORD_H
#define TRQ_PLATFORM_TRACE_CALL_RECORD_H

#include "platform/trace/trace_line.h"

// A call's arguments as words, whatever their types: 32 bits on the
// device, a pointer's width on the host.
typedef ULONG_PTR TraceWord;

// What a call returned, as the record writes it.
struct TraceResult {
    enum Kind { None, Signed, Unsigned, Pointer } kind;
    TraceWord value;  // a signed result sign-extended
};

// The result of a call, by the type it returns.
template <typename T>
TraceResult ResultOf(T* value)
{
    return TraceResult{TraceResult::Pointer, (TraceWord)value};
}
template <typename T>
TraceResult ResultOf(T value)
{
    const bool isSigned = T(-1) < T(0);
    return TraceResult{isSigned ? TraceResult::Signed : TraceResult::Unsigned, (TraceWord)value};
}
inline TraceResult NoResult() { return TraceResult{TraceResult::None, 0}; }

// One call as the record describes it. args holds count words; countsIn
// holds, for each CountInOut argument, the count it pointed to before the
// call (the size the caller offered), and is unused for the others.
struct TracedCall {
    unsigned number;                  // in the run, from 1; 0 writes none (a device build
                                      // has no global data to count in: a reader counts)
    const char* name;                 // "RegOpenKeyExW"
    const char* parameterNames;       // as the list writes them: "(root, subKey, options)"
    const device_calls::Arg* kinds;   // count of them
    unsigned count;
    const TraceWord* args;
    const DWORD* countsIn;
    TraceResult result;
    DWORD error;
};

// Before the call: what each CountInOut argument points to (0 for a null
// pointer), into countsIn.
void TakeCountsIn(const device_calls::Arg* kinds, unsigned count, const TraceWord* args, DWORD* countsIn);

// The record of the call, as one line. Returns its length in bytes.
unsigned WriteCallRecord(const TracedCall& call, char* buffer, unsigned size);

#endif
