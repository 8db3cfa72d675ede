#define TRQ_DEVICE_ALL_CALLS  // the device-facts calls of the trace build's tier
#include "platform/trace/trace_start.h"

#include "platform/trace/real_calls.h"
#include "platform/trace/trace_file.h"

namespace {

// Room for a platform type ("PocketPC", "SmartPhone") or an OEM's name.
const unsigned kFactChars = 128;

struct DeviceFacts {
    BOOL osKnown;
    OSVERSIONINFOW os;
    BOOL platformTypeKnown;
    WCHAR platformType[kFactChars];
    BOOL oemKnown;
    WCHAR oem[kFactChars];
};

void PutFact(TraceLine& line, const char* key, BOOL known, const WCHAR* text)
{
    PutKey(line, key);
    if (known)
        PutString16(line, text, kFactChars);
    else
        PutNull(line);
}

__attribute__((noinline)) void WriteFactsLine(const DeviceFacts& facts)
{
    char text[kTraceLineSize];
    TouchFromTheTop(text, sizeof text);
    TraceLine line;
    LineBegin(line, text, sizeof text);
    PutKey(line, "trace");
    PutText(line, "TRQ Uninstall");
    PutKey(line, "build");
    PutText(line, TRQ_DEVICE_CODE_ID);
    PutKey(line, "os");
    if (facts.osKnown) {
        OpenObject(line);
        PutKey(line, "major");
        PutUnsigned(line, facts.os.dwMajorVersion);
        PutKey(line, "minor");
        PutUnsigned(line, facts.os.dwMinorVersion);
        PutKey(line, "build");
        PutUnsigned(line, facts.os.dwBuildNumber);
        PutKey(line, "platform");
        PutUnsigned(line, facts.os.dwPlatformId);
        PutKey(line, "csd");
        PutString16(line, facts.os.szCSDVersion, sizeof facts.os.szCSDVersion / sizeof(WCHAR));
        CloseObject(line);
    } else {
        PutNull(line);
    }
    PutFact(line, "platformType", facts.platformTypeKnown, facts.platformType);
    PutFact(line, "oem", facts.oemKnown, facts.oem);
    AppendTraceLine(text, LineEnd(line));
}

}  // namespace

void WriteTraceStart()
{
    // The uninstaller starts with the last error the process started with.
    const DWORD lastError = __real_GetLastError();
    DeviceFacts facts;
    facts.os.dwOSVersionInfoSize = sizeof facts.os;
    facts.os.szCSDVersion[0] = 0;
    facts.osKnown = GetVersionExW(&facts.os);
    facts.platformType[0] = 0;
    facts.platformTypeKnown =
        SystemParametersInfoW(SPI_GETPLATFORMTYPE, sizeof facts.platformType, facts.platformType, 0);
    facts.oem[0] = 0;
    facts.oemKnown = SystemParametersInfoW(SPI_GETOEMINFO, sizeof facts.oem, facts.oem, 0);
    WriteFactsLine(facts);
    __real_SetLastError(lastError);
}
