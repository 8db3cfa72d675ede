// What a device says of itself, as COREDLL answers it: GetVersionExW's
// OSVERSIONINFOW and SystemParametersInfoW's SPI_GETPLATFORMTYPE and
// SPI_GETOEMINFO, each with whether the call succeeded. The trace build
// asks the device for them before a run, the device kit before each of its
// runs; the simulated device has them from device.ini's [Device]; the
// checker reads them back from a trace. One writer writes them wherever
// they go:
//
//   "os":{"major":5,"minor":2,"build":1236,"platform":3,"csd":""},"platformType":"PocketPC","oem":"..."
//
// "os" is null when GetVersionExW failed, "platformType" and "oem" when
// their call did. As the first record of a run in a trace:
//
//   {"trace":"TRQ Uninstall","build":"<device code id>","os":{...},"platformType":...,"oem":...}
//
// Freestanding, like trace_line.h.
#ifndef TRQ_PLATFORM_TRACE_DEVICE_FACTS_H
#define TRQ_PLATFORM_TRACE_DEVICE_FACTS_H

#include "platform/trace/trace_line.h"

// Room for a platform type ("PocketPC", "SmartPhone") or an OEM's name, as
// the trace build and the kit ask for them: 128 characters, the NUL included.
const unsigned kFactChars = 128;

struct DeviceFacts {
    BOOL osKnown;
    OSVERSIONINFOW os;
    BOOL platformTypeKnown;
    WCHAR platformType[kFactChars];
    BOOL oemKnown;
    WCHAR oem[kFactChars];
};

// Asks the device: GetVersionExW, then SystemParametersInfoW for the
// platform type and for the OEM's name (read_device_facts.cpp, compiled
// by the device builds only).
void ReadDeviceFacts(DeviceFacts& facts);

// The facts' members, "os" to "oem", into a line begun already.
void PutDeviceFacts(TraceLine& line, const DeviceFacts& facts);
// A run's first record, naming the device code (TRQ_DEVICE_CODE_ID) the
// run comes from. Returns its length in bytes.
unsigned WriteFactsRecord(const char* build, const DeviceFacts& facts, char* buffer, unsigned size);
// Whether two devices said the same of themselves.
bool SameDeviceFacts(const DeviceFacts& a, const DeviceFacts& b);

#endif
