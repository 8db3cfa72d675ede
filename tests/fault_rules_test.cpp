// The --fail rules: what each rule text means, what is refused and why, how
// a plan of several rules picks the calls it fails, and the option itself.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "platform/sim/fault_rules.h"
#include "tests/device_snapshot.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

struct Parsed {
    std::string text;
    std::string op;
    std::optional<std::string> argument;
    int nth;
    std::optional<int64_t> result;
    std::optional<uint32_t> error;
    std::optional<std::string> data;
    std::optional<uint32_t> type;
};

class FaultRuleText : public testing::TestWithParam<Parsed> {};

TEST_P(FaultRuleText, Parses)
{
    const Parsed& p = GetParam();
    sim::FaultRule rule;
    std::string error;
    ASSERT_TRUE(sim::ParseFaultRule(p.text, rule, error)) << error;
    EXPECT_EQ(rule.op, p.op);
    EXPECT_EQ(rule.argument, p.argument);
    EXPECT_EQ(rule.nth, p.nth);
    EXPECT_EQ(rule.fault.result, p.result);
    EXPECT_EQ(rule.fault.error, p.error);
    EXPECT_EQ(rule.fault.data, p.data);
    EXPECT_EQ(rule.fault.type, p.type);
    EXPECT_EQ(rule.text, p.text);
}

const std::string kAB = std::string("A\0B\0", 4);
const std::string kTextA = std::string("\\\0A\0\0\0", 6);

INSTANTIATE_TEST_SUITE_P(
    Rules, FaultRuleText,
    testing::Values(
        Parsed{"DeleteFileW#3:error=32", "DeleteFileW", {}, 3, {}, 32u, {}, {}},
        Parsed{"HeapAlloc:fail", "HeapAlloc", {}, 0, {}, {}, {}, {}},
        Parsed{"heapalloc:fail", "HeapAlloc", {}, 0, {}, {}, {}, {}},
        Parsed{"call#17:fail", "", {}, 17, {}, {}, {}, {}},
        Parsed{"SHGetSpecialFolderPath(7):fail", "SHGetSpecialFolderPath", "7", 0, {}, {}, {}, {}},
        Parsed{"GetTempPathW:result=300", "GetTempPathW", {}, 0, 300, {}, {}, {}},
        Parsed{"GetLastError:result=-1", "GetLastError", {}, 0, -1, {}, {}, {}},
        Parsed{"DeleteFileW:error=ERROR_ACCESS_DENIED", "DeleteFileW", {}, 0, {}, 5u, {}, {}},
        Parsed{"RegDeleteKeyW:error=0x20", "RegDeleteKeyW", {}, 0, {}, 32u, {}, {}},
        Parsed{"MessageBoxW#2:result=IDYES", "MessageBoxW", {}, 2, 6, {}, {}, {}},
        Parsed{"RegQueryValueExW(InstallDir):data=hex:41,00,42,00", "RegQueryValueExW", "InstallDir", 0, {}, {}, kAB, {}},
        Parsed{"RegQueryValueExW(InstallDir):type=REG_BINARY,error=234,data=hex:41,0,42,00",
               "RegQueryValueExW", "InstallDir", 0, {}, 234u, kAB, 3u},
        Parsed{"RegQueryValueExW:data=hex:", "RegQueryValueExW", {}, 0, {}, {}, std::string(), {}},
        Parsed{"RegQueryValueExW(InstDir)#2:data=text:\\A", "RegQueryValueExW", "InstDir", 2, {}, {}, kTextA, {}},
        // The argument runs to the ")" that the selector's end follows.
        Parsed{"DeleteFileW(\\Temp\\a (1).log)#2:fail", "DeleteFileW", "\\Temp\\a (1).log", 2, {}, {}, {}, {}},
        Parsed{"MessageBoxW(Do you want (etc.?)):result=7", "MessageBoxW", "Do you want (etc.?)", 0, 7, {}, {}, {}}),
    [](const testing::TestParamInfo<Parsed>& info) { return "rule" + std::to_string(info.index); });

TEST(FaultRuleText, RefusedWithAReason)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Frobnicate:fail", "unknown call \"Frobnicate\""},
        {":fail", "starts with a call's name"},
        {"DeleteFileW", "expected \":\""},
        {"DeleteFileW:", "nothing after"},
        {"DeleteFileW#0:fail", "call number from 1"},
        {"DeleteFileW#:fail", "call number from 1"},
        {"DeleteFileW(\\a:fail", "no closing"},
        {"DeleteFileW:fail,error=5", "fail stands alone"},
        {"DeleteFileW:error=banana", "not an error code"},
        {"DeleteFileW:error=5,error=2", "given twice"},
        {"DeleteFileW:colour=red", "unknown effect"},
        {"DeleteFileW:error", "is not fail"},
        {"HeapAlloc:data=hex:41", "RegQueryValueExW only"},
        {"RegQueryValueExW:type=1", "type= needs data="},
        {"RegQueryValueExW:data=hex:4g", "two hex digits"},
        {"RegQueryValueExW:data=hex:41,,42", "two hex digits"},
        {"RegQueryValueExW:data=base64:QQ==", "hex:BYTES or text:STRING"},
        {"RegQueryValueExW:data=text:\xff", "not UTF-8"},
        {"GetTempPathW:result=99999999999999999999", "not a number"},
    };
    for (const auto& [text, reason] : cases) {
        sim::FaultRule rule;
        std::string error;
        EXPECT_FALSE(sim::ParseFaultRule(text, rule, error)) << text;
        EXPECT_NE(error.find(reason), std::string::npos) << text << ": " << error;
    }
}

