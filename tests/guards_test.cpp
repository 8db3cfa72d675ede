// What the uninstaller does with values and answers a device should never
// give: it deletes nothing it cannot name exactly, and reads nothing past a
// buffer.
#include <gtest/gtest.h>

#include "formats/text.h"
#include "tests/scenarios.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace call = device_calls::call;

std::vector<uint8_t> Utf16(const std::u16string& s, bool terminated = true)
{
    if (terminated) return formats::StringData(s);
    const std::string bytes = formats::Utf16LeBytes(s);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

struct ValueCase {
    std::string name;
    uint32_t type;
    std::vector<uint8_t> installDir;  // the bytes of "InstallDir"
    bool usesInstDir;                 // else: the directory from InstallDir
};

class InstallDirValue : public testing::TestWithParam<ValueCase> {};

// "InstDir" names a folder of its own, so the trace shows which value won.
TEST_P(InstallDirValue, OnlyATerminatedNonEmptyStringCounts)
{
    const ValueCase& c = GetParam();
    TestDevice device;
    SetRaw(device.image, formats::Root::LocalMachine, kInstallRecord, u"InstallDir", c.type, c.installDir);
    SetString(device.image, formats::Root::LocalMachine, kInstallRecord, u"InstDir", u"\\Other");
    runner::RunOutcome run = device.Run({7});  // refuse consent: nothing is deleted
    std::vector<std::string> queried;
    for (const auto& record : run.trace.Of(call::RegQueryValueExW))
        queried.push_back(formats::Utf16ToUtf8Lossy(record.Arg("name").text));
    EXPECT_EQ(queried.size(), c.usesInstDir ? 2u : 1u);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[0].text, BoxText(Box::Confirmation));
}

std::vector<uint8_t> Repeat(size_t characters, bool terminated)
{
    return Utf16(std::u16string(characters, u'a'), terminated);
}

INSTANTIATE_TEST_SUITE_P(
    Record, InstallDirValue,
    testing::Values(
        ValueCase{"plain", 1, Utf16(u"\\Program Files\\TRQ"), false},
        ValueCase{"type not examined", 4, Utf16(u"\\A"), false},
        ValueCase{"259 characters fill the buffer", 1, Repeat(259, true), false},
        ValueCase{"empty", 1, Utf16(u""), true},
        ValueCase{"no bytes", 1, {}, true},
        ValueCase{"odd byte count", 1, {'\\', 0, 'A', 0, 0, 0, 0}, true},
        ValueCase{"no terminator", 1, Utf16(u"\\Program Files\\TRQ", false), true},
        ValueCase{"260 characters and a terminator", 1, Repeat(260, true), true},
        ValueCase{"260 characters, no terminator", 1, Repeat(260, false), true},
        // "." and ".." would lead the deletions elsewhere; a name that only
        // begins with dots is a folder like any other.
        ValueCase{"a dot for a name", 1, Utf16(u"\\Program Files\\TRQ\\."), true},
        ValueCase{"two dots for a name", 1, Utf16(u"\\Program Files\\..\\Windows"), true},
        ValueCase{"names that begin with dots", 1, Utf16(u"\\.TRQ\\..TRQ\\.."), true},
        ValueCase{"names that only begin with dots", 1, Utf16(u"\\.TRQ\\..TRQ\\.x"), false}),
    NameFromParam());

TEST(Guards, LongInstallDirectorySkipsPathsThatWouldNotFit)
{
    // 245 characters: "\TRQJotlet.exe" just fits (259), "\DevTRQSync.dll" does not (260).
    const std::u16string dir = u"\\" + std::u16string(244, u'd');
    TestDevice device;
    SetString(device.image, formats::Root::LocalMachine, kInstallRecord, u"InstallDir", dir);
    RemoveValue(device.image, formats::Root::LocalMachine, kInstallRecord, u"InstDir");
    runner::RunOutcome run = device.Run({6, 6});

    std::vector<std::string> underDir;
    const std::string dir8 = formats::Utf16ToUtf8Lossy(dir);
    for (const auto& record : run.trace.Of(call::DeleteFileW)) {
        const std::string path = formats::Utf16ToUtf8Lossy(record.Arg("path").text);
        EXPECT_LT(path.size(), 260u);
        if (path.rfind(dir8, 0) == 0) underDir.push_back(path.substr(dir8.size()));
    }
    // Never a shortened name: each is a whole suffix or it is not tried.
    EXPECT_EQ(underDir, (std::vector<std::string>{"\\Setup.dll",
                                                  "\\TRQ.exe", "\\TRQJotlet.exe", "\\Services.loc",
                                                  "\\TRQ.exe.log"}));
    EXPECT_EQ(run.boxes.back().text, BoxText(Box::Success));
}

