// Control side of the recording platform fakes: scripts what the platform
// answers and reads back what the program did.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace fake {

// Thrown by ExitProcess, so that a test regains control.
struct ProcessExit {
    UINT code;
};
// Thrown by __debugbreak.
struct Breakpoint {};
// Thrown by Sleep once a wait has gone on for far longer than any test expects.
struct Hang {};

struct InputEvent {
    DWORD availableAtTick;  // the event is pending from this tick on
    INPUT_RECORD record;
};

const DWORD kOwnProcessId = 4242;
const DWORD kShellProcessId = 77;

struct Platform {
    // Kernel and console
    std::string commandLine;
    std::string output;  // every byte written to the standard output
    bool writeFails = false;
    bool hasSetDefaultDllDirectories = true;
    BOOL setDefaultDllDirectoriesResult = TRUE;
    bool hasSetDllDirectoryA = true;
    DWORD consoleOwner = kShellProcessId;
    DWORD stdoutFileType = FILE_TYPE_PIPE;
    bool inputEventsFail = false;
    DWORD consoleInputLostAtTick = 0;  // when not 0, input queries fail from this tick on
    bool interactiveStation = true;  // the window station has WSF_VISIBLE
    bool stationQueryFails = false;
    DWORD startupFlags = 0;  // STARTUPINFO's dwFlags and wShowWindow
    WORD showWindow = SW_SHOWNORMAL;
    DWORD session = 1;  // the process's session; 0 is the services'
    bool sessionQueryFails = false;
    DWORD tick = 1000;
    std::vector<InputEvent> input;
    int keysRead = 0;

    // Libraries that LoadLibraryA finds, with the functions each exports.
    std::map<std::string, std::vector<std::string>> libraries;

    // Processors: the efficiency class of each, as GetSystemCpuSetInformation
    // reports it (where the platform has it and it does not fail).
    std::vector<BYTE> efficiencyClasses = {0, 0, 0, 0};
    std::vector<DWORD> cpuSetSizes;  // the Size that entry i states, where not 32; each takes 32 bytes all the same
    bool hasCpuSets = true;
    bool cpuSetsFail = false;

    // Power scheme: the class-0 values, and (plugged-in, on-battery) of each
    // higher class whose setting the scheme has.
    DWORD pluggedIn = 100;
    DWORD onBattery = 100;
    std::map<int, std::pair<DWORD, DWORD>> higherClasses;
    std::map<std::string, DWORD> failures;  // operation name ("@k" for class k > 0) -> error it returns
    int schemesHandedOut = 0;
    int schemesFreed = 0;
    int badFrees = 0;
    bool applied = false;

    // Folders, by path: each entry's name and attributes; a folder's own
    // attributes are FILE_ATTRIBUTE_DIRECTORY and those in folderAttributes.
    std::map<std::string, std::vector<std::pair<std::string, DWORD>>> folders;
    std::map<std::string, DWORD> folderAttributes;
    DWORD lastError = 0;

    // Every platform call, in order, with its chief argument where it has one.
    std::vector<std::string> calls;
};

// The one platform of the test process; Reset() restores the defaults.
Platform& Fake();
void Reset();

// Calls whose names start with prefix, in order.
std::vector<std::string> CallsStartingWith(const std::string& prefix);
int CountCalls(const std::string& name);

// The address GetProcAddress gives for a function of a loaded library.
FARPROC FunctionAddress(const std::string& library, const std::string& function);
// The handle LoadLibraryA gives for a library, or null when it has none.
HMODULE LibraryHandle(const std::string& library);

INPUT_RECORD KeyRecord(WORD virtualKey, bool down);
INPUT_RECORD MouseRecord();

}  // namespace fake
