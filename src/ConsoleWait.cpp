#include "ConsoleWait.h"

#include "CRTreplace.h"

namespace pacecap {

namespace {

const DWORD kSettleMs = 300;  // lets keys typed during the run arrive, to be discarded
const DWORD kPollMs = 10;
const DWORD kPromptlessLimitMs = 1000;  // a wait this short needs no prompt
// Time enough to read the output; a console that nobody watches, such as a
// pseudo-console or a minimized window, must not keep the run going for ever.
const DWORD kLongestWaitMs = 10 * 60 * 1000;

// True when the console window was opened for this process rather than
// inherited from a shell, and the output goes to it.
bool OwnsConsoleOutput() {
    DWORD owner = 0;
    GetWindowThreadProcessId(GetConsoleWindow(), &owner);
    if (owner != GetCurrentProcessId()) return false;
    return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
}

// True when a person can see the window and answer the prompt: the process
// runs outside session 0, where services run and no user is logged on, on the
// interactive window station (not a service's, as for a task run as SYSTEM or
// without a logged-on user) and was not started with its window hidden.
bool SomeoneCanAnswer() {
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0) return false;
    USEROBJECTFLAGS station;
    DWORD needed = 0;
    if (!GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &station, sizeof station, &needed) ||
        !(station.dwFlags & WSF_VISIBLE))
        return false;
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    return !(startup.dwFlags & STARTF_USESHOWWINDOW) || startup.wShowWindow != SW_HIDE;
}

}  // namespace

bool IsModifierKey(KEY_EVENT_RECORD key) {
    return static_cast<unsigned>(key.wVirtualKeyCode - VK_SHIFT) <= VK_CAPITAL - VK_SHIFT;
}

void WaitForKeyToClose(DWORD timeoutMs) {
    if (!OwnsConsoleOutput() || !SomeoneCanAnswer()) return;

    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(input, &pending)) return;  // no key can come from it
    Sleep(kSettleMs);
    FlushConsoleInputBuffer(input);
    if (timeoutMs == 0 || timeoutMs > kPromptlessLimitMs) printf("Press any key to close");

    const DWORD limitMs = timeoutMs == 0 || timeoutMs > kLongestWaitMs ? kLongestWaitMs : timeoutMs;
    const DWORD start = GetTickCount();
    for (;;) {
        // Unsigned difference: a wrap of the tick counter does no harm.
        if (GetTickCount() - start > limitMs) return;
        Sleep(kPollMs);
        pending = 0;
        DWORD read = 0;
        INPUT_RECORD record;
        // A failed query means the input is not a console (any more): no key can come.
        if (!GetNumberOfConsoleInputEvents(input, &pending)) return;
        if (pending >= 1 && ReadConsoleInputA(input, &record, 1, &read) && read == 1 &&
            record.EventType == KEY_EVENT && !IsModifierKey(record.Event.KeyEvent))
            return;
    }
}

}  // namespace pacecap
