#include "tools/trq-uninstall-sim/run.h"

#include <iostream>

#include "harness/runner/recording_back_end.h"
#include "platform/sim/locked_device.h"
#include "tools/trq-uninstall-sim/change_report.h"
#include "tools/trq-uninstall-sim/checked_output.h"
#include "tools/trq-uninstall-sim/exit_codes.h"
#include "tools/trq-uninstall-sim/terminal_boxes.h"
#include "tools/trq-uninstall-sim/trace_file.h"

namespace tool {

namespace {

// What the run came to: its exit code, with the line that says why.
int Conclude(const runner::RunOutcome& outcome, const Dialogue& dialogue)
{
    if (outcome.stop == sim::Stop::Fault) return Fail(kExitProgramFault, "the program faulted: " + outcome.fault);
    if (outcome.stop == sim::Stop::NoAnswer) return Fail(kExitNoAnswer, "run stopped: " + dialogue.problem);
    std::cout << "Exit code: " << outcome.exitCode << "\n";
    if (outcome.exitCode == 0) return 0;
    return Fail(kExitProgramCode, "the program's exit code is " + std::to_string(outcome.exitCode) + ", not 0");
}

void WriteResetNote(std::ostream& out, const runner::RunOutcome& outcome)
{
    if (!outcome.resetRequests) return;
    out << "\nThe uninstaller asked for a soft reset: "
        << (outcome.stop == sim::Stop::Reset
                ? "the device restarted; files that programs held open are released,\n"
                  "and the device holds open again what its start-up names (see --status)."
                : "the request came back (--reset-returns).")
        << "\n";
}

}  // namespace

int RunOnDevice(const RunRequest& request)
{
    // The traces are refused, like the device, before the device changes.
    sim::LockedDevice device;
    TraceFile traceFile, deviceTraceFile;
    std::string error;
    const bool traced = !request.tracePath.empty();
    const bool deviceTraced = !request.deviceTracePath.empty();
    const std::string traceName = "--trace " + request.tracePath + ": ";
    const std::string deviceTraceName = "--trace-as-device " + request.deviceTracePath + ": ";
    if (!sim::LockDeviceFolder(request.dir, sim::DeviceLock::Mode::Exclusive, device, error))
        return Fail(kExitUsage, error);
    if (traced && !traceFile.Check(request.tracePath, device.folder, error)) return Fail(kExitUsage, traceName + error);
    if (deviceTraced && !deviceTraceFile.Check(request.deviceTracePath, device.folder, error))
        return Fail(kExitUsage, deviceTraceName + error);
    if (!sim::LoadLockedDevice(request.dir, device, error)) return Fail(kExitUsage, error);
    CheckedFile traceOut, deviceTraceOut;
    std::ostream trace(&traceOut), deviceTrace(&deviceTraceOut);
    if (traced) {
        const int fd = traceFile.Open(error);
        if (fd < 0) return Fail(kExitUsage, traceName + error);
        traceOut.Own(fd);
    }
    if (deviceTraced) {
        const int fd = deviceTraceFile.Open(error, true);
        if (fd < 0) return Fail(kExitUsage, deviceTraceName + error);
        deviceTraceOut.Own(fd);
    }

    sim::DeviceImage& image = device.image;
    Dialogue dialogue;
    dialogue.scripted = request.scripted;
    dialogue.answers = request.answers;
    const std::vector<runner::PlanItem> before = DeviceContents(image);
    const std::u16string installDir = runner::RecordedInstallDir(image.registry.keys).value_or(u"");

    runner::RunOptions options;
    options.answerer = TerminalAnswerer(dialogue);
    options.resetReturns = request.resetReturns;
    options.faults = request.faults;
    options.program = deviceTraced ? runner::TracedAsDevice(deviceTrace, request.build) : request.program;
    options.trace = traced ? &trace : nullptr;
    runner::RunOutcome outcome;
    const bool saved = runner::RunUninstallOn(image, options, outcome, error);
    std::string traceError;
    if (traced && !traceOut.Close(traceError)) traceError = traceName + "cannot write: " + traceError;
    if (deviceTraced && !deviceTraceOut.Close(error) && traceError.empty())
        traceError = deviceTraceName + "cannot write: " + error;
    if (!saved) return Fail(kExitCannotWrite, error);

    WriteResetNote(std::cout, outcome);
    WriteChangeReport(std::cout, image, before, installDir);
    const int code = Conclude(outcome, dialogue);
    return traceError.empty() ? code : Fail(kExitCannotWrite, traceError);
}

}  // namespace tool
