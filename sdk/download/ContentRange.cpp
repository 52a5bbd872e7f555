#include "sdk/download/ContentRange.h"

namespace {

// Reads 1 to kContentRangeMaxDigits digits at *p and moves past them.
bool ReadNumber(const char*& p, int64_t* out) {
    int64_t value = 0;
    int32_t digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > kContentRangeMaxDigits)
            return false;
        value = value * 10 + (*p - '0');
        ++p;
    }
    *out = value;
    return digits > 0;
}

bool ReadUnit(const char*& p) {
    const char* unit = "bytes";
    for (; *unit; ++unit, ++p) {
        const char c = (*p >= 'A' && *p <= 'Z') ? (char)(*p - 'A' + 'a') : *p;
        if (c != *unit)
            return false;
    }
    if (*p != ' ')
        return false;
    ++p;
    return true;
}

}  // namespace

bool ParseContentRange(const char* value, ContentRange* out) {
    if (!value || !out)
        return false;
    const char* p = value;
    if (!ReadUnit(p))
        return false;
    ContentRange range = {-1, -1, -1};
    if (*p == '*') {
        // Unsatisfied: the total is required.
        ++p;
        if (*p++ != '/' || !ReadNumber(p, &range.total) || *p != '\0')
            return false;
        *out = range;
        return true;
    }
    if (!ReadNumber(p, &range.first) || *p++ != '-' || !ReadNumber(p, &range.last) || *p++ != '/')
        return false;
    if (*p == '*') {
        ++p;
    } else if (!ReadNumber(p, &range.total)) {
        return false;
    }
    if (*p != '\0' || range.first > range.last || (range.total >= 0 && range.last >= range.total))
        return false;
    *out = range;
    return true;
}
