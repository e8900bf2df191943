// Test-only stand-in for the string library header.
#pragma once

#include <windows.h>

int StrToIntA(LPCSTR text);
