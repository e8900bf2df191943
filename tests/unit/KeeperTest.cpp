#include <string>
#include <vector>

#include "Scenario.h"

namespace {

using Calls = std::vector<std::string>;

struct Row {
    const char* name;
    const char* line;
    std::vector<DWORD> scheme;  // plugged-in, on-battery; then class 1's, where the scheme has that class
    const char* failing;        // the operation that fails, or ""
    UINT exitCode;
    std::string output;  // with bare line feeds
    Calls changes;       // the scheme fetched, the writes and the apply, in order
};

const std::string kUsage =
    "Usage: PacecapKeep PluggedIn_Percent OnBattery_Percent\na value of 0 leaves that limit as it is\n";
const std::string kBadArguments = "invalid arguments -> abort\n" + kUsage;
const std::string kBadValue = "invalid value -> abort\n" + kUsage;
const char* const kGet = "PowerGetActiveScheme";
const char* const kApply = "PowerSetActiveScheme";

const Row kRows[] = {
    {"Held_NothingWrittenOrApplied", "PacecapKeep 99 80", {99, 80}, "", 0,
     "limits held: plugged-in 99%, on-battery 80%\n", {kGet}},
    {"HeldInEveryClass", "PacecapKeep 0099 007", {99, 7, 99, 7}, "", 0,
     "limits held: plugged-in 99%, on-battery 7%\n", {kGet}},
    {"PluggedInDiffers_OnlyItWritten", "PacecapKeep 99 80", {85, 80}, "", 0,
     "plugged-in value set to 99%\nChanges applied\n", {kGet, "PowerWriteACValueIndex(99)", kApply}},
    {"OneClassDiffers_OnlyThatClassWritten", "PacecapKeep 99 80", {99, 80, 99, 100}, "", 0,
     "on-battery value set to 80%\nChanges applied\n", {kGet, "PowerWriteDCValueIndex@1(80)", kApply}},
    {"BothDiffer_BothWritten", "PacecapKeep 99 80", {85, 60}, "", 0,
     "plugged-in value set to 99%\non-battery value set to 80%\nChanges applied\n",
     {kGet, "PowerWriteACValueIndex(99)", "PowerWriteDCValueIndex(80)", kApply}},
    {"UnreadableValue_Written", "PacecapKeep 99 80", {99, 80}, "PowerReadDCValueIndex", 0,
     "on-battery value set to 80%\nChanges applied\n", {kGet, "PowerWriteDCValueIndex(80)", kApply}},
    {"ZeroPluggedIn_LeftAsItIs", "PacecapKeep 0 80", {85, 60}, "", 0,
     "on-battery value set to 80%\nChanges applied\n", {kGet, "PowerWriteDCValueIndex(80)", kApply}},
    {"ZeroOnBattery_LeftAsItIs", "PacecapKeep 99 0", {85, 60}, "", 0,
     "plugged-in value set to 99%\nChanges applied\n", {kGet, "PowerWriteACValueIndex(99)", kApply}},
    {"ZeroPluggedIn_Held", "PacecapKeep 0 80", {85, 80}, "", 0,
     "limits held: plugged-in left as it is, on-battery 80%\n", {kGet}},
    {"ZeroOnBattery_Held", "PacecapKeep 99 0", {99, 60}, "", 0,
     "limits held: plugged-in 99%, on-battery left as it is\n", {kGet}},
    {"BothZero_NothingWritten", "PacecapKeep 0 0", {85, 60}, "", 0,
     "limits held: plugged-in and on-battery left as they are\n", {kGet}},
    {"NoArguments", "PacecapKeep", {85, 60}, "", 1, kBadArguments, {}},
    {"MissingArgument", "PacecapKeep 99", {85, 60}, "", 1, kBadArguments, {}},
    {"ExtraArgument", "PacecapKeep 99 80 70", {85, 60}, "", 1, kBadArguments, {}},
    {"Above100", "PacecapKeep 101 80", {85, 60}, "", 1, kBadValue, {}},
    {"Negative", "PacecapKeep 99 -5", {85, 60}, "", 1, kBadValue, {}},
    {"HugeNegativeNeverWrapsIntoRange", "PacecapKeep -4294967246 80", {85, 60}, "", 1, kBadValue, {}},
    {"NotANumber", "PacecapKeep 99 abc", {85, 60}, "", 1, kBadValue, {}},
    {"NoActiveScheme", "PacecapKeep 99 80", {85, 60}, kGet, 2, "Error retrieving the active power scheme\n", {kGet}},
    {"FailedWrite_NotApplied", "PacecapKeep 99 80", {85, 80}, "PowerWriteACValueIndex", 3,
     "Error: Failed to write 'plugged-in' value\n", {kGet, "PowerWriteACValueIndex(99)"}},
    {"FailedWrite_OtherStillWrittenAndApplied", "PacecapKeep 99 80", {85, 60}, "PowerWriteACValueIndex", 3,
     "Error: Failed to write 'plugged-in' value\non-battery value set to 80%\nChanges applied\n",
     {kGet, "PowerWriteACValueIndex(99)", "PowerWriteDCValueIndex(80)", kApply}},
    {"FailedApply", "PacecapKeep 99 80", {85, 80}, kApply, 3,
     "plugged-in value set to 99%\nError: Failed to apply changes!\n", {kGet, "PowerWriteACValueIndex(99)", kApply}},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.line; }

class KeeperTest : public FakePlatformTest, public ::testing::WithParamInterface<Row> {};

TEST_P(KeeperTest, WritesOnlyWhatDiffersAndAppliesOnlyAfterAWrite) {
    const Row& row = GetParam();
    fake::Platform& platform = fake::Fake();
    platform.pluggedIn = row.scheme[0];
    platform.onBattery = row.scheme[1];
    if (row.scheme.size() == 4) {
        platform.efficiencyClasses = {0, 1};
        platform.higherClasses[1] = {row.scheme[2], row.scheme[3]};
    }
    if (*row.failing) platform.failures[row.failing] = 5;  // access denied
    // A console of its own with a key on its way: the keeper still never waits.
    platform.consoleOwner = fake::kOwnProcessId;
    platform.stdoutFileType = FILE_TYPE_CHAR;
    platform.input.push_back({platform.tick + 1000, fake::KeyRecord('A', true)});

    EXPECT_EQ(RunProgram(row.line), row.exitCode);
    std::string output;
    for (char c : row.output) output += c == '\n' ? "\r\n" : std::string(1, c);
    EXPECT_EQ(Output(), output);
    Calls changes;
    for (const std::string& call : platform.calls)
        if (call.rfind("PowerRead", 0) != 0 && call.rfind("Power", 0) == 0) changes.push_back(call);
    EXPECT_EQ(changes, row.changes);
    EXPECT_EQ(platform.keysRead, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, KeeperTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
