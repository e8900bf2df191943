// RunTaskScript, the deferred custom action behind RegisterTask, RemoveTask
// and their rollback actions: runs the installed Register-PacecapTask.ps1
// with the 64-bit Windows PowerShell, as SYSTEM, every line it writes going
// into the installer log, and fails the install, which rolls it back, when
// the script fails, cannot start or outlasts its bound. The decisions are in
// TaskRules.cpp; this is the part that meets Windows.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "TaskRules.h"

namespace taskaction {

namespace {

const DWORD kPipeSize = 65536;
const DWORD kPollMilliseconds = 50;
const DWORD kStoppedExitCode = ERROR_TIMEOUT;

// One line into the installer log: field 0, the template, names field 1,
// the text. The log formats the whole, so a text that may hold "[" comes
// escaped (DescribeOutputLine). True when the user has cancelled the
// install: an action that logs must then end and return
// ERROR_INSTALL_USEREXIT.
bool Log(MSIHANDLE install, int kind, const WCHAR* text) {
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record) return false;
    WCHAR format[] = {'[', '1', ']', 0};
    MsiRecordSetStringW(record, 0, format);
    MsiRecordSetStringW(record, 1, text);
    const int answer = MsiProcessMessage(install, static_cast<INSTALLMESSAGE>(kind), record);
    MsiCloseHandle(record);
    return answer == IDCANCEL;
}

// One output stream of the script: the read end of its pipe, cut into lines.
struct Stream {
    HANDLE pipe;
    bool error;
    Lines lines;
};

// One line of output into the log, after what it came from; text is
// scratch. True when the user has cancelled.
bool LogLine(MSIHANDLE install, const TaskRun& run, const Stream& stream, WideText<kMessageSize>& text) {
    // Windows PowerShell writes to a pipe in the OEM code page.
    WCHAR line[kLineSize];
    if (MultiByteToWideChar(CP_OEMCP, 0, stream.lines.line, -1, line, kLineSize) <= 0) line[0] = 0;
    DescribeOutputLine(run, stream.error, line, text);
    return Log(install, INSTALLMESSAGE_INFO, text.chars);
}

// Logs the whole lines waiting in the pipe, without blocking, at most one
// pipe's worth, so that a child that writes without pause still lets the
// caller reach its bound; with atEnd, the last unfinished line too. True
// when the user has cancelled.
bool Drain(MSIHANDLE install, const TaskRun& run, Stream& stream, bool atEnd, WideText<kMessageSize>& text) {
    bool cancelled = false;
    // A DWORD, as ReadFile's length is: with sizeof the length below would be a size_t.
    const DWORD kChunkSize = 256;
    char chunk[kChunkSize];
    DWORD available = 0;
    for (DWORD taken = 0; taken < kPipeSize &&
                          PeekNamedPipe(stream.pipe, nullptr, 0, nullptr, &available, nullptr) && available;) {
        DWORD read = 0;
        if (!ReadFile(stream.pipe, chunk, available < kChunkSize ? available : kChunkSize, &read, nullptr) ||
            !read) {
            break;
        }
        taken += read;
        for (DWORD i = 0; i < read; ++i) {
            if (AddByte(stream.lines, chunk[i]) && LogLine(install, run, stream, text)) cancelled = true;
        }
    }
    if (atEnd && EndLines(stream.lines) && LogLine(install, run, stream, text)) cancelled = true;
    return cancelled;
}

// A pipe whose write end alone the child inherits.
bool MakePipe(HANDLE& read, HANDLE& write) {
    if (!CreatePipe(&read, &write, nullptr, kPipeSize)) return false;
    return SetHandleInformation(write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

// What the run holds open; Close ends any process still in the job.
struct Child {
    HANDLE job;
    HANDLE process;
    HANDLE thread;
    HANDLE input;
    HANDLE writes[2];
    Stream streams[2];
};

void CloseOne(HANDLE& handle) {
    if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = nullptr;
}

void Close(Child& child) {
    CloseOne(child.thread);
    CloseOne(child.process);
    CloseOne(child.input);
    for (int i = 0; i < 2; ++i) {
        CloseOne(child.writes[i]);
        CloseOne(child.streams[i].pipe);
    }
    CloseOne(child.job);  // kills what is left in it
}

// Starts PowerShell suspended, in a job that kills all in it once closed,
// and lets it run. Returns the step that failed, or nullptr.
const char* Start(Child& child, const WCHAR* powershell, WCHAR* commandLine, const WCHAR* system) {
    child.job = CreateJobObjectW(nullptr, nullptr);
    if (!child.job) return "CreateJobObjectW";
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(child.job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        return "SetInformationJobObject";
    }
    for (int i = 0; i < 2; ++i) {
        child.streams[i].error = i == 1;
        StartLines(child.streams[i].lines);
        if (!MakePipe(child.streams[i].pipe, child.writes[i])) return "CreatePipe";
    }
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    WCHAR nul[] = {'N', 'U', 'L', 0};
    child.input = CreateFileW(nul, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0,
                              nullptr);
    if (child.input == INVALID_HANDLE_VALUE) return "CreateFileW(NUL)";

    // Only these three handles are inherited, whatever else this process
    // has open that can be.
    HANDLE handles[3] = {child.input, child.writes[0], child.writes[1]};
    alignas(8) unsigned char attributeBuffer[128];
    SIZE_T attributeSize = sizeof attributeBuffer;
    auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer);
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize)) return "InitializeProcThreadAttributeList";
    const bool listed = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                                  sizeof handles, nullptr, nullptr) != 0;
    STARTUPINFOEXW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = child.input;
    startup.StartupInfo.hStdOutput = child.writes[0];
    startup.StartupInfo.hStdError = child.writes[1];
    startup.lpAttributeList = attributes;
    // Joined to the job before it runs a single instruction. A process of
    // msiexec's own job can join another only from Windows 8 on (nested
    // jobs); before, it is started again outside that job where the job lets
    // it go (CREATE_BREAKAWAY_FROM_JOB), and otherwise not run at all.
    const char* failed = listed ? nullptr : "UpdateProcThreadAttribute";
    DWORD error = listed ? 0 : GetLastError();
    for (DWORD breakaway = 0; !failed && !child.process; breakaway = CREATE_BREAKAWAY_FROM_JOB) {
        PROCESS_INFORMATION process;
        ZeroMemory(&process, sizeof process);
        if (!CreateProcessW(powershell, commandLine, nullptr, nullptr, TRUE,
                            CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | breakaway, nullptr,
                            system, &startup.StartupInfo, &process)) {
            failed = "CreateProcessW";
            error = GetLastError();
        } else if (AssignProcessToJobObject(child.job, process.hProcess)) {
            child.process = process.hProcess;
            child.thread = process.hThread;
        } else {
            error = GetLastError();
            TerminateProcess(process.hProcess, kStoppedExitCode);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            if (breakaway || error != ERROR_ACCESS_DENIED) failed = "AssignProcessToJobObject";
        }
    }
    DeleteProcThreadAttributeList(attributes);
    // The child's copies are all that keep the pipes open now.
    for (int i = 0; i < 2; ++i) CloseOne(child.writes[i]);
    CloseOne(child.input);
    if (failed) {
        SetLastError(error);
        return failed;
    }
    if (ResumeThread(child.thread) == static_cast<DWORD>(-1)) return "ResumeThread";
    return nullptr;
}

