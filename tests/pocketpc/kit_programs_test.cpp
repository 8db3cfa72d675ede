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
    std::vector<std::string> logged = {};  // each a line the kit's log holds afterwards
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
const char kUndoQuestion[] = "The kit has prepared this device";
const char kLayOut[] = "Lay out Vantrelle";
const char kKitLogFile[] = "TRQ Uninstall Kit log.txt";
const std::string kKitNo = "--run '\\My Documents\\TRQUninstallKit.exe' --answer no";
const char kUndoneAll[] = "Everything the kit made is gone";
// The undo's line for the kit's key that stays for a key of another's below it.
const std::string kShellLeft =
    "{\"kit\":\"left\",\"key\":\"HKEY_CLASSES_ROOT\\\\trpfile\\\\shell\",\"why\":\"a key the kit did not make is below it\"}";
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

void WriteDeviceFile(const fs::path& device, const std::string& path, const std::string& bytes)
{
    fs::create_directories((device / "files" / path).parent_path());
    std::ofstream(device / "files" / path, std::ios::binary) << bytes;
}

// The kit's log of a prepare killed once it had written what it was about
// to make, and before it made any of it: the log of a whole prepare on a
// Pocket PC without the package, up to its last "making" line.
std::string LogOfPrepareKilledAfterMaking()
{
    TempDir dir;
    const fs::path device = dir.Path() / "device";
    MakeDeviceWithoutThePackage(device);
    fs::copy_file(TRQ_POCKETPC_KIT, device / "files" / "My Documents" / "TRQUninstallKit.exe");
    RunCommand("'" + std::string(TRQ_SIM_CLI) + "' --device " + device.string() + " " + kKit + " >/dev/null 2>&1 </dev/null");
    const std::string log = ReadHostFile(device / "files" / kKitLogFile);
    const size_t last = log.rfind("{\"kit\":\"making\"");
    EXPECT_NE(last, std::string::npos) << log;
    return last == std::string::npos ? "" : log.substr(0, log.find("\r\n", last) + 2);
}

// A log of a MiB, more than the kit reads, every line naming a thing of
// its own it was making.
std::string LargestLog()
{
    std::string log;
    const std::string line = "{\"kit\":\"making\",\"file\":\"\\\\Temp\\\\scratch ";
    for (int i = 0; log.size() + 80 < (1u << 20); ++i) log += line + std::to_string(i) + ".txt\"}\r\n";
    return log;
}

