// Programs of the device kit's calls on the sample device, from the command
// line as a user runs them (--run): a program starts a copy of itself that
// holds the package's program open and waits on a named event; the hold
// lasts across commands, through a run of the uninstaller, until a later
// program sets the event or the device restarts. And the kit itself where
// it must touch nothing it did not make: the package installed, its
// leftovers, another program's keys among the kit's, a second kit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/device_snapshot.h"
#include "tests/pocketpc/pocketpc_test_support.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;

// A change a story makes to the device between commands, as another
// program or the owner would.
using Edit = std::function<void(const fs::path& device)>;

struct Step {
    std::string arguments;  // after --device DIR; @TRACE@ is a trace file beside the device
    int exitCode;
    std::vector<std::string> output;  // each a part of what the command printed
    std::string trace;                // a part of the trace, or ""
    std::string running;              // device.ini's [Running] section, "" for none
    Edit edit = nullptr;              // made before the command
    bool asFound = false;  // afterwards the device is as the story found it, the kit's log aside
};

struct Story {
    std::string name;
    bool package;  // the sample package installed; else a Pocket PC that never had it
    std::vector<Step> steps;
    Edit setup = nullptr;  // what the story finds on top of that
};

void PrintTo(const Story& story, std::ostream* out) { *out << story.name; }

const std::string kHold = "--run '\\My Documents\\kit_hold.exe'";
const std::string kKit = "--run '\\My Documents\\TRQUninstallKit.exe' --answer yes";
const std::string kRunning =
    "[Running]\n"
    "Program=\\My Documents\\kit_hold.exe\n"
    "File=\\Program Files\\TRQ\\TRQ.exe\n"
    "ManualEvent=TRQ Uninstall Kit stop\n";
// The kit's holder, as the package's utility holding what a started device holds.
const std::string kKitHolder =
    "[Running]\n"
    "Program=\\Windows\\TRQUtil.exe\n"
    "File=\\Windows\\TRQRemindSvc.dll\n"
    "File=\\Windows\\TRQNewMenu.dll\n"
    "File=\\Program Files\\TRQ\\DevTRQSync.dll\n"
    "ManualEvent=TRQ Uninstall Kit stop\n";
// Another kit, still showing its box.
const std::string kOtherKit =
    "[Running]\n"
    "Program=\\My Documents\\TRQUninstallKit.exe\n"
    "ManualEvent=TRQ Uninstall Kit running\n";
const char kProbesOnly[] = "or part of it, is on this device";
const char kUndoneAll[] = "Everything the kit made is gone";
const char kForeignKey[] = "trpfile\\shell\\open\\command\\Other";

const Step kHolderWaits = {
    kHold + " --trace @TRACE@",
    0,
    {"\\My Documents\\kit_hold.exe: waits on the event \"TRQ Uninstall Kit stop\": it stays running\n",
     "Exit code: 0\n"},
    "{\"calling\":\"CreateProcessW\"}\r\n{\"calling\":\"CreateFileW\",\"sim\":{\"process\":2}}\r\n"
    "{\"call\":\"CreateFileW\",\"args\":{\"path\":\"\\\\Program Files\\\\TRQ\\\\TRQ.exe\"",
    kRunning};
const Step kKitPrepares = {kKit, 0, {"Now tap TRQUninstallTrace.exe"}, "", kKitHolder};

// The device, loaded, changed, and written back.
void Change(const fs::path& device, const std::function<void(sim::DeviceImage&)>& change)
{
    sim::DeviceImage image;
    std::string error;
    ASSERT_TRUE(sim::LoadDeviceImage(device, image, error)) << error;
    change(image);
    Save(image);
}

void AppendToDeviceIni(const fs::path& device, const std::string& text)
{
    std::ofstream(device / "device.ini", std::ios::binary | std::ios::app) << text;
}

