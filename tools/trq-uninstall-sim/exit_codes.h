// How trq-uninstall-sim ends: its exit codes, as docs/cli.md lists them, and
// the one line on standard error that goes with a failure.
#ifndef TRQ_TOOLS_EXIT_CODES_H
#define TRQ_TOOLS_EXIT_CODES_H

#include <string>

namespace tool {

constexpr int kExitFindings = 1;       // --check-device: the report has findings
constexpr int kExitUsage = 2;          // bad usage, or a device, trace or executable refused: nothing changed
                                       // (--check-device: its input refused)
constexpr int kExitNoAnswer = 3;       // a question box found no answer
constexpr int kExitProgramFault = 4;   // the emulated program faulted
constexpr int kExitCannotWrite = 5;    // the trace, the report, registry.reg or device.ini not written
constexpr int kExitProgramCode = 6;    // the program's exit code was not 0 (it is printed)
constexpr int kExitProgramWaits = 7;   // the program waits on an event: it stays running on the device
constexpr int kExitInternal = 70;      // an internal error ended the tool

// Writes "trq-uninstall-sim: message" on standard error, with whatever came
// from elsewhere in message escaped (host::Printable), and returns code.
int Fail(int code, const std::string& message);

}  // namespace tool

#endif
