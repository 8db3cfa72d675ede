#include "tools/trq-uninstall-sim/run.h"

#include <unistd.h>

#include <iostream>
#include <memory>

#include "formats/host_file.h"
#include "formats/text.h"
#include "harness/emulator/pocketpc.h"
#include "platform/sim/locked_device.h"
#include "tools/trq-uninstall-sim/change_report.h"
#include "tools/trq-uninstall-sim/checked_output.h"
#include "tools/trq-uninstall-sim/exit_codes.h"
#include "tools/trq-uninstall-sim/terminal_boxes.h"
#include "tools/trq-uninstall-sim/trace_path.h"

namespace tool {

namespace {

// What the run came to: its exit code, with the line that says why.
int Conclude(const runner::RunOutcome& outcome, const Dialogue& dialogue)
{
    if (outcome.stop == sim::Stop::Fault) return Fail(kExitProgramFault, "the program faulted: " + outcome.fault);
    if (outcome.stop == sim::Stop::NoAnswer) return Fail(kExitNoAnswer, "run stopped: " + dialogue.problem);
    if (outcome.stop == sim::Stop::Waiting)
        return Fail(kExitProgramWaits, "the program waits: it stays running on the device (device.ini [Running], "
                                       "see --status)");
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

// What became of the programs the run started, if it started any.
void WriteProgramNotes(std::ostream& out, const runner::RunOutcome& outcome)
{
    if (outcome.programs.empty()) return;
    out << "\nPrograms:\n";
    for (const sim::ProgramNote& note : outcome.programs)
        out << "  " << host::Printable(formats::Utf16ToUtf8Lossy(note.program)) << ": " << host::Printable(note.what)
            << "\n";
}

// --run: the Pocket PC image at a device path, as a user taps it: a regular
// file among the device's files (never reached through a link), of at most
// the process slot's size, that the emulated Pocket PC loads.
bool LoadFromDevice(const sim::DeviceImage& image, const RunRequest& request, runner::RunOptions& options,
                    std::string& error)
{
    const std::optional<std::u16string> path = formats::Utf8ToUtf16(request.runPath);
    const sim::DeviceFiles files = image.Files();
    sim::FileFacts facts;
    std::string bytes;
    if (!path || files.Look(*path, facts) != 0) {
        error = "no such file on the device";
    } else if (facts.kind != sim::FileKind::File) {
        error = facts.kind == sim::FileKind::Folder ? "a folder, not a program" : "not a regular file";
    } else if (facts.size > emulator::kLargestExe) {
        error = "larger than " + std::to_string(emulator::kLargestExe) + " bytes, the process slot";
    } else if (files.ReadAt(facts.canonical, 0, emulator::kLargestExe + 1, bytes) != 0) {
        error = "cannot be read";
    } else {
        auto exe = std::make_shared<emulator::PocketPcExe>();
        const std::u16string name = facts.canonical.substr(facts.canonical.rfind(u'\\') + 1);
        if (!emulator::LoadPocketPcImage(formats::Utf16ToUtf8Lossy(name), bytes, *exe, error)) return false;
        options.program = emulator::PocketPcProgram(exe, request.cpu);
        options.programPath = facts.canonical;
        options.programOnDevice = true;
        return true;
    }
    return false;
}

// The files the run reads and writes besides the device, which its trace
// must never be: the program to run, the answers when they come from
// standard input, the report on standard output and the failures on
// standard error.
std::vector<RunFile> OtherFilesOfRun(const RunRequest& request)
{
    std::vector<RunFile> files;
    if (!request.exePath.empty()) files.push_back(RunFileAt("the program to run (--exe)", request.exePath));
    if (!request.scripted) files.push_back(RunFileOn("standard input, where the answers come from", STDIN_FILENO));
    files.push_back(RunFileOn("standard output, where the report goes", STDOUT_FILENO));
    files.push_back(RunFileOn("standard error", STDERR_FILENO));
    return files;
}

}  // namespace

int RunOnDevice(const RunRequest& request)
{
    // The trace is refused, like the device, before the device changes.
    sim::LockedDevice device;
    TraceFile traceFile;
    std::string error;
    const bool traced = !request.tracePath.empty();
    const std::string traceName = "--trace " + request.tracePath + ": ";
    if (!sim::LockDeviceFolder(request.dir, sim::DeviceLock::Mode::Exclusive, device, error))
        return Fail(kExitUsage, error);
    const std::vector<RunFile> others = OtherFilesOfRun(request);
    if (traced && !traceFile.Check(request.tracePath, device.folder, others, error))
        return Fail(kExitUsage, traceName + error);
    if (!sim::LoadLockedDevice(request.dir, device, error)) return Fail(kExitUsage, error);
    runner::RunOptions options;
    options.program = request.program;
    options.programPath = request.programPath;
    if (!request.runPath.empty() && !LoadFromDevice(device.image, request, options, error))
        return Fail(kExitUsage, "--run " + request.runPath + ": " + error);
    CheckedFile traceOut;
    std::ostream trace(&traceOut);
    if (traced) {
        const int fd = traceFile.Open(error);
        if (fd < 0) return Fail(kExitUsage, traceName + error);
        traceOut.Own(fd);
    }

    sim::DeviceImage& image = device.image;
    Dialogue dialogue;
    dialogue.scripted = request.scripted;
    dialogue.answers = request.answers;
    const std::vector<runner::PlanItem> before = DeviceContents(image);
    const std::u16string installDir = runner::RecordedInstallDir(image.registry.keys).value_or(u"");

    options.answerer = TerminalAnswerer(dialogue);
    options.resetReturns = request.resetReturns;
    options.faults = request.faults;
    options.trace = traced ? &trace : nullptr;
    options.build = request.build;
    runner::RunOutcome outcome;
    const bool saved = runner::RunUninstallOn(image, options, outcome, error);
    std::string traceError;
    if (traced && !traceOut.Close(traceError)) traceError = traceName + "cannot write: " + traceError;
    if (!saved) return Fail(kExitCannotWrite, error);

    WriteResetNote(std::cout, outcome);
    WriteChangeReport(std::cout, image, before, installDir);
    WriteProgramNotes(std::cout, outcome);
    const int code = Conclude(outcome, dialogue);
    return traceError.empty() ? code : Fail(kExitCannotWrite, traceError);
}

}  // namespace tool
