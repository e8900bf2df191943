#include <vector>

#include "EfficiencyClass.h"
#include "Scenario.h"

namespace {

class EfficiencyClassTest : public FakePlatformTest {};

TEST_F(EfficiencyClassTest, HighestClassOfTheProcessors_AtMostTheLastKnownSetting) {
    const std::vector<std::pair<std::vector<BYTE>, int>> cases = {
        {{0, 0, 0, 0}, 0}, {{1, 1, 0, 0}, 1}, {{0, 2, 1}, 2}, {{0, 3, 1}, 2}, {{}, 0}};
    for (const auto& [classes, highest] : cases) {
        fake::Fake().efficiencyClasses = classes;
        EXPECT_EQ(pacecap::HighestEfficiencyClass(), highest) << classes.size();
    }
}

TEST_F(EfficiencyClassTest, NoCpuSetsOrFailedQuery_ClassZeroAlone) {
    fake::Fake().efficiencyClasses = {0, 1};
    fake::Fake().cpuSetsFail = true;
    EXPECT_EQ(pacecap::HighestEfficiencyClass(), 0);
    fake::Fake().cpuSetsFail = false;
    fake::Fake().hasCpuSets = false;
    EXPECT_EQ(pacecap::HighestEfficiencyClass(), 0);
    EXPECT_EQ(fake::CountCalls("GetSystemCpuSetInformation"), 1);
}

}  // namespace
