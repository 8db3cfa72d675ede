// trq-uninstall-sim --restart and --status, and the two runs a started
// device needs, as a user types them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include "tests/device_snapshot.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

CommandResult Cli(const std::string& arguments)
{
    return RunCommand(std::string("'") + TRQ_SIM_CLI + "' " + arguments + " 2>&1 </dev/null");
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
    const auto before = HostTree(dir, true);
    CommandResult status = Cli("--device " + dev + " --status");
    EXPECT_EQ(status.exitCode, 0) << status.output;
    ExpectLines(status, {"(49 of 49)", "file   \\Windows\\TRQUtil.exe  (held open: Startup)\n",
                         "file   \\Program Files\\TRQ\\TRQ.exe  (held open: user)\n",
                         "  NewMenu  \\Windows\\TRQNewMenu.dll\n",
                         "released at the next start):\n  \\Program Files\\TRQ\\TRQ.exe\n"});
    EXPECT_EQ(HostTree(dir, true), before) << "--status changes nothing";

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
    EXPECT_EQ(first.output.find("(held open"), std::string::npos) << first.output;
    status = Cli("--device " + dev + " --status");
    ExpectLines(status, {"(12 of 49)", "[HeldByDevice]):\n  Service  \\Windows\\AtlasGps.dll\n"});
    EXPECT_EQ(status.output.find("(held open:"), std::string::npos) << status.output;

    CommandResult second = Cli("--device " + dev + " --answer yes,yes");
    EXPECT_EQ(second.exitCode, 0) << second.output;
    ExpectLines(second, {"successfully removed", "removes (0):"});
    ExpectLines(Cli("--device " + dev + " --status"), {"Install record: none", "(0 of 39):\n  nothing\n"});
}

// The list under the line starting with heading, each line as printed.
std::string ListUnder(const std::string& output, const std::string& heading)
{
    size_t start = output.find('\n', output.find(heading));
    size_t end = start;
    while (end != std::string::npos && output.compare(end, 3, "\n  ") == 0) end = output.find('\n', end + 1);
    return start == std::string::npos ? "" : output.substr(start + 1, end - start);
}

// A run's report names what it removed and what stays as --status names the
// items on the device: a folder is a folder, with no trailing separator, and
// a held file says who holds it.
TEST(CliRestart, RunReportNamesItemsAsStatusDoes)
{
    TempDir tmp;
    const std::string dev = (tmp.Path() / "device").string();
    ASSERT_EQ(Cli("--init-device " + dev).exitCode, 0);
    std::ofstream(tmp.Path() / "device" / "device.ini", std::ios::app)
        << "[HeldOpen]\nFile=\\Program Files\\TRQ\\TRQ.exe\nFile=\\Windows\\TRQRemindSvc.dll\n";
    const struct {
        const char* answers;
        std::vector<std::string> removed, left;  // some of the lines of each list
    } runs[] = {
        // The reset refused: what is held stays, and so does its folder.
        {"yes,no", {"  file   \\Program Files\\TRQ\\Setup.dll\n"},
         {"  file   \\Windows\\TRQRemindSvc.dll  (held open: Service, user)\n",
          "  file   \\Program Files\\TRQ\\TRQ.exe  (held open: user)\n  folder \\Program Files\\TRQ\n"}},
        // The reset taken: the same files stay, released.
        {"yes,yes", {"  nothing\n"}, {"  file   \\Program Files\\TRQ\\TRQ.exe\n  folder \\Program Files\\TRQ\n"}},
        {"yes,yes",
         {"  file   \\Program Files\\TRQ\\TRQ.exe\n", "  folder \\Program Files\\TRQ\n"},
         {"  nothing\n"}},
    };
    for (const auto& run : runs) {
        CommandResult r = Cli("--device " + dev + " --answer " + run.answers);
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const std::string removed = ListUnder(r.output, "Removed from the device (");
        const std::string left = ListUnder(r.output, "Still on the device of what the uninstaller removes (");
        for (const std::string& line : run.removed)
            EXPECT_NE(removed.find(line), std::string::npos) << line << r.output;
        for (const std::string& line : run.left) EXPECT_NE(left.find(line), std::string::npos) << line << r.output;
        EXPECT_EQ(removed.find("\\\n"), std::string::npos) << "a folder named with its separator\n" << r.output;
        const std::string status = Cli("--device " + dev + " --status").output;
        EXPECT_EQ(ListUnder(status, "Of what the uninstaller removes, on the device ("), left) << status;
    }
}

TEST(CliRestart, BadUsageAndBadImagesChangeNothing)
{
    TempDir tmp;
    const std::filesystem::path dir = tmp.Path() / "device";
    const std::string dev = dir.string();
    ASSERT_EQ(Cli("--init-device " + dev).exitCode, 0);
    std::ofstream(dir / "device.ini", std::ios::app) << "[HeldOpen]\nFile=\\Windows\\TRQUtil.exe\n";
    const auto before = HostTree(dir, true);

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
    EXPECT_EQ(HostTree(dir, true), before);

    std::ofstream(dir / "device.ini", std::ios::app) << "[HeldByDevice]\nLibrary=\\Windows\\x.dll\n";
    const auto broken = HostTree(dir, true);
    for (const char* action : {" --restart", " --status"}) {
        CommandResult r = Cli("--device " + dev + action);
        EXPECT_EQ(r.exitCode, 2) << r.output;
        EXPECT_NE(r.output.find("unknown key 'Library' in [HeldByDevice]"), std::string::npos) << r.output;
    }
    EXPECT_EQ(HostTree(dir, true), broken);
}

}  // namespace
}  // namespace trq_test
