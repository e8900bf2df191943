#include "DelayLoad.h"

// Provided by the linker, under the name it gives it: the start of this image in memory.
extern "C" IMAGE_DOS_HEADER __ImageBase;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace pacecap {

namespace {

const ULONGLONG kImportByOrdinal = 0x8000000000000000ull;

// What a handler of the delay-load exception receives, in the conventional layout.
struct DelayLoadProc {
    BOOL fImportByName;
    union {
        LPCSTR szProcName;
        DWORD dwOrdinal;
    };
};

struct DelayLoadInfo {
    DWORD cb;
    const DelayImportDescriptor* pidd;
    FARPROC* ppfn;
    LPCSTR szDll;
    DelayLoadProc dlp;
    HMODULE hmodCur;
    FARPROC pfnCur;
    DWORD dwLastError;
};

// Raises the delay-load exception for info. A handler may continue with a
// function in info.pfnCur; without one the process ends with the exception's
// code, so no caller ever jumps to a null address.
FARPROC Fail(DWORD code, DelayLoadInfo* info) {
    info->dwLastError = GetLastError();
    ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
    RaiseException(code, 0, 1, &argument);
    if (!info->pfnCur) ExitProcess(code);
    return info->pfnCur;
}

// Stores function in its slot, so later calls go straight to it.
FARPROC Bind(FARPROC* iatEntry, FARPROC function) {
    *iatEntry = function;
    return function;
}

}  // namespace

FARPROC BindDelayedImport(const char* imageBase, const DelayImportDescriptor* descriptor, FARPROC* iatEntry) {
    HMODULE* module = reinterpret_cast<HMODULE*>(const_cast<char*>(imageBase) + descriptor->rvaHmod);
    FARPROC* iat = reinterpret_cast<FARPROC*>(const_cast<char*>(imageBase) + descriptor->rvaIAT);
    const ULONGLONG* names = reinterpret_cast<const ULONGLONG*>(imageBase + descriptor->rvaINT);
    const ULONGLONG name = names[iatEntry - iat];

    DelayLoadInfo info;
    info.cb = sizeof info;
    info.pidd = descriptor;
    info.ppfn = iatEntry;
    info.szDll = imageBase + descriptor->rvaDLLName;
    info.dlp.fImportByName = (name & kImportByOrdinal) == 0;
    if (info.dlp.fImportByName)
        info.dlp.szProcName = imageBase + static_cast<DWORD>(name) + sizeof(WORD);  // past the hint
    else
        info.dlp.dwOrdinal = static_cast<DWORD>(name & 0xFFFF);
    info.hmodCur = *module;
    info.pfnCur = nullptr;
    info.dwLastError = 0;

    if (!info.hmodCur) {
        info.hmodCur = LoadLibraryA(info.szDll);
        if (!info.hmodCur) return Bind(iatEntry, Fail(kDelayLoadLibraryNotFound, &info));
        *module = info.hmodCur;
    }
    // An ordinal travels in the name's place, as GetProcAddress expects it.
    const LPCSTR lookup = info.dlp.fImportByName
                              ? info.dlp.szProcName
                              : reinterpret_cast<LPCSTR>(  // NOLINT(performance-no-int-to-ptr)
                                    static_cast<ULONG_PTR>(info.dlp.dwOrdinal));
    info.pfnCur = GetProcAddress(info.hmodCur, lookup);
    if (!info.pfnCur) return Bind(iatEntry, Fail(kDelayLoadFunctionNotFound, &info));
    return Bind(iatEntry, info.pfnCur);
}

}  // namespace pacecap

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's name for it.
extern "C" FARPROC WINAPI __delayLoadHelper2(const pacecap::DelayImportDescriptor* descriptor, FARPROC* iatEntry) {
    return pacecap::BindDelayedImport(reinterpret_cast<const char*>(&__ImageBase), descriptor, iatEntry);
}
