// The runtime replacement: formatted output straight to the standard output
// handle, with no language runtime behind it.
#pragma once

#include <stddef.h>

namespace pacecap {

// Capacity of one formatted text, terminating zero included.
const int kPrintBufferSize = 1024;

// Formats with wvsprintfA's rules, turns bare LF into CR LF and writes the
// result with one WriteFile. Returns the bytes written, or -1 when the write
// failed. A formatted text of kPrintBufferSize characters or more halts the
// process at a breakpoint.
int printf(const char* format, ...);

// Formats into a shared static buffer; prints it as " %s\n" only for
// level <= 5. Returns the formatted length when nothing was printed, else
// printf's result. Not for concurrent callers.
int DbgPrintf(int level, const char* format, ...);

// Converts bare LF into CR LF in place and returns text. text must be
// kPrintBufferSize bytes, zero-terminated within them; a result that would
// not fit is cut short, never between an added CR and its LF.
char* LfToCrLf(char* text);

// Copies byteCount / 4 whole 32-bit words upwards from source to
// destination and returns destination. The areas must not overlap.
void* CopyWords(void* destination, const void* source, size_t byteCount);

}  // namespace pacecap
