#include <string>
#include <vector>

#include "Scenario.h"

namespace {

const std::string kUsage =
    "Pacecap - sets max CPU percent values in the current power profile\r\n"
    "Freeware by The Pacecap Project - https://pacecap.example\r\n\r\n"
    "Usage: Pacecap PluggedIn_Percent [OnBattery_Percent]\r\n\r\n"
    "Sample: Pacecap 99 80\r\n"
    "no admin privileges required\r\n";
const std::string kInvalid = "invalid value -> abort\r\n";
const std::string kPrompt = "Press any key to close";

using Calls = std::vector<std::string>;

class CommandTest : public FakePlatformTest {
protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        fake::Fake().pluggedIn = 85;
        fake::Fake().onBattery = 60;
    }
    void Fail(const char* operation) { fake::Fake().failures[operation] = 5; }
    Calls Writes() { return fake::CallsStartingWith("PowerWrite"); }
    // A console of the program's own, with a key on its way, so the prompt shows.
    void OwnConsoleWithKey() {
        fake::Fake().consoleOwner = fake::kOwnProcessId;
        fake::Fake().stdoutFileType = FILE_TYPE_CHAR;
        fake::Fake().input.push_back({fake::Fake().tick + 1000, fake::KeyRecord('A', true)});
    }
};

std::string Values(DWORD pluggedIn, DWORD onBattery) {
    return "\r\nplugged-in value is " + std::to_string(pluggedIn) + "%\r\non-battery value is " +
           std::to_string(onBattery) + "%\r\n\r\n";
}

TEST_F(CommandTest, NoArguments_UsageAndCurrentValues) {
    EXPECT_EQ(RunProgram("Pacecap"), 1u);
    EXPECT_EQ(Output(), kUsage + Values(85, 60));
    EXPECT_TRUE(Writes().empty());
    EXPECT_FALSE(fake::Fake().applied);
}

TEST_F(CommandTest, TooLongCommandLine_ActsAsNoArguments) {
    EXPECT_EQ(RunProgram("Pacecap 50 " + std::string(600, '5')), 1u);
    EXPECT_EQ(Output(), kUsage + Values(85, 60));
}

TEST_F(CommandTest, ZeroOrTextAlone_ShowsValuesOnly) {
    for (const char* line : {"Pacecap 0", "Pacecap abc", "Pacecap 000", "Pacecap -0", "Pacecap \"50\"", "Pacecap +5"}) {
        fake::Reset();
        fake::Fake().pluggedIn = 85;
        fake::Fake().onBattery = 60;
        EXPECT_EQ(RunProgram(line), 0u) << line;
        EXPECT_EQ(Output(), Values(85, 60)) << line;
        EXPECT_TRUE(Writes().empty()) << line;
        EXPECT_FALSE(fake::Fake().applied) << line;
    }
}

TEST_F(CommandTest, BothValues_WrittenAndApplied) {
    EXPECT_EQ(RunProgram("Pacecap 99 80"), 0u);
    EXPECT_EQ(Output(), "plugged-in value set to 99%\r\non-battery value set to 80%\r\nChanges applied\r\n");
    EXPECT_EQ(fake::Fake().pluggedIn, 99u);
    EXPECT_EQ(fake::Fake().onBattery, 80u);
    EXPECT_EQ(fake::CallsStartingWith("Power"),
              Calls({"PowerGetActiveScheme", "PowerWriteACValueIndex(99)", "PowerWriteDCValueIndex(80)",
                     "PowerSetActiveScheme"}));
    EXPECT_EQ(fake::Fake().calls.back(), "ExitProcess(0)");
}

TEST_F(CommandTest, OneValueOrZeroOnBattery_OnBatteryLeftAlone) {
    for (const char* line : {"Pacecap 99", "Pacecap 99 0", "Pacecap 99 -0"}) {
        SCOPED_TRACE(line);
        fake::Reset();
        fake::Fake().onBattery = 60;
        EXPECT_EQ(RunProgram(line), 0u);
        EXPECT_EQ(Output(), "plugged-in value set to 99%\r\nChanges applied\r\n");
        EXPECT_EQ(Writes(), Calls({"PowerWriteACValueIndex(99)"}));
        EXPECT_EQ(fake::Fake().onBattery, 60u);
        EXPECT_TRUE(fake::Fake().applied);
    }
}

TEST_F(CommandTest, ZeroPluggedIn_IsWritten) {
    EXPECT_EQ(RunProgram("Pacecap 0 80"), 0u);
    EXPECT_EQ(Writes(), Calls({"PowerWriteACValueIndex(0)", "PowerWriteDCValueIndex(80)"}));
    fake::Reset();
    EXPECT_EQ(RunProgram("Pacecap 0 0"), 0u);
    EXPECT_EQ(Output(), "plugged-in value set to 0%\r\nChanges applied\r\n");
    EXPECT_EQ(Writes(), Calls({"PowerWriteACValueIndex(0)"}));
}

