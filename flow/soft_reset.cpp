#include "flow/uninstall.h"

void RequestSoftReset()
{
    KernelIoControl(IOCTL_HAL_REBOOT, 0, 0, 0, 0, 0);
}
