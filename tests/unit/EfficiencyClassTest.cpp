#include <string>
#include <vector>

#include "EfficiencyClass.h"
#include "Scenario.h"

namespace {

// What the query of the processors answers -> the highest class.
struct QueryCase {
    const char* name;
    std::vector<BYTE> classes;
    int highest;
    std::vector<DWORD> sizes = {};  // the Size each entry states, where not 32
    bool fails = false;
    std::vector<BYTE> before = {};  // the classes of an earlier query that succeeded
};

void PrintTo(const QueryCase& c, std::ostream* out) { *out << c.name; }

class EfficiencyClassTest : public FakePlatformTest {};
class QueryTest : public FakePlatformTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(QueryTest, HighestClassOfTheProcessors_AtMostTheLastKnownSetting) {
    const QueryCase& c = GetParam();
    if (!c.before.empty()) {
        fake::Fake().efficiencyClasses = c.before;
        pacecap::HighestEfficiencyClass();
    }
    fake::Fake().efficiencyClasses = c.classes;
    fake::Fake().cpuSetSizes = c.sizes;
    fake::Fake().cpuSetsFail = c.fails;
    EXPECT_EQ(pacecap::HighestEfficiencyClass(), c.highest);
}

INSTANTIATE_TEST_SUITE_P(Cases, QueryTest, ::testing::Values(
    QueryCase{"OneKind", {0, 0, 0, 0}, 0},
    QueryCase{"TwoKinds", {1, 1, 0, 0}, 1},
    QueryCase{"ThreeKinds", {0, 2, 1}, 2},
    QueryCase{"ClassBeyondTheKnownSettings", {0, 3, 1}, 2},
    QueryCase{"NoEntries", {}, 0},
    QueryCase{"FailedAfterOneThatSucceeded", {0, 2}, 0, {}, true, {0, 2}},
    QueryCase{"EntryOfSizeZero", {1, 2}, 1, {32, 0}},
    QueryCase{"EntryTooShortForTheClass", {1, 2}, 1, {32, 16}},
    QueryCase{"EntryLongerThanWhatIsLeft", {0, 1}, 0, {32, 64}}),
    [](const ::testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.name); });

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
