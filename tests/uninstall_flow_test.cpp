// The uninstaller's dialogue and its end state, scenario by scenario, on the
// simulated device.
#include <gtest/gtest.h>

#include "tests/scenarios.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

class SharedScenario : public testing::TestWithParam<Scenario> {};

TEST_P(SharedScenario, ShowsTheBoxesAndLeavesWhatItShould)
{
    PlayScenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Device, SharedScenario, testing::ValuesIn(SharedScenarios()),
                         NameFromParam());

}  // namespace
}  // namespace trq_test
