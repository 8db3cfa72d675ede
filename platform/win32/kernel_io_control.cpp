// Desktop Windows has no KernelIoControl. A Pocket PC's COREDLL exports it,
// so look for that library at run time and do nothing when it is absent.
#include "device/device.h"

extern "C" BOOL WINAPI KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                       DWORD outSize, LPDWORD returned)
{
    typedef BOOL(WINAPI * KernelIoControlFn)(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD);
    HMODULE coredll = LoadLibraryW(L"coredll.dll");
    if (!coredll) return FALSE;
    KernelIoControlFn call = reinterpret_cast<KernelIoControlFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(coredll, "KernelIoControl")));
    BOOL result = call ? call(code, in, inSize, out, outSize, returned) : FALSE;
    FreeLibrary(coredll);
    return result;
}
