// Scenarios written once and played on every kind of device: the simulated
// device and TRQUninstall.exe under Wine. Each starts from the sample
// device, edits it, answers the question boxes in order and says what the
// user sees and what of the package is left.
#ifndef TRQ_TESTS_SCENARIOS_H
#define TRQ_TESTS_SCENARIOS_H

#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "harness/runner/run_device.h"
#include "platform/sim/device_image.h"
#include "tests/expected/expected_words.h"

namespace trq_test {

using expected::Box;
std::string BoxName(Box box);
// The text and flags the box must show, as written down in tests/expected/.
std::u16string BoxText(Box box);
uint32_t BoxFlags(Box box);

// One item that TRQUninstall.exe under Wine leaves otherwise than the device
// does, and why. Items are named as PlanLeft and Contents name them:
// "\Program Files\TRQ\TRQ.exe", "HKEY_CLASSES_ROOT\trpfile".
struct WineDifference {
    std::string item;
    bool leftUnderWine = true;  // true: still there under Wine, gone on the device
    std::string why;
};

struct Scenario {
    std::string name;
    std::function<void(sim::DeviceImage&)> prepare;  // edits of the sample device
    std::vector<int> answers;                        // IDYES, IDNO, IDCANCEL
    std::vector<Box> boxes;                          // what the user sees, in order
    bool resetRequested = false;
    std::set<std::string> planLeft;  // the plan's files, folders and keys still there
    // Why this scenario cannot be played under Wine, or empty.
    std::string notUnderWine;
    // Keys the plans do not name that go with a plan key above them: the
    // device deletes a key's sub-keys with it.
    std::set<std::string> goneWithPlanKeys = {};
    // Where Wine's end state differs from the device's; the Wine suite
    // requires exactly these differences and no others.
    std::vector<WineDifference> wineDifferences = {};
    // Where the run takes the partial path: how many restarts, each
    // followed by a run answered Yes and Yes, until one shows Success and
    // leaves nothing of the plans (the runs before it take the partial path).
    int restartsToFinish = 1;
};

inline void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

// The reset request comes back in these scenarios (under Wine it always
// does), so the Not removed box follows it.
const std::vector<Scenario>& SharedScenarios();

// Plays a scenario on a fresh sample device, running program (none: the
// uninstaller built for this host), and checks the run against it: the
// boxes, the reset requests, what of the plans is left, nothing else
// touched, each box, deletion and reset request call for call as
// tests/expected/ has them, every heap block but the install directory's released, every
// key closed. Returns the run, its trace included.
runner::RunOutcome PlayScenario(const Scenario& scenario, const runner::Program& program = {});

}  // namespace trq_test

#endif
