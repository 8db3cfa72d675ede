// A device call as its trace records, made from its row of
// device/device_call_table.h: one writer for every call, no code per call.
// The trace build writes these on a device; the simulated device writes the
// same for its --trace, and reads a live call's arguments into its own
// records through ArgumentOf, as this writer does.
//
// Before the call, the line {"calling":NAME}; after it, its record:
//
//   {"call":"RegOpenKeyExW","args":{"root":"0x80000002","subKey":"SOFTWARE\\Apps\\...",
//    "options":0,"access":131097,"result":"0x1000"},"ret":0,"error":0}
//
// Each argument is written under its name in the list, by its kind: a
// Value as a number (32 bits, unsigned); a Handle as "0x..." (32 bits, the
// device's width, on every build); a StringIn as a string (null for a null
// pointer); a BufferIn as hexadecimal bytes; a BufferOut as what it holds
// after the call (characters as a string up to their NUL, bytes as
// hexadecimal, as many as the call's CountInOut or WordOut says it wrote,
// within the buffer, else the whole buffer); a WordOut as a number; a
// CountInOut as {"in":N,"out":M}; a HandleOut as the handle stored; a
// Reserved as null. "ret" is the result (numbers signed as their type is,
// pointers and handles as "0x..."), absent for a call that returns nothing;
// "error" the thread's error code right after the call.
//
// Freestanding, like trace_line.h.
#ifndef TRQ_PLATFORM_TRACE_CALL_RECORD_H
#define TRQ_PLATFORM_TRACE_CALL_RECORD_H

#include "device/device_call_table.h"
#include "platform/trace/trace_line.h"

// A call's arguments as words, whatever their types: 32 bits on the
// device, a pointer's width on the host. A pointer's word is an address the
// writer may read through; what a HandleOut points to is a handle of that
// width.
typedef ULONG_PTR TraceWord;

template <typename T>
TraceWord WordOf(T* pointer)
{
    return reinterpret_cast<TraceWord>(pointer);
}
template <typename T>
TraceWord WordOf(T value)
{
    return static_cast<TraceWord>(value);
}

// What a call returned, as the device's 32-bit word (a pointer's low half
// on a 64-bit host); the row says how it is read.
template <typename T>
DWORD ResultWord(T* value)
{
    return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(value));
}
template <typename T>
DWORD ResultWord(T value)
{
    return static_cast<DWORD>(value);
}

// One call that returned. countsIn holds, for each CountInOut argument,
// the count it pointed to before the call (the size the caller offered),
// and is unused for the others.
struct TracedCall {
    const device_calls::Row* call;
    const TraceWord* args;  // one for each parameter
    const DWORD* countsIn;
    DWORD result;           // none for a call that returns nothing
    DWORD error;
};

// Before the call: what each CountInOut argument points to (0 for a null
// pointer), into countsIn.
void TakeCountsIn(const device_calls::Row& call, const TraceWord* args, DWORD* countsIn);

// What a record holds of argument i of a call, by its kind, before it is
// written as text.
struct ArgumentView {
    enum Form { Null, Number, Handle, Text, Bytes, Count } form;
    DWORD number;       // Number, Handle; Count: what it holds after the call
    DWORD countIn;      // Count: what it held before
    const WCHAR* text;  // Text: up to its NUL, within units
    const BYTE* bytes;  // Bytes: units of them
    unsigned units;
};
ArgumentView ArgumentOf(const TracedCall& call, unsigned i);

// The record's members, "call" to "error", into a line begun already.
void PutCallRecord(TraceLine& line, const TracedCall& call);
// The record of the call, as one line. Returns its length in bytes.
unsigned WriteCallRecord(const TracedCall& call, char* buffer, unsigned size);

// Room for {"calling":NAME} and the line's end.
const unsigned kCallingLineSize = 96;
// The line before the call, {"calling":NAME}. Returns its length in bytes.
unsigned WriteCallingLine(const device_calls::Row& call, char* buffer, unsigned size);

#endif
