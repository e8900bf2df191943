// Starts a program with a command line given byte for byte, which Wine's own
// command line handling would re-quote. Usage:
//   Launcher.exe APPLICATION COMMAND_LINE_FILE
// The child inherits the standard handles. The launcher reports the child's
// full 32-bit exit code on its standard error as "exit code 0x........" and
// ends with the same code. When it cannot start the child, it says why, with
// GetLastError, and ends with kLaunchFailed (250): neither one of Pacecap's
// codes (0 to 3) nor one that the programs it starts end with, so a failed
// launch is never read as a program's answer.
#include <windows.h>

#include "ToolSupport.h"

namespace {

const DWORD kLaunchFailed = 250;

// Copies the next space-separated token of text into token; moves text past it.
void NextToken(const char*& text, char* token, int size) {
    while (*text == ' ') ++text;
    const bool quoted = *text == '"';
    if (quoted) ++text;
    int n = 0;
    while (*text && (quoted ? *text != '"' : *text != ' ')) {
        if (n < size - 1) token[n++] = *text;
        ++text;
    }
    if (quoted && *text) ++text;
    token[n] = 0;
}

// Reports what failed, with the last error, and ends with kLaunchFailed.
void Fail(const char* what) {
    const DWORD error = GetLastError();
    tool::Text<128> report;
    report.Add("launcher: ").Add(what).Add(" failed, error ").AddNumber(error).Add("\n");
    tool::WriteStdErr(report.chars);
    ExitProcess(kLaunchFailed);
}

}  // namespace

extern "C" void LauncherEntry() {
    const char* own = GetCommandLineA();
    char skipped[tool::kPathSize];
    char application[tool::kPathSize];
    char commandLineFile[tool::kPathSize];
    NextToken(own, skipped, sizeof skipped);
    NextToken(own, application, sizeof application);
    NextToken(own, commandLineFile, sizeof commandLineFile);

    static char commandLine[32768];
    if (tool::ReadWholeFile(commandLineFile, commandLine, sizeof commandLine) < 0) Fail("reading the command line file");

    STARTUPINFOA startup;
    tool::Zero(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    tool::Zero(&process, sizeof process);
    if (!CreateProcessA(application, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        Fail("CreateProcessA");
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.hProcess, &exitCode)) Fail("GetExitCodeProcess");
    tool::Text<64> report;
    report.Add("exit code 0x").AddNumber(exitCode, 16, 8).Add("\n");
    tool::WriteStdErr(report.chars);
    ExitProcess(exitCode);
}
