#include "sdk/support/PathComponent.h"

#include <string.h>

#include "opn/core/ovCString.h"
#include "opn/platform/pfCodePage.h"

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

// Whether the `length` bytes at `text` are one port number digit as Windows
// reads them: 0-9, or the superscript 1, 2 or 3, which it takes for digits
// too ("COM\xB9" in code page 1252, two bytes in CP949).
bool IsPortDigit(const char* text, size_t length) {
    if (length == 1 && text[0] >= '0' && text[0] <= '9')
        return true;
    ovCString utf8;
    // Unconvertible: taken for a device, the safe side.
    if (!CodePageAnsiToUtf8(text, (uint32_t)length, utf8))
        return true;
    static const char* const kSuperscripts[] = {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
    for (const char* digit : kSuperscripts)
        if (utf8.Equals(digit))
            return true;
    return false;
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
    // A superscript takes at most two bytes in a double-byte code page.
    if (base < 4 || base > 5 || !(EqualsUpper(part, 3, "COM") || EqualsUpper(part, 3, "LPT")))
        return false;
    return IsPortDigit(part + 3, base - 3);
}

// Letter case aside, as Windows compares names.
bool EndsInPartSuffix(const char* part, size_t length) {
    if (length < kPartFileSuffixLength)
        return false;
    const char* tail = part + length - kPartFileSuffixLength;
    for (size_t i = 0; i < kPartFileSuffixLength; ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
        if (c != kPartFileSuffix[i])
            return false;
    }
    return true;
}

}  // namespace

bool PathComponentIsSafe(const char* part, size_t length) {
    if (!part || length == 0)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (IsRefusedByte((unsigned char)part[i]))
            return false;
    // A lead byte that ends the part is half a character, which Windows
    // reads as a space: "CON\x81" would open CON, "x.\x81" be "x".
    for (size_t i = 0; i < length; ++i) {
        if (CodePageIsLeadByte((unsigned char)part[i]) && ++i == length)
            return false;
    }
    const char last = part[length - 1];
    if (last == '.' || last == ' ')
        return false;
    return !EndsInPartSuffix(part, length) && !IsDeviceName(part, length);
}
