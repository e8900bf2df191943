#include "TaskRules.h"

namespace taskaction {

namespace {

const char kScriptName[] = "Register-PacecapTask.ps1";

bool IsDigit(WCHAR c) { return c >= '0' && c <= '9'; }

// Whether the field from..to (not terminated) equals ascii.
bool FieldIs(const WCHAR* from, const WCHAR* to, const char* ascii) {
    while (from < to && *ascii && *from == static_cast<WCHAR>(*ascii)) ++from, ++ascii;
    return from == to && *ascii == 0;
}

bool StartsWith(const WCHAR* from, const WCHAR* to, const char* ascii) {
    while (from < to && *ascii && *from == static_cast<WCHAR>(*ascii)) ++from, ++ascii;
    return *ascii == 0;
}

// A whole number in from..to, at most limit; -1 when there is none.
long ReadNumber(const WCHAR* from, const WCHAR* to, DWORD limit) {
    if (from == to || to - from > 4) return -1;
    DWORD value = 0;
    for (; from < to; ++from) {
        if (!IsDigit(*from)) return -1;
        value = value * 10 + (*from - '0');
    }
    return value <= limit ? static_cast<long>(value) : -1;
}

// Appends from..to (not terminated) to text.
template <int Capacity>
void AppendRange(WideText<Capacity>& text, const WCHAR* from, const WCHAR* to) {
    for (; from < to; ++from) {
        const WCHAR one[2] = {*from, 0};
        AppendWide(text, one);
    }
}

bool Refuse(TaskRun& run, const char* why) {
    run.refusal = why;
    return false;
}

// One ARG: appended to run.arguments when given and valid.
bool ReadArgument(const WCHAR* from, const WCHAR* to, TaskRun& run) {
    if (FieldIs(from, to, "-Remove")) {
        run.removes = true;
    } else {
        if (!StartsWith(from, to, "-PluggedIn ") && !StartsWith(from, to, "-OnBattery ")) return Refuse(run, "an argument other than -PluggedIn N, -OnBattery N or -Remove");
        const WCHAR* value = from + 11;  // past either name and its space
        if (value == to) return true;  // not given: the script's own default holds
        if (ReadNumber(value, to, 100) < 0) return Refuse(run, "a value that is not a whole number from 0 to 100");
    }
    if (run.arguments.length) Append(run.arguments, " ");
    AppendRange(run.arguments, from, to);
    return !run.arguments.overflowed || Refuse(run, "arguments too long");
}

}  // namespace

void AppendChars(WCHAR* chars, int capacity, int& length, bool& overflowed, const WCHAR* wide, const char* ascii) {
    while (wide ? *wide : *ascii) {
        if (length >= capacity - 1) {
            overflowed = true;
            break;
        }
        chars[length++] = wide ? *wide++ : static_cast<WCHAR>(static_cast<unsigned char>(*ascii++));
    }
    chars[length] = 0;
}

bool ReadTaskData(const WCHAR* data, TaskRun& run) {
    run.seconds = 0;
    run.removes = false;
    Clear(run.script);
    Clear(run.arguments);
    run.refusal = nullptr;
    const WCHAR* fields[16];
    int count = 0;
    fields[count++] = data;
    for (const WCHAR* c = data; *c; ++c) {
        if (*c == '|') {
            if (count == 15) return Refuse(run, "too many fields");
            fields[count++] = c + 1;
        }
    }
    const WCHAR* end = fields[count - 1];
    while (*end) ++end;
    fields[count] = end + 1;  // so that field i ends at fields[i + 1] - 1
    if (count < 3) return Refuse(run, "fewer than three fields");
    const long seconds = ReadNumber(fields[0], fields[1] - 1, kLongestBound);
    if (seconds < 1) return Refuse(run, "a bound that is not a whole number of seconds from 1 to 3600");
    run.seconds = static_cast<DWORD>(seconds);
    const WCHAR* folderEnd = fields[2] - 1;
    if (folderEnd == fields[1] || folderEnd[-1] != '\\') return Refuse(run, "a folder without its trailing backslash");
    for (const WCHAR* c = fields[1]; c < folderEnd; ++c) {
        if (*c == '"') return Refuse(run, "a folder with a double quote");
    }
    AppendRange(run.script, fields[1], folderEnd);
    Append(run.script, kScriptName);
    if (run.script.overflowed) return Refuse(run, "a folder too long");
    for (int i = 2; i < count; ++i) {
        if (!ReadArgument(fields[i], fields[i + 1] - 1, run)) return false;
    }
    if (run.removes && count != 3) return Refuse(run, "-Remove with other arguments");
    return true;
}

bool BuildPowerShellPath(const WCHAR* system, WideText<kPathSize>& path) {
    Clear(path);
    AppendWide(path, system);
    if (path.length == 0) return false;
    if (path.chars[path.length - 1] != '\\') Append(path, "\\");
    Append(path, "WindowsPowerShell\\v1.0\\powershell.exe");
    return !path.overflowed;
}

bool BuildCommandLine(const WCHAR* powershell, const TaskRun& run, WideText<kCommandLineSize>& commandLine) {
    Clear(commandLine);
    Append(commandLine, "\"");
    AppendWide(commandLine, powershell);
    Append(commandLine, "\" -NoProfile -NonInteractive -ExecutionPolicy Bypass -File \"");
    AppendWide(commandLine, run.script.chars);
    Append(commandLine, "\"");
    if (run.arguments.length) {
        Append(commandLine, " ");
        AppendWide(commandLine, run.arguments.chars);
    }
    return !commandLine.overflowed;
}

void StartLines(Lines& lines) {
    lines.length = 0;
    lines.taken = false;
    lines.line[0] = 0;
}

bool AddByte(Lines& lines, char byte) {
    if (lines.taken) StartLines(lines);
    if (byte == '\n') {
        if (lines.length && lines.line[lines.length - 1] == '\r') --lines.length;
        lines.line[lines.length] = 0;
        lines.taken = true;
        return true;
    }
    lines.line[lines.length++] = byte;
    lines.line[lines.length] = 0;
    // Full: handed out as a line of its own.
    lines.taken = lines.length == kLineSize - 1;
    return lines.taken;
}

bool EndLines(Lines& lines) {
    if (lines.taken) StartLines(lines);
    lines.taken = true;
    return lines.length != 0;
}

namespace {

void StartWithScript(const TaskRun& run, WideText<kMessageSize>& text) {
    Clear(text);
    Append(text, kScriptName);
    if (run.arguments.length) Append(text, " ");
    AppendWide(text, run.arguments.chars);
}

}  // namespace

void DescribeEnding(const TaskRun& run, Ending ending, DWORD codeOrError, DWORD processes, const char* step,
                    WideText<kMessageSize>& text) {
    StartWithScript(run, text);
    switch (ending) {
    case Ending::Exited:
        Append(text, ": exit code ");
        AppendNumber(text, codeOrError);
        break;
    case Ending::Stopped:
        Append(text, ": did not finish within ");
        AppendNumber(text, run.seconds);
        Append(text, " seconds, and was stopped with all it had started (");
        AppendNumber(text, processes);
        Append(text, processes == 1 ? " process)" : " processes)");
        break;
    case Ending::Cancelled:
        Append(text, ": stopped with all it had started, as the install was cancelled");
        break;
    case Ending::NotStarted:
        Append(text, ": Windows PowerShell could not be started: ");
        Append(text, step);
        Append(text, " failed with error ");
        AppendNumber(text, codeOrError);
        break;
    }
}

UINT Verdict(Ending ending, DWORD exitCode) {
    if (ending == Ending::Cancelled) return ERROR_INSTALL_USEREXIT;
    return ending == Ending::Exited && exitCode == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

void DescribeFailure(const TaskRun& run, WideText<kMessageSize>& text) {
    Clear(text);
    Append(text, run.removes
        ? "Pacecap's task could not be removed, so Pacecap stays installed, with its task; the lines above say why. "
          "Run Register-PacecapTask.ps1 -Remove from an administrator prompt, then uninstall again."
        : "Pacecap's task could not be registered, so the install was undone; the lines above say why. "
          "Install without PLUGGEDIN and ONBATTERY to leave the task out.");
}

void DescribeOutputLine(const TaskRun& run, bool errorStream, const WCHAR* line, WideText<kMessageSize>& text) {
    StartWithScript(run, text);
    Append(text, errorStream ? " (error output): " : ": ");
    for (; *line && !text.overflowed; ++line) {
        const bool special = *line == '[' || *line == ']' || *line == '{' || *line == '}';
        if (special && text.length + 4 >= kMessageSize) {
            text.overflowed = true;
            break;
        }
        const WCHAR one[2] = {*line, 0};
        if (special) Append(text, "[\\");
        AppendWide(text, one);
        if (special) Append(text, "]");
    }
}

}  // namespace taskaction
