#include "FakePlatform.h"

#include <powrprof.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <set>

namespace fake {

namespace {

Platform platform;
// The one folder search open at a time: its folder's entries, and the next one.
const std::vector<std::pair<std::string, DWORD>>* searchEntries = nullptr;
size_t searchNext = 0;
std::set<GUID*> liveSchemes;
char commandLineCopy[8192];

const DWORD kHangLimitMs = 24u * 3600u * 1000u;
DWORD sleptMs = 0;

HANDLE const kStdOut = reinterpret_cast<HANDLE>(0x11);
HANDLE const kStdIn = reinterpret_cast<HANDLE>(0x10);
HMODULE const kKernel = reinterpret_cast<HMODULE>(0x1000);
HWND const kConsoleWindow = reinterpret_cast<HWND>(0x2000);
HWINSTA const kWindowStation = reinterpret_cast<HWINSTA>(0x3000);

const GUID kSubgroup = {0x54533251, 0x82BE, 0x4824, {0x96, 0xC1, 0x47, 0xB6, 0x0B, 0x74, 0x0D, 0x00}};
const GUID kSetting = {0xBC5038F7, 0x23E0, 0x4960, {0x96, 0xDA, 0x33, 0xAB, 0xAF, 0x59, 0x35, 0xEC}};

void Record(const std::string& call) { platform.calls.push_back(call); }

// The scripted failure of an operation, or ERROR_SUCCESS.
DWORD Failure(const char* operation) {
    auto found = platform.failures.find(operation);
    return found == platform.failures.end() ? ERROR_SUCCESS : found->second;
}

bool SameGuid(const GUID* a, const GUID& b) { return a && std::memcmp(a, &b, sizeof b) == 0; }

// The efficiency class whose maximum processor state setting is given: the
// class-0 GUID with k added to its last byte. -1 for any other setting.
int SettingClass(const GUID* setting) {
    if (!setting) return -1;
    for (int k = 0; k <= 2; ++k) {
        GUID candidate = kSetting;
        candidate.Data4[7] = static_cast<uint8_t>(candidate.Data4[7] + k);
        if (SameGuid(setting, candidate)) return k;
    }
    return -1;
}

// Checks the arguments every read and write of the setting gets; the setting
// of a higher class must be one the scheme has.
DWORD CheckSetting(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting) {
    if (root != nullptr || liveSchemes.count(const_cast<GUID*>(scheme)) == 0) return ERROR_INVALID_PARAMETER;
    const int k = SettingClass(setting);
    if (!SameGuid(subgroup, kSubgroup) || k < 0) return ERROR_INVALID_PARAMETER;
    if (k > 0 && platform.higherClasses.count(k) == 0) return ERROR_FILE_NOT_FOUND;
    return ERROR_SUCCESS;
}

// The name a read or write of setting is recorded and failed under.
std::string OperationName(const char* operation, const GUID* setting) {
    const int k = SettingClass(setting);
    return k > 0 ? std::string(operation) + "@" + std::to_string(k) : operation;
}

// Where the value of setting is kept; pluggedIn chooses the AC value.
DWORD* StoredValue(const GUID* setting, bool pluggedIn) {
    const int k = SettingClass(setting);
    if (k == 0) return pluggedIn ? &platform.pluggedIn : &platform.onBattery;
    auto& values = platform.higherClasses[k];
    return pluggedIn ? &values.first : &values.second;
}

BOOL WINAPI FakeGetSystemCpuSetInformation(void* buffer, ULONG length, ULONG* returned, HANDLE process, ULONG flags) {
    Record("GetSystemCpuSetInformation");
    const ULONG entrySize = 32;
    const ULONG needed = entrySize * static_cast<ULONG>(platform.efficiencyClasses.size());
    *returned = needed;
    if (platform.cpuSetsFail || process != nullptr || flags != 0 || length < needed) return FALSE;
    std::memset(buffer, 0, needed);
    for (size_t i = 0; i < platform.efficiencyClasses.size(); ++i) {
        BYTE* entry = static_cast<BYTE*>(buffer) + i * entrySize;
        const DWORD size = i < platform.cpuSetSizes.size() ? platform.cpuSetSizes[i] : entrySize;
        std::memcpy(entry, &size, sizeof size);               // Size; Type 0 is CpuSetInformation
        entry[8] = static_cast<BYTE>(0x100 + i);              // Id
        entry[18] = platform.efficiencyClasses[i];            // EfficiencyClass
    }
    return TRUE;
}

BOOL WINAPI FakeSetDefaultDllDirectories(DWORD flags) {
    Record("SetDefaultDllDirectories(" + std::to_string(flags) + ")");
    return platform.setDefaultDllDirectoriesResult;
}

BOOL WINAPI FakeSetDllDirectoryA(LPCSTR path) {
    Record(std::string("SetDllDirectoryA(\"") + path + "\")");
    return TRUE;
}

bool Pending(const InputEvent& event) { return event.availableAtTick <= platform.tick; }

}  // namespace

Platform& Fake() { return platform; }

void Reset() {
    for (GUID* scheme : liveSchemes) delete scheme;
    liveSchemes.clear();
    platform = Platform();
    sleptMs = 0;
    searchEntries = nullptr;
}

std::vector<std::string> CallsStartingWith(const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& call : platform.calls)
        if (call.compare(0, prefix.size(), prefix) == 0) found.push_back(call);
    return found;
}

