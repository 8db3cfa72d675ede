// The first record of each run of TRQUninstallTrace.exe, written by its
// entry before the uninstaller starts: which device code this is (the
// build's TRQ_DEVICE_CODE_ID) and what the device says of itself
// (device_facts.h).
#ifndef TRQ_PLATFORM_TRACE_TRACE_START_H
#define TRQ_PLATFORM_TRACE_TRACE_START_H

void WriteTraceStart();

#endif