const Story kStories[] = {
    {"a later program stops the holder",
     true,
     {kHolderWaits,
      {"--answer yes,no", 0, {"file   \\Program Files\\TRQ\\TRQ.exe  (held open: running)\n"}, "", kRunning},
      {"--run '\\My Documents\\kit_stop.exe'",
       0,
       {"\\My Documents\\kit_hold.exe: ended: the event it waited on was set\n", "Exit code: 0\n"},
       "",
       ""}}},
    {"a restart ends the holder",
     true,
     {kHolderWaits,
      {"--restart",
       0,
       {"Released, held by programs the user had started:\n  \\My Documents\\kit_hold.exe\n"
        "  \\Program Files\\TRQ\\TRQ.exe\n"},
       "",
       ""}}},
    {"the holder cannot be started",
     true,
     {{kHold + " --fail CreateProcessW:fail",
       6,
       {"[fault] call 2, CreateProcessW (\\My Documents\\kit_hold.exe): CreateProcessW:fail\n", "Exit code: 2\n"},
       "",
       ""}}},
    // The kit where it must touch nothing of what it did not make.
    {"the kit on the package installed: the probes only, on its scratch files, every time",
     true,
     {{kKit, 0, {kProbesOnly, "Removed from the device (0)"}, "", "", nullptr, true},
      {kKit, 0, {kProbesOnly, "Removed from the device (0)"}, "", "", nullptr, true}}},
    {"the kit on the package's leftovers, without its install record: the probes only",
     true,
     {{kKit, 0, {kProbesOnly, "Removed from the device (0)"}, "", "", nullptr, true}},
     [](const fs::path& device) {
         Change(device, [](sim::DeviceImage& image) { RemoveKey(image, formats::Root::LocalMachine, kInstallRecord); });
     }},
    {"the kit's undo leaves a key another program put below one of its keys, and a key of its name another made",
     false,
     {kKitPrepares,
      {kKit,
       0,
       {"Some of what the kit made could not be removed", "key    HKEY_CLASSES_ROOT\\.trp\n"},
       "",
       "",
       [](const fs::path& device) {
           Change(device, [](sim::DeviceImage& image) {
               SetString(image, formats::Root::ClassesRoot, u"trpfile\\shell\\open\\command\\Other", u"", u"other");
               RemoveKey(image, formats::Root::ClassesRoot, u".trp");
               SetString(image, formats::Root::ClassesRoot, u".trp", u"", u"otherfile");
           });
       }},
      {kKit,
       0,
       {kUndoneAll},
       "",
       "",
       [](const fs::path& device) {
           Change(device, [](sim::DeviceImage& image) {
               RemoveKey(image, formats::Root::ClassesRoot, u".trp");
               RemoveKey(image, formats::Root::ClassesRoot, u"trpfile\\shell\\open\\command\\Other");
           });
       },
       true}}},
    {"the kit that cannot make its marker changes nothing, and offers to prepare again",
     false,
     {{kKit + " --fail 'RegCreateKeyExW(Software\\TRQ Uninstall Kit):fail'", 0, {"could not write its log or the registry"}, "", "",
       nullptr, true},
      {"--run '\\My Documents\\TRQUninstallKit.exe' --answer no", 0, {"Lay out Vantrelle"}, "", "", nullptr,
       true}}},
    {"a second kit leaves the device to the one running",
     false,
     {{kKit, 0, {"The kit is already running"}, "", kOtherKit, nullptr, true}},
     [](const fs::path& device) { AppendToDeviceIni(device, kOtherKit); }},
};

class KitPrograms : public testing::TestWithParam<Story> {
protected:
    void SetUp() override { TRQ_REQUIRE_POCKETPC_BUILD(); }
};

// What device.ini says runs: its [Running] section, or "".
std::string RunningSection(const std::string& ini)
{
    const size_t at = ini.find("[Running]");
    if (at == std::string::npos) return "";
    const size_t next = ini.find("\n[", at + 1);
    return ini.substr(at, next == std::string::npos ? std::string::npos : next + 1 - at);
}

