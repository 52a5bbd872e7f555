// ASCII letter case, the way protocol words compare: header names, URL
// schemes, file extensions, reserved device names. Only A-Z and a-z fold;
// every other byte (CP949 lead and trail bytes included) compares as it is.
// Pure functions, safe on any thread.
#pragma once

#include <stddef.h>

inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// Whether two zero-terminated texts are equal, case ignored.
bool AsciiEqualsNoCase(const char* a, const char* b);
// Whether the `n` bytes at `a` equal the `m` bytes at `b`, case ignored.
bool AsciiEqualsNoCase(const char* a, size_t n, const char* b, size_t m);
// Whether `text` begins with `prefix`, case ignored; reads `text` no
// further than its end or the prefix's length.
bool AsciiStartsWithNoCase(const char* text, const char* prefix);