TEST(Guards, TemporaryFolderTooLongForTheBufferSkipsItsLogs)
{
    TestDevice device;
    device.image.config.temp = u"\\" + std::u16string(300, u't') + u"\\";
    runner::RunOutcome run = device.Run({6, 6});
    auto temp = run.trace.Of(call::GetTempPathW);
    ASSERT_EQ(temp.size(), 1u);
    EXPECT_EQ(temp[0].result.number, 303);  // what the path would need
    for (const auto& record : run.trace.Of(call::DeleteFileW))
        EXPECT_EQ(record.Arg("path").text.find(u"ttt"), std::u16string::npos);
    EXPECT_EQ(run.boxes.back().text, BoxText(Box::Success));
    // The logs stay; nothing else is lost.
    EXPECT_EQ(device.PlanLeft(), (std::set<std::string>{"\\Temp\\TRQUtil.log", "\\Temp\\TRQRemindSvc.dll.log",
                                                        "\\Temp\\TRQSetup.log"}));
}

struct HeapCase {
    int failing;  // which HeapAlloc of the run fails, from 1
    std::vector<Box> boxes;
};

class HeapExhausted : public testing::TestWithParam<HeapCase> {};

TEST_P(HeapExhausted, NothingIsDeletedAndTheUserIsTold)
{
    const HeapCase& c = GetParam();
    TestDevice device;
    device.Reload();
    const std::set<std::string> before = device.Contents();
    runner::RunOptions options;
    options.answerer = runner::ScriptedAnswers({6, 6});
    options.keepRecords = true;
    options.faults = [&c](const std::string& op, int, int kindIndex, std::u16string_view) {
        return op == "HeapAlloc" && kindIndex == c.failing ? std::optional<sim::Fault>(sim::Fault{})
                                                           : std::nullopt;
    };
    runner::RunOutcome run;
    std::string error;
    ASSERT_TRUE(runner::RunUninstallOn(device.image, options, run, error)) << error;

    ASSERT_EQ(run.boxes.size(), c.boxes.size());
    for (size_t i = 0; i < c.boxes.size(); ++i) EXPECT_EQ(run.boxes[i].text, BoxText(c.boxes[i]));
    EXPECT_TRUE(run.trace.Of(call::DeleteFileW).empty());
    EXPECT_TRUE(run.trace.Of(call::RegDeleteKeyW).empty());
    EXPECT_EQ(device.Contents(), before);
    EXPECT_EQ(run.heapBlocksLeft, c.failing == 1 ? 0u : 1u);
    EXPECT_EQ(run.keysLeftOpen, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, HeapExhausted,
    testing::Values(HeapCase{1, {Box::LookupFailure, Box::NotRemoved}},
                    HeapCase{2, {Box::Confirmation, Box::NotRemoved}},
                    HeapCase{3, {Box::Confirmation, Box::NotRemoved}}));

// A device that restarts: the run ends at the reset, the files held open are
// released, and a second run finishes the job.
TEST(SoftReset, TwoRunsLeaveNothingOfThePackage)
{
    TestDevice device;
    HoldOpen(device.image, u"\\Program Files\\TRQ\\TRQJotlet.exe");
    runner::RunOutcome first = device.Run({6, 6});
    EXPECT_EQ(first.stop, sim::Stop::Reset);
    EXPECT_EQ(first.exitCode, 0);
    ASSERT_EQ(first.boxes.size(), 2u);
    EXPECT_EQ(first.boxes[1].text, BoxText(Box::ResetOffer));
    // The run ends in the reset request, which never returns.
    ASSERT_TRUE(first.trace.EndedIn());
    EXPECT_EQ(first.trace.EndedIn()->call, &call::KernelIoControl);
    EXPECT_EQ(first.trace.EndedIn()->Arg("code").number, 0x0101003C);
    // The partial cleanup ran before the offer was shown.
    EXPECT_EQ(first.trace.Of(call::RegDeleteKeyW).size(), 19u);

    device.Reload();
    EXPECT_TRUE(device.image.config.heldOpen.empty());
    runner::RunOutcome second = device.Run({6, 6});
    EXPECT_EQ(second.stop, sim::Stop::None);
    ASSERT_EQ(second.boxes.size(), 3u);
    EXPECT_EQ(second.boxes[2].text, BoxText(Box::Success));
    EXPECT_TRUE(device.PlanLeft().empty());
    EXPECT_NE(device.image.registry.keys.Find(formats::Root::CurrentUser, u"Software\\TRQ"), nullptr);
}

TEST(SoftReset, UnansweredBoxStopsTheRunAndKeepsWhatWasDone)
{
    TestDevice device;
    runner::RunOutcome run = device.Run({6});  // the Settings question finds no answer
    EXPECT_EQ(run.stop, sim::Stop::NoAnswer);
    EXPECT_EQ(run.boxes.back().text, BoxText(Box::SettingsQuestion));
    device.Reload();
    // The files went before the question; the keys had not been reached.
    std::set<std::string> keys;
    for (const std::string& name : AllPlanItems())
        if (name[0] != '\\') keys.insert(name);
    EXPECT_EQ(device.PlanLeft(), keys);
}

}  // namespace
}  // namespace trq_test
