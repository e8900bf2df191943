// A program that only records that it was started. Copies of it named
// Pacecap.exe show whether a roll-out script started a file that it should
// have refused: each start writes the command line to a file beside the
// program, named like it with ".ran" added, and exits 0 (3 when that write
// failed).
#include <windows.h>

#include "ToolSupport.h"

extern "C" void RunMarkerEntry() {
    char self[tool::kPathSize];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    if (length == 0 || length >= sizeof self) ExitProcess(2);  // no path, or a truncated one
    tool::Text<tool::kPathSize + 8> marker;
    marker.Add(self).Add(".ran");
    ExitProcess(tool::WriteWholeFile(marker.chars, GetCommandLineA(), false) ? 0 : 3);
}