int CountCalls(const std::string& name) {
    int count = 0;
    for (const auto& call : platform.calls)
        if (call == name || call.compare(0, name.size() + 1, name + "(") == 0) ++count;
    return count;
}

INPUT_RECORD KeyRecord(WORD virtualKey, bool down) {
    INPUT_RECORD record = {};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = down;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = virtualKey;
    return record;
}

INPUT_RECORD MouseRecord() {
    INPUT_RECORD record = {};
    record.EventType = MOUSE_EVENT;
    return record;
}

HMODULE LibraryHandle(const std::string& library) {
    int index = 1;
    for (const auto& entry : platform.libraries) {
        if (entry.first == library) return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x30000 * index));
        ++index;
    }
    return nullptr;
}

FARPROC FunctionAddress(const std::string& library, const std::string& function) {
    const auto found = platform.libraries.find(library);
    if (found == platform.libraries.end()) return nullptr;
    const auto& functions = found->second;
    for (size_t i = 0; i < functions.size(); ++i)
        if (functions[i] == function)
            return reinterpret_cast<FARPROC>(reinterpret_cast<uintptr_t>(LibraryHandle(library)) + 0x10 * (i + 1));
    return nullptr;
}

}  // namespace fake

extern "C" {
IMAGE_DOS_HEADER __ImageBase = {};
}

using fake::platform;
using fake::Record;

namespace {

std::string Narrow(const WCHAR* wide) {
    std::string text;
    for (; *wide; ++wide) text += static_cast<char>(*wide);
    return text;
}

using fake::searchEntries;
using fake::searchNext;
HANDLE const kSearch = reinterpret_cast<HANDLE>(0x4000);

BOOL Found(WIN32_FIND_DATAW* found) {
    // Windows lists "." and ".." first.
    static const std::pair<std::string, DWORD> dots[] = {{".", FILE_ATTRIBUTE_DIRECTORY}, {"..", FILE_ATTRIBUTE_DIRECTORY}};
    const size_t n = searchNext++;
    if (n >= searchEntries->size() + 2) {
        platform.lastError = ERROR_NO_MORE_FILES;
        return FALSE;
    }
    const auto& entry = n < 2 ? dots[n] : (*searchEntries)[n - 2];
    found->dwFileAttributes = entry.second;
    size_t i = 0;
    for (; i < entry.first.size() && i < 259; ++i) found->cFileName[i] = static_cast<WCHAR>(entry.first[i]);
    found->cFileName[i] = 0;
    return TRUE;
}

}  // namespace

DWORD GetLastError() { return platform.lastError; }

DWORD GetFileAttributesW(const WCHAR* path) {
    const std::string name = Narrow(path);
    Record("GetFileAttributesW " + name);
    if (fake::Failure("GetFileAttributesW") != ERROR_SUCCESS) {
        platform.lastError = fake::Failure("GetFileAttributesW");
        return INVALID_FILE_ATTRIBUTES;
    }
    for (const auto& folder : platform.folders) {
        for (const auto& entry : folder.second) {
            if (folder.first + "\\" + entry.first == name && !(entry.second & FILE_ATTRIBUTE_DIRECTORY)) return entry.second;
        }
    }
    if (platform.folders.count(name) == 0) {
        platform.lastError = ERROR_FILE_NOT_FOUND;
        return INVALID_FILE_ATTRIBUTES;
    }
    return FILE_ATTRIBUTE_DIRECTORY | platform.folderAttributes[name];
}

