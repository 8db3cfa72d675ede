// The uninstaller's entry and its dialogue with the device user.
#ifndef TRQ_FLOW_UNINSTALL_H
#define TRQ_FLOW_UNINSTALL_H

#include "device/device.h"

// The whole uninstall, start to finish. Always returns 0, the exit code.
int RunUninstall();

// The install directory from the package manager's install record, in a
// MAX_PATH buffer from the process heap that lives until the process ends;
// 0 when the record is missing or holds no usable directory.
LPWSTR ReadInstallDir();

// Asks the device for a soft reset. Comes back only if the reset did not
// happen.
void RequestSoftReset();

#endif
