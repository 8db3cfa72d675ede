// The process entry of TRQUninstallKit.exe on a Pocket PC: WinMain's four
// arguments go unused (the kit takes none), its result is the exit code.
#include "kit/kit.h"
#include "device/device.h"

extern "C" int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    return RunKit();
}