TEST_F(CommandTest, BoundsAndNumberForms) {
    struct Case {
        const char* line;
        Calls writes;
    };
    const std::vector<Case> accepted = {
        {"Pacecap 100 100", {"PowerWriteACValueIndex(100)", "PowerWriteDCValueIndex(100)"}},
        {"Pacecap 0099 007", {"PowerWriteACValueIndex(99)", "PowerWriteDCValueIndex(7)"}},
        {"Pacecap 50 60 70 abc", {"PowerWriteACValueIndex(50)", "PowerWriteDCValueIndex(60)"}},
        {"Pacecap 42% 7x", {"PowerWriteACValueIndex(42)", "PowerWriteDCValueIndex(7)"}},
        {"Pacecap 99\t80 70", {"PowerWriteACValueIndex(99)", "PowerWriteDCValueIndex(70)"}},
    };
    for (const auto& c : accepted) {
        fake::Reset();
        EXPECT_EQ(RunProgram(c.line), 0u) << c.line;
        EXPECT_EQ(Writes(), c.writes) << c.line;
    }
}

TEST_F(CommandTest, InvalidValues_AbortBeforeAnyPowerCallWithoutPrompt) {
    for (const char* line : {"Pacecap 101", "Pacecap 50 101", "Pacecap -5", "Pacecap 50 -1", "Pacecap 4294967346",
                             "Pacecap 50 4294967296", "Pacecap 00000000000000000101", "Pacecap abc 50",
                             "Pacecap \"50\" 60", "Pacecap 50 abc", "Pacecap +5 5",
                             "Pacecap - 5", "Pacecap 4294967296", "Pacecap -4294967246", "Pacecap 50 -4294967226"}) {
        fake::Reset();
        OwnConsoleWithKey();
        EXPECT_EQ(RunProgram(line), 1u) << line;
        EXPECT_EQ(Output(), kInvalid) << line;
        EXPECT_TRUE(fake::CallsStartingWith("Power").empty()) << line;
        EXPECT_EQ(fake::CountCalls("Sleep"), 0) << line;
    }
}

TEST_F(CommandTest, ClosePromptRunsInEveryModeButInvalidValue) {
    for (const char* line : {"Pacecap", "Pacecap 0", "Pacecap 50"}) {
        fake::Reset();
        OwnConsoleWithKey();
        RunProgram(line);
        const std::string& out = Output();
        EXPECT_EQ(out.substr(out.size() - kPrompt.size()), kPrompt) << line;
        EXPECT_EQ(fake::Fake().keysRead, 1) << line;
    }
}

TEST_F(CommandTest, NoActiveScheme) {
    Fail("PowerGetActiveScheme");
    EXPECT_EQ(RunProgram("Pacecap 99 80"), 2u);
    EXPECT_EQ(Output(), "Error retrieving the active power scheme\r\n");
    EXPECT_TRUE(Writes().empty());

    fake::Fake().output.clear();
    EXPECT_EQ(RunProgram("Pacecap 0"), 0u);
    EXPECT_EQ(Output(), "\r\n");

    fake::Fake().output.clear();
    EXPECT_EQ(RunProgram("Pacecap"), 1u);
    EXPECT_EQ(Output(), kUsage + "\r\n");
}

TEST_F(CommandTest, NoActiveScheme_PromptStillRuns) {
    Fail("PowerGetActiveScheme");
    OwnConsoleWithKey();
    EXPECT_EQ(RunProgram("Pacecap 99"), 2u);
    EXPECT_EQ(Output(), "Error retrieving the active power scheme\r\n" + kPrompt);
}

TEST_F(CommandTest, FailedReads_LeaveOutTheirLines) {
    Fail("PowerReadACValueIndex");
    EXPECT_EQ(RunProgram("Pacecap 0"), 0u);
    EXPECT_EQ(Output(), "\r\non-battery value is 60%\r\n\r\n");

    fake::Reset();
    Fail("PowerReadDCValueIndex");
    fake::Fake().pluggedIn = 85;
    EXPECT_EQ(RunProgram("Pacecap"), 1u);
    EXPECT_EQ(Output(), kUsage + "\r\nplugged-in value is 85%\r\n\r\n");
}

TEST_F(CommandTest, FailedPluggedInWrite_ReportedOthersStillDone) {
    Fail("PowerWriteACValueIndex");
    EXPECT_EQ(RunProgram("Pacecap 99 80"), 3u);
    EXPECT_EQ(Output(), "Error: Failed to write 'plugged-in' value\r\non-battery value set to 80%\r\nChanges applied\r\n");
    EXPECT_EQ(fake::Fake().onBattery, 80u);
    EXPECT_TRUE(fake::Fake().applied);
}

