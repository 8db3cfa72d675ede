// The device's facts as the device answers them: compiled by the device
// builds alone (the trace build, the device kit), which make these calls.
#ifndef TRQ_DEVICE_ALL_CALLS  // the device-facts calls of the trace build's tier
#define TRQ_DEVICE_ALL_CALLS
#endif
#include "platform/trace/device_facts.h"

void ReadDeviceFacts(DeviceFacts& facts)
{
    facts.os.dwOSVersionInfoSize = sizeof facts.os;
    facts.os.szCSDVersion[0] = 0;
    facts.osKnown = GetVersionExW(&facts.os);
    facts.platformType[0] = 0;
    facts.platformTypeKnown =
        SystemParametersInfoW(SPI_GETPLATFORMTYPE, sizeof facts.platformType, facts.platformType, 0);
    facts.oem[0] = 0;
    facts.oemKnown = SystemParametersInfoW(SPI_GETOEMINFO, sizeof facts.oem, facts.oem, 0);
}
