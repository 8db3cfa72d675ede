// One scenario table, two devices. Every shared scenario is played on the
// simulated device and, from the very same device image, by TRQUninstall.exe
// under Wine; both must show the same boxes and leave the same end state,
// except where the scenario names a difference and says why.
//
// The image goes into a fresh prefix as it is: registry.reg imported, files/
// copied to drive C, with the device's Startup, Programs and temporary
// folders laid onto the folders Wine's own API returns, read-only files kept
// read-only, files held open on the device held open by the driver.
//
// Each scenario records its verdicts in the work directory; the suite's
// summary (shared_scenarios_summary.sh under CTest, or the end of this
// program when it plays several) counts them per device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "device/device.h"
#include "formats/text.h"
#include "tests/expected/expected_plan.h"
#include "tests/scenarios.h"
#include "tests/test_device.h"
#include "tests/wine/wine_image.h"
#include "tests/wine/wine_test_support.h"

namespace trq::wine {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using trq_test::Lower;
using trq_test::Scenario;

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// -------------------------------------------------------- the end state --

// Everything whose presence is compared: every item of the plans and every
// file, folder and key the image had, by lower-case name.
struct Item {
    enum Kind { File, Key } kind;
    std::string name;  // as PlanLeft and Contents spell it, folders without "\" at the end
    bool plan = false;
};
using Items = std::map<std::string, Item>;

Items ItemsOf(const std::set<std::string>& contents, const std::vector<expected::PlanItem>& plan)
{
    Items items;
    for (const std::string& entry : contents) {
        std::string name = entry.substr(6);
        if (name.size() > 1 && name.back() == '\\') name.pop_back();
        items[Lower(name)] = {entry.rfind("key", 0) == 0 ? Item::Key : Item::File, name, false};
    }
    for (const expected::PlanItem& p : plan)
        items[Lower(p.name)] = {p.kind == expected::PlanItem::Key ? Item::Key : Item::File, p.name, true};
    return items;
}

// Lower-case names of the items present on the simulated device.
std::set<std::string> PresentOnDevice(const trq_test::TestDevice& device, const Items& items)
{
    std::set<std::string> all, present;
    for (const std::string& entry : device.Contents()) {
        std::string name = Lower(entry.substr(6));
        if (name.size() > 1 && name.back() == '\\') name.pop_back();
        all.insert(name);
    }
    for (const auto& [lower, item] : items)
        if (all.count(lower)) present.insert(lower);
    return present;
}

std::set<std::string> PresentUnderWine(const WinePrefix& prefix, const PathMap& paths,
                                       const WineRunResult& result, const Items& items)
{
    std::map<std::string, bool> probed;
    for (const WineKeyProbe& probe : result.probes) probed[Lower(probe.key)] = probe.present;
    std::set<std::string> present;
    for (const auto& [lower, item] : items) {
        bool there = false;
        if (item.kind == Item::Key) {
            auto it = probed.find(lower);
            EXPECT_NE(it, probed.end()) << "not probed: " << item.name;
            there = it != probed.end() && it->second;
        } else {
            std::error_code error;
            there = fs::exists(
                fs::symlink_status(prefix.HostPath(paths.Windows(*formats::Utf8ToUtf16(item.name))), error));
        }
        if (there) present.insert(lower);
    }
    return present;
}

std::set<std::string> Names(const std::set<std::string>& lowers, const Items& items)
{
    std::set<std::string> names;
    for (const std::string& lower : lowers) names.insert(items.at(lower).name);
    return names;
}

std::set<std::string> Minus(const std::set<std::string>& a, const std::set<std::string>& b)
{
    std::set<std::string> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
    return out;
}

// ------------------------------------------------------------- the boxes --

std::string ButtonName(int id)
{
    switch (id) {
    case IDOK: return "ok";
    case IDYES: return "yes";
    case IDNO: return "no";
    case IDCANCEL: return "cancel";
    default: return "";
    }
}

// ----------------------------------------------------------- the verdicts --

struct Verdict {
    std::size_t index = 0;
    std::string name;
    bool devicePassed = false;
    std::string wine;  // "pass", "fail", "not expressible", "skipped"
    std::string why;   // for the last two
    double deviceMs = 0, wineMs = 0;
};

std::vector<Verdict>& PlayedHere()
{
    static std::vector<Verdict> played;
    return played;
}

fs::path VerdictDir() { return TRQ_SHARED_VERDICTS; }

// One line per scenario, read by shared_scenarios_summary.sh:
// index, table size, device verdict, Wine verdict, milliseconds on each, name, why.
void WriteVerdict(const Verdict& v)
{
    PlayedHere().push_back(v);
    std::error_code error;
    fs::create_directories(VerdictDir(), error);
    char file[32];
    (void)std::snprintf(file, sizeof file, "%03zu.txt", v.index);
    std::ofstream out(VerdictDir() / file, std::ios::trunc);
    out << v.index << '\t' << trq_test::SharedScenarios().size() << '\t'
        << (v.devicePassed ? "pass" : "fail") << '\t' << v.wine << '\t'
        << static_cast<long>(v.deviceMs) << '\t' << static_cast<long>(v.wineMs) << '\t' << v.name
        << '\t' << v.why << '\n';
}

int FailedParts()
{
    const testing::TestResult* result =
        testing::UnitTest::GetInstance()->current_test_info()->result();
    int failed = 0;
    for (int i = 0; i < result->total_part_count(); ++i)
        if (result->GetTestPartResult(i).failed()) ++failed;
    return failed;
}

// Writes the verdict however the test ends.
class VerdictRecorder {
public:
    VerdictRecorder(std::size_t index, const std::string& name)
    {
        verdict_.index = index;
        verdict_.name = name;
    }
    ~VerdictRecorder()
    {
        if (verdict_.wine.empty()) {
            bool skipped = testing::Test::IsSkipped() && !testing::Test::HasFailure();
            verdict_.wine = skipped ? "skipped" : FailedParts() > deviceFailures_ ? "fail" : "pass";
            if (skipped) verdict_.why = "no Wine here";
        }
        WriteVerdict(verdict_);
    }
    void DeviceDone(double ms)
    {
        deviceFailures_ = FailedParts();
        verdict_.devicePassed = deviceFailures_ == 0;
        verdict_.deviceMs = ms;
    }
    void NotUnderWine(const std::string& why)
    {
        verdict_.wine = "not expressible";
        verdict_.why = why;
    }
    void WineMs(double ms) { verdict_.wineMs = ms; }

private:
    Verdict verdict_;
    int deviceFailures_ = 0;
};

// When this program played several scenarios itself, it says how they went.
class SummaryPrinter : public testing::Environment {
public:
    void TearDown() override
    {
        const std::vector<Verdict>& played = PlayedHere();
        if (played.size() < 2) return;
        int devicePassed = 0, wineRun = 0, winePassed = 0, notExpressible = 0, skipped = 0;
        double wineMs = 0;
        for (const Verdict& v : played) {
            devicePassed += v.devicePassed;
            notExpressible += v.wine == "not expressible";
            skipped += v.wine == "skipped";
            wineRun += v.wine == "pass" || v.wine == "fail";
            winePassed += v.wine == "pass";
            wineMs += v.wineMs;
        }
        std::cout << "shared scenarios: simulated device " << devicePassed << "/" << played.size()
                  << ", Wine " << winePassed << "/" << wineRun << " (" << notExpressible
                  << " not expressible under Wine";
        if (skipped) std::cout << ", " << skipped << " not played: no Wine here";
        std::cout << "); Wine took " << wineMs / 1000 << " s\n";
    }
};
const testing::Environment* const kSummary = testing::AddGlobalTestEnvironment(new SummaryPrinter);

// ------------------------------------------------------------- the test --

struct Indexed {
    std::size_t index;
    const Scenario* scenario;
};

void PrintTo(const Indexed& s, std::ostream* out) { *out << s.scenario->name; }

std::vector<Indexed> AllScenarios()
{
    std::vector<Indexed> all;
    for (std::size_t i = 0; i < trq_test::SharedScenarios().size(); ++i)
        all.push_back({i, &trq_test::SharedScenarios()[i]});
    return all;
}

class SharedScenarioOnBoth : public WineTest, public testing::WithParamInterface<Indexed> {
protected:
    // Wine is looked for once the simulated device has played.
    void SetUp() override {}
};

TEST_P(SharedScenarioOnBoth, SameBoxesAndEndState)
{
    const Scenario& scenario = *GetParam().scenario;
    VerdictRecorder recorder(GetParam().index, scenario.name);

    // ---- the simulated device, as uninstall_flow_test plays it.
    Clock::time_point deviceStart = Clock::now();
    trq_test::TestDevice device;
    if (scenario.prepare) scenario.prepare(device.image);
    device.Reload();
    const ImageCopy image = CopyImage(device.image);
    const Items items = ItemsOf(device.Contents(), expected::PlanItems(runner::kSampleInstallDir, {}));

    runner::RunOutcome outcome = device.Run(scenario.answers, /*resetReturns=*/true);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.stop, sim::Stop::None);
    EXPECT_EQ(outcome.resetRequests, scenario.resetRequested ? 1 : 0);
    EXPECT_EQ(outcome.boxes.size(), scenario.boxes.size());
    for (std::size_t i = 0; i < std::min(outcome.boxes.size(), scenario.boxes.size()); ++i) {
        SCOPED_TRACE("device box " + std::to_string(i + 1));
        EXPECT_EQ(outcome.boxes[i].text, trq_test::BoxText(scenario.boxes[i]));
        EXPECT_EQ(outcome.boxes[i].flags, trq_test::BoxFlags(scenario.boxes[i]));
    }
    const std::set<std::string> devicePlanLeft = device.PlanLeft();
    EXPECT_EQ(devicePlanLeft, scenario.planLeft);
    const std::set<std::string> onDevice = PresentOnDevice(device, items);
    recorder.DeviceDone(MsSince(deviceStart));

