// Stands in for Windows PowerShell where the installer's task action starts
// it: appends its command line to the file PACECAP_STANDIN_RECORD names,
// writes lines to both output streams (the last one of each without its
// end), and exits 0. PACECAP_STANDIN="TEXT=HOW" changes that for a command
// line that holds TEXT: HOW is an exit code, "hang", where it starts a
// copy of itself that hangs too and then hangs, or "flood", where it writes
// lines without pause.
#include <windows.h>

#include "ToolSupport.h"

namespace {

void Write(DWORD stream, const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(stream), text, static_cast<DWORD>(tool::Length(text)), &written, nullptr);
}

bool Contains(const char* text, const char* part) {
    for (; *text; ++text) {
        if (tool::StartsWith(text, part)) return true;
    }
    return false;
}

void Hang() {
    for (;;) Sleep(1000);
}

// Lines of 63 bytes, written faster than anyone logs them; a frame of its own.
__declspec(noinline) void Flood() {
    char lines[2049];
    for (int i = 0; i < 2048; ++i) lines[i] = i % 64 == 63 ? '\n' : 'f';
    lines[2048] = 0;
    for (;;) Write(STD_OUTPUT_HANDLE, lines);
}

}  // namespace

extern "C" void StandInEntry() {
    const char* commandLine = GetCommandLineA();
    char record[tool::kPathSize];
    tool::Environment("PACECAP_STANDIN_RECORD", record, sizeof record, "");
    if (record[0]) {
        tool::WriteWholeFile(record, commandLine, true);
        tool::WriteWholeFile(record, "\r\n", true);
    }
    if (Contains(commandLine, " hanging-child")) Hang();

    Write(STD_OUTPUT_HANDLE, "stand-in output 1\r\nstand-in [ProductName] output 2\r\nstand-in output 3");
    Write(STD_ERROR_HANDLE, "stand-in error 1\nstand-in error 2");

    char rule[256];
    tool::Environment("PACECAP_STANDIN", rule, sizeof rule, "");
    int split = tool::Length(rule);
    while (split > 0 && rule[split - 1] != '=') --split;
    if (split == 0) ExitProcess(0);
    rule[split - 1] = 0;
    if (!Contains(commandLine, rule)) ExitProcess(0);
    const char* how = rule + split;
    if (tool::Equal(how, "flood")) Flood();
    if (!tool::Equal(how, "hang")) ExitProcess(tool::ParseNumber(how));

    // A child that outlives nothing: both hang until the action's bound.
    char self[tool::kPathSize];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    if (length == 0 || length >= sizeof self) ExitProcess(2);
    tool::Text<600> child;
    child.Add("\"").Add(self).Add("\" hanging-child");
    STARTUPINFOA startup;
    tool::Zero(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    tool::Zero(&process, sizeof process);
    if (!CreateProcessA(self, child.chars, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        ExitProcess(3);
    }
    Hang();
}
