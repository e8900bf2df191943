#include "Startup.h"

#include "Command.h"

namespace pacecap {

char CommandLineBuffer[kCommandLineBufferSize];

namespace {

// Entry 0 when the command line is too long to split.
const char kEmptyArgument[] = "";

const char kQuote = '"';
const char kSpace = ' ';

// Skips from the opening quote at i to its closing quote. Returns the index of
// the closing quote, or length when the quote is never closed.
int SkipQuoted(const char* text, int i, int length) {
    ++i;
    while (i < length && text[i] != kQuote) ++i;
    return i;
}

}  // namespace

void SplitCommandLine(int* count, const char** table) {
    *count = 0;
    const char* commandLine = GetCommandLineA();
    if (lstrlenA(commandLine) >= kCommandLineBufferSize) {
        table[0] = kEmptyArgument;
        return;
    }
    lstrcpyA(CommandLineBuffer, commandLine);
    char* text = CommandLineBuffer;
    const int length = lstrlenA(text);
    if (length == 0) return;

    table[0] = text;
    *count = 1;
    int i = 0;
    while (i < length) {
        if (text[i] == kQuote) {
            i = SkipQuoted(text, i, length);
            if (i >= length) break;  // an unclosed quote takes the rest of the line
            ++i;
        } else if (text[i] == kSpace) {
            text[i] = 0;
            if (*count == kArgumentTableSize) break;  // table full: the rest is ignored
            while (text[i + 1] == kSpace) ++i;
            ++i;
            table[(*count)++] = text + i;
        } else {
            ++i;
        }
    }
    // Trailing spaces leave an empty last argument; it is not an argument.
    if (*count > 1 && table[*count - 1][0] == 0) --*count;
}

FARPROC FindKernelExport(const char* name) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel ? GetProcAddress(kernel, name) : nullptr;
}

int UseSystem32DllSearch() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
    auto setDefaultDllDirectories = KernelExport<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories");
    if (!setDefaultDllDirectories) return 0;
    return setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void RemoveCurrentDirFromDllSearch() {
    typedef BOOL(WINAPI * SetDllDirectoryAFn)(LPCSTR);
    auto setDllDirectoryA = KernelExport<SetDllDirectoryAFn>("SetDllDirectoryA");
    if (setDllDirectoryA) setDllDirectoryA("");
}

}  // namespace pacecap

extern "C" void ProgramEntry() {
    int count = 0;
    // Lives until the process ends: ExitProcess does not return.
    const char* ArgumentTable[pacecap::kArgumentTableSize];
    pacecap::SplitCommandLine(&count, ArgumentTable);
    ExitProcess(static_cast<UINT>(pacecap::main(count, ArgumentTable)));
}
