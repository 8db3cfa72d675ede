// The Windows kit, TRQUninstallKit.exe, under Wine: it prepares a clean
// prefix as a fresh install leaves it, its holder keeps running and holds
// the package's files, what deleting them answers is what the kit logged,
// the uninstaller finds them held, and the kit's undo leaves nothing of its
// own; where the package is really installed it touches nothing of it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_device.h"
#include "tests/wine/wine_test_support.h"

namespace trq::wine {
namespace {

namespace fs = std::filesystem;

const char kLog[] = "\\TRQ Uninstall Kit log.txt";
const char kUtility[] = "\\Windows\\TRQUtil.exe";
const char kServiceLibrary[] = "\\Windows\\TRQRemindSvc.dll";
const char kMarker[] = "HKLM\\Software\\TRQ Uninstall Kit";
const char kInstallRecord[] = "HKLM\\SOFTWARE\\Apps\\Vantrelle PocketPC Edition";

// A fresh install's files: every path of the file plan. <install> is
// \Program Files\TRQ; <startup>, <programs> and <temp> are Wine's folders.
const std::vector<std::string> kPackageFiles = {
    "<startup>\\TRQUtil.lnk",
    kUtility,
    kServiceLibrary,
    "\\Windows\\TRQNewMenu.dll",
    "<install>\\DevTRQSync.dll",
    "<install>\\TRQNewMenu.dll",
    "<install>\\Setup.dll",
    "<install>\\TRQ.exe",
    "<install>\\TRQJotlet.exe",
    "<install>\\Services.loc",
    "<install>\\TRQ.exe.log",
    "<install>\\DevTRQSync.dll.log",
    "<install>\\TRQNewMenu.dll.log",
    "<temp>TRQUtil.log",
    "<temp>TRQRemindSvc.dll.log",
    "<temp>TRQSetup.log",
    "\\Windows\\TRQRemindSvc.dll.log",
    "\\Windows\\TRQNewMenu.dll.log",
    "\\Windows\\Vantrelle PocketPC Edition.unload",
    "\\Windows\\AppMgr\\Vantrelle PocketPC Edition.DLL",
    "<programs>\\TRQ.lnk",
    "<programs>\\TRQ Jotlet.lnk",
};
// What the kit made beside them: folders Wine does not have.
const std::vector<std::string> kKitFolders = {"<install>", "\\Windows\\AppMgr"};
// The files a started device holds: the utility the Startup shortcut
// starts, and the libraries the device's services load.
const std::vector<std::string> kHeldFiles = {kUtility, kServiceLibrary, "\\Windows\\TRQNewMenu.dll",
                                             "<install>\\DevTRQSync.dll"};

const std::vector<std::string> kPackageKeys = {
    kInstallRecord,
    "HKLM\\Security\\AppInstall\\Vantrelle PocketPC Edition",
    "HKCR\\.trp",
    "HKCR\\trpfile\\shell\\open\\command",
    "HKLM\\Services\\TRQRem",
    "HKLM\\Software\\Microsoft\\Shell\\Extensions\\NewMenu\\{5A0C3E71-9B4D-4E28-A6F1-07D3C8B2E95F}",
    "HKCR\\CLSID\\{8E4F2B91-3C6A-4D7E-B5A2-91F0C4D3E6B8}\\InprocServer32",
    "HKCR\\TRQNewMenu.Jotlet.1\\CurVer",
    "HKLM\\Windows CE Services\\Synchronization\\Objects\\TRQSync",
    "HKCU\\Software\\TRQ",
    "HKCU\\Software\\TRQ\\Sync\\Mappings\\2",
    "HKCU\\Software\\TRQ\\TRQ\\Appearance",
};
// Keys the system had before the kit came, above some of the package's.
const std::vector<std::string> kSystemKeys = {"HKCR\\CLSID", "HKLM\\Software\\Microsoft", "HKCU\\Software"};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> lists)
{
    std::vector<std::string> all;
    for (const std::vector<std::string>& list : lists) all.insert(all.end(), list.begin(), list.end());
    return all;
}

// The uninstaller that runs between: the trace build, so that its trace,
// with the kit's log, goes to the checker.
enum class Program { Kit, TraceBuild };

struct Step {
    Program program;
    std::vector<WineAnswer> answers;
    const char* mode;         // the kit's mode in the lines this run logs; null: no lines
    const char* lastBoxSays;  // a phrase of the last box shown
    int holders;              // TRQUtil.exe processes running afterwards
    std::vector<std::string> made;     // files the log says the kit made
    std::vector<std::string> present;  // files and folders there afterwards
    std::vector<std::string> absent;
    std::vector<std::string> keysPresent;
    std::vector<std::string> keysAbsent;
    bool deleteHeld = false;  // DeleteFileW on the held files must answer as the kit's probes logged
};

struct KitCase {
    const char* name;
    bool installed;  // the package really installed first: its record and its main program
    std::vector<Step> steps;
};

void PrintTo(const KitCase& c, std::ostream* out) { *out << c.name; }

const Step kPrepare = {Program::Kit,
                       {WineAnswer::Yes},
                       "prepare",
                       "Now tap TRQUninstallTrace.exe",
                       1,
                       kPackageFiles,
                       Join({kPackageFiles, kKitFolders}),
                       {},
                       Join({kPackageKeys, {kMarker}, kSystemKeys}),
                       {},
                       true};
const Step kUndo = {Program::Kit,
                    {WineAnswer::Yes},
                    "undo",
                    "Everything the kit made is gone",
                    0,
                    {},
                    {},
                    Join({kPackageFiles, kKitFolders}),
                    kSystemKeys,
                    Join({kPackageKeys, {kMarker}})};

const Step kProbesOnly = {Program::Kit,
                          {WineAnswer::Yes},
                          "probe-only",
                          "send back",
                          0,
                          {"\\TRQ Uninstall Kit scratch\\TRQUtil.exe", "\\TRQ Uninstall Kit scratch\\Held.dll"},
                          {"<install>\\TRQ.exe"},
                          {kUtility, kServiceLibrary, "<startup>\\TRQUtil.lnk", "\\TRQ Uninstall Kit scratch"},
                          {kInstallRecord},
                          {kMarker, "HKCR\\.trp"}};

const KitCase kCases[] = {
    {"PrepareThenUndo", false, {kPrepare, kUndo}},
    // The uninstaller (its trace build) on the prepared prefix, a third
    // process beside the kit's holder, offers the reset; the checker reads
    // its trace and the kit's log; the undo then removes what it left.
    {"UninstallBetween",
     false,
     {kPrepare,
      {Program::TraceBuild,
       {WineAnswer::Yes, WineAnswer::Yes},
       nullptr,
       "has not been completely removed",
       1,
       {},
       {kServiceLibrary, "\\Windows\\TRQNewMenu.dll", "<install>\\DevTRQSync.dll"},
       {"<startup>\\TRQUtil.lnk", "<install>\\TRQ.exe", "<temp>TRQSetup.log"},
       {kInstallRecord},
       {"HKCR\\.trp"}},
      kUndo}},
    // The package itself is there: the kit touches none of it and probes
    // on scratch files of its own, which go again; started again, it finds
    // nothing of its own left and offers the probes again.
    {"RefusesARealInstall", true, {kProbesOnly, kProbesOnly}},
};

const char kRealInstallReg[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Apps\Vantrelle PocketPC Edition]
"InstallDir"="\\Program Files\\TRQ"
)";
const char kRealProgram[] = "MZ the package's own main program\r\n";

