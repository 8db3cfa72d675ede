// --check-device DIR: the report on what a device kit brought back from a
// Pocket PC, the trace build's "TRQ Uninstall trace.txt" and the kit's "TRQ
// Uninstall Kit log.txt" (docs/device-kit.md#the-checker).
#ifndef TRQ_TOOLS_CHECK_DEVICE_H
#define TRQ_TOOLS_CHECK_DEVICE_H

#include <string>

namespace tool {

// Reads the two files from dir, writes the report on standard output and
// returns the exit code: 0 conformant, 1 findings, 2 refused (one line on
// standard error).
int CheckDevice(const std::string& dir, const std::string& build);

}  // namespace tool

#endif
