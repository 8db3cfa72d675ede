#include <gtest/gtest.h>

#include "harness/runner/plan_items.h"
#include "platform/sim/device_startup.h"
#include "tests/expected/expected_story.h"
#include "tests/scenarios.h"
#include "tests/test_device.h"

namespace trq_test {

runner::RunOutcome PlayScenario(const Scenario& scenario, const runner::Program& program)
{
    TestDevice device;
    device.program = program;
    if (scenario.prepare) scenario.prepare(device.image);
    device.Reload();
    const std::set<std::string> before = device.Contents();
    const std::set<std::string> planBefore = device.PlanLeft();
    const expected::Story words = expected::ExpectedStory(
        {scenario.boxes, scenario.answers, scenario.resetRequested}, device.image);

    runner::RunOutcome outcome = device.Run(scenario.answers, /*resetReturns=*/true);

    // Call for call as written down: the boxes, the file plan walked with
    // each deletion's outcome, the keys deleted, the reset requested.
    const expected::Story run = expected::StoryOf(outcome.trace);
    EXPECT_EQ(run.boxes, words.boxes);
    EXPECT_EQ(run.files, words.files);
    EXPECT_EQ(run.keys, words.keys);
    EXPECT_EQ(run.resets, words.resets);

    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.stop, sim::Stop::None) << outcome.fault;
    EXPECT_EQ(outcome.boxes.size(), scenario.boxes.size());
    for (size_t i = 0; i < std::min(outcome.boxes.size(), scenario.boxes.size()); ++i) {
        SCOPED_TRACE("box " + std::to_string(i + 1) + ": " + BoxName(scenario.boxes[i]));
        EXPECT_EQ(outcome.boxes[i].caption, expected::kCaption);
        EXPECT_EQ(outcome.boxes[i].text, BoxText(scenario.boxes[i]));
        EXPECT_EQ(outcome.boxes[i].flags, BoxFlags(scenario.boxes[i]));
    }
    EXPECT_EQ(outcome.resetRequests, scenario.resetRequested ? 1 : 0);
    EXPECT_EQ(device.PlanLeft(), scenario.planLeft);
    // What the simulator reports as left (--status, the run's report) is
    // what the written plan finds.
    std::set<std::string> reported;
    const formats::DeviceConfig sampleFolders;
    for (const runner::PlanItem& item : runner::PlanItems(device.image, runner::kSampleInstallDir, &sampleFolders))
        if (item.present) reported.insert(item.name);
    EXPECT_EQ(reported, scenario.planLeft);

    // Nothing that the plans do not name is ever touched (names compare
    // without case, as the device compares them).
    std::set<std::string> plan, after;
    for (const std::string& name : planBefore) plan.insert(Lower(name));
    for (const std::string& entry : device.Contents()) after.insert(Lower(entry));
    for (const std::string& entry : before) {
        std::string name = Lower(entry.substr(6));
        if (!name.empty() && name.back() == '\\') name.pop_back();
        if (plan.count(name)) continue;
        if (scenario.goneWithPlanKeys.count(entry.substr(6))) {
            EXPECT_FALSE(after.count(Lower(entry))) << "left, though the key above it went: " << entry;
            continue;
        }
        EXPECT_TRUE(after.count(Lower(entry))) << "removed, but not the package's: " << entry;
    }
    for (const std::string& key : scenario.goneWithPlanKeys)
        EXPECT_TRUE(before.count("key   " + key)) << "not on the device to begin with: " << key;

    // Every buffer goes back to the heap but the install directory, and the
    // install record's key is closed again.
    bool lookedUp = outcome.boxes.empty() || outcome.boxes[0].text != BoxText(Box::LookupFailure);
    EXPECT_EQ(outcome.heapBlocksLeft, lookedUp ? 1u : 0u);
    EXPECT_EQ(outcome.badHeapFrees, 0);
    EXPECT_EQ(outcome.keysLeftOpen, 0u);

    // Where files were held, the device restarts, which releases them, and a
    // later run finishes: Success, and nothing of the package left.
    const std::vector<Box> partial = {Box::Confirmation, Box::ResetOffer, Box::NotRemoved};
    for (int restart = 1; scenario.boxes == partial && restart <= scenario.restartsToFinish; ++restart) {
        SCOPED_TRACE("the run after restart " + std::to_string(restart));
        sim::StartDevice(device.image);
        const runner::RunOutcome next = device.Run({expected::kIdYes, expected::kIdYes});
        const bool last = restart == scenario.restartsToFinish;
        std::vector<std::u16string> seen, wanted;
        for (const sim::BoxRecord& box : next.boxes) seen.push_back(box.text);
        // A run before the last asks for the reset, which the device takes.
        for (Box box : last ? std::vector<Box>{Box::Confirmation, Box::SettingsQuestion, Box::Success}
                            : std::vector<Box>{Box::Confirmation, Box::ResetOffer})
            wanted.push_back(BoxText(box));
        EXPECT_EQ(seen, wanted);
        if (last) {
            EXPECT_EQ(device.PlanLeft(), std::set<std::string>{});
        }
    }
    return outcome;
}

}  // namespace trq_test
