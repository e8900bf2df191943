// A library that only records its own loading: copies of it, named like the
// libraries Pacecap binds on first use, are planted where a search that is
// not restricted to System32 would find them. It imports nothing but the
// kernel library, so it loads whatever it impersonates.
//   PACECAP_MARKER  file that each load appends its module path to
#include <windows.h>

#include "ToolSupport.h"

extern "C" BOOL WINAPI MarkerEntry(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char marker[tool::kPathSize];
    char path[tool::kPathSize];
    tool::Environment("PACECAP_MARKER", marker, sizeof marker, "C:\\pacecap-marker.txt");
    if (!GetModuleFileNameA(self, path, sizeof path)) path[0] = 0;
    tool::Text<tool::kPathSize + 16> line;
    line.Add("loaded ").Add(path).Add("\n");
    tool::WriteWholeFile(marker, line.chars, true);
    return TRUE;
}
