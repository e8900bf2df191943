#include "Command.h"

#include <windows.h>
#include <powrprof.h>

#include "CRTreplace.h"
#include "ConsoleWait.h"
#include "EfficiencyClass.h"
#include "Maker.h"
#include "PowerValues.h"
#include "Startup.h"

namespace pacecap {

namespace {

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

// Writes one maximum processor state value into the setting of every class
// in classes (bit k for class k) with write and prints the outcome: "set to"
// only when every class took it. Returns false when a write failed.
bool WriteToClasses(WriteValueIndexFn write, const GUID* scheme, unsigned classes, DWORD value,
                    const char* doneFormat, const char* failure) {
    bool written = true;
    for (int k = 0; k <= kMaxEfficiencyClass; ++k)
        if (classes & (1u << k)) written &= WriteValue(write, scheme, k, value);
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
    bool allDone = WriteToClasses(PowerWriteACValueIndex, scheme, classes, pluggedIn, "plugged-in value set to %lu%%\n",
                                  "Error: Failed to write 'plugged-in' value\n");
    // An on-battery value of 0 leaves the scheme's own value alone.
    if (onBattery != 0)
        allDone &= WriteToClasses(PowerWriteDCValueIndex, scheme, classes, onBattery, "on-battery value set to %lu%%\n",
                                  "Error: Failed to write 'on-battery' value\n");
    allDone &= ApplyScheme(scheme);
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
