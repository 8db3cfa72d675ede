#include "platform/trace/device_facts.h"

namespace {

void PutFact(TraceLine& line, const char* key, BOOL known, const WCHAR* text)
{
    PutKey(line, key);
    if (known)
        PutString16(line, text, kFactChars);
    else
        PutNull(line);
}

// Texts as the writer writes them: up to their NUL, within count units.
bool SameText(const WCHAR* a, const WCHAR* b, unsigned count)
{
    for (unsigned i = 0; i < count; ++i) {
        if (a[i] != b[i]) return false;
        if (!a[i]) return true;
    }
    return true;
}

bool SameFact(BOOL aKnown, const WCHAR* a, BOOL bKnown, const WCHAR* b)
{
    return !aKnown == !bKnown && (!aKnown || SameText(a, b, kFactChars));
}

}  // namespace

void PutDeviceFacts(TraceLine& line, const DeviceFacts& facts)
{
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
}

unsigned WriteFactsRecord(const char* build, const DeviceFacts& facts, char* buffer, unsigned size)
{
    TraceLine line;
    LineBegin(line, buffer, size);
    PutKey(line, "trace");
    PutText(line, "TRQ Uninstall");
    PutKey(line, "build");
    PutText(line, build);
    PutDeviceFacts(line, facts);
    return LineEnd(line);
}

bool SameDeviceFacts(const DeviceFacts& a, const DeviceFacts& b)
{
    const unsigned csd = sizeof a.os.szCSDVersion / sizeof(WCHAR);
    if (!a.osKnown != !b.osKnown) return false;
    if (a.osKnown && (a.os.dwMajorVersion != b.os.dwMajorVersion || a.os.dwMinorVersion != b.os.dwMinorVersion ||
                      a.os.dwBuildNumber != b.os.dwBuildNumber || a.os.dwPlatformId != b.os.dwPlatformId ||
                      !SameText(a.os.szCSDVersion, b.os.szCSDVersion, csd)))
        return false;
    return SameFact(a.platformTypeKnown, a.platformType, b.platformTypeKnown, b.platformType) &&
           SameFact(a.oemKnown, a.oem, b.oemKnown, b.oem);
}
