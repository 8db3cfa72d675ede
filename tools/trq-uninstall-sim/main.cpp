// trq-uninstall-sim: runs the uninstaller on a simulated device.
//
//   trq-uninstall-sim --init-device DIR
//   trq-uninstall-sim --device DIR [--answer yes,no,...] [--trace FILE] [--reset-returns]
//                     [--fail RULE]... [--exe TRQUninstall.exe [--cpu sa1110|pxa270]]
//   trq-uninstall-sim --device DIR --restart | --status
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "device/device.h"
#include "formats/host_file.h"
#include "formats/text.h"
#include "harness/emulator/pocketpc.h"
#include "harness/runner/device_status.h"
#include "harness/runner/plan_items.h"
#include "harness/runner/run_device.h"
#include "harness/runner/sample_device.h"
#include "platform/sim/device_lock.h"
#include "platform/sim/fault_rules.h"
#include "tools/trq-uninstall-sim/checked_output.h"

namespace {

// The exit codes, as docs/cli.md lists them.
constexpr int kExitUsage = 2;          // bad usage, or a device or executable refused: nothing changed
constexpr int kExitNoAnswer = 3;       // a question box found no answer
constexpr int kExitProgramFault = 4;   // the emulated program faulted
constexpr int kExitCannotWrite = 5;    // the trace, the report, registry.reg or device.ini not written
constexpr int kExitProgramCode = 6;    // the program's exit code was not 0 (it is printed)
constexpr int kExitInternal = 70;      // an internal error ended the tool

// One line on standard error, with whatever came from elsewhere escaped.
int Fail(int code, const std::string& message)
{
    std::cerr << "trq-uninstall-sim: " << host::Printable(message) << "\n";
    return code;
}

std::string IconName(uint32_t flags)
{
    switch (flags & MB_ICONMASK) {
    case MB_ICONERROR: return "error";
    case MB_ICONQUESTION: return "question";
    case MB_ICONEXCLAMATION: return "exclamation";
    case MB_ICONINFORMATION: return "information";
    default: return "none";
    }
}

std::string Buttons(uint32_t flags)
{
    std::string out;
    for (auto [id, name] : {std::pair{IDYES, "Yes"}, {IDNO, "No"}, {IDOK, "OK"}, {IDCANCEL, "Cancel"}})
        if (sim::HasButton(flags, id)) out += std::string(out.empty() ? "" : " ") + "[" + name + "]";
    return out;
}

std::string ButtonName(int id)
{
    switch (id) {
    case IDYES: return "Yes";
    case IDNO: return "No";
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    default: return std::to_string(id);
    }
}

// A message box as a person would see it on the terminal.
void ShowBox(std::ostream& out, const sim::BoxRecord& box)
{
    std::string caption = host::Printable(sim::Utf16ToUtf8Lossy(box.caption));
    out << "\n+-- " << caption << " (" << IconName(box.flags) << ")\n";
    std::istringstream words(sim::Utf16ToUtf8Lossy(box.text));
    std::string word, line;
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > 66) {
            out << "| " << line << "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + host::Printable(word);
    }
    if (!line.empty()) out << "| " << line << "\n";
    out << "|   " << Buttons(box.flags) << "\n+--\n";
}

std::string Quote(const sim::BoxRecord& box)
{
    std::string text = sim::Utf16ToUtf8Lossy(box.text);
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    return "\"" + host::Printable(text) + "\"";
}

struct Dialogue {
    bool scripted = false;
    std::vector<int> answers;
    size_t next = 0;
    std::string problem;  // why the run stopped at a box
};

sim::BoxAnswerer MakeAnswerer(Dialogue& d)
{
    const bool terminal = isatty(STDIN_FILENO);
    return [&d, terminal](const sim::BoxRecord& box) -> std::optional<int> {
        ShowBox(std::cout, box);
        if (!sim::IsQuestion(box.flags)) {
            if (!d.scripted && terminal) {
                std::cout << "Press Enter for OK. " << std::flush;
                std::string ignored;
                std::getline(std::cin, ignored);
            }
            std::cout << "-> OK\n";
            return IDOK;
        }
        if (d.scripted) {
            if (d.next >= d.answers.size()) {
                d.problem = "no answer left for the box " + Quote(box);
                return std::nullopt;
            }
            int answer = d.answers[d.next++];
            if (!sim::HasButton(box.flags, answer)) {
                d.problem = "the box " + Quote(box) + " has no " + ButtonName(answer) + " button";
                return std::nullopt;
            }
            std::cout << "-> " << ButtonName(answer) << "\n";
            return answer;
        }
        for (;;) {
            std::cout << "Answer (" << (sim::HasButton(box.flags, IDCANCEL) ? "yes/no/cancel" : "yes/no")
                      << "): " << std::flush;
            std::string line;
            if (!std::getline(std::cin, line)) {
                std::cout << "\n";
                d.problem = "no answer on standard input for the box " + Quote(box);
                return std::nullopt;
            }
            int answer = sim::ParseAnswer(line);
            if (answer && sim::HasButton(box.flags, answer)) return answer;
        }
    };
}

