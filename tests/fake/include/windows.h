// Test-only stand-in for the platform header: just the subset the program
// uses, with the platform's widths. The recording fakes stand behind it.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

typedef int32_t BOOL;
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef uint32_t ULONG;
typedef uint16_t WCHAR;
typedef char CHAR;
typedef void* HANDLE;
typedef void* HLOCAL;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HMODULE;
typedef struct HKEY__* HKEY;
typedef struct HWINSTA__* HWINSTA;
typedef DWORD* LPDWORD;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef void* LPOVERLAPPED;
typedef intptr_t (*FARPROC)();
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;

#define WINAPI
#define TRUE 1
#define FALSE 0

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSTALL_USEREXIT 1602L
#define ERROR_INSTALL_FAILURE 1603L
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define FILE_TYPE_UNKNOWN 0x0000
#define FILE_TYPE_DISK 0x0001
#define FILE_TYPE_CHAR 0x0002
#define FILE_TYPE_PIPE 0x0003
#define KEY_EVENT 0x0001
#define MOUSE_EVENT 0x0002
#define FOCUS_EVENT 0x0010
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_MENU 0x12
#define VK_PAUSE 0x13
#define VK_CAPITAL 0x14
#define VK_RETURN 0x0D
#define VK_SPACE 0x20
#define VK_LWIN 0x5B
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#define UOI_FLAGS 1
#define WSF_VISIBLE 0x0001L
#define STARTF_USESHOWWINDOW 0x00000001
#define SW_HIDE 0
#define SW_SHOWNORMAL 1

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

typedef struct _IMAGE_DOS_HEADER {
    WORD e_magic;
    WORD e_rest[29];
    LONG e_lfanew;
} IMAGE_DOS_HEADER;

typedef struct _KEY_EVENT_RECORD {
    BOOL bKeyDown;
    WORD wRepeatCount;
    WORD wVirtualKeyCode;
    WORD wVirtualScanCode;
    union {
        WCHAR UnicodeChar;
        CHAR AsciiChar;
    } uChar;
    DWORD dwControlKeyState;
} KEY_EVENT_RECORD;

typedef struct _INPUT_RECORD {
    WORD EventType;
    union {
        KEY_EVENT_RECORD KeyEvent;
        uint8_t otherEvents[16];
    } Event;
} INPUT_RECORD;

typedef struct tagUSEROBJECTFLAGS {
    BOOL fInherit;
    BOOL fReserved;
    DWORD dwFlags;
} USEROBJECTFLAGS;

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA;

typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    WCHAR cFileName[260];
} WIN32_FIND_DATAW;

// Kernel
DWORD GetLastError();
DWORD GetFileAttributesW(const WCHAR* path);
HANDLE FindFirstFileW(const WCHAR* pattern, WIN32_FIND_DATAW* found);
BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* found);
BOOL FindClose(HANDLE search);
LPSTR GetCommandLineA();
int lstrlenA(LPCSTR text);
LPSTR lstrcpyA(LPSTR to, LPCSTR from);
[[noreturn]] void ExitProcess(UINT exitCode);
HMODULE GetModuleHandleA(LPCSTR name);
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
HANDLE GetStdHandle(DWORD which);
BOOL WriteFile(HANDLE file, const void* data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
DWORD GetFileType(HANDLE file);
void Sleep(DWORD ms);
DWORD GetTickCount();
HWND GetConsoleWindow();
DWORD GetCurrentProcessId();
BOOL FlushConsoleInputBuffer(HANDLE input);
BOOL GetNumberOfConsoleInputEvents(HANDLE input, LPDWORD count);
BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD* records, DWORD size, LPDWORD read);
HLOCAL LocalFree(HLOCAL memory);
void GetStartupInfoA(STARTUPINFOA* info);
BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId);
void __debugbreak();

// User interface
int wvsprintfA(LPSTR buffer, LPCSTR format, va_list args);
DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId);
HWINSTA GetProcessWindowStation();
BOOL GetUserObjectInformationA(HANDLE object, int index, void* info, DWORD length, LPDWORD needed);
