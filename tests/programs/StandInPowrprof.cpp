// A stand-in for the platform's power library, for running Pacecap under
// Wine, whose own power library has no schemes. It keeps one simulated active
// scheme in a state file, logs every call, and fails any operation on request.
//
// Environment:
//   PACECAP_SCHEME      state file: "pluggedIn onBattery timesApplied"
//   PACECAP_POWER_LOG   call log, one line a call (optional)
//   PACECAP_POWER_FAIL  "Operation=error;..." operations to fail (optional)
#include <windows.h>

#include "ToolSupport.h"

namespace {

const GUID kScheme = {0x381B4222, 0xF694, 0x41F0, {0x96, 0x85, 0xFF, 0x5B, 0xB2, 0x60, 0xDF, 0x2E}};
const GUID kProcessorSubgroup = {0x54533251, 0x82BE, 0x4824, {0x96, 0xC1, 0x47, 0xB6, 0x0B, 0x74, 0x0D, 0x00}};
const GUID kThrottleMaximum = {0xBC5038F7, 0x23E0, 0x4960, {0x96, 0xDA, 0x33, 0xAB, 0xAF, 0x59, 0x35, 0xEC}};
const DWORD kDefaultPercent = 100;

GUID* handedOut = nullptr;

struct Scheme {
    DWORD pluggedIn;
    DWORD onBattery;
    DWORD applied;
};

void StatePath(char* path) { tool::Environment("PACECAP_SCHEME", path, tool::kPathSize, "C:\\pacecap-scheme.txt"); }

Scheme Load() {
    Scheme scheme = {kDefaultPercent, kDefaultPercent, 0};
    char path[tool::kPathSize];
    char data[128];
    StatePath(path);
    if (tool::ReadWholeFile(path, data, sizeof data) <= 0) return scheme;
    const char* at = data;
    scheme.pluggedIn = tool::ParseNumber(at);
    while (*at == ' ') ++at;
    scheme.onBattery = tool::ParseNumber(at);
    while (*at == ' ') ++at;
    scheme.applied = tool::ParseNumber(at);
    return scheme;
}

void Save(const Scheme& scheme) {
    char path[tool::kPathSize];
    StatePath(path);
    tool::Text<64> text;
    text.AddNumber(scheme.pluggedIn).Add(" ").AddNumber(scheme.onBattery).Add(" ").AddNumber(scheme.applied).Add("\n");
    tool::WriteWholeFile(path, text.chars, false);
}

void Log(const char* operation, const char* detail) {
    char path[tool::kPathSize];
    tool::Environment("PACECAP_POWER_LOG", path, tool::kPathSize, "");
    if (!path[0]) return;
    tool::Text<256> line;
    line.Add(operation).Add(detail[0] ? " " : "").Add(detail).Add("\n");
    tool::WriteWholeFile(path, line.chars, true);
}

void LogValue(const char* operation, DWORD value) {
    tool::Text<16> number;
    number.AddNumber(value);
    Log(operation, number.chars);
}

// The error requested for an operation, or ERROR_SUCCESS.
DWORD RequestedFailure(const char* operation) {
    char failures[512];
    tool::Environment("PACECAP_POWER_FAIL", failures, sizeof failures, "");
    for (const char* at = failures; *at;) {
        if (tool::StartsWith(at, operation) && at[tool::Length(operation)] == '=') {
            at += tool::Length(operation) + 1;
            return tool::ParseNumber(at);
        }
        while (*at && *at != ';') ++at;
        if (*at == ';') ++at;
    }
    return ERROR_SUCCESS;
}

bool SameGuid(const GUID* a, const GUID& b) {
    if (!a) return false;
    const BYTE* x = reinterpret_cast<const BYTE*>(a);
    const BYTE* y = reinterpret_cast<const BYTE*>(&b);
    for (unsigned i = 0; i < sizeof(GUID); ++i)
        if (x[i] != y[i]) return false;
    return true;
}

// The arguments every read and write must bring: the root key 0, the scheme
// handed out, and the maximum processor state setting.
DWORD CheckSetting(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting) {
    if (root != nullptr || scheme == nullptr || scheme != handedOut || !SameGuid(scheme, kScheme))
        return ERROR_INVALID_PARAMETER;
    if (!SameGuid(subgroup, kProcessorSubgroup) || !SameGuid(setting, kThrottleMaximum))
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

DWORD ReadValue(const char* operation, HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                DWORD* value, bool pluggedIn) {
    Log(operation, "");
    if (DWORD error = RequestedFailure(operation)) return error;
    if (DWORD error = CheckSetting(root, scheme, subgroup, setting)) return error;
    if (!value) return ERROR_INVALID_PARAMETER;
    const Scheme state = Load();
    *value = pluggedIn ? state.pluggedIn : state.onBattery;
    return ERROR_SUCCESS;
}

DWORD WriteValue(const char* operation, HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                 DWORD value, bool pluggedIn) {
    LogValue(operation, value);
    if (DWORD error = RequestedFailure(operation)) return error;
    if (DWORD error = CheckSetting(root, scheme, subgroup, setting)) return error;
    if (value > 100) return ERROR_INVALID_PARAMETER;
    Scheme state = Load();
    (pluggedIn ? state.pluggedIn : state.onBattery) = value;
    Save(state);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

BOOL WINAPI StandInEntry(HINSTANCE, DWORD, LPVOID) { return TRUE; }

DWORD WINAPI PowerGetActiveScheme(HKEY root, GUID** scheme) {
    Log("PowerGetActiveScheme", "");
    if (DWORD error = RequestedFailure("PowerGetActiveScheme")) return error;
    if (root != nullptr || scheme == nullptr) return ERROR_INVALID_PARAMETER;
    GUID* copy = static_cast<GUID*>(LocalAlloc(LMEM_FIXED, sizeof(GUID)));
    if (!copy) return ERROR_NOT_ENOUGH_MEMORY;
    *copy = kScheme;
    handedOut = copy;
    *scheme = copy;
    return ERROR_SUCCESS;
}

DWORD WINAPI PowerReadACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                   DWORD* value) {
    return ReadValue("PowerReadACValueIndex", root, scheme, subgroup, setting, value, true);
}

DWORD WINAPI PowerReadDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                   DWORD* value) {
    return ReadValue("PowerReadDCValueIndex", root, scheme, subgroup, setting, value, false);
}

DWORD WINAPI PowerWriteACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                    DWORD value) {
    return WriteValue("PowerWriteACValueIndex", root, scheme, subgroup, setting, value, true);
}

DWORD WINAPI PowerWriteDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                                    DWORD value) {
    return WriteValue("PowerWriteDCValueIndex", root, scheme, subgroup, setting, value, false);
}

DWORD WINAPI PowerSetActiveScheme(HKEY root, const GUID* scheme) {
    Log("PowerSetActiveScheme", "");
    if (DWORD error = RequestedFailure("PowerSetActiveScheme")) return error;
    if (root != nullptr || scheme != handedOut || !SameGuid(scheme, kScheme)) return ERROR_INVALID_PARAMETER;
    Scheme state = Load();
    ++state.applied;
    Save(state);
    return ERROR_SUCCESS;
}

}  // extern "C"
