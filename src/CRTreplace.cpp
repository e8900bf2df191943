#include "CRTreplace.h"

#include <stdarg.h>
#include <windows.h>

namespace pacecap {

namespace {

const int kDbgBufferSize = 4096;
const int kMaxShownDbgLevel = 5;
const DWORD kAssertPauseMs = 100;

char dbgBuffer[kDbgBufferSize];

// Reports an internal error and stops at a breakpoint; the pause lets the
// message reach the console first. The report goes through printf, whose
// short format cannot fail this check again, so the recursion ends there.
// NOLINTNEXTLINE(misc-no-recursion)
void Assert(const char* file, unsigned line, const char* function) {
    DbgPrintf(1, "INT3 in %s line %u, function %s", file, line, function);
    Sleep(kAssertPauseMs);
    __debugbreak();
}

}  // namespace

void* CopyWords(void* destination, const void* source, size_t byteCount) {
    // Volatile stores: no compiler may turn the loop into a memcpy call, which
    // a program without a runtime could not link.
    volatile DWORD* to = static_cast<DWORD*>(destination);
    const DWORD* from = static_cast<const DWORD*>(source);
    for (size_t i = 0; i < byteCount / sizeof(DWORD); ++i) to[i] = from[i];
    return destination;
}

char* LfToCrLf(char* text) {
    alignas(DWORD) char scratch[kPrintBufferSize];
    int out = 0;
    const int room = kPrintBufferSize - 1;  // keeps a place for the terminating zero
    for (int in = 0; text[in] != 0 && out < room; ++in) {
        const bool bareLf = text[in] == '\n' && (in == 0 || text[in - 1] != '\r');
        if (bareLf) {
            if (out + 2 > room) break;  // never split a line end
            scratch[out++] = '\r';
        }
        scratch[out++] = text[in];
    }
    // The terminating zero and zeros up to the next whole word: only written
    // bytes are copied back. Volatile, so that the fill never becomes a memset call.
    const int copied = (out + static_cast<int>(sizeof(DWORD))) & ~static_cast<int>(sizeof(DWORD) - 1);
    volatile char* fill = scratch;
    for (int i = out; i < copied; ++i) fill[i] = 0;
    return static_cast<char*>(CopyWords(text, scratch, static_cast<size_t>(copied)));
}

// NOLINTNEXTLINE(misc-no-recursion): only through Assert, see there.
int printf(const char* format, ...) {
    alignas(DWORD) char buffer[kPrintBufferSize];
    buffer[0] = 0;
    va_list args;
    va_start(args, format);
    const int formatted = wvsprintfA(buffer, format, args);
    va_end(args);
    // The file name is fixed so that the image does not depend on the build folder.
    if (formatted >= kPrintBufferSize) Assert(".\\CRTreplace", __LINE__, "printf");

    LfToCrLf(buffer);
    const DWORD length = static_cast<DWORD>(lstrlenA(buffer));
    DWORD written = 0;
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, length, &written, nullptr)) return -1;
    return static_cast<int>(written);
}

// NOLINTNEXTLINE(misc-no-recursion): only through Assert, see there.
int DbgPrintf(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int formatted = wvsprintfA(dbgBuffer, format, args);
    va_end(args);
    if (level > kMaxShownDbgLevel) return formatted;
    return printf(" %s\n", dbgBuffer);
}

}  // namespace pacecap
