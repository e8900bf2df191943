// The close prompt: keeps a console window that the program opened for
// itself from vanishing before its output is read.
#pragma once

#include <windows.h>

namespace pacecap {

// Waits for a key when the console window belongs to this process, the output
// is that console and someone can answer; returns at once otherwise. timeoutMs
// 0, or anything above ten minutes, waits ten minutes at most; the prompt
// shows only for 0 or limits above one second.
void WaitForKeyToClose(DWORD timeoutMs);

// True for Shift, Ctrl, Alt, Pause and Caps Lock, which never end the wait.
bool IsModifierKey(KEY_EVENT_RECORD key);

}  // namespace pacecap
