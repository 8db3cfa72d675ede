// The trace file of TRQUninstallTrace.exe, "\TRQ Uninstall trace.txt" at
// the device root: one JSON object a line, each line ended by "\r\n".
//
// Every line is appended on its own: the file is opened (created if it is
// not there, shared for reading), its end sought, the line written and
// flushed, and the file closed again. Whatever ends a run (the soft reset,
// a crash, a flat battery) loses no line already written, and the trace
// build keeps nothing open and nothing in global state. A line that cannot
// be written is lost and nothing else changes: the thread's last error is
// left as it was.
//
// Freestanding, like trace_line.h.
#ifndef TRQ_PLATFORM_TRACE_TRACE_FILE_H
#define TRQ_PLATFORM_TRACE_TRACE_FILE_H

#include "platform/trace/trace_line.h"

void AppendTraceLine(const char* text, unsigned length);

// A frame that holds a line of kTraceLineSize bytes is larger than a page.
// Windows CE and desktop Windows commit a thread's stack a page at a time,
// when the page below the committed ones (its guard page) is touched: a
// write further down faults. Touches the buffer from its top down, less
// than a page at a time, before anything is written below it; call it
// first in the function that holds the buffer.
inline void TouchFromTheTop(char* buffer, unsigned size)
{
    const unsigned kStride = 1024;
    volatile char* bytes = buffer;
    for (unsigned at = size; at > 0; at = at > kStride ? at - kStride : 0) bytes[at - 1] = 0;
    // Nothing the compiler writes afterwards moves up before the touches.
    asm volatile("" ::: "memory");
}

#endif
