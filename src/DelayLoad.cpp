#include "DelayLoad.h"

// Provided by the linker, under the name it gives it: the start of this image in memory.
extern "C" IMAGE_DOS_HEADER __ImageBase;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace pacecap {

namespace {

const ULONGLONG kImportByOrdinal = 0x8000000000000000ull;

// Ends the process with the conventional delay-load status. Raising it as an
// exception instead would send the dispatcher up frames that have no unwind
// data, reading stale stack as return addresses: under Wine such a run ended
// with exit code 0. Nothing in the program could handle the exception anyway.
[[noreturn]] void Fail(DWORD code) { ExitProcess(code); }

}  // namespace

FARPROC BindDelayedImport(const char* imageBase, const DelayImportDescriptor* descriptor, FARPROC* iatEntry) {
    HMODULE* module = reinterpret_cast<HMODULE*>(const_cast<char*>(imageBase) + descriptor->rvaHmod);
    FARPROC* iat = reinterpret_cast<FARPROC*>(const_cast<char*>(imageBase) + descriptor->rvaIAT);
    const ULONGLONG* names = reinterpret_cast<const ULONGLONG*>(imageBase + descriptor->rvaINT);
    const ULONGLONG name = names[iatEntry - iat];

    if (!*module) {
        HMODULE loaded = LoadLibraryA(imageBase + descriptor->rvaDLLName);
        if (!loaded) Fail(kDelayLoadLibraryNotFound);
        *module = loaded;
    }
    // An ordinal travels in the name's place, as GetProcAddress expects it.
    const LPCSTR lookup = (name & kImportByOrdinal)
                              ? reinterpret_cast<LPCSTR>(  // NOLINT(performance-no-int-to-ptr)
                                    static_cast<ULONG_PTR>(name & 0xFFFF))
                              : imageBase + static_cast<DWORD>(name) + sizeof(WORD);  // past the hint
    const FARPROC function = GetProcAddress(*module, lookup);
    if (!function) Fail(kDelayLoadFunctionNotFound);
    *iatEntry = function;  // later calls go straight to it
    return function;
}

}  // namespace pacecap

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's name for it.
extern "C" FARPROC WINAPI __delayLoadHelper2(const pacecap::DelayImportDescriptor* descriptor, FARPROC* iatEntry) {
    return pacecap::BindDelayedImport(reinterpret_cast<const char*>(&__ImageBase), descriptor, iatEntry);
}
