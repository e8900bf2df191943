#include <string>
#include <vector>

#include "ConsoleWait.h"
#include "Scenario.h"

namespace {

const char kPrompt[] = "Press any key to close";

class WaitForKeyToCloseTest : public FakePlatformTest {
protected:
    // A console window of the program's own, showing its output.
    void OwnConsole() {
        fake::Fake().consoleOwner = fake::kOwnProcessId;
        fake::Fake().stdoutFileType = FILE_TYPE_CHAR;
    }
    // Queues an event that arrives afterMs after the call starts.
    void Arrives(DWORD afterMs, INPUT_RECORD record) {
        fake::Fake().input.push_back({fake::Fake().tick + afterMs, record});
    }
    // Runs the wait; returns how long it took by the fake clock.
    DWORD Wait(DWORD timeoutMs) {
        const DWORD start = fake::Fake().tick;
        pacecap::WaitForKeyToClose(timeoutMs);
        return fake::Fake().tick - start;
    }
};

TEST_F(WaitForKeyToCloseTest, ShellsConsole_ReturnsAtOnce) {
    fake::Fake().stdoutFileType = FILE_TYPE_CHAR;
    EXPECT_EQ(Wait(0), 0u);
    EXPECT_EQ(Output(), "");
    EXPECT_EQ(fake::CountCalls("Sleep"), 0);
}

TEST_F(WaitForKeyToCloseTest, OutputRedirected_ReturnsAtOnce) {
    OwnConsole();
    for (DWORD type : {FILE_TYPE_DISK, FILE_TYPE_PIPE, FILE_TYPE_UNKNOWN}) {
        fake::Fake().stdoutFileType = type;
        EXPECT_EQ(Wait(0), 0u);
    }
    EXPECT_EQ(Output(), "");
    EXPECT_EQ(fake::CountCalls("Sleep"), 0);
}

TEST_F(WaitForKeyToCloseTest, PausesAndFlushesBeforePrompt_EarlyKeysDiscarded) {
    OwnConsole();
    Arrives(0, fake::KeyRecord('A', true));
    Arrives(299, fake::KeyRecord('B', true));
    Arrives(400, fake::KeyRecord('C', true));
    EXPECT_EQ(Wait(0), 400u);
    const auto& calls = fake::Fake().calls;
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls[2], "Sleep(300)");
    EXPECT_EQ(calls[3], "FlushConsoleInputBuffer");
    EXPECT_EQ(calls[4], "WriteFile(22)");
    EXPECT_EQ(Output(), kPrompt);
    EXPECT_EQ(fake::Fake().keysRead, 1);
}

TEST_F(WaitForKeyToCloseTest, PromptOnlyWithoutLimitOrAboveOneSecond) {
    OwnConsole();
    const std::vector<std::pair<DWORD, bool>> cases = {{0, true}, {500, false}, {1000, false}, {1001, true}, {2000, true}};
    for (const auto& [limit, prompted] : cases) {
        fake::Fake().output.clear();
        Arrives(310, fake::KeyRecord(VK_RETURN, true));
        Wait(limit);
        EXPECT_EQ(Output(), prompted ? kPrompt : "") << limit;
    }
}

TEST_F(WaitForKeyToCloseTest, ModifierKeysAndOtherEventsIgnored_ReleaseEndsWait) {
    OwnConsole();
    DWORD at = 310;
    for (WORD key : {VK_SHIFT, VK_CONTROL, VK_MENU, VK_PAUSE, VK_CAPITAL}) {
        Arrives(at += 10, fake::KeyRecord(key, true));
        Arrives(at += 10, fake::KeyRecord(key, false));
    }
    Arrives(at += 10, fake::MouseRecord());
    Arrives(at += 10, fake::KeyRecord('Q', false));
    Arrives(at + 100, fake::KeyRecord('Z', true));
    EXPECT_EQ(Wait(0), at);
    EXPECT_EQ(fake::Fake().keysRead, 12);
}

