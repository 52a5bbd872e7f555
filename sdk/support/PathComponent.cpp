#include "sdk/support/PathComponent.h"

#include <string.h>

namespace {

bool IsRefusedByte(unsigned char c) {
    if (c < 0x20 || c == 0x7F)
        return true;
    return strchr("\\/:<>\"|?*", c) != nullptr;
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

bool EqualsUpper(const char* text, size_t length, const char* upper) {
    if (strlen(upper) != length)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (Upper(text[i]) != upper[i])
            return false;
    return true;
}

// Windows takes the part before the first dot, without the spaces that end
// it, for the device test.
bool IsDeviceName(const char* part, size_t length) {
    size_t base = 0;
    while (base < length && part[base] != '.')
        ++base;
    while (base > 0 && part[base - 1] == ' ')
        --base;
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices)
        if (EqualsUpper(part, base, device))
            return true;
    if (base == 4 && part[3] >= '0' && part[3] <= '9')
        return EqualsUpper(part, 3, "COM") || EqualsUpper(part, 3, "LPT");
    return false;
}

}  // namespace

bool PathComponentIsSafe(const char* part, size_t length) {
    if (!part || length == 0)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (IsRefusedByte((unsigned char)part[i]))
            return false;
    const char last = part[length - 1];
    if (last == '.' || last == ' ')
        return false;
    return !IsDeviceName(part, length);
}
