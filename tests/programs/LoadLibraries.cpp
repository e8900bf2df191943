// Loads the libraries Pacecap binds on first use, by plain name, without any
// restriction of the library search, and exits 0. The control for the planted
// library check, and a yardstick for the loading benchmark.
#include <windows.h>

extern "C" void LoadLibrariesEntry() {
    const char* const names[] = {"USER32.dll", "SHLWAPI.dll", "POWRPROF.dll"};
    UINT missing = 0;
    for (const char* name : names) missing += LoadLibraryA(name) ? 0 : 1;
    ExitProcess(missing);
}
