// Programs of the device kit's calls on the sample device, from the command
// line as a user runs them (--run): a program starts a copy of itself that
// holds the package's program open and waits on a named event; the hold
// lasts across commands, through a run of the uninstaller, until a later
// program sets the event or the device restarts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/pocketpc/pocketpc_test_support.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;

struct Step {
    std::string arguments;  // after --device DIR; @TRACE@ is a trace file beside the device
    int exitCode;
    std::vector<std::string> output;  // each a part of what the command printed
    std::string trace;                // a part of the trace, or ""
    bool running;                     // device.ini then holds kRunning, else no [Running]
};

struct Story {
    std::string name;
    std::vector<Step> steps;
};

void PrintTo(const Story& story, std::ostream* out) { *out << story.name; }

const std::string kHold = "--run '\\My Documents\\kit_hold.exe'";
const std::string kRunning =
    "[Running]\n"
    "Program=\\My Documents\\kit_hold.exe\n"
    "File=\\Program Files\\TRQ\\TRQ.exe\n"
    "ManualEvent=TRQ Uninstall Kit stop\n";

const Step kHolderWaits = {
    kHold + " --trace @TRACE@",
    0,
    {"\\My Documents\\kit_hold.exe: waits on the event \"TRQ Uninstall Kit stop\": it stays running\n",
     "Exit code: 0\n"},
    "{\"calling\":\"CreateProcessW\"}\r\n{\"calling\":\"CreateFileW\",\"sim\":{\"process\":2}}\r\n"
    "{\"call\":\"CreateFileW\",\"args\":{\"path\":\"\\\\Program Files\\\\TRQ\\\\TRQ.exe\"",
    true};

const Story kStories[] = {
    {"a later program stops the holder",
     {kHolderWaits,
      {"--answer yes,no", 0, {"file   \\Program Files\\TRQ\\TRQ.exe  (held open: running)\n"}, "", true},
      {"--run '\\My Documents\\kit_stop.exe'",
       0,
       {"\\My Documents\\kit_hold.exe: ended: the event it waited on was set\n", "Exit code: 0\n"},
       "",
       false}}},
    {"a restart ends the holder",
     {kHolderWaits,
      {"--restart",
       0,
       {"Released, held by programs the user had started:\n  \\My Documents\\kit_hold.exe\n"
        "  \\Program Files\\TRQ\\TRQ.exe\n"},
       "",
       false}}},
    {"the holder cannot be started",
     {{kHold + " --fail CreateProcessW:fail",
       6,
       {"[fault] call 2, CreateProcessW (\\My Documents\\kit_hold.exe): CreateProcessW:fail\n", "Exit code: 2\n"},
       "",
       false}}},
};

class KitPrograms : public testing::TestWithParam<Story> {
protected:
    void SetUp() override { TRQ_REQUIRE_POCKETPC_BUILD(); }
};

TEST_P(KitPrograms, HoldUntilTheEventIsSetOrTheDeviceRestarts)
{
    TempDir dir;
    const fs::path device = dir.Path() / "device", trace = dir.Path() / "trace.jsonl";
    const std::string cli = std::string("'") + TRQ_SIM_CLI + "' --device " + device.string() + " ";
    ASSERT_EQ(RunCommand(std::string(TRQ_SIM_CLI) + " --init-device " + device.string()).exitCode, 0);
    for (const char* program : {"kit_hold", "kit_stop"})
        fs::copy_file(PocketPcTestProgram(program), device / "files" / "My Documents" / (std::string(program) + ".exe"));

    for (const Step& step : GetParam().steps) {
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
        const std::string ini = ReadHostFile(device / "device.ini");
        EXPECT_EQ(ini.find(kRunning) != std::string::npos, step.running) << step.arguments << "\n" << ini;
        if (!step.running) {
            EXPECT_EQ(ini.find("[Running]"), std::string::npos) << ini;
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