// Reads both streams until no process is left in the job, or the bound has
// passed or (where mayCancel) the user has cancelled, when the whole job is
// ended. A rollback is never cancelled: it must put the machine back.
Ending Watch(MSIHANDLE install, const TaskRun& run, bool mayCancel, Child& child, DWORD& exitCode,
             DWORD& processes, WideText<kMessageSize>& text) {
    const ULONGLONG deadline = GetTickCount64() + run.seconds * 1000ULL;
    Ending ending = Ending::Exited;
    for (;;) {
        bool cancelled = false;
        for (Stream& stream : child.streams) cancelled = Drain(install, run, stream, false, text) || cancelled;
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
        ZeroMemory(&accounting, sizeof accounting);
        // A job that cannot be read counts as one still running: the bound ends it.
        const bool read = QueryInformationJobObject(child.job, JobObjectBasicAccountingInformation, &accounting,
                                                    sizeof accounting, nullptr) != 0;
        if (read && accounting.ActiveProcesses == 0) break;
        if (GetTickCount64() >= deadline || (cancelled && mayCancel)) {
            processes = read ? accounting.ActiveProcesses : 0;
            TerminateJobObject(child.job, kStoppedExitCode);
            ending = cancelled && mayCancel ? Ending::Cancelled : Ending::Stopped;
            break;
        }
        Sleep(kPollMilliseconds);
    }
    // Every process that held a write end has ended (or is ending): what is
    // in the pipes now is all there is.
    if (ending != Ending::Exited) WaitForSingleObject(child.process, 1000);
    for (Stream& stream : child.streams) Drain(install, run, stream, true, text);
    if (!GetExitCodeProcess(child.process, &exitCode)) exitCode = kStoppedExitCode;
    return ending;
}

