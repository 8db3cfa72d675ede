// trq-uninstall-sim: runs the uninstaller on a simulated device.
//
//   trq-uninstall-sim --init-device DIR
//   trq-uninstall-sim --device DIR [--answer yes,no,...] [--trace FILE] [--reset-returns]
//                     [--fail RULE]... [--exe TRQUninstall.exe [--cpu sa1110|pxa270]]
//   trq-uninstall-sim --device DIR --restart | --status
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/device.h"
#include "platform/emulator/pocketpc.h"
#include "platform/sim/fault_rules.h"
#include "platform/sim/device_status.h"
#include "platform/sim/plan_items.h"
#include "platform/sim/run_device.h"
#include "platform/sim/sample_device.h"
#include "platform/sim/text.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNoAnswer = 3;
constexpr int kExitProgramFault = 4;

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
    std::string caption = sim::Utf16ToUtf8Lossy(box.caption);
    out << "\n+-- " << caption << " (" << IconName(box.flags) << ")\n";
    std::istringstream words(sim::Utf16ToUtf8Lossy(box.text));
    std::string word, line;
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > 66) {
            out << "| " << line << "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty()) out << "| " << line << "\n";
    out << "|   " << Buttons(box.flags) << "\n+--\n";
}

std::string Quote(const sim::BoxRecord& box)
{
    std::string text = sim::Utf16ToUtf8Lossy(box.text);
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    return "\"" + text + "\"";
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

int RunOnDevice(const std::string& dir, const std::vector<std::string>& answerWords,
                bool scripted, const std::string& tracePath, bool resetReturns,
                const sim::FaultPlan& faults, const sim::Program& program)
{
    sim::DeviceImage image;
    std::string error;
    if (!sim::LoadDeviceImage(dir, image, error)) {
        std::cerr << "trq-uninstall-sim: " << error << "\n";
        return kExitUsage;
    }
    Dialogue dialogue;
    dialogue.scripted = scripted;
    for (const std::string& word : answerWords) {
        int answer = sim::ParseAnswer(word);
        if (!answer) {
            std::cerr << "trq-uninstall-sim: --answer: \"" << word << "\" is not yes, no or cancel\n";
            return kExitUsage;
        }
        dialogue.answers.push_back(answer);
    }
    std::ofstream trace;
    if (!tracePath.empty()) {
        trace.open(tracePath, std::ios::binary | std::ios::trunc);
        if (!trace) {
            std::cerr << "trq-uninstall-sim: --trace: cannot write " << tracePath << "\n";
            return kExitUsage;
        }
    }

    const std::vector<sim::PlanItem> before = DeviceContents(image);
    const std::u16string installDir = sim::RecordedInstallDir(image.registry.registry).value_or(u"");

    sim::RunOptions options;
    options.answerer = MakeAnswerer(dialogue);
    options.resetReturns = resetReturns;
    options.faults = faults;
    options.program = program;
    options.trace = tracePath.empty() ? nullptr : &trace;
    sim::RunOutcome outcome;
    if (!sim::RunUninstallOn(image, options, outcome, error)) {
        std::cerr << "trq-uninstall-sim: " << error << "\n";
        return 1;
    }

    if (outcome.resetRequests)
        std::cout << "\nThe uninstaller asked for a soft reset: "
                  << (outcome.stop == sim::Stop::Reset
                          ? "the device restarted; files that programs held open are released,\n"
                            "and the device holds open again what its start-up names (see --status)."
                          : "the request came back (--reset-returns).")
                  << "\n";
    Report(image, before, installDir);
    if (outcome.stop == sim::Stop::Fault) {
        std::cerr << "trq-uninstall-sim: the program faulted: " << outcome.fault << "\n";
        return kExitProgramFault;
    }
    if (outcome.stop == sim::Stop::NoAnswer) {
        std::cerr << "trq-uninstall-sim: run stopped: " << dialogue.problem << "\n";
        return kExitNoAnswer;
    }
    std::cout << "Exit code: " << outcome.exitCode << "\n";
    return outcome.exitCode;
}

// --restart and --status: the device itself, without the uninstaller.
int RestartOrStatus(const std::string& dir, bool restart)
{
    sim::DeviceImage image;
    std::string error;
    if (!sim::LoadDeviceImage(dir, image, error)) {
        std::cerr << "trq-uninstall-sim: " << error << "\n";
        return kExitUsage;
    }
    if (!restart) {
        sim::WriteDeviceStatus(std::cout, image);
        return 0;
    }
    const std::vector<std::u16string> released = image.config.heldOpen;
    const std::vector<sim::StartupHold> holds = sim::StartDevice(image);
    if (!sim::SaveConfig(image, error)) {
        std::cerr << "trq-uninstall-sim: " << error << "\n";
        return 1;
    }
    std::cout << "The device restarted.\n";
    sim::WriteDeviceStart(std::cout, released, holds);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Runs the Pocket PC uninstaller on a simulated device."};
    app.set_version_flag("--version", "trq-uninstall-sim 1.0");
    std::string initDir, deviceDir, tracePath;
    std::vector<std::string> answers;
    bool resetReturns = false;
    std::vector<std::string> failRules;
    auto* init = app.add_option("--init-device", initDir,
                                "Make a sample device with the package installed in DIR")
                     ->type_name("DIR");
    auto* device = app.add_option("--device", deviceDir, "Run the uninstaller on the device in DIR")
                       ->type_name("DIR");
    auto* answer = app.add_option("--answer", answers,
                                  "Answers to the question boxes in order: yes, no, cancel")
                       ->delimiter(',')
                       ->type_name("LIST");
    auto* trace = app.add_option("--trace", tracePath, "Write every platform call as JSON lines")
                      ->type_name("FILE");
    auto* resets = app.add_flag("--reset-returns", resetReturns,
                                "The soft reset request comes back instead of restarting the device");
    init->excludes(device);
    answer->needs(device);
    trace->needs(device);
    resets->needs(device);
    app.add_option("--fail", failRules,
                   "Make platform calls fail, e.g. DeleteFileW#3:error=32 (repeatable; see docs/faults.md)")
        ->type_name("RULE")
        ->needs(device);
    std::string exePath, cpuName = "sa1110";
    auto* exe = app.add_option("--exe", exePath,
                               "Run this Pocket PC TRQUninstall.exe (ARM) in the emulator instead of "
                               "the uninstaller built for this host")
                    ->type_name("FILE")
                    ->needs(device);
    app.add_option("--cpu", cpuName, "The emulated processor: sa1110 (StrongARM, ARMv4) or pxa270 "
                                     "(XScale, ARMv5TE)")
        ->type_name("CPU")
        ->check(CLI::IsMember({"sa1110", "pxa270"}))
        ->needs(exe);
    bool restart = false, status = false;
    auto* restarts = app.add_flag("--restart", restart,
                                  "Restart the device: programs the user started are gone, and the "
                                  "device holds open what its start-up names");
    auto* shows = app.add_flag("--status", status,
                               "Show what of the package is on the device and what is held open, and why");
    for (auto* only : {restarts, shows})
        only->needs(device)->excludes(answer)->excludes(trace)->excludes(resets)->excludes("--fail")->excludes(exe);
    restarts->excludes(shows);

    try {
        app.parse(argc, argv);
        if (!init->count() && !device->count())
            throw CLI::RequiredError("--init-device or --device");
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }

    if (!initDir.empty()) {
        std::string error;
        if (!sim::InitSampleDevice(initDir, error, sim::SampleState::Started)) {
            std::cerr << "trq-uninstall-sim: " << error << "\n";
            return kExitUsage;
        }
        std::cout << "Sample device with the package installed: " << initDir << "\n";
        return 0;
    }
    if (restart || status) return RestartOrStatus(deviceDir, restart);

    std::vector<sim::FaultRule> rules;
    for (const std::string& text : failRules) {
        sim::FaultRule rule;
        std::string error;
        if (!sim::ParseFaultRule(text, rule, error)) {
            std::cerr << "trq-uninstall-sim: --fail \"" << text << "\": " << error << "\n";
            return kExitUsage;
        }
        rules.push_back(std::move(rule));
    }
    sim::FaultPlan faults;
    if (!rules.empty())
        faults = sim::MakeFaultPlan(std::move(rules), [](const sim::FaultRule& rule, const std::string& op,
                                                         int index, const std::string& argument) {
            std::cout << "[fault] call " << index << ", " << op
                      << (argument.empty() ? "" : " (" + argument + ")") << ": " << rule.text << "\n";
        });
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
    return RunOnDevice(deviceDir, answers, answer->count() > 0, tracePath, resetReturns, faults, program);
}
