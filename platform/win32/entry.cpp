// The process entry of TRQUninstall.exe. The executable has no C runtime
// start-up code: there is nothing for it to set up, and the exit code is
// what this function returns.
#include "flow/uninstall.h"

extern "C" DWORD WINAPI UninstallEntry(LPVOID)
{
    return RunUninstall();
}