// The order of DeviceContents: by kind, then by name.
bool BeforeInContents(const sim::PlanItem& a, const sim::PlanItem& b)
{
    return a.kind != b.kind ? a.kind < b.kind : a.name < b.name;
}

// Every file, folder and key on the device, files first, then folders, then
// keys; folders without their trailing separator.
std::vector<sim::PlanItem> DeviceContents(const sim::DeviceImage& image)
{
    std::vector<sim::PlanItem> all;
    for (std::u16string path : image.Files().List()) {
        const bool folder = path.size() > 1 && path.back() == u'\\';
        if (folder) path.pop_back();
        all.push_back({folder ? sim::PlanItem::Folder : sim::PlanItem::File, sim::Utf16ToUtf8Lossy(path), true});
    }
    for (const std::string& key : image.registry.registry.KeyList())
        all.push_back({sim::PlanItem::Key, key, true});
    std::sort(all.begin(), all.end(), BeforeInContents);
    return all;
}

void Report(const sim::DeviceImage& image, const std::vector<sim::PlanItem>& before,
            const std::u16string& installDir)
{
    const std::vector<sim::PlanItem> after = DeviceContents(image);
    std::vector<sim::PlanItem> removed;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::back_inserter(removed), BeforeInContents);
    std::cout << "\nRemoved from the device (" << removed.size() << "):\n";
    for (const sim::PlanItem& item : removed) std::cout << "  " << sim::ItemLine(item, image.config) << "\n";
    if (removed.empty()) std::cout << "  nothing\n";

    std::vector<std::string> left;
    for (const sim::PlanItem& item : sim::PlanItems(image, installDir))
        if (item.present) left.push_back(sim::ItemLine(item, image.config));
    std::cout << "Still on the device of what the uninstaller removes (" << left.size() << "):\n";
    for (const std::string& line : left) std::cout << "  " << line << "\n";
    if (left.empty()) std::cout << "  nothing\n";
}