// Starts Register-PacecapTask.ps1 as run asks; returns the step that
// failed, with its error in error, or nullptr. Not inlined: its paths need
// a frame of their own, so that no frame comes near a page.
__declspec(noinline) const char* Launch(Child& child, const TaskRun& run, DWORD& error) {
    // The System32 folder of this 64-bit process: Windows' own, never the
    // environment's. Also the current folder: nothing a user can write.
    WCHAR system[kPathSize];
    WideText<kPathSize> powershell;
    WideText<kCommandLineSize> commandLine;
    const UINT systemLength = GetSystemDirectoryW(system, kPathSize);
    if (!systemLength || systemLength >= static_cast<UINT>(kPathSize)) {
        error = systemLength ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
        return "GetSystemDirectoryW";
    }
    if (!BuildPowerShellPath(system, powershell) || !BuildCommandLine(powershell.chars, run, commandLine)) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return "the command line";
    }
    const char* failedStep = Start(child, powershell.chars, commandLine.chars, system);
    if (failedStep) error = GetLastError();
    return failedStep;
}

// CustomActionData, and the log lines: never needed at once.
union Scratch {
    WCHAR data[kDataSize];
    WideText<kMessageSize> text;
};

UINT Run(MSIHANDLE install) {
    const bool rollback = MsiGetMode(install, MSIRUNMODE_ROLLBACK) != 0;
    Scratch scratch;
    TaskRun run;
    DWORD size = kDataSize;
    WCHAR name[] = {'C', 'u', 's', 't', 'o', 'm', 'A', 'c', 't', 'i', 'o', 'n', 'D', 'a', 't', 'a', 0};
    // ERROR_MORE_DATA: longer than the buffer, which then holds nothing sure.
    const UINT got = MsiGetPropertyW(install, name, scratch.data, &size);
    if (got != ERROR_SUCCESS) scratch.data[0] = 0;
    UINT verdict = ERROR_INSTALL_FAILURE;
    if (!ReadTaskData(scratch.data, run)) {
        Clear(scratch.text);
        Append(scratch.text, "The task's CustomActionData was refused: ");
        if (got == ERROR_MORE_DATA) {
            Append(scratch.text, "longer than ");
            AppendNumber(scratch.text, kDataSize - 1);
            Append(scratch.text, " characters");
        } else {
            Append(scratch.text, run.refusal);
        }
        Log(install, INSTALLMESSAGE_INFO, scratch.text.chars);
    } else {
        Child child;
        ZeroMemory(&child, sizeof child);
        DWORD codeOrError = 0;
        DWORD processes = 0;
        Ending ending = Ending::NotStarted;
        const char* failedStep = Launch(child, run, codeOrError);
        if (!failedStep) ending = Watch(install, run, !rollback, child, codeOrError, processes, scratch.text);
        Close(child);

        DescribeEnding(run, ending, codeOrError, processes, failedStep, scratch.text);
        Log(install, INSTALLMESSAGE_INFO, scratch.text.chars);
        verdict = Verdict(ending, codeOrError);
    }
    // A rollback goes on whatever happens, and a user who cancelled knows:
    // no message box for either.
    if (verdict == ERROR_INSTALL_FAILURE && !rollback) {
        DescribeFailure(run, scratch.text);
        Log(install, INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR, scratch.text.chars);
    }
    return verdict;
}

}  // namespace

}  // namespace taskaction

extern "C" UINT __stdcall RunTaskScript(MSIHANDLE install) { return taskaction::Run(install); }

// The DLL's entry: nothing to set up or tear down.
extern "C" BOOL WINAPI TaskActionEntry(HINSTANCE, DWORD, void*) { return TRUE; }
