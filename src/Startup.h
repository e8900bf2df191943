// Process start-up: the entry routine, command-line splitting and the
// restriction of the library search path.
#pragma once

#include <windows.h>

namespace pacecap {

// Room in the argument table; arguments beyond it are ignored.
const int kArgumentTableSize = 32;
const int kCommandLineBufferSize = 512;

// Holds the split copy of the process command line; every argument points into it.
extern char CommandLineBuffer[kCommandLineBufferSize];

// Fills *count and table[0..count) from GetCommandLineA. table must have room for
// kArgumentTableSize entries; nothing past them is written.
void SplitCommandLine(int* count, const char** table);

// Looks up an export of the already loaded kernel library, without loading
// anything. Null when the platform lacks it.
FARPROC FindKernelExport(const char* name);

// FindKernelExport's result as a function of the given type. Going through
// void (*)() marks the change of signature as intended.
template <typename Function>
Function KernelExport(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(FindKernelExport(name)));
}

// Restricts library loading to System32. Nonzero when the restriction is in
// force, 0 when the platform lacks the call or it failed.
int UseSystem32DllSearch();

// Takes the current directory out of the library search order, where the
// platform has the call. Its result is ignored.
void RemoveCurrentDirFromDllSearch();

}  // namespace pacecap

// Image entry point: splits the command line, runs main, ends the process with
// its result. Never returns.
extern "C" void ProgramEntry();
