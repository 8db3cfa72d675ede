// A run of the uninstaller on a device from the command line: the device
// locked and loaded, the trace checked and opened, the boxes on the
// terminal, the report of what changed, and the exit code the run came to.
#ifndef TRQ_TOOLS_RUN_H
#define TRQ_TOOLS_RUN_H

#include <string>
#include <vector>

#include "harness/emulator/arm_machine.h"
#include "harness/runner/run_device.h"

namespace tool {

struct RunRequest {
    std::string dir;
    std::vector<int> answers;
    bool scripted = false;  // answers from --answer, not from standard input
    // "" for no trace; else the run's calls are appended to it as the trace
    // build writes them on a device, its first record naming build.
    std::string tracePath;
    std::string build;
    bool resetReturns = false;
    sim::FaultPlan faults;
    runner::Program program;   // none: the uninstaller built for this host
    std::string exePath;       // --exe: the file program was loaded from; "" for none
    std::u16string programPath;  // what GetModuleFileNameW answers; "": the default
    // --run: the device path of a Pocket PC image among the device's files,
    // loaded once the device is (program is then made from it), on cpu.
    std::string runPath;
    emulator::Cpu cpu = emulator::Cpu::Sa1110;
};

// Runs the request and returns the tool's exit code (exit_codes.h); what
// failed is one line on standard error.
int RunOnDevice(const RunRequest& request);

}  // namespace tool

#endif
