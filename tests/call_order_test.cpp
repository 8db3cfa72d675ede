// The uninstaller's platform calls that the shared scenarios' call-for-call
// comparison leaves out, read from the simulated device's trace: the lookup,
// owner windows, buffers, error codes read, and the keys under each switch.
#include <gtest/gtest.h>

#include "formats/text.h"
#include "harness/runner/bound_device.h"
#include "removal/registry_plan.h"
#include "tests/expected/expected_story.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace call = device_calls::call;

std::vector<std::string> Ops(const sim::Trace& trace)
{
    std::vector<std::string> ops;
    for (const auto& record : trace.Records()) ops.push_back(record.call->name);
    return ops;
}

TEST(CallOrder, CleanRunFromLookupToSuccess)
{
    TestDevice device;
    runner::RunOutcome run = device.Run({6, 6});
    const sim::Trace& t = run.trace;

    // The lookup: open, one buffer of the process heap, "InstallDir" only,
    // closed before the first box.
    std::vector<std::string> ops = Ops(t);
    std::vector<std::string> lookup(ops.begin(), ops.begin() + 5);
    EXPECT_EQ(lookup, (std::vector<std::string>{"RegOpenKeyExW", "GetProcessHeap", "HeapAlloc", "RegQueryValueExW",
                                                "RegCloseKey"}));
    EXPECT_EQ(t.Records()[0].Arg("options").number, 0);
    EXPECT_EQ(t.Records()[0].Arg("access").number, expected::kKeyRead);
    EXPECT_EQ(t.Records()[3].Arg("name").text, expected::kInstallDirValues[0]);
    EXPECT_EQ(t.Records()[3].Arg("bytes").in, expected::kPathBytes);

    // Every box and every folder query has a fresh owner window.
    for (size_t i = 0; i < ops.size(); ++i) {
        if (ops[i] == "MessageBoxW" || ops[i] == "SHGetSpecialFolderPath") {
            EXPECT_EQ(ops[i - 1], "GetForegroundWindow") << "call " << i << ": " << ops[i];
        }
    }

    // Three buffers of 260 characters, two given back before the folder goes.
    EXPECT_EQ(t.Of(call::HeapAlloc).size(), 3u);
    for (const auto& record : t.Of(call::HeapAlloc)) EXPECT_EQ(record.Arg("bytes").number, expected::kPathBytes);
    EXPECT_EQ(t.Of(call::HeapFree).size(), 2u);
    size_t lastFree = 0, removeDir = 0;
    for (size_t i = 0; i < ops.size(); ++i) {
        if (ops[i] == "HeapFree") lastFree = i;
        if (ops[i] == "RemoveDirectoryW") removeDir = i;
    }
    EXPECT_LT(lastFree, removeDir);
}

TEST(CallOrder, FailedDeletionsReadTheErrorCode)
{
    TestDevice device;
    HoldOpen(device.image, u"\\Windows\\TRQRemindSvc.dll");
    RemoveFile(device.image, u"\\Program Files\\TRQ\\Setup.dll");
    runner::RunOutcome run = device.Run({6, 7});
    // One read after the held library, one after the missing Setup.dll;
    // failed logs are never examined.
    std::vector<int> errors;
    for (const auto& record : run.trace.Of(call::GetLastError)) errors.push_back(static_cast<int>(record.result.number));
    EXPECT_EQ(errors, (std::vector<int>{32, 2}));
}

struct SwitchCase {
    bool removeSettings;
    bool removeInstallRecord;
    std::vector<int> rows;  // which of the plan's rows are deleted, from 1
};

class RegistrySwitches : public testing::TestWithParam<SwitchCase> {};

TEST_P(RegistrySwitches, DeletesExactlyTheRowsTheSwitchesAllow)
{
    const SwitchCase& c = GetParam();
    TestDevice device;
    sim::Trace trace(nullptr, true);
    {
        sim::DeviceSession session(device.image, trace);
        runner::RunBound(session, [&] {
            RemoveRegistryKeys(c.removeSettings, c.removeInstallRecord);
            return 0;
        });
    }
    // Each key with its root, spelled exactly: the install record's
    // "SOFTWARE" differs in case from every other "Software".
    std::vector<std::string> want;
    for (int row : c.rows) {
        const expected::KeyWords& key = expected::kKeyRows[row - 1];
        want.push_back(expected::RootName(key.root) + std::string("\\") + formats::Utf16ToUtf8Lossy(key.path));
    }
    std::vector<std::string> deleted;
    for (const auto& record : trace.Of(call::RegDeleteKeyW))
        deleted.push_back(expected::RootName(static_cast<expected::Root>(record.Arg("root").number)) +
                          std::string("\\") + formats::Utf16ToUtf8Lossy(record.Arg("subKey").text));
    EXPECT_EQ(deleted, want);
    // Deepest first, and the shared parent stays in every case.
    EXPECT_NE(device.image.registry.keys.Find(formats::Root::CurrentUser, u"Software\\TRQ"), nullptr);
}

std::vector<int> Rows(std::initializer_list<std::pair<int, int>> ranges)
{
    std::vector<int> rows;
    for (auto [from, to] : ranges)
        for (int r = from; r <= to; ++r) rows.push_back(r);
    return rows;
}

INSTANTIATE_TEST_SUITE_P(
    Plan, RegistrySwitches,
    testing::Values(SwitchCase{false, false, Rows({{1, 7}, {9, 15}, {17, 21}})},
                    SwitchCase{false, true, Rows({{1, 7}, {9, 15}, {17, 21}, {25, 26}})},
                    SwitchCase{true, false, Rows({{1, 24}})},
                    SwitchCase{true, true, Rows({{1, 26}})}));

}  // namespace
}  // namespace trq_test
