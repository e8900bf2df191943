// Small runtime-free helpers shared by the test programs: text building and
// whole-file reads and writes through the kernel library alone.
#pragma once

#include <windows.h>

namespace tool {

const int kPathSize = 1024;

inline void Zero(void* data, unsigned size) {
    volatile char* bytes = static_cast<char*>(data);
    for (unsigned i = 0; i < size; ++i) bytes[i] = 0;
}

inline int Length(const char* text) {
    int n = 0;
    while (text[n]) ++n;
    return n;
}

inline bool Equal(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

inline bool StartsWith(const char* text, const char* prefix) {
    while (*prefix && *text == *prefix) ++text, ++prefix;
    return *prefix == 0;
}

// A zero-terminated text of fixed capacity; appends past it are dropped.
template <int Capacity>
struct Text {
    char chars[Capacity];
    int length;

    Text() : length(0) { chars[0] = 0; }
    Text& Add(const char* text) {
        while (*text && length < Capacity - 1) chars[length++] = *text++;
        chars[length] = 0;
        return *this;
    }
    Text& AddNumber(DWORD value, DWORD base = 10, int minDigits = 1) {
        char digits[16];
        int n = 0;
        while ((value || n < minDigits) && n < 16) {
            digits[n++] = "0123456789ABCDEF"[value % base];
            value /= base;
        }
        char one[2] = {0, 0};
        while (n) {
            one[0] = digits[--n];
            Add(one);
        }
        return *this;
    }
};

// Reads a decimal number at text; moves text past it.
inline DWORD ParseNumber(const char*& text) {
    DWORD value = 0;
    while (*text >= '0' && *text <= '9') value = value * 10 + static_cast<DWORD>(*text++ - '0');
    return value;
}

// The value of an environment variable, or fallback when it is not set.
inline void Environment(const char* name, char* value, DWORD size, const char* fallback) {
    DWORD n = GetEnvironmentVariableA(name, value, size);
    if (n == 0 || n >= size) lstrcpynA(value, fallback, static_cast<int>(size));
}

// Reads up to size - 1 bytes of a file into data and terminates them. Returns
// the count read, or -1 when the file cannot be opened.
inline int ReadWholeFile(const char* path, char* data, DWORD size) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    DWORD read = 0;
    if (!ReadFile(file, data, size - 1, &read, nullptr)) read = 0;
    CloseHandle(file);
    data[read] = 0;
    return static_cast<int>(read);
}

// Replaces a file's content, or appends to it.
inline bool WriteWholeFile(const char* path, const char* data, bool append) {
    HANDLE file = CreateFileA(path, append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(Length(data));
    const BOOL ok = WriteFile(file, data, size, &written, nullptr);
    CloseHandle(file);
    return ok && written == size;
}

inline void WriteStdErr(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(Length(text)), &written, nullptr);
}

}  // namespace tool