std::string Expand(std::string path, const WineFolders& folders)
{
    const std::pair<const char*, std::string> names[] = {{"<install>", "\\Program Files\\TRQ"},
                                                         {"<startup>", folders.startup.windows},
                                                         {"<programs>", folders.programs.windows},
                                                         {"<temp>", folders.temp.windows}};
    for (const auto& [name, folder] : names)
        if (path.rfind(name, 0) == 0) path = folder + path.substr(std::string(name).size());
    return path;
}

std::string ReadHost(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The log's lines, each a JSON object ended by "\r\n".
std::vector<nlohmann::json> LogLines(const WinePrefix& prefix)
{
    const std::string text = ReadHost(prefix.HostPath(kLog));
    std::vector<nlohmann::json> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "a line without its \\r\\n: " << text.substr(start);
        if (end == std::string::npos) break;
        const std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        lines.push_back(nlohmann::json::parse(line, nullptr, false));
        EXPECT_TRUE(lines.back().is_object() && lines.back().contains("kit")) << line;
        start = end + 2;
    }
    return lines;
}

class KitUnderWine : public WineTest, public ::testing::WithParamInterface<KitCase> {};

// The checker on what the prefix holds after the trace build's run: for
// each file the kit's holder holds, the report says what Wine answered the
// uninstaller's DeleteFileW of it, as its trace records, and no finding
// there: the kit's probes name desktop Windows' answers (5 for a running
// program, 32 for a file open without sharing), which the simulated device
// then gives too. The
// comparison reaches every deletion: Wine's missing foreground window is a
// finding, and the window is taken for the simulated device's; the folders
// Wine has on drive C: are the simulated device's folders.
void CheckReportAgainstTrace(const WinePrefix& prefix, const std::vector<nlohmann::json>& log)
{
    trq_test::TempDir copied;
    fs::copy_file(prefix.HostPath(kLog), copied.Path() / "TRQ Uninstall Kit log.txt");
    const fs::path trace = prefix.HostPath("\\TRQ Uninstall trace.txt");
    ASSERT_TRUE(fs::is_regular_file(trace)) << trace;
    fs::copy_file(trace, copied.Path() / "TRQ Uninstall trace.txt");
    const trq_test::CommandResult check =
        trq_test::RunCommand(std::string("'") + TRQ_SIM_CLI + "' --check-device '" + copied.Path().string() + "' 2>&1");
    EXPECT_TRUE(check.exitCode == 0 || check.exitCode == 1) << check.output;
    EXPECT_NE(check.output.find("Device: desktop Windows "), std::string::npos) << "named as it is";
    EXPECT_NE(check.output.find("Held files: refused as desktop Windows refuses them, 5 (access denied) for a "
                                "running program or a loaded library, 32 (sharing violation) for a file open "
                                "without sharing (as the kit's probes answered)"),
              std::string::npos)
        << check.output;
    std::cout << check.output;

    // The run's records, call n at records[n - 1].
    const std::string text = ReadHost(trace);
    std::vector<nlohmann::json> records;
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const nlohmann::json record = nlohmann::json::parse(text.substr(at, end - at), nullptr, false);
        if (record.is_object() && record.contains("call")) records.push_back(record);
    }
    const auto callOf = [&](const std::function<bool(const nlohmann::json&)>& is) {
        for (size_t n = 1; n <= records.size(); ++n)
            if (is(records[n - 1])) return n;
        return size_t{0};
    };
    // Where the simulated device's run went another way, if it did.
    const size_t from = check.output.find("from call ");
    const size_t otherWay = from == std::string::npos ? 0 : std::stoul(check.output.substr(from + 10));
    EXPECT_NE(check.output.find("GetForegroundWindow: the device returned \"0x0\", the simulated device \"0x10010\""),
              std::string::npos) << check.output;

    for (const nlohmann::json& line : log) {
        if (line["kit"] != "holds") continue;
        const std::string held = line["file"];
        const size_t n = callOf([&](const nlohmann::json& r) { return r["call"] == "DeleteFileW" && r["args"]["path"] == held; });
        ASSERT_NE(n, 0u) << "the trace has no DeleteFileW of " << held;
        const int error = records[n - 1]["error"].get<int>();
        // The report says what the device answered, whatever it is.
        const std::string left = "  Left: " + held + " (error " + std::to_string(error) + ",";
        EXPECT_NE(check.output.find(left), std::string::npos) << left << "\n" << check.output;
        // Compared, and answered alike: the folders Wine has on drive C:
        // are the simulated device's too, and so are its answers.
        EXPECT_TRUE(otherWay == 0 || otherWay > n) << "the deletion of " << held << " compared\n" << check.output;
        EXPECT_EQ(check.output.find("DeleteFileW " + held + ":"), std::string::npos) << check.output;
        std::cout << "[ kit      ] Wine, the trace build's DeleteFileW " << held << " ("
                  << line["how"].get<std::string>() << "): error " << error << "\n";
    }
}

