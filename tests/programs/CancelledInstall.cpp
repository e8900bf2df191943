// Installs the package its command line names, silently, with
// PLUGGEDIN=99 ONBATTERY=80, and cancels as a user would at the first line
// the task's script writes: answers IDCANCEL to that INFO message. Writes
// MsiInstallProductW's result and exits with it.
#include <windows.h>
#include <msi.h>

#include "ToolSupport.h"

namespace {

int WINAPI CancelAtScript(void*, UINT type, const WCHAR* message) {
    const WCHAR* script = L"Register-PacecapTask.ps1";
    if ((type & 0xFF000000) != INSTALLMESSAGE_INFO || !message) return 0;
    while (*script && *message == *script) ++message, ++script;
    return *script ? 0 : IDCANCEL;
}

}  // namespace

extern "C" void CancelledInstallEntry() {
    // The package: all after this program's own name.
    WCHAR* package = GetCommandLineW();
    const WCHAR end = *package == '"' ? '"' : ' ';
    for (package += end == '"'; *package && *package != end; ++package) {
    }
    for (package += *package == '"'; *package == ' '; ++package) {
    }
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    MsiSetExternalUIW(CancelAtScript, INSTALLLOGMODE_INFO, nullptr);
    const UINT result = MsiInstallProductW(package, L"PLUGGEDIN=99 ONBATTERY=80");
    tool::Text<16> text;
    DWORD written = 0;
    text.AddNumber(result);
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.chars, static_cast<DWORD>(text.length), &written, nullptr);
    ExitProcess(result);
}
