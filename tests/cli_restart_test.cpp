// trq-uninstall-sim --restart and --status, and the two runs a started
// device needs, as a user types them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include "tests/test_device.h"

namespace trq_test {
namespace {

CommandResult Cli(const std::string& arguments)
{
    return RunCommand(std::string("'") + TRQ_SIM_CLI + "' " + arguments + " 2>&1 </dev/null");
}

// Everything of the image as bytes: what "changes nothing" is measured by.
std::string Snapshot(const std::filesystem::path& dir)
{
    std::string all;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        all += entry.path().string() + "\n";
        if (entry.is_regular_file()) all += ReadHostFile(entry.path());
    }
    return all;
}

void ExpectLines(const CommandResult& r, std::initializer_list<const char*> lines)
{
    for (const char* line : lines) EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n---\n" << r.output;
}

const char* const kHeldBySample =
    "[HeldByDevice]\n"
    "Startup=\\Windows\\TRQUtil.exe\n"
    "Service=\\Windows\\TRQRemindSvc.dll\n"
    "Service=\\Windows\\AtlasGps.dll\n"
    "NewMenu=\\Windows\\TRQNewMenu.dll\n"
    "Sync=\\Program Files\\TRQ\\DevTRQSync.dll\n";

TEST(CliRestart, StatusRestartAndTheTwoRuns)
{
    TempDir tmp;
    const std::filesystem::path dir = tmp.Path() / "device";
    const std::string dev = dir.string();
    ASSERT_EQ(Cli("--init-device " + dev).exitCode, 0);
    EXPECT_NE(ReadHostFile(dir / "device.ini").find(kHeldBySample), std::string::npos) << ReadHostFile(dir / "device.ini");

    std::ofstream(dir / "device.ini", std::ios::app) << "[HeldOpen]\nFile=\\Program Files\\TRQ\\TRQ.exe\n";
    const std::string before = Snapshot(dir);
    CommandResult status = Cli("--device " + dev + " --status");
    EXPECT_EQ(status.exitCode, 0) << status.output;
    ExpectLines(status, {"(49 of 49)", "file   \\Windows\\TRQUtil.exe  (held open: Startup)\n",
                         "file   \\Program Files\\TRQ\\TRQ.exe  (held open: user)\n",
                         "  NewMenu  \\Windows\\TRQNewMenu.dll\n",
                         "released at the next start):\n  \\Program Files\\TRQ\\TRQ.exe\n"});
    EXPECT_EQ(Snapshot(dir), before) << "--status changes nothing";

    CommandResult restart = Cli("--device " + dev + " --restart");
    EXPECT_EQ(restart.exitCode, 0) << restart.output;
    ExpectLines(restart, {"The device restarted.\n",
                          "Released, held by programs the user had started:\n  \\Program Files\\TRQ\\TRQ.exe\n",
                          "  Sync     \\Program Files\\TRQ\\DevTRQSync.dll\n"});
    EXPECT_EQ(ReadHostFile(dir / "device.ini"),
              std::string("[Folders]\nStartup=\\Windows\\StartUp\nPrograms=\\Windows\\Start Menu\\Programs\n"
                          "Temp=\\Temp\\\n") + kHeldBySample);

    // The first run meets what the device holds and restarts it; the
    // registrations went before the reset, so only the other application's
    // service is loaded again.
    CommandResult first = Cli("--device " + dev + " --answer yes,yes");
    EXPECT_EQ(first.exitCode, 0) << first.output;
    ExpectLines(first, {"the device restarted", "file   \\Windows\\TRQUtil.exe\n"});
    EXPECT_EQ(first.output.find("(held open)"), std::string::npos) << first.output;
    status = Cli("--device " + dev + " --status");
    ExpectLines(status, {"(12 of 49)", "[HeldByDevice]):\n  Service  \\Windows\\AtlasGps.dll\n"});
    EXPECT_EQ(status.output.find("(held open:"), std::string::npos) << status.output;

    CommandResult second = Cli("--device " + dev + " --answer yes,yes");
    EXPECT_EQ(second.exitCode, 0) << second.output;
    ExpectLines(second, {"successfully removed", "removes (0):"});
    ExpectLines(Cli("--device " + dev + " --status"), {"Install record: none", "(0 of 39):\n  nothing\n"});
}

TEST(CliRestart, BadUsageAndBadImagesChangeNothing)
{
    TempDir tmp;
    const std::filesystem::path dir = tmp.Path() / "device";
    const std::string dev = dir.string();
    ASSERT_EQ(Cli("--init-device " + dev).exitCode, 0);
    std::ofstream(dir / "device.ini", std::ios::app) << "[HeldOpen]\nFile=\\Windows\\TRQUtil.exe\n";
    const std::string before = Snapshot(dir);

    struct Case {
        std::string arguments;
        std::string message;
    } cases[] = {
        {"--restart", "--restart requires --device"},
        {"--status", "--status requires --device"},
        {"--device " + dev + " --restart --status", "excludes"},
        {"--device " + dev + " --status --answer yes", "excludes"},
        {"--device " + dev + " --restart --trace " + (tmp.Path() / "t").string(), "excludes"},
        {"--device " + dev + " --restart --reset-returns", "excludes"},
        {"--device " + dev + " --status --fail DeleteFileW", "excludes"},
        {"--init-device " + (tmp.Path() / "other").string() + " --status", "requires --device"},
        {"--device " + (tmp.Path() / "missing").string() + " --status", "not a device image"},
        {"--device " + (tmp.Path() / "missing").string() + " --restart", "not a device image"},
    };
    for (const Case& c : cases) {
        CommandResult r = Cli(c.arguments);
        EXPECT_EQ(r.exitCode, 2) << c.arguments << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.arguments << "\n" << r.output;
    }
    EXPECT_EQ(Snapshot(dir), before);

    std::ofstream(dir / "device.ini", std::ios::app) << "[HeldByDevice]\nLibrary=\\Windows\\x.dll\n";
    const std::string broken = Snapshot(dir);
    for (const char* action : {" --restart", " --status"}) {
        CommandResult r = Cli("--device " + dev + action);
        EXPECT_EQ(r.exitCode, 2) << r.output;
        EXPECT_NE(r.output.find("unknown key 'Library' in [HeldByDevice]"), std::string::npos) << r.output;
    }
    EXPECT_EQ(Snapshot(dir), broken);
}

}  // namespace
}  // namespace trq_test
