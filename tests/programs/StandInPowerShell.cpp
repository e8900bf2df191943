// Stands in for Windows PowerShell in System32, where the installer suite
// shows that nothing starts it: appends its command line to the file
// PACECAP_STANDIN_RECORD names, and exits 0.
#include <windows.h>

#include "ToolSupport.h"

extern "C" void StandInEntry() {
    char record[tool::kPathSize];
    tool::Environment("PACECAP_STANDIN_RECORD", record, sizeof record, "");
    if (record[0]) {
        tool::WriteWholeFile(record, GetCommandLineA(), true);
        tool::WriteWholeFile(record, "\r\n", true);
    }
    ExitProcess(0);
}
