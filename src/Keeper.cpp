// PacecapKeep: holds the maximum processor state of the active power scheme
// at the values given, for a scheduled task to run again and again. It writes
// only the values that differ, applies the scheme only after a write, and
// never waits for a key: its first line and its exit code say what it did.
#include <windows.h>
#include <powrprof.h>

#include "CRTreplace.h"
#include "Command.h"
#include "EfficiencyClass.h"
#include "PowerValues.h"
#include "Startup.h"

namespace pacecap {

namespace {

// What keeping one limit did: bits, none when it was held.
const unsigned kWrote = 1;
const unsigned kWriteFailed = 2;

// Brings one limit of every class in classes (bit k for class k) to value:
// writes each class whose value differs or cannot be read, and no other. A
// value of 0 leaves the limit as it is. Returns kWrote and kWriteFailed bits.
unsigned KeepValue(ReadValueIndexFn read, WriteValueIndexFn write, const GUID* scheme, unsigned classes,
                   DWORD value) {
    unsigned done = 0;
    for (int k = 0; value != 0 && k <= kMaxEfficiencyClass; ++k) {
        DWORD current = 0;
        if (!(classes & (1u << k)) || (ReadValue(read, scheme, k, &current) && current == value)) continue;
        done |= WriteValue(write, scheme, k, value) ? kWrote : kWriteFailed;
    }
    return done;
}

// Prints what keeping one limit did; a limit held prints nothing.
void PrintKept(unsigned done, DWORD value, const char* doneFormat, const char* failure) {
    if (done & kWriteFailed)
        printf(failure);
    else if (done & kWrote)
        printf(doneFormat, value);
}

// The line for limits found held, by the values given: bit 0 for a
// plugged-in value, bit 1 for an on-battery one. Each line's first %lu takes
// the first value given.
const char* const kHeldLines[4] = {
    "limits held: plugged-in and on-battery left as they are\n",
    "limits held: plugged-in %lu%%, on-battery left as it is\n",
    "limits held: plugged-in left as it is, on-battery %lu%%\n",
    "limits held: plugged-in %lu%%, on-battery %lu%%\n"};

// Holds the values in the active scheme. Returns the exit code.
int KeepValues(DWORD pluggedIn, DWORD onBattery) {
    GUID* scheme = nullptr;
    if (PowerGetActiveScheme(nullptr, &scheme) != ERROR_SUCCESS) {
        printf("Error retrieving the active power scheme\n");
        return kExitNoActiveScheme;
    }
    const unsigned classes = SettingClasses(scheme);
    const unsigned pluggedInDone =
        KeepValue(PowerReadACValueIndex, PowerWriteACValueIndex, scheme, classes, pluggedIn);
    PrintKept(pluggedInDone, pluggedIn, "plugged-in value set to %lu%%\n",
              "Error: Failed to write 'plugged-in' value\n");
    const unsigned onBatteryDone =
        KeepValue(PowerReadDCValueIndex, PowerWriteDCValueIndex, scheme, classes, onBattery);
    PrintKept(onBatteryDone, onBattery, "on-battery value set to %lu%%\n",
              "Error: Failed to write 'on-battery' value\n");
    const unsigned done = pluggedInDone | onBatteryDone;
    bool allDone = !(done & kWriteFailed);
    if (done == 0) {
        const unsigned given = (pluggedIn != 0 ? 1u : 0u) | (onBattery != 0 ? 2u : 0u);
        printf(kHeldLines[given], pluggedIn != 0 ? pluggedIn : onBattery, onBattery);
    } else if (done & kWrote) {
        allDone &= ApplyScheme(scheme);
    }
    LocalFree(scheme);
    return allDone ? kExitSuccess : kExitNotApplied;
}

// Refuses the arguments: prints why and how to call, changes nothing.
int Refuse(const char* why) {
    printf(why);
    printf("Usage: PacecapKeep PluggedIn_Percent OnBattery_Percent\n");
    printf("a value of 0 leaves that limit as it is\n");
    return kExitUsageOrInvalidValue;
}

}  // namespace

int main(int count, const char** table) {
    // Before anything loads a library on first use.
    if (!UseSystem32DllSearch()) RemoveCurrentDirFromDllSearch();

    if (count != 3) return Refuse("invalid arguments -> abort\n");
    const DWORD pluggedIn = ReadPercent(table[1]);
    const DWORD onBattery = ReadPercent(table[2]);
    if (pluggedIn > kMaxPercent || onBattery > kMaxPercent) return Refuse("invalid value -> abort\n");
    return KeepValues(pluggedIn, onBattery);
}

}  // namespace pacecap
