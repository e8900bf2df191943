// The task action's decisions, apart from Windows: what CustomActionData
// asks for, the command line that does it, the lines of a stream of output,
// and the verdict at the end. Plain functions over fixed buffers; the host
// tests call them directly.
#pragma once

#include <windows.h>

namespace taskaction {

// Sizes in characters; each one's frame stays under a page (no stack probe).
const int kDataSize = 400;          // CustomActionData
const int kPathSize = 260;          // a folder or file path
const int kCommandLineSize = 700;   // PowerShell's command line
const int kLineSize = 256;          // one line of output; a longer one is split
const int kMessageSize = 512;       // one line of the installer log
const DWORD kLongestBound = 3600;   // seconds

// A zero-terminated wide text of fixed capacity. What does not fit is
// dropped, and overflowed says so.
template <int Capacity>
struct WideText {
    WCHAR chars[Capacity];
    int length;
    bool overflowed;
};

template <int Capacity>
void Clear(WideText<Capacity>& text) {
    text.length = 0;
    text.overflowed = false;
    text.chars[0] = 0;
}

void AppendChars(WCHAR* chars, int capacity, int& length, bool& overflowed, const WCHAR* wide, const char* ascii);
template <int Capacity>
void Append(WideText<Capacity>& text, const char* ascii) {
    AppendChars(text.chars, Capacity, text.length, text.overflowed, nullptr, ascii);
}
template <int Capacity>
void AppendWide(WideText<Capacity>& text, const WCHAR* wide) {
    AppendChars(text.chars, Capacity, text.length, text.overflowed, wide, nullptr);
}
template <int Capacity>
void AppendNumber(WideText<Capacity>& text, DWORD value) {
    char digits[11];
    int n = 10;
    digits[n] = 0;
    do digits[--n] = static_cast<char>('0' + value % 10); while ((value /= 10) != 0);
    Append(text, digits + n);
}

// What one run of Register-PacecapTask.ps1 is to do, read from
// CustomActionData.
struct TaskRun {
    DWORD seconds;                     // the bound on the whole run
    bool removes;                      // -Remove: undoes a registration
    WideText<kPathSize> script;        // the installed Register-PacecapTask.ps1
    WideText<64> arguments;            // the script's arguments, each one checked
    const char* refusal;               // why the data was refused, when it was
};

// Reads "SECONDS|FOLDER|ARG|ARG..." into run: SECONDS from 1 to kLongestBound,
// FOLDER the install folder with its trailing backslash, each ARG one of
// "-PluggedIn N", "-OnBattery N" (N from 0 to 100) or "-Remove"; an ARG with
// no value ("-PluggedIn ") was not given and is left out; -Remove stands
// alone. Returns false, with run.refusal set, for anything else.
bool ReadTaskData(const WCHAR* data, TaskRun& run);

// The 64-bit Windows PowerShell in system, the System32 folder as
// GetSystemDirectoryW gives it. False when it does not fit.
bool BuildPowerShellPath(const WCHAR* system, WideText<kPathSize>& path);

// powershell's command line to run the script with its arguments, as the
// installer has always run it. False when it does not fit.
bool BuildCommandLine(const WCHAR* powershell, const TaskRun& run, WideText<kCommandLineSize>& commandLine);

// The bytes of one output stream, cut into lines.
struct Lines {
    char line[kLineSize];  // the line taken, zero-terminated, without its end
    int length;
    bool taken;            // line was handed out: the next byte starts a new one
};

void StartLines(Lines& lines);
// Adds one byte; true when that ends a line ("\n", or "\r\n" whose "\r" is
// dropped) or fills one, which is then in lines.line.
bool AddByte(Lines& lines, char byte);
// At the end of the stream: true when a last line without an end is left in
// lines.line.
bool EndLines(Lines& lines);

// How the run ended: Cancelled, stopped as the user cancelled the install.
enum class Ending { Exited, Stopped, Cancelled, NotStarted };

// The log line that says how the run ended: its exit code; or that it was
// stopped at the bound with the processes it had left; or which step could
// not start it (step, with Windows' error code).
void DescribeEnding(const TaskRun& run, Ending ending, DWORD codeOrError, DWORD processes, const char* step,
                    WideText<kMessageSize>& text);
// ERROR_SUCCESS for an exit with code 0; ERROR_INSTALL_USEREXIT for a
// cancelled run; else ERROR_INSTALL_FAILURE. Either failure rolls the
// install back.
UINT Verdict(Ending ending, DWORD exitCode);
// The message of a failed run: what it means for the install and what to do.
void DescribeFailure(const TaskRun& run, WideText<kMessageSize>& text);
// The log line of one line of output: the script and its arguments, which
// stream it came from, and the line with each of "[]{}" escaped as "[\x]",
// as the log formats the text it is given and would read "[...]" as a
// property. What does not fit is left out, never half an escape.
void DescribeOutputLine(const TaskRun& run, bool errorStream, const WCHAR* line, WideText<kMessageSize>& text);

}  // namespace taskaction
