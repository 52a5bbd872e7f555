#include "opn/core/ovUtf16.h"

#include <stddef.h>
#include <stdint.h>

#include "opn/core/ovCString.h"

bool Utf16ToUtf8(const char16_t* in, ovCString& out) {
    out.Clear();
    if (!in)
        return false;
    for (size_t i = 0; in[i]; ++i) {
        uint32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        char bytes[4];
        uint32_t n;
        if (c < 0x80) {
            bytes[0] = (char)c;
            n = 1;
        } else if (c < 0x800) {
            bytes[0] = (char)(0xC0 | (c >> 6));
            bytes[1] = (char)(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            bytes[0] = (char)(0xE0 | (c >> 12));
            bytes[1] = (char)(0x80 | ((c >> 6) & 0x3F));
            bytes[2] = (char)(0x80 | (c & 0x3F));
            n = 3;
        } else {
            bytes[0] = (char)(0xF0 | (c >> 18));
            bytes[1] = (char)(0x80 | ((c >> 12) & 0x3F));
            bytes[2] = (char)(0x80 | ((c >> 6) & 0x3F));
            bytes[3] = (char)(0x80 | (c & 0x3F));
            n = 4;
        }
        if (!out.Append(bytes, n))
            return false;
    }
    return true;
}