// A start of the kit that offers its undo and removes everything it made,
// with these lines in its log: what it left alone, and why.
Step UndoLeaving(std::vector<std::string> logged)
{
    return {kKit, 0, {kUndoQuestion, kUndoneAll, "Removed from the device (0)"}, "", "", nullptr, true, std::move(logged)};
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
    // The log is where to look, never what is the kit's: each thing is
    // the kit's by what it carries (a placeholder with the kit's mark, the
    // kit's sign in a folder, its mark in a key).
    {"the kit killed after its making lines, then the package installed: the undo leaves the package and names it",
     true,
     {UndoLeaving({"{\"kit\":\"left\",\"file\":\"\\\\Program Files\\\\TRQ\\\\TRQ.exe\",\"why\":\"its bytes are not the kit's\"}",
                   "{\"kit\":\"left\",\"folder\":\"\\\\Program Files\\\\TRQ\",\"why\":\"it holds no sign of the kit's\"}",
                   "{\"kit\":\"left\",\"key\":\"HKEY_CLASSES_ROOT\\\\trpfile\",\"why\":\"it carries no mark of the kit's\"}",
                   "{\"kit\":\"clean\"}"}),
      {kKit, 0, {kProbesOnly, "Removed from the device (0)"}, "", "", nullptr, true}},
     [](const fs::path& device) { WriteDeviceFile(device, kKitLogFile, LogOfPrepareKilledAfterMaking()); }},
    {"the kit killed after its making lines, then an installer's files, empty or as the package's: left alone",
     false,
     {UndoLeaving({"{\"kit\":\"left\",\"file\":\"\\\\Temp\\\\TRQSetup.log\",\"why\":\"its bytes are not the kit's\"}",
                   "{\"kit\":\"left\",\"file\":\"\\\\Temp\\\\TRQUtil.log\",\"why\":\"its bytes are not the kit's\"}"}),
      {kKitNo, 0, {kProbesOnly}, "", "", nullptr, true}},
     [](const fs::path& device) {
         WriteDeviceFile(device, kKitLogFile, LogOfPrepareKilledAfterMaking());
         WriteDeviceFile(device, "Temp/TRQSetup.log", "");
         WriteDeviceFile(device, "Temp/TRQUtil.log", "utility started\r\n");
     }},
    {"the kit's key with the package's keys below it, after a prepare cut short: each tap names it until they go",
     false,
     {kKitPrepares,
      {kKit,
       0,
       {"Some of what the kit made could not be removed"},
       "",
       "",
       [](const fs::path& device) {
           Change(device, [](sim::DeviceImage& image) {
               RemoveKey(image, formats::Root::ClassesRoot, u"trpfile\\shell\\open");
               SetString(image, formats::Root::ClassesRoot, u"trpfile\\shell\\open\\command", u"",
                         u"\"\\Program Files\\TRQ\\TRQ.exe\" %1");
           });
       },
       false,
       {kShellLeft}},
      {kKit,
       0,
       {"Some of what the kit made could not be removed", "Removed from the device (0)"},
       "",
       "",
       nullptr,
       false,
       {kShellLeft}},
      {kKit,
       0,
       {"Everything the kit made is gone"},
       "",
       "",
       [](const fs::path& device) {
           Change(device, [](sim::DeviceImage& image) {
               RemoveKey(image, formats::Root::ClassesRoot, u"trpfile\\shell\\open");
           });
       },
       true}}},
    {"prepared, the uninstaller run twice, the log cut before its first CLSID making line: every marked key goes",
     false,
     {kKitPrepares,
      {"--answer yes,yes", 0, {"Exit code: 0"}, "", ""},
      {"--answer yes,yes", 0, {"successfully removed"}, "", ""},
      {kKit,
       0,
       {"Everything the kit made is gone"},
       "",
       "",
       [](const fs::path& device) {
           const std::string log = ReadHostFile(device / "files" / kKitLogFile);
           const size_t cut = log.find("{\"kit\":\"making\",\"key\":\"HKEY_CLASSES_ROOT\\\\CLSID");
           ASSERT_NE(cut, std::string::npos) << log;
           WriteDeviceFile(device, kKitLogFile, log.substr(0, cut));
       },
       true},
      {kKitNo, 0, {kLayOut}, "", "", nullptr, true}}},
    {"forged lines naming the device's folder, its empty keys and files outside the package: all left alone",
     false,
     {UndoLeaving({"{\"kit\":\"left\",\"folder\":\"\\\\Windows\\\\StartUp\",\"why\":\"it holds no sign of the kit's\"}",
                   "{\"kit\":\"left\",\"key\":\"HKEY_CLASSES_ROOT\\\\CLSID\",\"why\":\"it carries no mark of the kit's\"}"}),
      {kKitNo, 0, {kLayOut}, "", "", nullptr, true}},
     [](const fs::path& device) {
         std::ofstream(device / "registry.reg", std::ios::binary | std::ios::app)
             << "[HKEY_LOCAL_MACHINE\\Security\\AppInstall]\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Shell\\Extensions\\NewMenu]\r\n\r\n"
                "[HKEY_CLASSES_ROOT\\CLSID]\r\n\r\n";
         WriteDeviceFile(device, kKitLogFile,
                         "{\"kit\":\"making\",\"folder\":\"\\\\Windows\\\\StartUp\"}\r\n"
                         "{\"kit\":\"making\",\"key\":\"HKEY_LOCAL_MACHINE\\\\Security\\\\AppInstall\"}\r\n"
                         "{\"kit\":\"making\",\"key\":\"HKEY_LOCAL_MACHINE\\\\Software\\\\Microsoft\\\\Shell\\\\Extensions\\\\NewMenu\"}\r\n"
                         "{\"kit\":\"making\",\"key\":\"HKEY_CLASSES_ROOT\\\\CLSID\"}\r\n"
                         "{\"kit\":\"making\",\"folder\":\"\\\\My Documents\"}\r\n"
                         "{\"kit\":\"making\",\"file\":\"\\\\My Documents\\\\kit_hold.exe\"}\r\n");
     }},
    {"a forged line naming the installed package's program: the undo leaves it",
     true,
     {UndoLeaving({"{\"kit\":\"left\",\"file\":\"\\\\Program Files\\\\TRQ\\\\TRQ.exe\",\"why\":\"its bytes are not the kit's\"}"})},
     [](const fs::path& device) {
         WriteDeviceFile(device, kKitLogFile, "{\"kit\":\"making\",\"file\":\"\\\\Program Files\\\\TRQ\\\\TRQ.exe\"}\r\n");
     }},
    {"the probes stopped while making their scratch file: the scratch folder goes, its half-made file with it",
     true,
     {{kKit,
       0,
       {kUndoQuestion, "Everything the kit made is gone"},
       "",
       "",
       nullptr,
       false,
       {"{\"kit\":\"undone\",\"folder\":\"\\\\TRQ Uninstall Kit scratch\"}"}},
      {kKit, 0, {kProbesOnly, "Removed from the device (0)"}, "", "", nullptr, false}},
     [](const fs::path& device) {
         fs::create_directories(device / "files" / "TRQ Uninstall Kit scratch");
         fs::copy_file(TRQ_POCKETPC_KIT, device / "files" / "TRQ Uninstall Kit scratch" / "TRQUtil.exe");
         WriteDeviceFile(device, "TRQ Uninstall Kit scratch/Held.dll.TRQ Uninstall Kit.tmp", "");
     }},
    // Its work grows with its log no faster than the log: a log of a MiB,
    // whose end it reads, within the emulator's budget.
    {"a log of a MiB of names, read within the budget",
     false,
     {{kKitNo, 0, {kUndoQuestion, "Exit code: 0"}, "", "", nullptr, true}},
     [](const fs::path& device) { WriteDeviceFile(device, kKitLogFile, LargestLog()); }},
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
        const std::string log = ReadHostFile(device / "files" / kKitLogFile);
        for (const std::string& line : step.logged)
            EXPECT_NE(log.find(line + "\r\n"), std::string::npos) << step.arguments << ": " << line << "\n" << log;
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
