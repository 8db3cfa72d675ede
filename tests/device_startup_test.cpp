// What the simulated device holds open once it has started: shortcuts read
// as the shell reads them, registrations as the service host, the shell and
// the synchronisation service read them, and garbage holding nothing.
#include "platform/sim/device_startup.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "formats/text.h"
#include "harness/runner/device_status.h"
#include "harness/runner/plan_items.h"
#include "tests/scenarios.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

using R = formats::HoldRule;
const formats::Root LM = formats::Root::LocalMachine, CR = formats::Root::ClassesRoot;

const std::u16string kNewMenuKey =
    u"Software\\Microsoft\\Shell\\Extensions\\NewMenu\\{5A0C3E71-9B4D-4E28-A6F1-07D3C8B2E95F}";
const std::u16string kNewMenuServer =
    u"CLSID\\{5A0C3E71-9B4D-4E28-A6F1-07D3C8B2E95F}\\InprocServer32";
const std::u16string kSyncKey = u"Windows CE Services\\Synchronization\\Objects\\TRQSync";
const std::u16string kShortcut = u"\\Windows\\StartUp\\TRQUtil.lnk";

std::string Show(const std::optional<std::u16string>& path)
{
    return path ? formats::Utf16ToUtf8Lossy(*path) : "(nothing)";
}

TEST(Shortcut, ReadsTheTargetAsTheShellDoes)
{
    struct Case {
        std::string text;
        std::optional<std::u16string> target;
    };
    const std::optional<std::u16string> none;
    const Case cases[] = {
        {"22#\"\\Windows\\TRQUtil.exe\"", u"\\Windows\\TRQUtil.exe"},
        {"22#\"\\Windows\\TRQUtil.exe\"\r\nsecond line", u"\\Windows\\TRQUtil.exe"},
        {"30#\"\\Windows\\TRQUtil.exe\" -quiet", u"\\Windows\\TRQUtil.exe"},
        {"31#\"\\Program Files\\TRQ\\TRQ.exe\" a b", u"\\Program Files\\TRQ\\TRQ.exe"},
        {"20#\\Windows\\TRQUtil.exe", u"\\Windows\\TRQUtil.exe"},
        {"24#\\Windows\\TRQUtil.exe -x", u"\\Windows\\TRQUtil.exe"},
        {"8# calc.exe\n", u"\\Windows\\calc.exe"},              // a bare name: \Windows
        {"99#\"\\Windows\\TRQUtil.exe\"", u"\\Windows\\TRQUtil.exe"},  // count not compared
        {"", none},
        {"\r\n22#\"\\Windows\\TRQUtil.exe\"", none},  // only the first line counts
        {"#\"\\Windows\\TRQUtil.exe\"", none},
        {"22\"\\Windows\\TRQUtil.exe\"", none},
        {" 22#\"\\Windows\\TRQUtil.exe\"", none},
        {"-22#\"\\Windows\\TRQUtil.exe\"", none},
        {"12345#\"\\Windows\\TRQUtil.exe\"", none},
        {"22#\"\\Windows\\TRQUtil.exe", none},  // quote never closed
        {"2#\"\"", none},
        {"0#", none},
        {"7#:MSPIMG", none},                     // a shell item, not a file
        {"16#Windows\\TRQUtil.exe", none},        // relative, with a folder
        {"20#\"\\Windows\\..\\TRQUtil.exe\"", none},
        {"10#\"\\Windows\\\"", none},             // a folder
        {"5#\"\\a\tb.exe\"", none},
        {std::string("22#\"\\Windows\\TRQ\0.exe\"", 22), none},
        {"22#\"\\Windows\\\xFF\xFE.exe\"", none},
        {std::string("\xFF\xFE" "2\0" "2\0#\0", 8), none},        // UTF-16 is no shortcut here
    };
    for (const Case& c : cases)
        EXPECT_EQ(Show(sim::ShortcutTarget(c.text)), Show(c.target)) << c.text;
}

TEST(Shortcut, LibraryNamesAsTheLoaderReadsThem)
{
    const std::pair<std::u16string, std::optional<std::u16string>> cases[] = {
        {u"TRQRemindSvc.dll", u"\\Windows\\TRQRemindSvc.dll"},
        {u"\\Program Files\\TRQ\\DevTRQSync.dll", u"\\Program Files\\TRQ\\DevTRQSync.dll"},
        {u"/Windows/a.dll", u"/Windows/a.dll"},
        {u"TRQ\\a.dll", std::nullopt},
        {u"", std::nullopt},
        {u"\\", std::nullopt},
        {u"\\Windows\\", std::nullopt},
        {u"a?.dll", std::nullopt},
        {u"\\Windows\\..\\a.dll", std::nullopt},
    };
    for (const auto& [name, path] : cases)
        EXPECT_EQ(Show(sim::LibraryPath(name)), Show(path)) << formats::Utf16ToUtf8Lossy(name);
}

