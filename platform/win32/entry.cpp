// The process entry of TRQUninstall.exe. Nothing of the entry's arguments is
// used: the entry only runs the uninstaller, and its result is the exit code.
#include "flow/uninstall.h"

#ifdef _WIN32_WCE
// Windows CE starts a program at WinMain, with a Unicode command line.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    return RunUninstall();
}
#else
// The desktop build has no C runtime start-up code: there is nothing for it
// to set up, and the value this returns is the process's exit code.
extern "C" DWORD WINAPI UninstallEntry(LPVOID)
{
    return RunUninstall();
}
#endif
