// The runner itself: what it hands the driver, how it reads the driver's
// result, and that a scenario's prefix never writes into the template.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "tests/wine/wine_test_support.h"

namespace trq::wine {
namespace {

namespace fs = std::filesystem;

TEST(DriverRequest, ListsEverythingInOrder)
{
    WineScenario scenario;
    scenario.holdOpen = {"C:\\a.dll", "\\Windows\\b.exe"};
    scenario.answers = {WineAnswer::Yes, WineAnswer::Cancel, WineAnswer::No};
    scenario.keyProbes = {"HKCU\\Software\\X"};
    scenario.timeout = std::chrono::milliseconds(1500);
    EXPECT_EQ(FormatDriverRequest(scenario, "C:\\h\\TRQUninstall.exe"),
              "exe C:\\h\\TRQUninstall.exe\n"
              "timeout-ms 1500\n"
              "hold C:\\a.dll\n"
              "hold \\Windows\\b.exe\n"
              "answer yes\n"
              "answer cancel\n"
              "answer no\n"
              "probe HKCU\\Software\\X\n");
}

TEST(DriverRequest, RefusesALineBreakInAValue)
{
    WineScenario scenario;
    scenario.keyProbes = {"HKCU\\Software\\X\nanswer yes"};
    EXPECT_THROW(FormatDriverRequest(scenario, "C:\\u.exe"), WineError);
}

TEST(DriverResult, ReadsAFinishedRun)
{
    WineRunResult result = ParseDriverResult(R"({
  "outcome": "exited", "error": "", "exit_code": 0, "elapsed_ms": 321,
  "icons_known": true, "answers_given": 1, "answers_used": 1,
  "boxes": [
    {"caption": "TRQ Uninstall", "text": "Go on?\u00e9", "buttons": ["yes", "no"],
     "icon": "question", "style": 65572, "pressed": "yes"}],
  "holds": [],
  "probes": [{"key": "HKLM\\A", "present": false, "error": 2}],
  "kernel_io_control": [{"code":16842812,"in":0,"in_size":0,"out":0,"out_size":0,"returned":0}]
})");
    EXPECT_EQ(result.outcome, "exited");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.timings.driverMs, 321);
    ASSERT_EQ(result.boxes.size(), 1u);
    EXPECT_EQ(result.boxes[0].text, "Go on?\xC3\xA9");
    EXPECT_EQ(result.boxes[0].buttons, (std::vector<std::string>{"yes", "no"}));
    EXPECT_EQ(result.boxes[0].style, 65572u);
    EXPECT_EQ(result.boxes[0].pressed, "yes");
    ASSERT_EQ(result.probes.size(), 1u);
    EXPECT_EQ(result.probes[0].key, "HKLM\\A");
    EXPECT_FALSE(result.probes[0].present);
    EXPECT_EQ(result.probes[0].error, 2);
    ASSERT_EQ(result.kernelIoCalls.size(), 1u);
    EXPECT_EQ(result.kernelIoCalls[0].code, 0x0101003Cu);
}

TEST(DriverResult, ReadsAStoppedRun)
{
    WineRunResult result = ParseDriverResult(R"({
  "outcome": "timed_out", "error": "no exit within 20 ms", "exit_code": null,
  "boxes": [{"caption": "c", "text": "t", "buttons": [], "icon": "unknown",
             "style": null, "pressed": null}],
  "probes": [], "kernel_io_control": []})");
    EXPECT_EQ(result.outcome, "timed_out");
    EXPECT_EQ(result.error, "no exit within 20 ms");
    EXPECT_FALSE(result.exitCode.has_value());
    ASSERT_EQ(result.boxes.size(), 1u);
    EXPECT_FALSE(result.boxes[0].style.has_value());
    EXPECT_EQ(result.boxes[0].pressed, "");
}

TEST(DriverResult, RefusesATruncatedFile)
{
    EXPECT_THROW(ParseDriverResult(R"({"outcome": "exited", "boxes": [)"), WineError);
    EXPECT_THROW(ParseDriverResult(R"({"outcome": "exited"})"), WineError);
}

ino_t Inode(const fs::path& path)
{
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_ino;
}

using WinePrefixTest = WineTest;

TEST_F(WinePrefixTest, CloneCopiesTheRegistryAndLinksTheRest)
{
    WinePrefix prefix(Template());
    std::cout << "[ wine     ] clone " << prefix.CloneMs() << " ms\n";
    for (const char* hive : {"system.reg", "user.reg", "userdef.reg"}) {
        ASSERT_TRUE(fs::exists(prefix.Root() / hive)) << hive;
        EXPECT_NE(Inode(prefix.Root() / hive), Inode(Template().Root() / hive)) << hive;
    }
    fs::path ini = prefix.HostPath("C:\\windows\\win.ini");
    ASSERT_TRUE(fs::exists(ini));
    EXPECT_EQ(Inode(ini), Inode(Template().Root() / "drive_c" / ini.lexically_relative(prefix.DriveC())));
}

TEST_F(WinePrefixTest, LayingAFileLeavesTheTemplateAlone)
{
    fs::path original = Template().Root() / "drive_c" / "windows" / "win.ini";
    std::ifstream in(original, std::ios::binary);
    std::stringstream before;
    before << in.rdbuf();

    WinePrefix prefix(Template());
    prefix.LayFile({"\\WINDOWS\\Win.ini", "changed", true});
    std::ifstream laid(prefix.DriveC() / "windows" / "win.ini", std::ios::binary);
    std::stringstream now;
    now << laid.rdbuf();
    EXPECT_EQ(now.str(), "changed");

    std::ifstream again(original, std::ios::binary);
    std::stringstream after;
    after << again.rdbuf();
    EXPECT_EQ(after.str(), before.str());
    EXPECT_NE(fs::status(original).permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST_F(WinePrefixTest, PathsResolveLikeWine)
{
    WinePrefix prefix(Template());
    // Existing directories are found whatever the case; the rest is kept.
    EXPECT_EQ(prefix.HostPath("c:/WINDOWS/System32/New Dir/X.txt"),
              prefix.DriveC() / "windows" / "system32" / "New Dir" / "X.txt");
    EXPECT_EQ(prefix.HostPath("\\Program Files"), prefix.DriveC() / "Program Files");
    EXPECT_THROW(prefix.HostPath("D:\\x"), WineError);
    EXPECT_THROW(prefix.HostPath("C:\\a\\..\\b"), WineError);

    // The template's folders, relative to drive_c, land in the clone.
    WineFolders folders = prefix.Folders();
    const WineFolders& known = Template().Folders();
    const std::pair<const WineFolder*, const WineFolder*> pairs[] = {
        {&folders.startup, &known.startup},
        {&folders.programs, &known.programs},
        {&folders.temp, &known.temp}};
    for (const auto& [folder, relative] : pairs) {
        EXPECT_TRUE(fs::is_directory(folder->host)) << folder->windows;
        EXPECT_EQ(folder->host, prefix.DriveC() / relative->host) << folder->windows;
    }
    EXPECT_EQ(folders.temp.windows.back(), '\\');
    EXPECT_NE(folders.startup.windows.back(), '\\');
}

}  // namespace
}  // namespace trq::wine