TEST_F(WaitForKeyToCloseTest, TimeLimitCountsFromAfterPause) {
    OwnConsole();
    const DWORD took = Wait(500);
    EXPECT_GT(took, 300u + 500u);
    EXPECT_LE(took, 300u + 500u + 10u);
    EXPECT_EQ(Output(), "");
}

TEST_F(WaitForKeyToCloseTest, TimeLimitSurvivesTickWrap) {
    OwnConsole();
    fake::Fake().tick = 0xFFFFFFFFu - 400u;
    const DWORD took = Wait(2000);
    EXPECT_GT(took, 2300u);
    EXPECT_LE(took, 2310u);
}

TEST_F(WaitForKeyToCloseTest, NobodyCanAnswer_ReturnsAtOnce_OwnConsoleShownStillWaits) {
    struct Case {
        const char* name;
        bool interactive, queryFails, inputFails;
        DWORD startupFlags;
        WORD show;
        bool waits;
    };
    const std::vector<Case> cases = {
        {"shown window on the interactive station", true, false, false, STARTF_USESHOWWINDOW, SW_SHOWNORMAL, true},
        {"no show flag", true, false, false, 0, SW_HIDE, true},
        {"started hidden", true, false, false, STARTF_USESHOWWINDOW, SW_HIDE, false},
        {"non-interactive window station", false, false, false, 0, SW_SHOWNORMAL, false},
        {"window station cannot be queried", true, true, false, 0, SW_SHOWNORMAL, false},
        {"input is not a console", true, false, true, 0, SW_SHOWNORMAL, false},
    };
    for (const auto& c : cases) {
        fake::Reset();
        OwnConsole();
        fake::Fake().interactiveStation = c.interactive;
        fake::Fake().stationQueryFails = c.queryFails;
        fake::Fake().inputEventsFail = c.inputFails;
        fake::Fake().startupFlags = c.startupFlags;
        fake::Fake().showWindow = c.show;
        Arrives(350, fake::KeyRecord('A', true));
        EXPECT_EQ(Wait(0), c.waits ? 350u : 0u) << c.name;
        EXPECT_EQ(Output(), c.waits ? kPrompt : "") << c.name;
    }
}

TEST_F(WaitForKeyToCloseTest, SessionZero_ReturnsAtOnce_FailedSessionQueryStillWaits) {
    OwnConsole();
    fake::Fake().session = 0;
    Arrives(350, fake::KeyRecord('A', true));
    EXPECT_EQ(Wait(0), 0u);
    EXPECT_EQ(Output(), "");
    fake::Fake().sessionQueryFails = true;
    EXPECT_EQ(Wait(0), 350u);
    EXPECT_EQ(Output(), kPrompt);
}

TEST_F(WaitForKeyToCloseTest, NoKeyEver_EndsAfterTenMinutes) {
    const DWORD tenMinutes = 10u * 60u * 1000u;
    for (DWORD limit : {0u, tenMinutes + 1u, 0xFFFFFFFFu}) {
        fake::Reset();
        OwnConsole();
        const DWORD took = Wait(limit);
        EXPECT_GT(took, 300u + tenMinutes) << limit;
        EXPECT_LE(took, 300u + tenMinutes + 10u) << limit;
        EXPECT_EQ(Output(), kPrompt) << limit;
    }
}

TEST_F(WaitForKeyToCloseTest, InputStopsBeingAConsole_WaitEnds) {
    OwnConsole();
    fake::Fake().consoleInputLostAtTick = fake::Fake().tick + 500;
    EXPECT_EQ(Wait(0), 500u);
    EXPECT_EQ(Output(), kPrompt);
}

TEST(IsModifierKeyTest, ExactlyShiftThroughCapsLock) {
    KEY_EVENT_RECORD key = {};
    for (int code = 0; code <= 0xFF; ++code) {
        key.wVirtualKeyCode = static_cast<WORD>(code);
        EXPECT_EQ(pacecap::IsModifierKey(key), code >= VK_SHIFT && code <= VK_CAPITAL) << code;
    }
}

}  // namespace