TEST_P(KitPrograms, PlayedAcrossCommands)
{
    TempDir dir;
    const fs::path device = dir.Path() / "device", trace = dir.Path() / "trace.jsonl";
    const std::string cli = std::string("'") + TRQ_SIM_CLI + "' --device " + device.string() + " ";
    if (GetParam().package)
        ASSERT_EQ(RunCommand(std::string(TRQ_SIM_CLI) + " --init-device " + device.string()).exitCode, 0);
    else
        MakeDeviceWithoutThePackage(device);
    for (const char* program : {"kit_hold", "kit_stop"})
        fs::copy_file(PocketPcTestProgram(program), device / "files" / "My Documents" / (std::string(program) + ".exe"));
    if (fs::exists(TRQ_POCKETPC_KIT))
        fs::copy_file(TRQ_POCKETPC_KIT, device / "files" / "My Documents" / "TRQUninstallKit.exe");
    if (GetParam().setup) GetParam().setup(device);
    const std::map<std::string, std::string> found = DeviceState(device, "TRQ Uninstall Kit log.txt");

    for (const Step& step : GetParam().steps) {
        if (step.edit) step.edit(device);
        std::string arguments = step.arguments;
        if (const size_t at = arguments.find("@TRACE@"); at != std::string::npos)
            arguments.replace(at, 7, trace.string());
        const CommandResult run = RunCommand(cli + arguments + " 2>&1 </dev/null");
        EXPECT_EQ(run.exitCode, step.exitCode) << step.arguments << "\n" << run.output;
        for (const std::string& part : step.output)
            EXPECT_NE(run.output.find(part), std::string::npos) << step.arguments << ": " << part << "\n" << run.output;
        if (!step.trace.empty()) {
            EXPECT_NE(ReadHostFile(trace).find(step.trace), std::string::npos) << step.trace;
        }
        EXPECT_EQ(RunningSection(ReadHostFile(device / "device.ini")), step.running) << step.arguments;
        if (step.asFound) {
            EXPECT_EQ(StateDifferences(found, DeviceState(device, "TRQ Uninstall Kit log.txt")), "")
                << step.arguments << "\n" << run.output;
        }
    }
}
INSTANTIATE_TEST_SUITE_P(Stories, KitPrograms, testing::ValuesIn(kStories), NameFromParam());

// --run as --exe is held to the host's rules: what is no Pocket PC program
// among the device's files is refused in one line, escaped, before anything
// changes, and a link below files/ is never followed.
struct Refused {
    std::string name;
    std::string path;  // the device path given to --run
    std::string line;  // what follows "trq-uninstall-sim: --run PATH: "
};

void PrintTo(const Refused& refused, std::ostream* out) { *out << refused.name; }

const Refused kRefused[] = {
    {"a file that is not there", "\\My Documents\\Gone.exe", "no such file on the device"},
    {"a folder", "\\My Documents", "a folder, not a program"},
    {"a link to a program outside the device", "\\My Documents\\link.exe", "no such file on the device"},
    {"a FIFO", "\\My Documents\\fifo.exe", "not a regular file"},
    {"a document", "\\My Documents\\Tasks.trp", "not an executable: no MZ header"},
    {"a name with an escape sequence", "\\My Documents\\\x1b[31m.exe", "no such file on the device"},
};

class RunRefused : public testing::TestWithParam<Refused> {};

TEST_P(RunRefused, InOneLineWithExitCodeTwoChangingNothing)
{
    TempDir dir;
    const fs::path device = dir.Path() / "device";
    ASSERT_EQ(RunCommand(std::string(TRQ_SIM_CLI) + " --init-device " + device.string()).exitCode, 0);
    const fs::path documents = device / "files" / "My Documents";
    std::ofstream(dir.Path() / "outside.exe") << "MZ";
    fs::create_symlink(dir.Path() / "outside.exe", documents / "link.exe");
    ASSERT_EQ(mkfifo((documents / "fifo.exe").c_str(), 0600), 0);
    const std::string before = ReadHostFile(device / "device.ini") + ReadHostFile(device / "registry.reg");

    const std::string path = GetParam().path;
    const CommandResult run = RunCommand(std::string("timeout 60 '") + TRQ_SIM_CLI + "' --device " + device.string() +
                                         " --run '" + path + "' 2>&1 </dev/null");
    EXPECT_EQ(run.exitCode, 2) << run.output;
    std::string shown = path;
    if (const size_t at = shown.find('\x1b'); at != std::string::npos) shown.replace(at, 1, "\\x1B");
    EXPECT_EQ(run.output, "trq-uninstall-sim: --run " + shown + ": " + GetParam().line + "\n");
    EXPECT_EQ(ReadHostFile(device / "device.ini") + ReadHostFile(device / "registry.reg"), before);
}

INSTANTIATE_TEST_SUITE_P(Paths, RunRefused, testing::ValuesIn(kRefused), NameFromParam());

}  // namespace
}  // namespace trq_test
