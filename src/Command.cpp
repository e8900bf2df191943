#include "Command.h"

#include <windows.h>
#include <powrprof.h>
#include <shlwapi.h>

#include "CRTreplace.h"
#include "ConsoleWait.h"
#include "EfficiencyClass.h"
#include "Maker.h"
#include "Startup.h"

namespace pacecap {

namespace {

const DWORD kMaxPercent = 100;
// Stands for any value that is not a percentage: no number, or too many digits.
const DWORD kNotAPercent = 0xFFFFFFFF;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True when text starts with what StrToIntA reads: an optional minus, then a digit.
bool BeginsWithNumber(const char* text) {
    if (*text == '-') ++text;
    return IsDigit(*text);
}

// True when the number at the start of text has more digits, leading zeros
// aside, than any percentage; StrToIntA would wrap such a number around.
bool HasTooManyDigits(const char* text) {
    if (*text == '-') ++text;
    while (*text == '0') ++text;
    int digits = 0;
    while (IsDigit(text[digits])) ++digits;
    return digits > 3;
}

// The value of a percentage argument as StrToIntA reads it, or kNotAPercent
// when the text does not begin with a number or the number cannot be one.
DWORD ReadPercent(const char* text) {
    const DWORD value = static_cast<DWORD>(StrToIntA(text));
    if (!BeginsWithNumber(text) || HasTooManyDigits(text)) return kNotAPercent;
    return value;
}

typedef DWORD(WINAPI* ReadValueIndexFn)(HKEY, const GUID*, const GUID*, const GUID*, LPDWORD);

// Reads one value of the setting of efficiency class k into *value.
bool ReadValue(ReadValueIndexFn read, const GUID* scheme, int k, DWORD* value) {
    return read(nullptr, scheme, &kProcessorSettingsSubgroup, &kMaxProcessorStateSettings[k], value) ==
           ERROR_SUCCESS;
}

// Bit k set for each efficiency class k whose setting the scheme has, class 0
// always. A higher class whose plugged-in value cannot be read has none.
unsigned SettingClasses(const GUID* scheme) {
    unsigned classes = 1;
    const int highest = HighestEfficiencyClass();
    for (int k = 1; k <= highest; ++k) {
        DWORD value = 0;
        if (ReadValue(PowerReadACValueIndex, scheme, k, &value)) classes |= 1u << k;
    }
    return classes;
}

void PrintUsage() {
    printf("Pacecap - sets max CPU percent values in the current power profile\n");
    printf("Freeware by " PACECAP_MAKER_NAME " - " PACECAP_MAKER_WEB "\n\n");
    printf("Usage: Pacecap PluggedIn_Percent [OnBattery_Percent]\n\n");
    printf("Sample: Pacecap 99 80\n");
    printf("no admin privileges required\n");
}

// Prints the value of a higher efficiency class only where it differs from
// the class-0 value, so that the usual output stays as it is.
void PrintClassValue(ReadValueIndexFn read, const GUID* scheme, int k, DWORD classZeroValue, const char* format) {
    DWORD value = 0;
    if (ReadValue(read, scheme, k, &value) && value != classZeroValue) printf(format, static_cast<unsigned>(k), value);
}

// Prints the current values of the active scheme; a failure leaves its lines out.
void PrintCurrentValues() {
    GUID* scheme = nullptr;
    if (PowerGetActiveScheme(nullptr, &scheme) == ERROR_SUCCESS) {
        printf("\n");
        DWORD pluggedIn = 0;
        DWORD onBattery = 0;
        if (ReadValue(PowerReadACValueIndex, scheme, 0, &pluggedIn)) printf("plugged-in value is %lu%%\n", pluggedIn);
        if (ReadValue(PowerReadDCValueIndex, scheme, 0, &onBattery)) printf("on-battery value is %lu%%\n", onBattery);
        // A class whose setting the scheme lacks fails its reads and shows nothing.
        const int highest = HighestEfficiencyClass();
        for (int k = 1; k <= highest; ++k) {
            PrintClassValue(PowerReadACValueIndex, scheme, k, pluggedIn,
                            "plugged-in value of efficiency class %u is %lu%%\n");
            PrintClassValue(PowerReadDCValueIndex, scheme, k, onBattery,
                            "on-battery value of efficiency class %u is %lu%%\n");
        }
        LocalFree(scheme);
    }
    printf("\n");
}

typedef DWORD(WINAPI* WriteValueIndexFn)(HKEY, const GUID*, const GUID*, const GUID*, DWORD);

// Writes one maximum processor state value into the setting of every class
// in classes (bit k for class k) with write and prints the outcome: "set to"
// only when every class took it. Returns false when a write failed.
bool WriteValue(WriteValueIndexFn write, const GUID* scheme, unsigned classes, DWORD value,
                const char* doneFormat, const char* failure) {
    bool written = true;
    for (int k = 0; k <= kMaxEfficiencyClass; ++k)
        if (classes & (1u << k))
            written &= write(nullptr, scheme, &kProcessorSettingsSubgroup, &kMaxProcessorStateSettings[k], value) ==
                       ERROR_SUCCESS;
    if (written)
        printf(doneFormat, value);
    else
        printf(failure);
    return written;
}

// Writes the values into the active scheme and applies it. Returns the exit code.
int SetValues(DWORD pluggedIn, DWORD onBattery) {
    GUID* scheme = nullptr;
    if (PowerGetActiveScheme(nullptr, &scheme) != ERROR_SUCCESS) {
        printf("Error retrieving the active power scheme\n");
        return kExitNoActiveScheme;
    }
    const unsigned classes = SettingClasses(scheme);
    bool allDone = WriteValue(PowerWriteACValueIndex, scheme, classes, pluggedIn, "plugged-in value set to %lu%%\n",
                              "Error: Failed to write 'plugged-in' value\n");
    // An on-battery value of 0 leaves the scheme's own value alone.
    if (onBattery != 0)
        allDone &= WriteValue(PowerWriteDCValueIndex, scheme, classes, onBattery, "on-battery value set to %lu%%\n",
                              "Error: Failed to write 'on-battery' value\n");
    if (PowerSetActiveScheme(nullptr, scheme) == ERROR_SUCCESS) {
        printf("Changes applied\n");
    } else {
        printf("Error: Failed to apply changes!\n");
        allDone = false;
    }
    LocalFree(scheme);
    return allDone ? kExitSuccess : kExitNotApplied;
}

}  // namespace

int main(int count, const char** table) {
    // Before anything loads a library on first use.
    if (!UseSystem32DllSearch()) RemoveCurrentDirFromDllSearch();

    if (count < 2) {
        PrintUsage();
        PrintCurrentValues();
        WaitForKeyToClose(0);
        return kExitUsageOrInvalidValue;
    }
    const DWORD pluggedIn = ReadPercent(table[1]);
    // A single argument that does not begin with a number, or whose number is
    // 0, asks to see the current values.
    if (count == 2 && (pluggedIn == 0 || !BeginsWithNumber(table[1]))) {
        PrintCurrentValues();
        WaitForKeyToClose(0);
        return kExitSuccess;
    }

    const DWORD onBattery = count >= 3 ? ReadPercent(table[2]) : 0;
    if (pluggedIn > kMaxPercent || onBattery > kMaxPercent) {
        printf("invalid value -> abort\n");
        return kExitUsageOrInvalidValue;
    }
    const int exitCode = SetValues(pluggedIn, onBattery);
    WaitForKeyToClose(0);
    return exitCode;
}

}  // namespace pacecap
