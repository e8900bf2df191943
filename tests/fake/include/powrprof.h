// Test-only stand-in for the power library header.
#pragma once

#include <windows.h>

DWORD PowerGetActiveScheme(HKEY root, GUID** scheme);
DWORD PowerReadACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                            const GUID* setting, LPDWORD value);
DWORD PowerReadDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                            const GUID* setting, LPDWORD value);
DWORD PowerWriteACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                             const GUID* setting, DWORD value);
DWORD PowerWriteDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup,
                             const GUID* setting, DWORD value);
DWORD PowerSetActiveScheme(HKEY root, const GUID* scheme);
