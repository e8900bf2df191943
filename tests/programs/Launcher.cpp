// Starts a program with a command line given byte for byte, which Wine's own
// command line handling would re-quote. Usage:
//   Launcher.exe APPLICATION COMMAND_LINE_FILE
// The child inherits the standard handles. The launcher reports the child's
// full 32-bit exit code on its standard error as "exit code 0x........" and
// ends with the same code.
#include <windows.h>

#include "ToolSupport.h"

namespace {

const DWORD kLaunchFailed = 0xDEAD0001;

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
    if (tool::ReadWholeFile(commandLineFile, commandLine, sizeof commandLine) < 0) {
        tool::WriteStdErr("launcher: cannot read the command line file\n");
        ExitProcess(kLaunchFailed);
    }

    STARTUPINFOA startup;
    tool::Zero(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    tool::Zero(&process, sizeof process);
    if (!CreateProcessA(application, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        tool::WriteStdErr("launcher: CreateProcessA failed\n");
        ExitProcess(kLaunchFailed);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = kLaunchFailed;
    GetExitCodeProcess(process.hProcess, &exitCode);
    tool::Text<64> report;
    report.Add("exit code 0x").AddNumber(exitCode, 16, 8).Add("\n");
    tool::WriteStdErr(report.chars);
    ExitProcess(exitCode);
}
