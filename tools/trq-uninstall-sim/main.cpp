// trq-uninstall-sim: runs the uninstaller on a simulated device.
//
//   trq-uninstall-sim --init-device DIR [--model wm5|ppc2003]
//   trq-uninstall-sim --device DIR [--answer yes,no,...] [--trace FILE]
//                     [--reset-returns] [--fail RULE]... [--exe TRQUninstall.exe | --run DEVICE_PATH]
//                     [--cpu sa1110|pxa270]
//   trq-uninstall-sim --device DIR --restart | --status
//   trq-uninstall-sim --check-device DIR
//
// The command line names one command; each is one function below, the run
// (run.h) with the request the command line makes for it.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "formats/host_file.h"
#include "formats/text.h"
#include "harness/emulator/pocketpc.h"
#include "harness/runner/device_status.h"
#include "harness/runner/sample_device.h"
#include "platform/sim/device_startup.h"
#include "platform/sim/fault_rules.h"
#include "platform/sim/locked_device.h"
#include "tools/trq-uninstall-sim/check_device.h"
#include "tools/trq-uninstall-sim/checked_output.h"
#include "tools/trq-uninstall-sim/exit_codes.h"
#include "tools/trq-uninstall-sim/run.h"

namespace {

using tool::Fail;
using tool::kExitCannotWrite;
using tool::kExitInternal;
using tool::kExitUsage;

// --init-device: a folder that is not there is made first, so that the
// lock can be taken in it; one with anything in it is refused untouched.
int InitDevice(const std::string& dir, const std::string& modelName)
{
    const runner::SampleModel* model = runner::SampleModelNamed(modelName);
    if (!runner::CanHoldSampleDevice(dir)) return Fail(kExitUsage, dir + ": exists and is not an empty folder");
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    sim::LockedDevice device;
    std::string error;
    if (!sim::LockDeviceFolder(dir, sim::DeviceLock::Mode::Exclusive, device, error)) return Fail(kExitUsage, error);
    if (!runner::InitSampleDevice(dir, error, runner::SampleState::Started, model->device))
        return Fail(kExitUsage, error);
    std::cout << "Sample device with the package installed: " << host::Printable(dir) << "\n";
    std::cout << "A " << model->description << ".\n";
    return 0;
}

// --restart: the device restarts without the uninstaller.
int RestartDevice(const std::string& dir)
{
    sim::LockedDevice device;
    std::string error;
    if (!sim::OpenLockedDevice(dir, sim::DeviceLock::Mode::Exclusive, device, error)) return Fail(kExitUsage, error);
    const std::vector<std::u16string> released = runner::ReleasedAtStart(device.image.config);
    const std::vector<sim::StartupHold> holds = sim::StartDevice(device.image);
    if (!sim::SaveConfig(device.image, error)) return Fail(kExitCannotWrite, error);
    std::cout << "The device restarted.\n";
    runner::WriteDeviceStart(std::cout, released, holds);
    return 0;
}

// --status: what the device holds, changing nothing.
int ShowStatus(const std::string& dir)
{
    sim::LockedDevice device;
    std::string error;
    if (!sim::OpenLockedDevice(dir, sim::DeviceLock::Mode::Shared, device, error)) return Fail(kExitUsage, error);
    runner::WriteDeviceStatus(std::cout, device.image);
    return 0;
}

// Everything the command line says.
struct CommandLine {
    std::string initDir, deviceDir, tracePath, exePath, runPath, checkDir, cpuName = "sa1110", model = "wm5";
    std::vector<std::string> answers, failRules;
    bool scripted = false, resetReturns = false, restart = false, status = false;
};

// An option that names a file, a folder or a device path (of type): an
// empty value names nothing, and is refused, never taken as the option left
// out.
CLI::Option* AddNamingOption(CLI::App& app, const char* name, std::string& value, const std::string& text,
                             const char* type)
{
    static const CLI::Validator kNamesSomething(
        [](const std::string& v) { return v.empty() ? std::string("an empty value names no file") : std::string(); },
        "");
    return app.add_option(name, value, text)->type_name(type)->check(kNamesSomething);
}

// The options that run a Pocket PC program in the emulator instead of the
// uninstaller built for this host, on the processor --cpu names.
struct ProgramOptions {
    CLI::Option* exe;
    CLI::Option* run;
    CLI::Option* cpu;
};
ProgramOptions AddProgramOptions(CLI::App& app, CommandLine& c, CLI::Option* device)
{
    auto* exe = AddNamingOption(app, "--exe", c.exePath,
                                "Run this Pocket PC TRQUninstall.exe (ARM) in the emulator instead of "
                                "the uninstaller built for this host",
                                "FILE")
                    ->needs(device);
    auto* run = AddNamingOption(app, "--run", c.runPath,
                                "Run the Pocket PC program (ARM) at this path on the device in the emulator, "
                                "as a user taps it, e.g. \"\\My Documents\\TRQUninstallKit.exe\"",
                                "DEVICE_PATH")
                    ->needs(device)
                    ->excludes(exe);
    auto* cpu = app.add_option("--cpu", c.cpuName, "The emulated processor: sa1110 (StrongARM, ARMv4) or pxa270 "
                                                   "(XScale, ARMv5TE)")
                    ->type_name("CPU")
                    ->check(CLI::IsMember({"sa1110", "pxa270"}));
    return {exe, run, cpu};
}

// Parses the command line; -1 to go on, else the exit code (help, version,
// bad usage).
int ParseCommandLine(int argc, char** argv, CommandLine& c)
{
    CLI::App app{"Runs the Pocket PC uninstaller on a simulated device."};
    app.set_version_flag("--version", "trq-uninstall-sim " TRQ_VERSION);
    auto* init = AddNamingOption(app, "--init-device", c.initDir, "Make a sample device with the package installed in DIR",
                                 "DIR");
    std::vector<std::string> models;
    for (const runner::SampleModel& model : runner::SampleModels()) models.push_back(model.name);
    app.add_option("--model", c.model, "With --init-device, the kind of Pocket PC: wm5 (Windows Mobile 5, the default) "
                                       "or ppc2003 (Pocket PC 2003, the package in the object store)")
        ->type_name("MODEL")
        ->check(CLI::IsMember(models))
        ->needs(init);
    auto* device = AddNamingOption(app, "--device", c.deviceDir, "Run the uninstaller on the device in DIR", "DIR");
    auto* answer = app.add_option("--answer", c.answers, "Answers to the question boxes in order: yes, no, cancel")
                       ->type_name("LIST");
    auto* trace = AddNamingOption(app, "--trace", c.tracePath,
                                  "Append every platform call to FILE as the trace build writes it on a Pocket PC "
                                  "(\\TRQ Uninstall trace.txt)",
                                  "FILE");
    auto* resets = app.add_flag("--reset-returns", c.resetReturns,
                                "The soft reset request comes back instead of restarting the device");
    auto* check = AddNamingOption(app, "--check-device", c.checkDir,
                                  "Check what a device kit brought back from a Pocket PC: the trace and the "
                                  "kit's log in DIR",
                                  "DIR");
    init->excludes(device);
    check->excludes(init)->excludes(device);
    answer->needs(device);
    trace->needs(device);
    resets->needs(device);
    app.add_option("--fail", c.failRules,
                   "Make platform calls fail, e.g. DeleteFileW#3:error=32 (repeatable; see docs/faults.md)")
        ->type_name("RULE")
        ->needs(device);
    const ProgramOptions program = AddProgramOptions(app, c, device);
    CLI::Option *exe = program.exe, *run = program.run, *cpu = program.cpu;
    auto* restarts = app.add_flag("--restart", c.restart,
                                  "Restart the device: programs the user started are gone, and the "
                                  "device holds open what its start-up names");
    auto* shows = app.add_flag("--status", c.status,
                               "Show what of the package is on the device and what is held open, and why");
    for (auto* only : {restarts, shows})
        only->needs(device)->excludes(answer)->excludes(trace)->excludes(resets)->excludes("--fail")->excludes(exe)
            ->excludes(run);
    restarts->excludes(shows);

    try {
        app.parse(argc, argv);
        if (!init->count() && !device->count() && !check->count())
            throw CLI::RequiredError("--init-device or --device");
        if (cpu->count() && !exe->count() && !run->count())
            return Fail(kExitUsage, "--cpu requires --exe or --run (see --help)");
    } catch (const CLI::ParseError& e) {
        // Help and the version go to standard output as CLI11 writes them;
        // a refusal is the tool's one line, which may quote the command line.
        if (e.get_exit_code() == 0) return app.exit(e);
        return Fail(kExitUsage, std::string(e.what()) + " (see --help)");
    }
    c.scripted = answer->count() > 0;
    return -1;
}

// The answers of each --answer, a comma-separated list. An empty answer
// ("yes,,no") is bad usage, never skipped.
bool ParseAnswers(const std::vector<std::string>& lists, std::vector<int>& answers, std::string& error)
{
    for (const std::string& list : lists) {
        for (size_t at = 0;;) {
            const size_t comma = list.find(',', at);
            const std::string word = list.substr(at, comma == std::string::npos ? comma : comma - at);
            const int answer = runner::ParseAnswer(word);
            if (!answer) {
                error = "--answer: \"" + word + "\" is not yes, no or cancel";
                return false;
            }
            answers.push_back(answer);
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
    }
    return true;
}

// The run the command line asks for; false with the line that refuses it.
bool MakeRunRequest(const CommandLine& c, tool::RunRequest& request, std::string& error)
{
    request.dir = c.deviceDir;
    request.scripted = c.scripted;
    request.tracePath = c.tracePath;
    request.build = TRQ_DEVICE_CODE_ID;
    request.resetReturns = c.resetReturns;
    if (!ParseAnswers(c.answers, request.answers, error)) return false;

    std::vector<sim::FaultRule> rules;
    for (const std::string& text : c.failRules) {
        sim::FaultRule rule;
        if (!sim::ParseFaultRule(text, rule, error)) {
            error = "--fail \"" + text + "\": " + error;
            return false;
        }
        rules.push_back(std::move(rule));
    }
    if (!rules.empty())
        request.faults = sim::MakeFaultPlan(std::move(rules), [](const sim::FaultRule& rule, const std::string& op,
                                                                 int index, const std::string& argument) {
            std::cout << "[fault] call " << index << ", " << op
                      << (argument.empty() ? "" : " (" + host::Printable(argument) + ")") << ": "
                      << host::Printable(rule.text) << "\n";
        });
    if (!c.exePath.empty()) {
        auto loaded = std::make_shared<emulator::PocketPcExe>();
        if (!emulator::LoadPocketPcExe(c.exePath, *loaded, error)) {
            error = "--exe " + c.exePath + ": " + error;
            return false;
        }
        request.program = emulator::PocketPcProgram(loaded, *emulator::ParseCpu(c.cpuName));
        request.exePath = c.exePath;
        // Not a file of the device: it is known by its name at the device's root.
        request.programPath = u"\\" + formats::Utf8ToUtf16(std::filesystem::path(c.exePath).filename().string())
                                           .value_or(u"TRQUninstall.exe");
    }
    request.runPath = c.runPath;
    request.cpu = *emulator::ParseCpu(c.cpuName);
    return true;
}

int Main(int argc, char** argv)
{
    CommandLine c;
    if (int code = ParseCommandLine(argc, argv, c); code >= 0) return code;
    if (!c.initDir.empty()) return InitDevice(c.initDir, c.model);
    if (!c.checkDir.empty()) return tool::CheckDevice(c.checkDir, TRQ_DEVICE_CODE_ID);
    if (c.restart) return RestartDevice(c.deviceDir);
    if (c.status) return ShowStatus(c.deviceDir);
    tool::RunRequest request;
    std::string error;
    if (!MakeRunRequest(c, request, error)) return Fail(kExitUsage, error);
    return tool::RunOnDevice(request);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        // A report that could not be written is a failure, whatever the run came to.
        tool::CheckedStandardOutput out;
        const int code = Main(argc, argv);
        std::string error;
        if (out.Finish(error)) return code;
        return Fail(kExitCannotWrite, "standard output: cannot write the report: " + error);
    } catch (const std::exception& e) {
        return Fail(kExitInternal, std::string("internal error: ") + e.what());
    } catch (...) {
        return Fail(kExitInternal, "internal error");
    }
}
