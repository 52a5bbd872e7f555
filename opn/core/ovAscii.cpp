#include "opn/core/ovAscii.h"

bool AsciiEqualsNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (AsciiLower(*a) != AsciiLower(*b))
            return false;
        if (*a == '\0')
            return true;
    }
}

bool AsciiEqualsNoCase(const char* a, size_t n, const char* b, size_t m) {
    if (n != m)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

bool AsciiStartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        if (AsciiLower(*text) != AsciiLower(*prefix))
            return false;
    }
    return true;
}
