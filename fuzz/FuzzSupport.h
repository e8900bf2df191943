// Shared by the fuzz harnesses: a failed invariant stops the run with a
// message, as a sanitizer finding does.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_ASSERT(condition, ...)                                                 \
    do {                                                                            \
        if (!(condition)) {                                                         \
            std::fprintf(stderr, "invariant broken: %s: ", #condition);             \
            std::fprintf(stderr, __VA_ARGS__);                                      \
            std::fprintf(stderr, "\n");                                             \
            std::abort();                                                           \
        }                                                                           \
    } while (0)

// The fuzz input as a C string: the platform hands out text without NUL bytes.
inline std::string TextOf(const unsigned char* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}