// Which calls a plan fails, run after run: (op, argument) in call order.
std::vector<int> Fired(const std::vector<std::string>& texts,
                       const std::vector<std::pair<std::string, std::u16string>>& calls, int runs = 1)
{
    std::vector<sim::FaultRule> rules;
    for (const std::string& text : texts) {
        sim::FaultRule rule;
        std::string error;
        EXPECT_TRUE(sim::ParseFaultRule(text, rule, error)) << error;
        rules.push_back(rule);
    }
    std::vector<int> fired;
    sim::FaultPlan plan = sim::MakeFaultPlan(rules);
    for (int run = 0; run < runs; ++run) {
        std::map<std::string, int> ofKind;
        for (size_t i = 0; i < calls.size(); ++i) {
            std::optional<sim::Fault> f =
                plan(calls[i].first, static_cast<int>(i) + 1, ++ofKind[calls[i].first], calls[i].second);
            if (!f) continue;
            const int error = f->error ? static_cast<int>(*f->error) : 0;
            fired.push_back(static_cast<int>(i) + 1 + run * 100 + error * 1000);
        }
    }
    return fired;
}

TEST(FaultPlan, PicksCallsByPositionKindAndArgument)
{
    const std::vector<std::pair<std::string, std::u16string>> calls = {
        {"HeapAlloc", u"520"},   {"DeleteFileW", u"\\A"}, {"DeleteFileW", u"\\B"},
        {"DeleteFileW", u"\\a"}, {"HeapFree", u""},       {"DeleteFileW", u"\\A"}};
    EXPECT_EQ(Fired({"call#3:fail"}, calls), (std::vector<int>{3}));
    EXPECT_EQ(Fired({"DeleteFileW#3:fail"}, calls), (std::vector<int>{4}));
    EXPECT_EQ(Fired({"DeleteFileW:fail"}, calls), (std::vector<int>{2, 3, 4, 6}));
    // An argument matches without regard to case; #N counts its own matches.
    EXPECT_EQ(Fired({"DeleteFileW(\\A)#2:fail"}, calls), (std::vector<int>{4}));
    EXPECT_EQ(Fired({"call(\\a):fail"}, calls), (std::vector<int>{2, 4, 6}));
    // The first rule that fires wins, and later rules still count the call.
    EXPECT_EQ(Fired({"DeleteFileW#1:error=5", "DeleteFileW#2:error=2", "DeleteFileW:error=32"}, calls),
              (std::vector<int>{5002, 2003, 32004, 32006}));
    // Counting starts again with each run.
    EXPECT_EQ(Fired({"call#2:fail"}, calls, 2), (std::vector<int>{2, 102}));
}

TEST(FaultRuleCli, FailOptionReportsEachFaultAndBadRulesExitTwo)
{
    TempDir tmp;
    const std::string dev = (tmp.Path() / "device").string();
    std::string error;
    ASSERT_TRUE(runner::InitSampleDevice(dev, error)) << error;
    auto cli = [](const std::string& arguments, std::string& output) {
        CommandResult r = RunCommand(std::string("'") + TRQ_SIM_CLI + "' " + arguments + " </dev/null 2>&1");
        output = r.output;
        return r.exitCode;
    };
    std::string output;
    const auto before = HostTree(dev, true);
    EXPECT_EQ(cli("--device '" + dev + "' --answer yes --fail 'DeleteFileW(x' --fail HeapAlloc:fail", output), 2);
    EXPECT_NE(output.find("--fail \"DeleteFileW(x\": the argument after"), std::string::npos) << output;
    EXPECT_EQ(HostTree(dev, true), before) << "a bad rule changes nothing";

    EXPECT_EQ(cli("--device '" + dev + "' --answer yes,no --reset-returns "
                  "--fail 'DeleteFileW(\\Program Files\\TRQ\\TRQ.exe):error=32' --fail 'SHGetSpecialFolderPath(2):fail'",
                  output),
              0);
    EXPECT_NE(output.find("[fault] call"), std::string::npos) << output;
    EXPECT_NE(output.find("DeleteFileW (\\Program Files\\TRQ\\TRQ.exe): DeleteFileW(\\Program Files"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("soft reset"), std::string::npos) << output;
    // The Programs shortcuts stay: their folder could not be named.
    EXPECT_TRUE(std::filesystem::exists(tmp.Path() / "device" / "files" / "Windows" / "Start Menu" / "Programs" / "TRQ.lnk"));
    EXPECT_TRUE(std::filesystem::exists(tmp.Path() / "device" / "files" / "Program Files" / "TRQ" / "TRQ.exe"));
}

}  // namespace
}  // namespace trq_test
