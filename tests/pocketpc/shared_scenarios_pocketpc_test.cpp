// One scenario table, three devices. Every shared scenario is played by the
// Pocket PC executable on both emulated processors, from the same image as
// on the simulated device: it must show the same boxes, request the reset as
// often and leave the same end state, and, its COREDLL being the simulated
// device's own services, make the very same calls, argument for argument,
// as the uninstaller built for this host.
//
// Each scenario records its verdict for the suite's summary
// (tests/wine/shared_scenarios_summary.sh), beside the Wine suite's.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "tests/pocketpc/pocketpc_test_support.h"
#include "tests/scenarios.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;
using emulator::Cpu;

struct Case {
    size_t index;
    const Scenario* scenario;
    Cpu cpu;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.scenario->name << " on " << CpuName(c.cpu); }

std::vector<Case> AllCases()
{
    std::vector<Case> all;
    for (Cpu cpu : {Cpu::Sa1110, Cpu::Pxa270})
        for (size_t i = 0; i < SharedScenarios().size(); ++i) all.push_back({i, &SharedScenarios()[i], cpu});
    return all;
}

// One line per scenario and processor: index, table size, processor,
// verdict, milliseconds, name.
class VerdictRecorder {
public:
    explicit VerdictRecorder(const Case& c) : case_(c), start_(std::chrono::steady_clock::now()) {}
    ~VerdictRecorder()
    {
        const bool skipped = testing::Test::IsSkipped() && !testing::Test::HasFailure();
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
        std::error_code error;
        fs::create_directories(TRQ_SHARED_VERDICTS, error);
        char file[64];
        (void)std::snprintf(file, sizeof file, "pocketpc-%s-%03zu.txt", case_.cpu == Cpu::Sa1110 ? "sa1110" : "pxa270",
                            case_.index);
        std::ofstream(fs::path(TRQ_SHARED_VERDICTS) / file, std::ios::trunc)
            << case_.index << '\t' << SharedScenarios().size() << '\t' << CpuName(case_.cpu) << '\t'
            << (skipped ? "skipped" : testing::Test::HasFailure() ? "fail" : "pass") << '\t'
            << static_cast<long>(ms) << '\t' << case_.scenario->name << '\n';
    }

private:
    const Case& case_;
    std::chrono::steady_clock::time_point start_;
};

class SharedScenarioOnPocketPc : public testing::TestWithParam<Case> {};

TEST_P(SharedScenarioOnPocketPc, SameRunAsTheSimulatedDevice)
{
    const Case& c = GetParam();
    VerdictRecorder recorder(c);
    TRQ_REQUIRE_POCKETPC_BUILD();

    const runner::RunOutcome device = PlayScenario(*c.scenario);
    const runner::RunOutcome pocketPc = PlayScenario(*c.scenario, PocketPcUninstallerOn(c.cpu));

    EXPECT_EQ(FirstDifference(pocketPc.trace, device.trace), "") << "the Pocket PC / the simulated device";
    EXPECT_EQ(pocketPc.heapBlocksLeft, device.heapBlocksLeft);
}

INSTANTIATE_TEST_SUITE_P(Shared, SharedScenarioOnPocketPc, testing::ValuesIn(AllCases()),
                         [](const testing::TestParamInfo<Case>& info) {
                             return TestName(info.param.scenario->name) +
                                    (info.param.cpu == Cpu::Sa1110 ? "_SA1110" : "_PXA270");
                         });

}  // namespace
}  // namespace trq_test
