// Windows CE sets, resets and pulses an event with EventModify; desktop
// Windows has a call for each.
#include "device/device.h"

#define EVENT_PULSE 1
#define EVENT_RESET 2

extern "C" BOOL WINAPI EventModify(HANDLE event, DWORD function)
{
    switch (function) {
    case EVENT_SET: return SetEvent(event);
    case EVENT_RESET: return ResetEvent(event);
    case EVENT_PULSE: return PulseEvent(event);
    default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    }
}
