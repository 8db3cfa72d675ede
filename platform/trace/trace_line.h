// One line of a device trace: a JSON object written into a buffer the
// caller owns (on the device, its stack), never past its end. Whatever does
// not fit is cut, and the line then ends with "cut":true, so a record is
// always whole JSON.
//
// Freestanding: no C runtime, no allocation, no global state. The trace
// build writes its records with it on the Pocket PC and on desktop Windows,
// the device kit its log, and the simulated device its trace.
#ifndef TRQ_PLATFORM_TRACE_TRACE_LINE_H
#define TRQ_PLATFORM_TRACE_TRACE_LINE_H

#include "device/device.h"

struct TraceLine {
    char* text;
    unsigned size;    // of text, in bytes
    unsigned length;  // written so far
    unsigned depth;   // objects open
    bool first;       // no member yet in the innermost object
    bool cut;         // something did not fit
};

// Starts a line: "{". The buffer must hold at least kTraceLineReserve bytes.
void LineBegin(TraceLine& line, char* buffer, unsigned size);
// Closes every object still open, adds "cut":true if anything was cut, and
// ends the line with "\r\n". Returns the line's length in bytes.
unsigned LineEnd(TraceLine& line);

// A member's key, then its value (one of the Put* below).
void PutKey(TraceLine& line, const char* key);
void PutNull(TraceLine& line);
void PutBool(TraceLine& line, bool value);
// Numbers are a word wide: 32 bits on the device, whose builds must not
// need the compiler's routines for wider arithmetic.
void PutUnsigned(TraceLine& line, ULONG_PTR value);
// A word read as signed, two's complement.
void PutSigned(TraceLine& line, ULONG_PTR bits);
// "0x" and lowercase hexadecimal digits, as a JSON string.
void PutHandle(TraceLine& line, ULONG_PTR value);
// An ASCII text as a JSON string.
void PutText(TraceLine& line, const char* text);
// UTF-16 text, to its NUL or for at most count units, as a UTF-8 JSON
// string; a lone surrogate is written as its \uXXXX escape.
void PutString16(TraceLine& line, const WCHAR* text, unsigned count);
// Bytes as a JSON string of lowercase hexadecimal pairs.
void PutHexBytes(TraceLine& line, const BYTE* bytes, unsigned count);
// Opens a nested object as the value of the last key; CloseObject ends it.
void OpenObject(TraceLine& line);
void CloseObject(TraceLine& line);

// What LineEnd needs at the end of the buffer to close a line.
const unsigned kTraceLineReserve = 32;
// Room for any record the trace build writes: a path of MAX_PATH
// characters escaped, or a registry value's bytes, with room to spare.
const unsigned kTraceLineSize = 4096;

#endif
