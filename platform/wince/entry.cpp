// The process entry of TRQUninstall.exe on a Pocket PC. Windows CE calls it
// with WinMain's four arguments (instance, previous instance, the command
// line, the show state); none is used, and its result is the exit code.
#include "flow/uninstall.h"

extern "C" int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    return RunUninstall();
}
