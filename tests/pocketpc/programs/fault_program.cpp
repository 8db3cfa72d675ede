// Small Pocket PC programs that each break down in one way, for the ARM
// emulator's tests; the build defines which (TRQ_NULL_READ, ...). Each
// first sets the thread's error code, so that every image imports a call.
#include "device/device.h"

// The import address table slot of GetLastError, which the loader fills.
extern "C" void* __imp_GetLastError;  // NOLINT(bugprone-reserved-identifier): the linker's name for the slot

extern "C" int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    SetLastError(0);
#if defined(TRQ_NULL_READ)
    // What the program did before it broke down stays done.
    DeleteFileW(TEXT("\\Program Files\\TRQ\\TRQ.exe.log"));
    volatile uintptr_t nowhere = 4;
    return *reinterpret_cast<volatile int*>(nowhere);
#elif defined(TRQ_NULL_CALL)
    volatile uintptr_t nowhere = 0;
    reinterpret_cast<void (*)()>(nowhere)();  // NOLINT(clang-analyzer-core.CallAndMessage): the breakdown it is for
#elif defined(TRQ_CODE_WRITE)
    *reinterpret_cast<volatile int*>(reinterpret_cast<uintptr_t>(&WinMain)) = 0;
#elif defined(TRQ_ENDLESS_LOOP)
    for (volatile int spin = 0;; ++spin) {
    }
#elif defined(TRQ_STRAY_IMPORT)
    // A call into COREDLL past the image's own imports.
    typedef DWORD (*Call)(void);
    GetLastError();
    return static_cast<int>(reinterpret_cast<Call>(reinterpret_cast<uintptr_t>(__imp_GetLastError) + 0x100)());
#elif defined(TRQ_SOFTWARE_INTERRUPT)
    // A system call the way other ARM systems make one; Windows CE programs call COREDLL.
    asm volatile("swi 0x1234");
#elif defined(TRQ_BAD_STRING)
    return DeleteFileW(reinterpret_cast<LPCWSTR>(0x1000));
#elif defined(TRQ_HEAP_OVERRUN)
    volatile char* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, MAX_PATH * sizeof(WCHAR)));
    block[MAX_PATH * sizeof(WCHAR)] = 1;
#elif defined(TRQ_HEAP_USE_AFTER_FREE)
    volatile char* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 16));
    HeapFree(GetProcessHeap(), 0, const_cast<char*>(block));
    return block[0];
#elif defined(TRQ_READ_ONLY_BUFFER)
    // COREDLL told to write the temporary folder into the program's constants.
    static const WCHAR kConstant[MAX_PATH] = {'x'};
    GetTempPathW(MAX_PATH, const_cast<LPWSTR>(kConstant));
#elif defined(TRQ_READ_ONLY_UNTOUCHED_BUFFER)
    // The same into a buffer of two characters, which no temporary folder
    // fits: COREDLL would write nothing, but the buffer is still not the
    // program's to hand over for writing.
    static const WCHAR kConstant[2] = {'x', 'y'};
    GetTempPathW(2, const_cast<LPWSTR>(kConstant));
#endif
    return 0;
}
