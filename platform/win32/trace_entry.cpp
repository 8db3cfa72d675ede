// The process entry of TRQUninstallTrace.exe on desktop Windows: the trace's
// first record (the system's facts), then the uninstaller, each of whose
// calls the trace layer records (platform/trace/).
#include "flow/uninstall.h"
#include "platform/trace/trace_start.h"

extern "C" DWORD WINAPI UninstallEntry(LPVOID)
{
    WriteTraceStart();
    return RunUninstall();
}
