// The maximum processor state command: usage, show and set modes.
#pragma once

namespace pacecap {

// Exit codes of main.
const int kExitSuccess = 0;
const int kExitUsageOrInvalidValue = 1;
const int kExitNoActiveScheme = 2;
const int kExitNotApplied = 3;  // set mode: a write or the apply step failed

// Runs the command for table[0..count) and returns the process exit code.
// Must be the first code to run after start-up: it restricts the library
// search before anything loads a library on first use.
int main(int count, const char** table);

}  // namespace pacecap