// The answers of each --answer, a comma-separated list. An empty answer
// ("yes,,no") is bad usage, never skipped.
bool ParseAnswers(const std::vector<std::string>& lists, std::vector<int>& answers, std::string& error)
{
    for (const std::string& list : lists) {
        for (size_t at = 0;;) {
            const size_t comma = list.find(',', at);
            const std::string word = list.substr(at, comma == std::string::npos ? comma : comma - at);
            const int answer = sim::ParseAnswer(word);
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

// A device folder open and locked for one command, and its image.
struct LockedDevice {
    host::Folder folder;
    sim::DeviceLock lock;
    sim::DeviceImage image;
};

// Opens dir and takes its lock. A command that changes the device then makes
// sure it can write it, and tidies what a killed command left, before the
// image is loaded. False with the refusal: nothing has been changed.
bool OpenDevice(const std::string& dir, sim::DeviceLock::Mode mode, LockedDevice& device,
                std::string& error)
{
    if (!sim::OpenDeviceFolder(dir, device.folder, error)) return false;
    if (!device.lock.Take(device.folder, mode, error)) {
        error = dir + ": " + error;
        return false;
    }
    if (mode == sim::DeviceLock::Mode::Exclusive) {
        std::string reason;
        if (!sim::CheckDeviceWritable(device.folder, reason)) {
            error = dir + ": " + reason + " (nothing was changed)";
            return false;
        }
        if (!sim::TidyDevice(device.folder, dir, error)) return false;
    }
    return sim::LoadDeviceImage(device.folder, dir, device.image, error);
}

struct RunRequest {
    std::string dir;
    std::vector<int> answers;
    bool scripted = false;  // answers from --answer, not from standard input
    std::string tracePath;
    bool resetReturns = false;
    sim::FaultPlan faults;
    sim::Program program;
};

// What the run came to: the report, then its exit code.
int Conclude(const sim::RunOutcome& outcome, const Dialogue& dialogue)
{
    if (outcome.stop == sim::Stop::Fault) return Fail(kExitProgramFault, "the program faulted: " + outcome.fault);
    if (outcome.stop == sim::Stop::NoAnswer) return Fail(kExitNoAnswer, "run stopped: " + dialogue.problem);
    std::cout << "Exit code: " << outcome.exitCode << "\n";
    if (outcome.exitCode == 0) return 0;
    return Fail(kExitProgramCode, "the program's exit code is " + std::to_string(outcome.exitCode) + ", not 0");
}

int RunOnDevice(const RunRequest& request)
{
    LockedDevice device;
    std::string error;
    if (!OpenDevice(request.dir, sim::DeviceLock::Mode::Exclusive, device, error)) return Fail(kExitUsage, error);
    tool::CheckedFile traceFile;
    std::ostream trace(&traceFile);
    if (!request.tracePath.empty() && !traceFile.Open(request.tracePath, error))
        return Fail(kExitUsage, "--trace " + request.tracePath + ": cannot write: " + error);

    sim::DeviceImage& image = device.image;
    Dialogue dialogue;
    dialogue.scripted = request.scripted;
    dialogue.answers = request.answers;
    const std::vector<sim::PlanItem> before = DeviceContents(image);
    const std::u16string installDir = sim::RecordedInstallDir(image.registry.registry).value_or(u"");

    sim::RunOptions options;
    options.answerer = MakeAnswerer(dialogue);
    options.resetReturns = request.resetReturns;
    options.faults = request.faults;
    options.program = request.program;
    options.trace = request.tracePath.empty() ? nullptr : &trace;
    sim::RunOutcome outcome;
    const bool saved = sim::RunUninstallOn(image, options, outcome, error);
    std::string traceError;
    if (!request.tracePath.empty() && !traceFile.Close(traceError))
        traceError = "--trace " + request.tracePath + ": cannot write: " + traceError;
    if (!saved) return Fail(kExitCannotWrite, error);

    if (outcome.resetRequests)
        std::cout << "\nThe uninstaller asked for a soft reset: "
                  << (outcome.stop == sim::Stop::Reset
                          ? "the device restarted; files that programs held open are released,\n"
                            "and the device holds open again what its start-up names (see --status)."
                          : "the request came back (--reset-returns).")
                  << "\n";
    Report(image, before, installDir);
    const int code = Conclude(outcome, dialogue);
    return traceError.empty() ? code : Fail(kExitCannotWrite, traceError);
}

// --restart and --status: the device itself, without the uninstaller.
int RestartOrStatus(const std::string& dir, bool restart)
{
    LockedDevice device;
    std::string error;
    const auto mode = restart ? sim::DeviceLock::Mode::Exclusive : sim::DeviceLock::Mode::Shared;
    if (!OpenDevice(dir, mode, device, error)) return Fail(kExitUsage, error);
    if (!restart) {
        sim::WriteDeviceStatus(std::cout, device.image);
        return 0;
    }
    const std::vector<std::u16string> released = device.image.config.heldOpen;
    const std::vector<sim::StartupHold> holds = sim::StartDevice(device.image);
    if (!sim::SaveConfig(device.image, error)) return Fail(kExitCannotWrite, error);
    std::cout << "The device restarted.\n";
    sim::WriteDeviceStart(std::cout, released, holds);
    return 0;
}

// --init-device: a folder that is not there is made first, so that the
// lock can be taken in it; one with anything in it is refused untouched.
int InitDevice(const std::string& dir)
{
    if (!sim::CanHoldSampleDevice(dir)) return Fail(kExitUsage, dir + ": exists and is not an empty folder");
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    LockedDevice device;
    std::string error;
    if (!sim::OpenDeviceFolder(dir, device.folder, error)) return Fail(kExitUsage, error);
    if (!device.lock.Take(device.folder, sim::DeviceLock::Mode::Exclusive, error))
        return Fail(kExitUsage, dir + ": " + error);
    if (!sim::InitSampleDevice(dir, error, sim::SampleState::Started)) return Fail(kExitUsage, error);
    std::cout << "Sample device with the package installed: " << dir << "\n";
    return 0;
}

// Everything the command line says.
struct CommandLine {
    std::string initDir, deviceDir, tracePath, exePath, cpuName = "sa1110";
    std::vector<std::string> answers, failRules;
    bool scripted = false, resetReturns = false, restart = false, status = false;
};

// Parses the command line; -1 to go on, else the exit code (help, version,
// bad usage).
int ParseCommandLine(int argc, char** argv, CommandLine& c)
{
    CLI::App app{"Runs the Pocket PC uninstaller on a simulated device."};
    app.set_version_flag("--version", "trq-uninstall-sim 1.0");
    auto* init = app.add_option("--init-device", c.initDir, "Make a sample device with the package installed in DIR")
                     ->type_name("DIR");
    auto* device = app.add_option("--device", c.deviceDir, "Run the uninstaller on the device in DIR")
                       ->type_name("DIR");
    auto* answer = app.add_option("--answer", c.answers, "Answers to the question boxes in order: yes, no, cancel")
                       ->type_name("LIST");
    auto* trace = app.add_option("--trace", c.tracePath, "Write every platform call as JSON lines")
                      ->type_name("FILE");
    auto* resets = app.add_flag("--reset-returns", c.resetReturns,
                                "The soft reset request comes back instead of restarting the device");
    init->excludes(device);
    answer->needs(device);
    trace->needs(device);
    resets->needs(device);
    app.add_option("--fail", c.failRules,
                   "Make platform calls fail, e.g. DeleteFileW#3:error=32 (repeatable; see docs/faults.md)")
        ->type_name("RULE")
        ->needs(device);
    auto* exe = app.add_option("--exe", c.exePath,
                               "Run this Pocket PC TRQUninstall.exe (ARM) in the emulator instead of "
                               "the uninstaller built for this host")
                    ->type_name("FILE")
                    ->needs(device);
    app.add_option("--cpu", c.cpuName, "The emulated processor: sa1110 (StrongARM, ARMv4) or pxa270 "
                                       "(XScale, ARMv5TE)")
        ->type_name("CPU")
        ->check(CLI::IsMember({"sa1110", "pxa270"}))
        ->needs(exe);
    auto* restarts = app.add_flag("--restart", c.restart,
                                  "Restart the device: programs the user started are gone, and the "
                                  "device holds open what its start-up names");
    auto* shows = app.add_flag("--status", c.status,
                               "Show what of the package is on the device and what is held open, and why");
    for (auto* only : {restarts, shows})
        only->needs(device)->excludes(answer)->excludes(trace)->excludes(resets)->excludes("--fail")->excludes(exe);
    restarts->excludes(shows);

    try {
        app.parse(argc, argv);
        if (!init->count() && !device->count()) throw CLI::RequiredError("--init-device or --device");
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }
    c.scripted = answer->count() > 0;
    return -1;
}

int Main(int argc, char** argv)
{
    CommandLine c;
    if (int code = ParseCommandLine(argc, argv, c); code >= 0) return code;
    if (!c.initDir.empty()) return InitDevice(c.initDir);
    if (c.restart || c.status) return RestartOrStatus(c.deviceDir, c.restart);

    RunRequest request;
    request.dir = c.deviceDir;
    request.scripted = c.scripted;
    request.tracePath = c.tracePath;
    request.resetReturns = c.resetReturns;
    std::string answerError;
    if (!ParseAnswers(c.answers, request.answers, answerError)) return Fail(kExitUsage, answerError);

    std::vector<sim::FaultRule> rules;
    for (const std::string& text : c.failRules) {
        sim::FaultRule rule;
        std::string error;
        if (!sim::ParseFaultRule(text, rule, error))
            return Fail(kExitUsage, "--fail \"" + text + "\": " + error);
        rules.push_back(std::move(rule));
    }
    if (!rules.empty())
        request.faults = sim::MakeFaultPlan(std::move(rules), [](const sim::FaultRule& rule, const std::string& op,
                                                                 int index, const std::string& argument) {
            std::cout << "[fault] call " << index << ", " << op
                      << (argument.empty() ? "" : " (" + host::Printable(argument) + ")") << ": "
                      << host::Printable(rule.text) << "\n";
        });
    const std::string& exePath = c.exePath;
    const std::string& cpuName = c.cpuName;
    sim::Program program;
    if (!exePath.empty()) {
        auto loaded = std::make_shared<emulator::PocketPcExe>();
        std::string error;
        if (!emulator::LoadPocketPcExe(exePath, *loaded, error)) {
            std::cerr << "trq-uninstall-sim: --exe " << exePath << ": " << error << "\n";
            return kExitUsage;
        }
        program = emulator::PocketPcProgram(loaded, *emulator::ParseCpu(cpuName));
    }
    request.program = program;
    return RunOnDevice(request);
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