std::set<std::pair<R, std::string>> Holds(const sim::DeviceImage& image)
{
    std::set<std::pair<R, std::string>> holds;
    for (const sim::StartupHold& hold : sim::HoldsAtStartup(image))
        holds.insert({hold.rule, formats::Utf16ToUtf8Lossy(hold.file)});
    return holds;
}

TEST(Startup, FreshSampleDeviceHoldsWhatThePackageRegistered)
{
    TestDevice device(runner::SampleState::Started);
    std::vector<std::tuple<R, std::string, std::string>> holds;
    for (const sim::StartupHold& hold : sim::HoldsAtStartup(device.image))
        holds.emplace_back(hold.rule, formats::Utf16ToUtf8Lossy(hold.file),
                           formats::Utf16ToUtf8Lossy(hold.source));
    const std::vector<std::tuple<R, std::string, std::string>> expected = {
        {R::Startup, "\\Windows\\TRQUtil.exe", "\\Windows\\StartUp\\TRQUtil.lnk"},
        {R::Service, "\\Windows\\TRQRemindSvc.dll", "HKEY_LOCAL_MACHINE\\Services\\TRQRem"},
        {R::Service, "\\Windows\\AtlasGps.dll", "HKEY_LOCAL_MACHINE\\Services\\AtlasGps"},
        {R::NewMenu, "\\Windows\\TRQNewMenu.dll", "HKEY_LOCAL_MACHINE\\" + formats::Utf16ToUtf8Lossy(kNewMenuKey)},
        {R::Sync, "\\Program Files\\TRQ\\DevTRQSync.dll", "HKEY_LOCAL_MACHINE\\" + formats::Utf16ToUtf8Lossy(kSyncKey)},
    };
    EXPECT_EQ(holds, expected);
    // What --init-device writes is what it read back: the device has started.
    ASSERT_EQ(device.image.config.heldByDevice.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(device.image.config.heldByDevice[i],
                  (formats::DeviceHold{std::get<0>(expected[i]), *formats::Utf8ToUtf16(std::get<1>(expected[i]))}));

    TestDevice installed;
    EXPECT_TRUE(installed.image.config.heldByDevice.empty());
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return bytes; }

struct EditCase {
    std::string name;
    std::function<void(sim::DeviceImage&)> edit;
    std::set<std::pair<R, std::string>> added;    // beside the fresh sample's
    std::set<std::pair<R, std::string>> removed;  // of the fresh sample's
};

class StartupRules : public testing::TestWithParam<EditCase> {};

TEST_P(StartupRules, HoldWhatTheDeviceCanLoadAndNothingElse)
{
    const EditCase& c = GetParam();
    TestDevice device;
    auto expected = Holds(device.image);
    c.edit(device.image);
    for (const auto& hold : c.removed) ASSERT_EQ(expected.erase(hold), 1u) << hold.second;
    expected.insert(c.added.begin(), c.added.end());
    EXPECT_EQ(Holds(device.image), expected);
}

const std::pair<R, std::string> kUtil{R::Startup, "\\Windows\\TRQUtil.exe"};
const std::pair<R, std::string> kRemind{R::Service, "\\Windows\\TRQRemindSvc.dll"};
const std::pair<R, std::string> kMenu{R::NewMenu, "\\Windows\\TRQNewMenu.dll"};
const std::pair<R, std::string> kSync{R::Sync, "\\Program Files\\TRQ\\DevTRQSync.dll"};

void Shortcut(sim::DeviceImage& d, const std::u16string& path, const std::string& text)
{
    WriteFile(d, path, text);
}

INSTANTIATE_TEST_SUITE_P(
    Device, StartupRules,
    testing::Values(
        EditCase{"unchanged", [](sim::DeviceImage&) {}, {}, {}},
        EditCase{"service library by full path",
                 [](sim::DeviceImage& d) {
                     SetString(d, LM, u"Services\\TRQRem", u"Dll", u"\\Program Files\\TRQ\\Setup.dll");
                 },
                 {{R::Service, "\\Program Files\\TRQ\\Setup.dll"}}, {kRemind}},
        EditCase{"service library spelled in another case",
                 [](sim::DeviceImage& d) { SetString(d, LM, u"Services\\TRQRem", u"Dll", u"trqremindsvc.DLL"); },
                 {}, {}},
        EditCase{"service library not a string",
                 [](sim::DeviceImage& d) {
                     SetRaw(d, LM, u"Services\\TRQRem", u"Dll", 4, Bytes({1, 0, 0, 0}));
                 },
                 {}, {kRemind}},
        EditCase{"service library with an odd byte count",
                 [](sim::DeviceImage& d) {
                     SetRaw(d, LM, u"Services\\TRQRem", u"Dll", 1, Bytes({'a', 0, '.'}));
                 },
                 {}, {kRemind}},
        EditCase{"service library missing",
                 [](sim::DeviceImage& d) { RemoveFile(d, u"\\Windows\\TRQRemindSvc.dll"); }, {}, {kRemind}},
        EditCase{"service library a relative path",
                 [](sim::DeviceImage& d) { SetString(d, LM, u"Services\\TRQRem", u"Dll", u"Windows\\TRQRemindSvc.dll"); },
                 {}, {kRemind}},
        EditCase{"service without a library",
                 [](sim::DeviceImage& d) { RemoveValue(d, LM, u"Services\\TRQRem", u"Dll"); }, {}, {kRemind}},
        EditCase{"service library also the New-menu extension",
                 [](sim::DeviceImage& d) { SetString(d, LM, u"Services\\TRQRem", u"Dll", u"TRQNewMenu.dll"); },
                 {{R::Service, "\\Windows\\TRQNewMenu.dll"}}, {kRemind}},
        EditCase{"two services, one library",
                 [](sim::DeviceImage& d) { SetString(d, LM, u"Services\\TRQRem2", u"Dll", u"\\WINDOWS\\trqremindsvc.dll"); },
                 {}, {}},
        EditCase{"New-menu class without a server",
                 [](sim::DeviceImage& d) { RemoveKey(d, CR, kNewMenuServer); }, {}, {kMenu}},
        EditCase{"New-menu server by bare name",
                 [](sim::DeviceImage& d) { SetString(d, CR, kNewMenuServer, u"", u"TRQNewMenu.dll"); },
                 {}, {}},
        EditCase{"New-menu server names a folder",
                 [](sim::DeviceImage& d) { SetString(d, CR, kNewMenuServer, u"", u"\\Windows"); }, {}, {kMenu}},
        EditCase{"New-menu extension not a class id",
                 [](sim::DeviceImage& d) {
                     d.registry.keys.Create(LM, u"Software\\Microsoft\\Shell\\Extensions\\NewMenu\\junk");
                 },
                 {}, {}},
        EditCase{"sync provider without a store",
                 [](sim::DeviceImage& d) { RemoveValue(d, LM, kSyncKey, u"Store"); }, {}, {kSync}},
        EditCase{"sync store names no class",
                 [](sim::DeviceImage& d) { SetString(d, LM, kSyncKey, u"Store", u"{00000000-0000-0000-0000-000000000000}"); },
                 {}, {kSync}},
        EditCase{"sync store would wander the registry",
                 [](sim::DeviceImage& d) {
                     SetString(d, CR, u"CLSID\\x\\y\\InprocServer32", u"", u"TRQNewMenu.dll");
                     SetString(d, LM, kSyncKey, u"Store", u"x\\y");
                 },
                 {}, {kSync}},
        EditCase{"shortcut garbled",
                 [](sim::DeviceImage& d) { Shortcut(d, kShortcut, "\x01\x02garbage"); }, {}, {kUtil}},
        EditCase{"shortcut empty", [](sim::DeviceImage& d) { Shortcut(d, kShortcut, ""); }, {}, {kUtil}},
        EditCase{"shortcut target missing",
                 [](sim::DeviceImage& d) { RemoveFile(d, u"\\Windows\\TRQUtil.exe"); }, {}, {kUtil}},
        EditCase{"shortcut to a folder",
                 [](sim::DeviceImage& d) { Shortcut(d, kShortcut, "10#\"\\Windows\""); }, {}, {kUtil}},
        EditCase{"shortcut with its extension in capitals",
                 [](sim::DeviceImage& d) {
                     RemoveFile(d, kShortcut);
                     Shortcut(d, u"\\Windows\\StartUp\\TRQUTIL.LNK", "22#\"\\Windows\\TRQUtil.exe\"");
                 },
                 {}, {}},
        EditCase{"not a shortcut",
                 [](sim::DeviceImage& d) {
                     RemoveFile(d, kShortcut);
                     Shortcut(d, u"\\Windows\\StartUp\\TRQUtil.txt", "22#\"\\Windows\\TRQUtil.exe\"");
                 },
                 {}, {kUtil}},
        EditCase{"shortcut in a folder below Startup",
                 [](sim::DeviceImage& d) {
                     RemoveFile(d, kShortcut);
                     Shortcut(d, u"\\Windows\\StartUp\\Old\\TRQUtil.lnk", "22#\"\\Windows\\TRQUtil.exe\"");
                 },
                 {}, {kUtil}},
        EditCase{"two shortcuts, one program",
                 [](sim::DeviceImage& d) { Shortcut(d, u"\\Windows\\StartUp\\Again.lnk", "9#TRQUtil.exe"); },
                 {}, {}},
        EditCase{"a second program started",
                 [](sim::DeviceImage& d) {
                     Shortcut(d, u"\\Windows\\StartUp\\Atlas.lnk", "31#\"\\Program Files\\Atlas\\Atlas.exe\"");
                 },
                 {{R::Startup, "\\Program Files\\Atlas\\Atlas.exe"}}, {}},
        EditCase{"Startup folder unknown", [](sim::DeviceImage& d) { d.config.startup.clear(); }, {}, {kUtil}},
        EditCase{"Startup folder elsewhere",
                 [](sim::DeviceImage& d) {
                     d.config.startup = u"\\My Startup";
                     Shortcut(d, u"\\My Startup\\x.lnk", "10#TRQ.exe -a");
                     WriteFile(d, u"\\Windows\\TRQ.exe", "another TRQ.exe");
                 },
                 {{R::Startup, "\\Windows\\TRQ.exe"}}, {kUtil}},
        EditCase{"Startup folder is a file",
                 [](sim::DeviceImage& d) { d.config.startup = u"\\Windows\\TRQUtil.exe"; }, {}, {kUtil}},
        EditCase{"shortcut is a link out of the device",
                 [](sim::DeviceImage& d) {
                     RemoveFile(d, kShortcut);
                     std::filesystem::create_symlink(d.dir / "registry.reg",
                                                     d.dir / "files" / "Windows" / "StartUp" / "TRQUtil.lnk");
                 },
                 {}, {kUtil}}),
    NameFromParam());

TEST(Startup, StartReleasesTheUsersProgramsAndRereadsTheRegistry)
{
    TestDevice device(runner::SampleState::Started);
    HoldOpen(device.image, u"\\Program Files\\TRQ\\TRQ.exe");
    RemoveKey(device.image, LM, u"Services\\TRQRem");
    std::vector<sim::StartupHold> holds = sim::StartDevice(device.image);
    EXPECT_TRUE(device.image.config.heldOpen.empty());
    ASSERT_EQ(holds.size(), 4u);
    ASSERT_EQ(device.image.config.heldByDevice.size(), 4u);
    for (size_t i = 0; i < holds.size(); ++i) {
        EXPECT_EQ(device.image.config.heldByDevice[i].rule, holds[i].rule);
        EXPECT_EQ(device.image.config.heldByDevice[i].path, holds[i].file);
    }
    EXPECT_FALSE(device.image.config.IsHeldOpen(u"\\Windows\\TRQRemindSvc.dll"));
    EXPECT_TRUE(device.image.config.IsHeldOpen(u"\\Windows\\AtlasGps.dll"));
}

// The sample device's story (scripts/try-sample): the first run meets what the
// device holds, the restart lets it all go, the second run finishes.
TEST(SoftReset, StartedSampleDeviceNeedsOneRestart)
{
    TestDevice device(runner::SampleState::Started);
    runner::RunOutcome first = device.Run({6, 6});
    EXPECT_EQ(first.stop, sim::Stop::Reset);
    std::vector<std::string> violations;
    for (const auto& record : first.trace.Of(device_calls::call::DeleteFileW))
        if (record.result.number == 0 && record.error == 32)
            violations.push_back(formats::Utf16ToUtf8Lossy(record.Arg("path").text));
    EXPECT_EQ(violations, (std::vector<std::string>{"\\Windows\\TRQUtil.exe", "\\Windows\\TRQRemindSvc.dll",
                                                     "\\Windows\\TRQNewMenu.dll",
                                                     "\\Program Files\\TRQ\\DevTRQSync.dll"}));
    device.Reload();
    EXPECT_EQ(device.image.config.heldByDevice,
              (std::vector<formats::DeviceHold>{{R::Service, u"\\Windows\\AtlasGps.dll"}}));

    runner::RunOutcome second = device.Run({6, 6});
    EXPECT_EQ(second.stop, sim::Stop::None);
    ASSERT_EQ(second.boxes.size(), 3u);
    EXPECT_EQ(second.boxes[2].text, BoxText(Box::Success));
    EXPECT_TRUE(device.PlanLeft().empty());
    EXPECT_TRUE(device.image.Files().Exists(u"\\Windows\\AtlasGps.dll"));
}

std::string Status(const sim::DeviceImage& image)
{
    std::ostringstream out;
    runner::WriteDeviceStatus(out, image);
    return out.str();
}

TEST(Status, SaysWhatIsHeldAndWhy)
{
    TestDevice device(runner::SampleState::Started);
    HoldOpen(device.image, u"\\Program Files\\TRQ\\TRQ.exe");
    std::string status = Status(device.image);
    for (const char* line :
         {"Install record: the package is installed in \\Program Files\\TRQ\n",
          "on the device (49 of 49):\n",
          "  file   \\Windows\\TRQUtil.exe  (held open: Startup)\n",
          "  file   \\Program Files\\TRQ\\TRQ.exe  (held open: user)\n",
          "  Startup  \\Windows\\TRQUtil.exe\n"
          "           started from the Startup folder by the shortcut \\Windows\\StartUp\\TRQUtil.lnk\n",
          "  Service  \\Windows\\AtlasGps.dll\n"
          "           loaded by the service host, registered at HKEY_LOCAL_MACHINE\\Services\\AtlasGps\n",
          "([HeldOpen], released at the next start):\n  \\Program Files\\TRQ\\TRQ.exe\n"})
        EXPECT_NE(status.find(line), std::string::npos) << line << "\n---\n" << status;

    // A registration gone since the start holds on until the next one; a new
    // one holds only from then.
    RemoveKey(device.image, LM, u"Services\\TRQRem");
    SetString(device.image, LM, u"Services\\Atlas2", u"Dll", u"\\Program Files\\Atlas\\Atlas.exe");
    status = Status(device.image);
    for (const char* line :
         {"  Service  \\Windows\\TRQRemindSvc.dll\n"
          "           loaded by the service host; no longer registered: released at the next start\n",
          "Held open by the device from its next start:\n"
          "  Service  \\Program Files\\Atlas\\Atlas.exe\n"})
        EXPECT_NE(status.find(line), std::string::npos) << line << "\n---\n" << status;
    EXPECT_EQ(status.find("HKEY_LOCAL_MACHINE\\Services\\TRQRem\n"), std::string::npos);
}

// Whoever holds a file, the run report and --status name it alike: the
// device's rules in [HeldByDevice] order, the user last; never a folder.
TEST(Status, ItemLineSaysWhoHoldsAFile)
{
    const struct {
        runner::PlanItem item;
        std::vector<std::u16string> heldOpen;
        std::vector<formats::DeviceHold> heldByDevice;
        std::string line;
    } cases[] = {
        {{runner::PlanItem::File, "\\Windows\\TRQUtil.exe"},
         {u"\\Windows\\TRQUtil.exe.log"},
         {{R::Startup, u"\\Windows\\TRQUtil"}},
         "file   \\Windows\\TRQUtil.exe"},
        {{runner::PlanItem::File, "\\Windows\\TRQUtil.exe"},
         {u"\\WINDOWS\\TRQUTIL.EXE"},
         {{R::Sync, u"\\Windows\\TRQUtil.exe"}, {R::Service, u"\\Windows\\AtlasGps.dll"},
          {R::Startup, u"Windows//TRQUtil.exe"}},
         "file   \\Windows\\TRQUtil.exe  (held open: Sync, Startup, user)"},
        {{runner::PlanItem::Folder, "\\Program Files\\TRQ"},
         {u"\\Program Files\\TRQ"},
         {{R::Startup, u"\\Program Files\\TRQ"}},
         "folder \\Program Files\\TRQ"},
    };
    for (const auto& c : cases) {
        formats::DeviceConfig config;
        config.heldOpen = c.heldOpen;
        config.heldByDevice = c.heldByDevice;
        EXPECT_EQ(runner::ItemLine(c.item, config), c.line);
    }
}

}  // namespace
}  // namespace trq_test
