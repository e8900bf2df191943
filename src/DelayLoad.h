// Binding of the libraries that the image loads on first use: the routine
// that the linker's delay-load thunks call.
#pragma once

#include <windows.h>

namespace pacecap {

// One entry of the image's delay-import directory; every field but grAttrs is
// an address relative to the image base.
struct DelayImportDescriptor {
    DWORD grAttrs;
    DWORD rvaDLLName;
    DWORD rvaHmod;
    DWORD rvaIAT;
    DWORD rvaINT;
    DWORD rvaBoundIAT;
    DWORD rvaUnloadIAT;
    DWORD dwTimeStamp;
};

// Exit codes of a library or a function that cannot be found: the
// conventional delay-load statuses.
const DWORD kDelayLoadLibraryNotFound = 0xC06D007E;
const DWORD kDelayLoadFunctionNotFound = 0xC06D007F;

// Binds the function whose slot is iatEntry, in the image at imageBase:
// loads its library by plain name unless its handle slot is filled, looks the
// function up, stores it in the slot and returns it. When either is missing it
// ends the process with the conventional delay-load status; it never returns null.
FARPROC BindDelayedImport(const char* imageBase, const DelayImportDescriptor* descriptor, FARPROC* iatEntry);

}  // namespace pacecap

// Called by the linker's thunks with the caller's arguments saved; the name is the linker's.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" FARPROC WINAPI __delayLoadHelper2(const pacecap::DelayImportDescriptor* descriptor, FARPROC* iatEntry);