TEST_F(CommandTest, FailedOnBatteryWrite_ReportedAndApplied) {
    Fail("PowerWriteDCValueIndex");
    EXPECT_EQ(RunProgram("Pacecap 99 80"), 3u);
    EXPECT_EQ(Output(), "plugged-in value set to 99%\r\nError: Failed to write 'on-battery' value\r\nChanges applied\r\n");
    EXPECT_TRUE(fake::Fake().applied);
}

TEST_F(CommandTest, FailedApply_ReportedSchemeStillReleased) {
    Fail("PowerSetActiveScheme");
    OwnConsoleWithKey();
    EXPECT_EQ(RunProgram("Pacecap 99 80"), 3u);
    EXPECT_EQ(Output(),
              "plugged-in value set to 99%\r\non-battery value set to 80%\r\nError: Failed to apply changes!\r\n" + kPrompt);
    EXPECT_EQ(fake::Fake().schemesFreed, 1);
}

TEST_F(CommandTest, EverythingFails_AllReportedExitThree) {
    for (const char* op : {"PowerWriteACValueIndex", "PowerWriteDCValueIndex", "PowerSetActiveScheme"}) Fail(op);
    EXPECT_EQ(RunProgram("Pacecap 10 20"), 3u);
    EXPECT_EQ(Output(),
              "Error: Failed to write 'plugged-in' value\r\nError: Failed to write 'on-battery' value\r\n"
              "Error: Failed to apply changes!\r\n");
    EXPECT_EQ(fake::Fake().pluggedIn, 85u);
}

}  // namespace

class HybridTest : public CommandTest {
protected:
    // Processors of classes 0 to highest; the scheme has the settings of classes.
    void Classes(BYTE highest, std::vector<int> settings) {
        fake::Fake().efficiencyClasses = {0, 0};
        for (BYTE k = 1; k <= highest; ++k) fake::Fake().efficiencyClasses.push_back(k);
        for (int k : settings) fake::Fake().higherClasses[k] = {100, 100};
    }
};

TEST_F(HybridTest, EveryClassWritten_MissingSettingSkipped) {
    Classes(2, {1, 2});
    EXPECT_EQ(RunProgram("Pacecap 99 80"), 0u);
    EXPECT_EQ(Output(), "plugged-in value set to 99%\r\non-battery value set to 80%\r\nChanges applied\r\n");
    EXPECT_EQ(Writes(), Calls({"PowerWriteACValueIndex(99)", "PowerWriteACValueIndex@1(99)",
                               "PowerWriteACValueIndex@2(99)", "PowerWriteDCValueIndex(80)",
                               "PowerWriteDCValueIndex@1(80)", "PowerWriteDCValueIndex@2(80)"}));
    EXPECT_EQ(fake::Fake().calls.back(), "ExitProcess(0)");
    EXPECT_EQ(fake::CallsStartingWith("PowerSetActiveScheme").size(), 1u);

    fake::Reset();
    Classes(2, {1});
    EXPECT_EQ(RunProgram("Pacecap 100"), 0u);
    EXPECT_EQ(Writes(), Calls({"PowerWriteACValueIndex(100)", "PowerWriteACValueIndex@1(100)"}));
    EXPECT_EQ(fake::Fake().higherClasses[1], std::make_pair(DWORD{100}, DWORD{100}));
}

TEST_F(HybridTest, FailedWriteOfEitherClass_ReportedExitThree) {
    for (const char* op : {"PowerWriteACValueIndex@1", "PowerWriteACValueIndex"}) {
        SCOPED_TRACE(op);
        fake::Reset();
        Classes(1, {1});
        Fail(op);
        EXPECT_EQ(RunProgram("Pacecap 99 80"), 3u);
        EXPECT_EQ(Output(),
                  "Error: Failed to write 'plugged-in' value\r\non-battery value set to 80%\r\nChanges applied\r\n");
        EXPECT_EQ(fake::Fake().higherClasses[1].second, 80u);
    }
}

TEST_F(HybridTest, ShowMode_AddsLinesOnlyForValuesThatDiffer) {
    struct Case {
        std::pair<DWORD, DWORD> classOne, classTwo;
        std::string lines;
    };
    for (const Case& c : std::vector<Case>{
             {{85, 60}, {100, 60}, "plugged-in value of efficiency class 2 is 100%\r\n"},
             {{50, 40}, {85, 60}, "plugged-in value of efficiency class 1 is 50%\r\n"
                                  "on-battery value of efficiency class 1 is 40%\r\n"}}) {
        SCOPED_TRACE(c.lines);
        fake::Reset();
        Classes(2, {1, 2});
        fake::Fake().pluggedIn = 85;
        fake::Fake().onBattery = 60;
        fake::Fake().higherClasses[1] = c.classOne;
        fake::Fake().higherClasses[2] = c.classTwo;
        EXPECT_EQ(RunProgram("Pacecap 0"), 0u);
        EXPECT_EQ(Output(), "\r\nplugged-in value is 85%\r\non-battery value is 60%\r\n" + c.lines + "\r\n");
        EXPECT_TRUE(Writes().empty());
    }
}
