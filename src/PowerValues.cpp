#include "PowerValues.h"

#include <powrprof.h>
#include <shlwapi.h>

#include "CRTreplace.h"
#include "EfficiencyClass.h"

namespace pacecap {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True when the number at the start of text has more digits, leading zeros
// aside, than any percentage; StrToIntA would wrap such a number around.
bool HasTooManyDigits(const char* text) {
    if (*text == '-') ++text;
    while (*text == '0') ++text;
    int digits = 0;
    while (IsDigit(text[digits])) ++digits;
    return digits > 3;
}

}  // namespace

bool BeginsWithNumber(const char* text) {
    if (*text == '-') ++text;
    return IsDigit(*text);
}

DWORD ReadPercent(const char* text) {
    const DWORD value = static_cast<DWORD>(StrToIntA(text));
    if (!BeginsWithNumber(text) || HasTooManyDigits(text)) return kNotAPercent;
    return value;
}

unsigned SettingClasses(const GUID* scheme) {
    unsigned classes = 1;
    const int highest = HighestEfficiencyClass();
    for (int k = 1; k <= highest; ++k) {
        DWORD value = 0;
        if (ReadValue(PowerReadACValueIndex, scheme, k, &value)) classes |= 1u << k;
    }
    return classes;
}

bool ApplyScheme(const GUID* scheme) {
    if (PowerSetActiveScheme(nullptr, scheme) == ERROR_SUCCESS) {
        printf("Changes applied\n");
        return true;
    }
    printf("Error: Failed to apply changes!\n");
    return false;
}

}  // namespace pacecap
