// The uninstaller under Wine on a hand-made install: proves the runner, the
// driver, the box hook and the coredll stand-in end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "tests/expected/expected_words.h"
#include "tests/wine/wine_test_support.h"

namespace trq::wine {
namespace {

namespace fs = std::filesystem;

const char kInstallReg[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Apps\Vantrelle PocketPC Edition]
"InstallDir"="\\Program Files\\TRQ"

[HKEY_LOCAL_MACHINE\Security\AppInstall\Vantrelle PocketPC Edition]
"Installed"=dword:00000001

[HKEY_CLASSES_ROOT\.trp]
@="trpfile"

[HKEY_CLASSES_ROOT\trpfile\DefaultIcon]
@="\\Program Files\\TRQ\\TRQ.exe,0"

[HKEY_CLASSES_ROOT\trpfile\shell\open\command]
@="\"\\Program Files\\TRQ\\TRQ.exe\" %1"

[HKEY_LOCAL_MACHINE\Services\TRQRem]
"Dll"="TRQRemindSvc.dll"

[HKEY_CURRENT_USER\Software\TRQ\TRQ\MainForm]
"Left"=dword:00000010

[HKEY_CURRENT_USER\Software\TRQ\Sync\Mappings\1]
"Folder"="Tasks"
)";

const char kInstallRecord[] = "HKLM\\SOFTWARE\\Apps\\Vantrelle PocketPC Edition";
const char kAppInstall[] = "HKLM\\Security\\AppInstall\\Vantrelle PocketPC Edition";
const char kSettings[] = "HKCU\\Software\\TRQ\\TRQ";
const char kMaker[] = "HKCU\\Software\\TRQ";
const char* const kProbedKeys[] = {kInstallRecord,       kAppInstall,   "HKCR\\.trp",
                                   "HKCR\\trpfile",      "HKLM\\Services\\TRQRem",
                                   kSettings,            "HKCU\\Software\\TRQ\\Sync",
                                   kMaker};

// <startup>, <programs> and <temp> stand for Wine's folders in the prefix.
const char kExe[] = "C:\\Program Files\\TRQ\\TRQ.exe";
const char* const kSampleFiles[] = {kExe,
                                    "C:\\Program Files\\TRQ\\Setup.dll",
                                    "C:\\Program Files\\TRQ\\TRQ.exe.log",
                                    "\\Windows\\TRQUtil.exe",
                                    "<startup>\\TRQUtil.lnk",
                                    "<programs>\\TRQ.lnk",
                                    "<temp>TRQUtil.log"};

std::string Expand(std::string path, const WineFolders& folders)
{
    const std::pair<const char*, const WineFolder*> names[] = {
        {"<startup>", &folders.startup}, {"<programs>", &folders.programs}, {"<temp>", &folders.temp}};
    for (const auto& [name, folder] : names)
        if (path.rfind(name, 0) == 0) path = folder->windows + path.substr(std::string(name).size());
    return path;
}

using expected::Box;

struct ExpectedBox {
    Box box;
    const char* pressed;  // "" when the driver pressed nothing
};

struct SmokeCase {
    const char* name;
    std::vector<std::string> holdOpen;
    std::vector<WineAnswer> answers;
    bool coredllStandIn;
    const char* outcome;
    std::vector<ExpectedBox> boxes;
    bool resetRequested;                 // KernelIoControl reached the stand-in
    std::vector<std::string> remaining;  // sample files still there afterwards
    std::vector<std::string> keysLeft;   // probed keys still there; the others must be gone
};

const std::vector<std::string> kAllFiles(std::begin(kSampleFiles), std::end(kSampleFiles));
const std::vector<std::string> kAllKeys(std::begin(kProbedKeys), std::end(kProbedKeys));

const SmokeCase kCases[] = {
    {"RemovedKeepingSettings",
     {},
     {WineAnswer::Yes, WineAnswer::No},
     true,
     "exited",
     {{Box::Confirmation, "yes"}, {Box::SettingsQuestion, "no"}, {Box::Success, "ok"}},
     false,
     {},
     {kSettings, kMaker}},
    {"HeldOpenResetAccepted",
     {kExe},
     {WineAnswer::Yes, WineAnswer::Yes},
     true,
     "exited",
     {{Box::Confirmation, "yes"}, {Box::ResetOffer, "yes"}, {Box::NotRemoved, "ok"}},
     true,
     {kExe},
     {kInstallRecord, kAppInstall, kSettings, kMaker}},
    // No coredll at all, as on a desktop: the reset is not there to be had,
    // and the uninstaller goes on as if it had not happened.
    {"HeldOpenNoCoredll",
     {kExe},
     {WineAnswer::Yes, WineAnswer::Yes},
     false,
     "exited",
     {{Box::Confirmation, "yes"}, {Box::ResetOffer, "yes"}, {Box::NotRemoved, "ok"}},
     false,
     {kExe},
     {kInstallRecord, kAppInstall, kSettings, kMaker}},
    // The settings question has no Cancel: the driver stops there rather
    // than press something else. The files went before the question; the
    // keys go after it, so they are all still there.
    {"NoButtonForTheAnswer",
     {},
     {WineAnswer::Yes, WineAnswer::Cancel},
     true,
     "no_such_button",
     {{Box::Confirmation, "yes"}, {Box::SettingsQuestion, ""}},
     false,
     {},
     kAllKeys},
    // The driver stops a question it has no answer for; nothing is touched.
    {"OutOfAnswers", {}, {}, true, "out_of_answers", {{Box::Confirmation, ""}}, false, kAllFiles,
     kAllKeys},
};

void PrintTo(const SmokeCase& c, std::ostream* out)
{
    *out << c.name;
}

class WineSmokeTest : public WineTest, public ::testing::WithParamInterface<SmokeCase> {};

TEST_P(WineSmokeTest, BoxesFilesAndKeys)
{
    const SmokeCase& c = GetParam();
    WinePrefix prefix(Template());
    WineFolders folders = prefix.Folders();

    fs::path reg = WorkFile(std::string("install-") + c.name + ".reg");
    std::ofstream(reg, std::ios::binary) << RegFileUtf16(kInstallReg);

    WineScenario scenario;
    scenario.regFile = reg;
    for (const std::string& file : kAllFiles)
        scenario.files.push_back({Expand(file, folders), "sample " + file, false});
    scenario.holdOpen = c.holdOpen;
    scenario.answers = c.answers;
    scenario.keyProbes = kAllKeys;
    scenario.coredllStandIn = c.coredllStandIn;

    WineRunResult result = prefix.Run(scenario);
    PrintTimings(c.name, result);

    EXPECT_EQ(result.outcome, c.outcome) << result.error;
    if (std::string(c.outcome) == "exited")
        EXPECT_EQ(result.exitCode, 0);
    else
        EXPECT_FALSE(result.exitCode.has_value());
    EXPECT_TRUE(result.iconsKnown);
    EXPECT_EQ(result.answersUsed, c.answers.size());

    ASSERT_EQ(result.boxes.size(), c.boxes.size()) << result.json;
    for (std::size_t i = 0; i < c.boxes.size(); ++i) {
        SCOPED_TRACE("box " + std::to_string(i));
        const expected::BoxWords& want = expected::Words(c.boxes[i].box);
        const WineBox& got = result.boxes[i];
        EXPECT_EQ(got.caption, Utf8(expected::kCaption));
        EXPECT_EQ(got.text, Utf8(want.text));
        EXPECT_EQ(got.buttons, ButtonsOf(want.flags));
        EXPECT_EQ(got.icon, IconOf(want.flags));
        EXPECT_EQ(got.style, want.flags);
        EXPECT_EQ(got.pressed, c.boxes[i].pressed);
    }

    if (c.resetRequested) {
        ASSERT_EQ(result.kernelIoCalls.size(), 1u);
        const WineKernelIoCall& call = result.kernelIoCalls[0];
        ExpectResetAsWritten(call);
    } else {
        EXPECT_TRUE(result.kernelIoCalls.empty());
    }

    for (const std::string& file : kAllFiles) {
        bool left = std::find(c.remaining.begin(), c.remaining.end(), file) != c.remaining.end();
        EXPECT_EQ(fs::exists(prefix.HostPath(Expand(file, folders))), left) << file;
    }
    EXPECT_EQ(fs::exists(prefix.HostPath("C:\\Program Files\\TRQ")), !c.remaining.empty());

    ASSERT_EQ(result.probes.size(), kAllKeys.size());
    for (const WineKeyProbe& probe : result.probes) {
        bool left = std::find(c.keysLeft.begin(), c.keysLeft.end(), probe.key) != c.keysLeft.end();
        EXPECT_EQ(probe.present, left) << probe.key;
    }
}

std::vector<std::string> Texts(const WineRunResult& result)
{
    std::vector<std::string> texts;
    for (const WineBox& box : result.boxes) texts.push_back(box.text);
    return texts;
}

std::vector<std::string> Texts(std::initializer_list<Box> boxes)
{
    std::vector<std::string> texts;
    for (Box box : boxes) texts.push_back(Utf8(expected::Words(box).text));
    return texts;
}

using WineRerunTest = WineTest;

// The user declines the reset, closes the program and runs the uninstaller
// again in the same prefix: the install record was kept, so the second run
// finds the directory and finishes the job.
TEST_F(WineRerunTest, SecondRunAfterTheFileIsReleased)
{
    WinePrefix prefix(Template());
    WineFolders folders = prefix.Folders();
    fs::path reg = WorkFile("install-rerun.reg");
    std::ofstream(reg, std::ios::binary) << RegFileUtf16(kInstallReg);

    WineScenario first;
    first.regFile = reg;
    for (const std::string& file : kAllFiles)
        first.files.push_back({Expand(file, folders), "sample", false});
    first.holdOpen = {kExe};
    first.answers = {WineAnswer::Yes, WineAnswer::No};
    first.keyProbes = {kInstallRecord};
    WineRunResult held = prefix.Run(first);
    PrintTimings("first run", held);
    EXPECT_EQ(Texts(held), Texts({Box::Confirmation, Box::ResetOffer, Box::NotRemoved}));
    EXPECT_TRUE(held.kernelIoCalls.empty());
    ASSERT_EQ(held.probes.size(), 1u);
    EXPECT_TRUE(held.probes[0].present);
    EXPECT_TRUE(fs::exists(prefix.HostPath(kExe)));

    WineScenario second;
    second.answers = {WineAnswer::Yes, WineAnswer::Yes};
    second.keyProbes = {kInstallRecord, kSettings, kMaker};
    WineRunResult released = prefix.Run(second);
    PrintTimings("second run", released);
    EXPECT_EQ(Texts(released), Texts({Box::Confirmation, Box::SettingsQuestion, Box::Success}));
    EXPECT_FALSE(fs::exists(prefix.HostPath(kExe)));
    EXPECT_FALSE(fs::exists(prefix.HostPath("C:\\Program Files\\TRQ")));
    ASSERT_EQ(released.probes.size(), 3u);
    EXPECT_FALSE(released.probes[0].present);  // the install record
    EXPECT_FALSE(released.probes[1].present);  // the settings, this time
    EXPECT_TRUE(released.probes[2].present);   // the maker's key stays
}

INSTANTIATE_TEST_SUITE_P(Sample, WineSmokeTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SmokeCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace trq::wine
