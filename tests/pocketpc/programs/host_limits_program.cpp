// Small Pocket PC programs that press on what the emulator promises the
// host (its budgets) and on the emulated COREDLL's heap; the build defines
// which (TRQ_LAST_ERROR_LOOP, ...). Those that end by returning return 0
// when COREDLL behaved as it should, and a number naming the step otherwise.
#include "device/device.h"

namespace {

constexpr DWORD kBigBuffer = 16u << 20;
constexpr DWORD kLongText = 32767;  // characters

}  // namespace

extern "C" int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    SetLastError(0);
#if defined(TRQ_LAST_ERROR_LOOP)
    for (;;) GetLastError();
#elif defined(TRQ_KERNEL_IO_LOOP)
    // One buffer as both of the call's: the process slot has no room for two.
    char* buffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, kBigBuffer));
    if (!buffer) return 1;
    for (;;) KernelIoControl(0, buffer, kBigBuffer, buffer, kBigBuffer, nullptr);
#elif defined(TRQ_MESSAGE_BOX_LOOP)
    WCHAR* text = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, (kLongText + 1) * sizeof(WCHAR)));
    if (!text) return 1;
    for (DWORD i = 0; i < kLongText; ++i) text[i] = 'A' + (i & 15);
    text[kLongText] = 0;
    for (;;) MessageBoxW(nullptr, text, text, MB_OK);
#elif defined(TRQ_HEAP_TOO_LARGE)
    if (HeapAlloc(GetProcessHeap(), 0, 0xFFFFFFFF)) return 1;
    if (GetLastError() != ERROR_NOT_ENOUGH_MEMORY) return 2;
    // The heap is as usable as before.
    void* block = HeapAlloc(GetProcessHeap(), 0, 16);
    if (!block) return 3;
    return HeapFree(GetProcessHeap(), 0, block) ? 0 : 4;
#elif defined(TRQ_HEAP_REUSE)
    for (int i = 0; i < 100000; ++i) {
        volatile char* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 16));
        if (!block) return 1;
        block[15] = 1;
        if (!HeapFree(GetProcessHeap(), 0, const_cast<char*>(block))) return 2;
    }
#elif defined(TRQ_HEAP_ROUNDING_AT_FREE)
    // Past a block of 13 bytes, inside its rounding to 8: caught when it is freed.
    volatile char* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 13));
    block[13] = 1;
    HeapFree(GetProcessHeap(), 0, const_cast<char*>(block));
#elif defined(TRQ_HEAP_ROUNDING_AT_END)
    // The same, in a block still held when the program returns.
    volatile char* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 13));
    block[15] = 1;
#elif defined(TRQ_WAIT_FOR_INTERRUPT)
    asm volatile(".word 0xE320F003");  // WFI, which the assembler refuses for ARMv4
#elif defined(TRQ_RETURN_256)
    return 256;  // 0 modulo 256: an exit status would read it as success
#endif
    return 0;
}