// Takes only "FOLDER\*", one search at a time.
HANDLE FindFirstFileW(const WCHAR* pattern, WIN32_FIND_DATAW* found) {
    const std::string name = Narrow(pattern);
    Record("FindFirstFileW " + name);
    const size_t star = name.size() >= 2 ? name.size() - 2 : 0;
    const auto folder = platform.folders.find(name.substr(0, star));
    if (searchEntries || name.substr(star) != "\\*" || folder == platform.folders.end() ||
        fake::Failure("FindFirstFileW") != ERROR_SUCCESS) {
        platform.lastError = searchEntries ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    searchEntries = &folder->second;
    searchNext = 0;
    Found(found);
    return kSearch;
}

BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* found) {
    if (search != kSearch || !searchEntries) {
        platform.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (fake::Failure("FindNextFileW") != ERROR_SUCCESS && searchNext >= 2) {
        platform.lastError = fake::Failure("FindNextFileW");
        return FALSE;
    }
    return Found(found);
}

BOOL FindClose(HANDLE search) {
    Record("FindClose");
    const bool open = search == kSearch && searchEntries;
    searchEntries = nullptr;
    return open ? TRUE : FALSE;
}

LPSTR GetCommandLineA() {
    Record("GetCommandLineA");
    std::strncpy(fake::commandLineCopy, platform.commandLine.c_str(), sizeof fake::commandLineCopy - 1);
    return fake::commandLineCopy;
}

int lstrlenA(LPCSTR text) { return text ? static_cast<int>(std::strlen(text)) : 0; }

LPSTR lstrcpyA(LPSTR to, LPCSTR from) { return std::strcpy(to, from); }

void ExitProcess(UINT exitCode) {
    Record("ExitProcess(" + std::to_string(exitCode) + ")");
    throw fake::ProcessExit{exitCode};
}

HMODULE GetModuleHandleA(LPCSTR name) {
    Record(std::string("GetModuleHandleA(\"") + name + "\")");
    return std::strcmp(name, "kernel32.dll") == 0 ? fake::kKernel : nullptr;
}

HMODULE LoadLibraryA(LPCSTR name) {
    Record(std::string("LoadLibraryA(\"") + name + "\")");
    HMODULE module = fake::LibraryHandle(name);
    return module;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    for (const auto& library : platform.libraries) {
        if (fake::LibraryHandle(library.first) != module) continue;
        const bool byName = reinterpret_cast<uintptr_t>(name) > 0xFFFF;
        const std::string function = byName ? name : "#" + std::to_string(reinterpret_cast<uintptr_t>(name));
        Record("GetProcAddress(" + function + ")");
        FARPROC found = fake::FunctionAddress(library.first, function);
        return found;
    }
    if (module != fake::kKernel) return nullptr;
    if (std::strcmp(name, "SetDefaultDllDirectories") == 0 && platform.hasSetDefaultDllDirectories)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&fake::FakeSetDefaultDllDirectories));
    if (std::strcmp(name, "SetDllDirectoryA") == 0 && platform.hasSetDllDirectoryA)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&fake::FakeSetDllDirectoryA));
    if (std::strcmp(name, "GetSystemCpuSetInformation") == 0 && platform.hasCpuSets)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&fake::FakeGetSystemCpuSetInformation));
    return nullptr;
}

HANDLE GetStdHandle(DWORD which) {
    if (which == STD_OUTPUT_HANDLE) return fake::kStdOut;
    if (which == STD_INPUT_HANDLE) return fake::kStdIn;
    return nullptr;
}

BOOL WriteFile(HANDLE file, const void* data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    Record("WriteFile(" + std::to_string(size) + ")");
    *written = 0;
    if (file != fake::kStdOut || overlapped != nullptr || platform.writeFails) return FALSE;
    platform.output.append(static_cast<const char*>(data), size);
    *written = size;
    return TRUE;
}

DWORD GetFileType(HANDLE file) { return file == fake::kStdOut ? platform.stdoutFileType : FILE_TYPE_UNKNOWN; }

void Sleep(DWORD ms) {
    Record("Sleep(" + std::to_string(ms) + ")");
    platform.tick += ms;
    fake::sleptMs += ms;
    if (fake::sleptMs > fake::kHangLimitMs) throw fake::Hang{};
}

DWORD GetTickCount() { return platform.tick; }

HWND GetConsoleWindow() { return fake::kConsoleWindow; }

DWORD GetCurrentProcessId() { return fake::kOwnProcessId; }

DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId) {
    if (window != fake::kConsoleWindow) return 0;
    if (processId) *processId = platform.consoleOwner;
    return 1;
}

HWINSTA GetProcessWindowStation() { return fake::kWindowStation; }

BOOL GetUserObjectInformationA(HANDLE object, int index, void* info, DWORD length, LPDWORD needed) {
    Record("GetUserObjectInformationA");
    *needed = sizeof(USEROBJECTFLAGS);
    if (object != fake::kWindowStation || index != UOI_FLAGS || length < sizeof(USEROBJECTFLAGS) ||
        platform.stationQueryFails)
        return FALSE;
    USEROBJECTFLAGS flags = {TRUE, FALSE, static_cast<DWORD>(platform.interactiveStation ? WSF_VISIBLE : 0)};
    std::memcpy(info, &flags, sizeof flags);
    return TRUE;
}

void GetStartupInfoA(STARTUPINFOA* info) {
    Record("GetStartupInfoA");
    *info = STARTUPINFOA{};
    info->cb = sizeof *info;
    info->dwFlags = platform.startupFlags;
    info->wShowWindow = platform.showWindow;
}

BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) {
    if (processId != fake::kOwnProcessId || platform.sessionQueryFails) return FALSE;
    *sessionId = platform.session;
    return TRUE;
}

BOOL FlushConsoleInputBuffer(HANDLE input) {
    Record("FlushConsoleInputBuffer");
    if (input != fake::kStdIn) return FALSE;
    auto& events = platform.input;
    for (auto it = events.begin(); it != events.end();) it = fake::Pending(*it) ? events.erase(it) : it + 1;
    return TRUE;
}

BOOL GetNumberOfConsoleInputEvents(HANDLE input, LPDWORD count) {
    const bool lost = platform.consoleInputLostAtTick && platform.tick >= platform.consoleInputLostAtTick;
    if (input != fake::kStdIn || platform.inputEventsFail || lost) return FALSE;
    *count = 0;
    for (const auto& event : platform.input) *count += fake::Pending(event) ? 1 : 0;
    return TRUE;
}

BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD* records, DWORD size, LPDWORD read) {
    *read = 0;
    if (input != fake::kStdIn || size < 1) return FALSE;
    auto& events = platform.input;
    for (auto it = events.begin(); it != events.end(); ++it) {
        if (!fake::Pending(*it)) continue;
        records[0] = it->record;
        events.erase(it);
        *read = 1;
        ++platform.keysRead;
        Record("ReadConsoleInputA");
        return TRUE;
    }
    return FALSE;
}

HLOCAL LocalFree(HLOCAL memory) {
    Record("LocalFree");
    GUID* scheme = static_cast<GUID*>(memory);
    if (fake::liveSchemes.erase(scheme) == 0) {
        ++platform.badFrees;
        return memory;
    }
    delete scheme;
    ++platform.schemesFreed;
    return nullptr;
}

void __debugbreak() {
    Record("__debugbreak");
    throw fake::Breakpoint{};
}

int StrToIntA(LPCSTR text) {
    Record(std::string("StrToIntA(\"") + text + "\")");
    bool negative = *text == '-';
    if (negative) ++text;
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10u + static_cast<uint32_t>(*text - '0');
    return static_cast<int>(negative ? 0u - value : value);
}

DWORD PowerGetActiveScheme(HKEY root, GUID** scheme) {
    Record("PowerGetActiveScheme");
    if (DWORD error = fake::Failure("PowerGetActiveScheme")) return error;
    if (root != nullptr || scheme == nullptr) return ERROR_INVALID_PARAMETER;
    *scheme = new GUID{0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
    fake::liveSchemes.insert(*scheme);
    ++platform.schemesHandedOut;
    return ERROR_SUCCESS;
}

static DWORD ReadValue(const char* operation, HKEY root, const GUID* scheme, const GUID* subgroup,
                       const GUID* setting, LPDWORD value, bool pluggedIn) {
    const std::string name = fake::OperationName(operation, setting);
    Record(name);
    if (DWORD error = fake::Failure(name.c_str())) return error;
    if (DWORD error = fake::CheckSetting(root, scheme, subgroup, setting)) return error;
    *value = *fake::StoredValue(setting, pluggedIn);
    return ERROR_SUCCESS;
}

static DWORD WriteValue(const char* operation, HKEY root, const GUID* scheme, const GUID* subgroup,
                        const GUID* setting, DWORD value, bool pluggedIn) {
    const std::string name = fake::OperationName(operation, setting);
    Record(name + "(" + std::to_string(value) + ")");
    if (DWORD error = fake::Failure(name.c_str())) return error;
    if (DWORD error = fake::CheckSetting(root, scheme, subgroup, setting)) return error;
    *fake::StoredValue(setting, pluggedIn) = value;
    return ERROR_SUCCESS;
}

DWORD PowerReadACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                            LPDWORD value) {
    return ReadValue("PowerReadACValueIndex", root, scheme, subgroup, setting, value, true);
}

DWORD PowerReadDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                            LPDWORD value) {
    return ReadValue("PowerReadDCValueIndex", root, scheme, subgroup, setting, value, false);
}

DWORD PowerWriteACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                             DWORD value) {
    return WriteValue("PowerWriteACValueIndex", root, scheme, subgroup, setting, value, true);
}

DWORD PowerWriteDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                             DWORD value) {
    return WriteValue("PowerWriteDCValueIndex", root, scheme, subgroup, setting, value, false);
}

DWORD PowerSetActiveScheme(HKEY root, const GUID* scheme) {
    Record("PowerSetActiveScheme");
    if (DWORD error = fake::Failure("PowerSetActiveScheme")) return error;
    if (root != nullptr || fake::liveSchemes.count(const_cast<GUID*>(scheme)) == 0) return ERROR_INVALID_PARAMETER;
    platform.applied = true;
    return ERROR_SUCCESS;
}
