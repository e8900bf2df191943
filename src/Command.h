// The maximum processor state command: each program's main and its exit
// codes. Pacecap's main (usage, show and set modes) is in Command.cpp, the
// keeper's in Keeper.cpp; each program links one of them.
#pragma once

namespace pacecap {

// Exit codes of main.
const int kExitSuccess = 0;
const int kExitUsageOrInvalidValue = 1;
const int kExitNoActiveScheme = 2;
const int kExitNotApplied = 3;  // a write or the apply step failed

// Runs the command for table[0..count) and returns the process exit code.
// Must be the first code to run after start-up: it restricts the library
// search before anything loads a library on first use.
int main(int count, const char** table);

}  // namespace pacecap
