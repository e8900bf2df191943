#include "ConsoleWait.h"

#include "CRTreplace.h"

namespace pacecap {

namespace {

const DWORD kSettleMs = 300;  // lets keys typed during the run arrive, to be discarded
const DWORD kPollMs = 10;
const DWORD kPromptlessLimitMs = 1000;  // a wait this short needs no prompt

// True when the console window was opened for this process rather than
// inherited from a shell, and the output goes to it.
bool OwnsConsoleOutput() {
    DWORD owner = 0;
    GetWindowThreadProcessId(GetConsoleWindow(), &owner);
    if (owner != GetCurrentProcessId()) return false;
    return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
}

// Reads one pending input record, if there is one.
bool ReadPendingInput(HANDLE input, INPUT_RECORD* record) {
    DWORD pending = 0;
    DWORD read = 0;
    if (GetNumberOfConsoleInputEvents(input, &pending) && pending >= 1)
        ReadConsoleInputA(input, record, 1, &read);
    return read == 1;
}

}  // namespace

bool IsModifierKey(KEY_EVENT_RECORD key) {
    return static_cast<unsigned>(key.wVirtualKeyCode - VK_SHIFT) <= VK_CAPITAL - VK_SHIFT;
}

void WaitForKeyToClose(DWORD timeoutMs) {
    if (!OwnsConsoleOutput()) return;

    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    Sleep(kSettleMs);
    FlushConsoleInputBuffer(input);
    if (timeoutMs == 0 || timeoutMs > kPromptlessLimitMs) printf("Press any key to close");

    const DWORD start = GetTickCount();
    for (;;) {
        // Unsigned difference: a wrap of the tick counter does no harm.
        if (timeoutMs != 0 && GetTickCount() - start > timeoutMs) return;
        Sleep(kPollMs);
        INPUT_RECORD record;
        if (ReadPendingInput(input, &record) && record.EventType == KEY_EVENT &&
            !IsModifierKey(record.Event.KeyEvent))
            return;
    }
}

}  // namespace pacecap