    if (!scenario.notUnderWine.empty()) {
        std::cout << "[ wine     ] not under Wine: " << scenario.notUnderWine << "\n";
        recorder.NotUnderWine(scenario.notUnderWine);
        return;
    }
    WineTest::SetUp();  // NOLINT(bugprone-parent-virtual-call): Wine's set-up, which this fixture's own defers
    if (IsSkipped() || HasFatalFailure()) return;

    // ---- the same image in a fresh prefix.
    Clock::time_point wineStart = Clock::now();
    WinePrefix prefix(Template());
    const PathMap paths(image.config, prefix.Folders());

    WineScenario run =
        ImageRun(image, paths, WorkFile("shared-" + std::to_string(GetParam().index) + ".reg"), scenario.answers);
    for (const auto& [lower, item] : items)
        if (item.kind == Item::Key) run.keyProbes.push_back(item.name);

    WineRunResult result = prefix.Run(run);
    recorder.WineMs(MsSince(wineStart));
    PrintTimings(scenario.name, result);

    // The same conversation.
    EXPECT_EQ(result.outcome, "exited") << result.error;
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.answersUsed, scenario.answers.size());
    EXPECT_TRUE(result.iconsKnown);
    ASSERT_EQ(result.boxes.size(), outcome.boxes.size()) << result.json;
    for (std::size_t i = 0; i < outcome.boxes.size(); ++i) {
        SCOPED_TRACE("box " + std::to_string(i + 1));
        const sim::BoxRecord& want = outcome.boxes[i];
        const WineBox& got = result.boxes[i];
        EXPECT_EQ(got.caption, formats::Utf16ToUtf8Lossy(want.caption));
        EXPECT_EQ(got.text, formats::Utf16ToUtf8Lossy(want.text));
        EXPECT_EQ(got.style, want.flags);
        EXPECT_EQ(got.icon, IconOf(want.flags));
        EXPECT_EQ(got.buttons, ButtonsOf(want.flags));
        EXPECT_EQ(got.pressed, ButtonName(want.result));
    }
    // The device may have strayed with it: the scenario's own boxes too, as
    // tests/expected/ writes them down.
    ASSERT_EQ(result.boxes.size(), scenario.boxes.size());
    for (std::size_t i = 0; i < scenario.boxes.size(); ++i) {
        EXPECT_EQ(result.boxes[i].caption, Utf8(expected::kCaption));
        EXPECT_EQ(result.boxes[i].text, Utf8(trq_test::BoxText(scenario.boxes[i]).c_str()))
            << "box " << i + 1 << ": " << trq_test::BoxName(scenario.boxes[i]);
        EXPECT_EQ(result.boxes[i].style, trq_test::BoxFlags(scenario.boxes[i]));
    }
    // The reset request, its code and its null buffers as written down.
    EXPECT_EQ(result.kernelIoCalls.size(), static_cast<std::size_t>(outcome.resetRequests));
    EXPECT_EQ(result.kernelIoCalls.size(), scenario.resetRequested ? 1u : 0u);
    for (const WineKernelIoCall& call : result.kernelIoCalls) ExpectResetAsWritten(call);

    // The same end state, but for the differences the scenario names.
    const std::set<std::string> underWine = PresentUnderWine(prefix, paths, result, items);
    std::set<std::string> leftOnlyUnderWine, goneOnlyUnderWine;
    for (const trq_test::WineDifference& d : scenario.wineDifferences) {
        ASSERT_TRUE(items.count(Lower(d.item))) << "names nothing on the device: " << d.item;
        (d.leftUnderWine ? leftOnlyUnderWine : goneOnlyUnderWine).insert(Lower(d.item));
        std::cout << "[ wine     ] known difference: " << d.item << " "
                  << (d.leftUnderWine ? "stays" : "goes") << " under Wine (" << d.why << ")\n";
    }
    EXPECT_EQ(Names(Minus(underWine, onDevice), items), Names(leftOnlyUnderWine, items))
        << "present under Wine, gone on the simulated device";
    EXPECT_EQ(Names(Minus(onDevice, underWine), items), Names(goneOnlyUnderWine, items))
        << "gone under Wine, present on the simulated device";

    // And, on its own terms: the plan items the scenario expects, moved by
    // the named differences; nothing else of the image touched.
    std::set<std::string> expectedPlanLeft;
    for (const std::string& name : scenario.planLeft) expectedPlanLeft.insert(Lower(name));
    for (const std::string& lower : leftOnlyUnderWine)
        if (items.at(lower).plan) expectedPlanLeft.insert(lower);
    for (const std::string& lower : goneOnlyUnderWine) expectedPlanLeft.erase(lower);
    std::set<std::string> planLeftUnderWine;
    for (const std::string& lower : underWine)
        if (items.at(lower).plan) planLeftUnderWine.insert(lower);
    EXPECT_EQ(Names(planLeftUnderWine, items), Names(expectedPlanLeft, items));
    for (const auto& [lower, item] : items) {
        if (item.plan) continue;
        if (goneOnlyUnderWine.count(lower)) continue;
        EXPECT_TRUE(underWine.count(lower)) << "removed, but not the package's: " << item.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Shared, SharedScenarioOnBoth, testing::ValuesIn(AllScenarios()),
                         [](const testing::TestParamInfo<Indexed>& info) {
                             return trq_test::TestName(info.param.scenario->name);
                         });

}  // namespace
}  // namespace trq::wine
