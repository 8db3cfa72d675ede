// The process entry of TRQUninstall.exe on desktop Windows. There is no C
// runtime start-up code: there is nothing for it to set up, the entry only
// runs the uninstaller, and its result is the process's exit code.
#include "flow/uninstall.h"

extern "C" DWORD WINAPI UninstallEntry(LPVOID)
{
    return RunUninstall();
}