TEST_P(KitUnderWine, PreparesHoldsProbesAndUndoes)
{
    const KitCase& c = GetParam();
    if (!fs::is_regular_file(TRQ_WINE_KIT)) {
        const std::string missing = std::string("the Windows build is missing ") + TRQ_WINE_KIT;
        if (trq_test::RunningInCi()) FAIL() << missing;
        GTEST_SKIP() << missing;
    }
    WinePrefix prefix(Template());
    const WineFolders folders = prefix.Folders();
    const auto host = [&](const std::string& path) { return prefix.HostPath(Expand(path, folders)); };

    size_t logged = 0;
    for (size_t s = 0; s < c.steps.size(); ++s) {
        const Step& step = c.steps[s];
        SCOPED_TRACE("step " + std::to_string(s + 1));
        WineScenario scenario;
        if (s == 0 && c.installed) {
            const fs::path reg = WorkFile(std::string("kit-") + c.name + ".reg");
            std::ofstream(reg, std::ios::binary) << RegFileUtf16(kRealInstallReg);
            scenario.regFile = reg;
            scenario.files.push_back({Expand("<install>\\TRQ.exe", folders), kRealProgram, false});
        }
        if (step.program == Program::Kit) {
            scenario.program = TRQ_WINE_KIT;
            scenario.caption = "TRQ Uninstall Kit";
        } else {
            scenario.program = TRQ_WINE_TRACE;
        }
        scenario.answers = step.answers;
        scenario.keyProbes = Join({step.keysPresent, step.keysAbsent});
        if (step.deleteHeld)
            for (const char* held : {kUtility, kServiceLibrary}) scenario.deletes.push_back(Expand(held, folders));
        scenario.running = {"TRQUtil.exe"};
        scenario.leaveRunning = s + 1 < c.steps.size();

        const WineRunResult result = prefix.Run(scenario);
        PrintTimings(std::string(c.name) + " step " + std::to_string(s + 1), result);
        ASSERT_EQ(result.outcome, "exited") << result.error << "\n" << result.json;
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.answersUsed, step.answers.size());
        ASSERT_FALSE(result.boxes.empty());
        EXPECT_NE(result.boxes.back().text.find(step.lastBoxSays), std::string::npos) << result.boxes.back().text;
        ASSERT_EQ(result.running.size(), 1u);
        EXPECT_EQ(result.running[0].count, step.holders) << "TRQUtil.exe processes";

        for (const std::string& path : step.present) EXPECT_TRUE(fs::exists(host(path))) << path;
        for (const std::string& path : step.absent) EXPECT_FALSE(fs::exists(host(path))) << path;
        for (const WineKeyProbe& probe : result.probes) {
            const bool wanted = std::find(step.keysPresent.begin(), step.keysPresent.end(), probe.key) !=
                                step.keysPresent.end();
            EXPECT_EQ(probe.present, wanted) << probe.key;
        }
        if (c.installed) {
            EXPECT_EQ(ReadHost(host("<install>\\TRQ.exe")), kRealProgram);
        }

        // What this run added to the log.
        const std::vector<nlohmann::json> all = LogLines(prefix);
        ASSERT_GE(all.size(), logged);
        const std::vector<nlohmann::json> lines(all.begin() + static_cast<std::ptrdiff_t>(logged), all.end());
        logged = all.size();
        if (!step.mode) {
            EXPECT_TRUE(lines.empty());
            CheckReportAgainstTrace(prefix, all);
            continue;
        }
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.front()["kit"], "start");
        EXPECT_EQ(lines.front()["mode"], step.mode);
        EXPECT_TRUE(lines.front()["os"].is_object()) << lines.front().dump();
        EXPECT_TRUE(lines.front().contains("platformType") && lines.front().contains("oem"));
        EXPECT_EQ(lines.back(), (nlohmann::json{{"kit", "end"}, {"mode", step.mode}}));

        for (const std::string& file : step.made) {
            bool made = false;
            for (const nlohmann::json& line : lines)
                made |= line["kit"] == "made" && line.contains("file") &&
                        prefix.HostPath(line["file"].get<std::string>()) == host(file);
            EXPECT_TRUE(made) << "no \"made\" line for " << file;
        }
        for (const nlohmann::json& line : lines) {
            if (line["kit"] == "failed") ADD_FAILURE() << line.dump();
            // Where the package is installed, the kit makes nothing but its scratch files.
            if (c.installed && line["kit"] == "made" && line.contains("file")) {
                EXPECT_EQ(line["file"].get<std::string>().rfind("\\TRQ Uninstall Kit scratch\\", 0), 0u)
                    << line.dump();
            }
            if (line["kit"] == "probe") {
                EXPECT_EQ(line["restored"], line["result"] == 1) << line.dump();
            }
        }

        if (!step.deleteHeld) continue;
        // The shortcut the shell reads in its first line, then the kit's mark.
        EXPECT_EQ(ReadHost(host("<startup>\\TRQUtil.lnk")),
                  "22#\"\\Windows\\TRQUtil.exe\"\r\nTRQ Uninstall Kit placeholder\r\n");
        EXPECT_EQ(ReadHost(host(kUtility)), ReadHost(TRQ_WINE_KIT)) << "the utility is a copy of the kit";
        for (const std::string& held : kHeldFiles) {
            bool holds = false;
            for (const nlohmann::json& line : all)
                holds |= line["kit"] == "holds" && prefix.HostPath(line["file"].get<std::string>()) == host(held) &&
                         line["how"] == (held == kUtility ? "running program" : "open without sharing") &&
                         prefix.HostPath(line["by"].get<std::string>()) == host(kUtility);
            EXPECT_TRUE(holds) << "no \"holds\" line for " << held;
        }
        // What Wine answers a deletion of each held file, asked from another
        // process while the holder runs, is what the kit's probe logged.
        ASSERT_EQ(result.deletions.size(), 2u);
        for (const WineDeletion& deletion : result.deletions) {
            const nlohmann::json* probe = nullptr;
            for (const nlohmann::json& line : lines)
                if (line["kit"] == "probe" &&
                    prefix.HostPath(line["file"].get<std::string>()) == prefix.HostPath(deletion.path))
                    probe = &line;
            ASSERT_NE(probe, nullptr) << "no probe of " << deletion.path;
            EXPECT_EQ((*probe)["result"], deletion.deleted ? 1 : 0) << deletion.path;
            EXPECT_EQ((*probe)["error"], deletion.error) << deletion.path;
            std::cout << "[ kit      ] DeleteFileW " << deletion.path << " (" << (*probe)["how"].get<std::string>()
                      << "): result " << deletion.deleted << ", error " << deletion.error << "\n";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kit, KitUnderWine, ::testing::ValuesIn(kCases), trq_test::NameFromParam());

}  // namespace
}  // namespace trq::wine
