#define TRQ_DEVICE_ALL_CALLS  // the device-facts calls of the trace build's tier
#include "platform/trace/trace_start.h"

#include "platform/trace/device_facts.h"
#include "platform/trace/real_calls.h"
#include "platform/trace/trace_file.h"

namespace {

__attribute__((noinline)) void WriteFactsLine(const DeviceFacts& facts)
{
    char text[kTraceLineSize];
    TouchFromTheTop(text, sizeof text);
    AppendTraceLine(text, WriteFactsRecord(TRQ_DEVICE_CODE_ID, facts, text, sizeof text));
}

}  // namespace

void WriteTraceStart()
{
    // The uninstaller starts with the last error the process started with.
    const DWORD lastError = __real_GetLastError();
    DeviceFacts facts;
    ReadDeviceFacts(facts);
    WriteFactsLine(facts);
    __real_SetLastError(lastError);
}
