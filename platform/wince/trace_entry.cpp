// The process entry of TRQUninstallTrace.exe on a Pocket PC: the trace's
// first record (the device's facts), then the uninstaller, each of whose
// calls the trace layer records (platform/trace/).
#include "flow/uninstall.h"
#include "platform/trace/trace_start.h"

extern "C" int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    WriteTraceStart();
    return RunUninstall();
}
