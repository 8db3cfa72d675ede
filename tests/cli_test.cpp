// trq-uninstall-sim as a user runs it: exit codes, messages, the trace file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include "tests/test_device.h"

namespace trq_test {
namespace {

// trq-uninstall-sim with arguments; standard input from input, or none.
CommandResult Cli(const std::string& arguments, const std::string& input = "")
{
    std::string command = std::string("'") + TRQ_SIM_CLI + "' " + arguments + " 2>&1";
    return RunCommand(input.empty() ? command + " </dev/null" : "printf '" + input + "' | " + command);
}

TEST(Cli, InitRunAndSecondRun)
{
    TempDir tmp;
    const std::string dev = (tmp.Path() / "device").string();
    ASSERT_EQ(Cli("--init-device " + dev).exitCode, 0);
    EXPECT_EQ(Cli("--init-device " + dev).exitCode, 2) << "a device that exists is refused";

    std::ofstream(tmp.Path() / "device" / "device.ini", std::ios::app)
        << "[HeldOpen]\nFile=\\Windows\\TRQRemindSvc.dll\n";
    // Answers from standard input when no list is given, a line a box: a
    // run reads only the lines it answers, so the next run gets the rest.
    const std::string run = std::string("'") + TRQ_SIM_CLI + "' --device " + dev + " 2>&1";
    const CommandResult runs = RunCommand("printf 'yes\\nyes\\ny\\nyes\\n' | { " + run + " && " + run + "; }");
    EXPECT_EQ(runs.exitCode, 0) << runs.output;
    const size_t restarted = runs.output.find("the device restarted");
    EXPECT_NE(restarted, std::string::npos) << runs.output;
    EXPECT_NE(runs.output.find("file   \\Windows\\TRQRemindSvc.dll"), std::string::npos) << runs.output;
    EXPECT_NE(runs.output.find("successfully removed", restarted), std::string::npos) << runs.output;
    EXPECT_NE(runs.output.find("removes (0):", restarted), std::string::npos) << runs.output;
}

TEST(Cli, BadUsageAndBadImagesChangeNothing)
{
    TempDir tmp;
    const std::string dev = (tmp.Path() / "device").string();
    ASSERT_EQ(Cli("--init-device " + dev).exitCode, 0);
    const std::string registry = ReadHostFile(tmp.Path() / "device" / "registry.reg");

    struct Case {
        std::string arguments;
        std::string message;
    } cases[] = {
        {"", "--init-device or --device"},
        {"--device " + dev + " --answer yes,maybe", "\"maybe\" is not yes, no or cancel"},
        {"--device " + (tmp.Path() / "missing").string(), "not a device image"},
        {"--init-device " + dev + " --device " + dev, "excludes"},
        {"--answer yes", "requires"},
    };
    for (const Case& c : cases) {
        CommandResult r = Cli(c.arguments);
        EXPECT_EQ(r.exitCode, 2) << c.arguments << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.arguments << "\n" << r.output;
    }

    std::ofstream(tmp.Path() / "device" / "device.ini", std::ios::app) << "[Battery]\nLevel=3\n";
    CommandResult r = Cli("--device " + dev + " --answer yes,yes");
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("device.ini:"), std::string::npos) << r.output;
    EXPECT_EQ(ReadHostFile(tmp.Path() / "device" / "registry.reg"), registry);
    EXPECT_TRUE(std::filesystem::exists(tmp.Path() / "device" / "files" / "Program Files" / "TRQ" / "TRQ.exe"));
}

TEST(Cli, RunStopsAtABoxWithNoAnswer)
{
    TempDir tmp;
    const std::string dev = (tmp.Path() / "device").string();
    ASSERT_EQ(Cli("--init-device " + dev).exitCode, 0);
    // A device on which nothing has started since the install holds nothing
    // open, so the run takes the clean path.
    std::filesystem::remove(tmp.Path() / "device" / "device.ini");
    struct Case {
        std::string answers;
        std::string message;
    } cases[] = {
        {"--answer yes", "no answer left for the box \"Do you want to remove all the TRQ"},
        {"--answer no,cancel", ""},  // the second answer is never needed
    };
    CommandResult r = Cli("--device " + dev + " " + cases[0].answers);
    EXPECT_EQ(r.exitCode, 3) << r.output;
    EXPECT_NE(r.output.find(cases[0].message), std::string::npos) << r.output;
    // What was done before the box stays done.
    EXPECT_FALSE(std::filesystem::exists(tmp.Path() / "device" / "files" / "Windows" / "TRQUtil.exe"));

    CommandResult none = Cli("--device " + dev);  // no terminal, no input: the first box has no answer
    EXPECT_EQ(none.exitCode, 3) << none.output;
    EXPECT_NE(none.output.find("no answer on standard input"), std::string::npos) << none.output;
}

}  // namespace
}  // namespace trq_test
