// The values both programs deal in: percentage arguments, and the maximum
// processor state of each efficiency class in a power scheme.
#pragma once

#include <windows.h>

#include "EfficiencyClass.h"

namespace pacecap {

const DWORD kMaxPercent = 100;
// Stands for any value that is not a percentage: no number, or too many digits.
const DWORD kNotAPercent = 0xFFFFFFFF;

// True when text starts with what StrToIntA reads: an optional minus, then a digit.
bool BeginsWithNumber(const char* text);

// The value of a percentage argument as StrToIntA reads it, or kNotAPercent
// when the text does not begin with a number or the number cannot be one.
// A value above kMaxPercent is returned as it is, for the caller to refuse.
DWORD ReadPercent(const char* text);

// The platform's reads and writes of one value index: the plugged-in (AC)
// or the on-battery (DC) one.
typedef DWORD(WINAPI* ReadValueIndexFn)(HKEY, const GUID*, const GUID*, const GUID*, LPDWORD);
typedef DWORD(WINAPI* WriteValueIndexFn)(HKEY, const GUID*, const GUID*, const GUID*, DWORD);

// The two below are defined here, not only declared: inlined at each call,
// they cost the programs fewer bytes than calls into another unit would.

// Reads one value of the setting of efficiency class k into *value; false
// when the read failed, and *value is then not to be used.
inline bool ReadValue(ReadValueIndexFn read, const GUID* scheme, int k, DWORD* value) {
    return read(nullptr, scheme, &kProcessorSettingsSubgroup, &kMaxProcessorStateSettings[k], value) ==
           ERROR_SUCCESS;
}

// Writes value into the setting of efficiency class k; false when the write failed.
inline bool WriteValue(WriteValueIndexFn write, const GUID* scheme, int k, DWORD value) {
    return write(nullptr, scheme, &kProcessorSettingsSubgroup, &kMaxProcessorStateSettings[k], value) ==
           ERROR_SUCCESS;
}

// Bit k set for each efficiency class k whose setting the scheme has, class 0
// always. A higher class whose plugged-in value cannot be read has none.
unsigned SettingClasses(const GUID* scheme);

// Applies the scheme, so that the values written to it take effect, and
// prints the outcome. False when the apply step failed.
bool ApplyScheme(const GUID* scheme);

}  // namespace pacecap
