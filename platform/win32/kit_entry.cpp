// The process entry of TRQUninstallKit.exe on desktop Windows, without a C
// runtime, as the uninstaller's: it runs the kit, whose result is the exit code.
#include "kit/kit.h"
#include "device/device.h"

extern "C" DWORD WINAPI KitEntry(LPVOID)
{
    return RunKit();
}
