// memset and memcpy of our own, for Pacecap.exe alone (the host tests have
// the C library's). A compiler may call them where the source does not: cl
// and clang zero or copy a struct or an array through them, most of all in a
// Debug build, and a compiler that may use its builtins turns a fill or copy
// loop into them. No runtime is linked to provide them, so they are here,
// for every build. Each is in a section of its own (see Program.cmake), so
// that a link that calls neither drops both.
#include <stddef.h>

#if defined(_MSC_VER) && !defined(__clang__)
// Where they are intrinsic (/Oi, which /O2 implies; /O1 and /Od do not) cl
// refuses a definition of them (C2169); this makes them plain functions
// here in every configuration.
#pragma function(memset, memcpy)
#endif

// The names are the C library's, which the compilers call.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {

// Volatile stores: no compiler may turn either loop back into a call to the
// routine itself.
void* memset(void* destination, int value, size_t count) {
    volatile unsigned char* to = static_cast<unsigned char*>(destination);
    for (size_t i = 0; i < count; ++i) to[i] = static_cast<unsigned char>(value);
    return destination;
}

void* memcpy(void* destination, const void* source, size_t count) {
    volatile unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < count; ++i) to[i] = from[i];
    return destination;
}

}  // extern "C"
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
