// Reaches into the console of another process, as a person at its window
// would. Usage:
//   ConsoleKey.exe PID        presses and releases the key A in its console
//   ConsoleKey.exe PID read   writes the text of its console screen to our
//                             standard output, one line per screen row
//   ConsoleKey.exe PID mark   puts a marker into its console input: the
//                             release of Shift, which a program waiting for
//                             a key reads and passes over
//   ConsoleKey.exe PID marked writes the number of markers still in its
//                             console input, unread and not flushed
// Ends with 0, or with GetLastError when the console cannot be reached.
#include <windows.h>

#include "ToolSupport.h"

namespace {

const WORD kKeyA = 0x41;
const int kMaxScreenChars = 64 * 1024;
const DWORD kMaxPeekedEvents = 256;

DWORD Failed() {
    const DWORD error = GetLastError();
    return error ? error : 1;
}

HANDLE OpenInput() {
    return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

bool IsMarker(const INPUT_RECORD& record) {
    return record.EventType == KEY_EVENT && !record.Event.KeyEvent.bKeyDown &&
           record.Event.KeyEvent.wVirtualKeyCode == VK_SHIFT;
}

DWORD PressKey() {
    HANDLE input = OpenInput();
    if (input == INVALID_HANDLE_VALUE) return Failed();
    INPUT_RECORD keys[2];
    tool::Zero(keys, sizeof keys);
    for (int i = 0; i < 2; ++i) {
        keys[i].EventType = KEY_EVENT;
        keys[i].Event.KeyEvent.bKeyDown = i == 0;
        keys[i].Event.KeyEvent.wRepeatCount = 1;
        keys[i].Event.KeyEvent.wVirtualKeyCode = kKeyA;
        keys[i].Event.KeyEvent.uChar.AsciiChar = 'a';
    }
    DWORD written = 0;
    return WriteConsoleInputA(input, keys, 2, &written) && written == 2 ? 0 : Failed();
}

DWORD PutMarker() {
    HANDLE input = OpenInput();
    if (input == INVALID_HANDLE_VALUE) return Failed();
    INPUT_RECORD marker;
    tool::Zero(&marker, sizeof marker);
    marker.EventType = KEY_EVENT;
    marker.Event.KeyEvent.wRepeatCount = 1;
    marker.Event.KeyEvent.wVirtualKeyCode = VK_SHIFT;
    DWORD written = 0;
    return WriteConsoleInputA(input, &marker, 1, &written) && written == 1 ? 0 : Failed();
}

// Writes to output the number of markers among the pending input events,
// which are looked at and left in place.
DWORD CountMarkers(HANDLE output) {
    HANDLE input = OpenInput();
    static INPUT_RECORD pending[kMaxPeekedEvents];
    DWORD read = 0;
    if (input == INVALID_HANDLE_VALUE || !PeekConsoleInputA(input, pending, kMaxPeekedEvents, &read))
        return Failed();
    DWORD markers = 0;
    for (DWORD i = 0; i < read; ++i) markers += IsMarker(pending[i]) ? 1 : 0;
    tool::Text<16> line;
    line.AddNumber(markers).Add("\r\n");
    DWORD written = 0;
    return WriteFile(output, line.chars, static_cast<DWORD>(line.length), &written, nullptr) ? 0 : Failed();
}

// Writes the screen rows to output, which was our standard output before we
// left our own console.
DWORD ReadScreen(HANDLE output) {
    HANDLE screen = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (screen == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(screen, &info)) return Failed();
    static char text[kMaxScreenChars];
    const int width = info.dwSize.X;
    int length = 0;
    for (SHORT row = 0; row <= info.dwCursorPosition.Y && length + width + 2 <= kMaxScreenChars; ++row) {
        DWORD read = 0;
        const COORD start = {0, row};
        if (!ReadConsoleOutputCharacterA(screen, text + length, static_cast<DWORD>(width), start, &read))
            return Failed();
        length += static_cast<int>(read);
        while (length > 0 && text[length - 1] == ' ') --length;
        text[length++] = '\r';
        text[length++] = '\n';
    }
    DWORD written = 0;
    return WriteFile(output, text, static_cast<DWORD>(length), &written, nullptr) ? 0 : Failed();
}

}  // namespace

extern "C" void ConsoleKeyEntry() {
    const char* line = GetCommandLineA();
    while (*line && *line != ' ') ++line;  // our own name, never quoted by the tests
    while (*line == ' ') ++line;
    const DWORD pid = tool::ParseNumber(line);
    while (*line == ' ') ++line;

    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    FreeConsole();
    if (!AttachConsole(pid)) ExitProcess(Failed());
    if (tool::StartsWith(line, "read")) ExitProcess(ReadScreen(output));
    if (tool::StartsWith(line, "marked")) ExitProcess(CountMarkers(output));
    if (tool::StartsWith(line, "mark")) ExitProcess(PutMarker());
    ExitProcess(PressKey());
}
