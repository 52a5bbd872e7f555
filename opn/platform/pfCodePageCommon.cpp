// The string-level code-page conversions shared by both backends; the byte
// conversions they end in are per backend (pfCodePage.cpp).
#include <stdlib.h>
#include <string.h>

#include "opn/core/ovCString.h"
#include "opn/platform/pfCodePage.h"

ResultCode Utf8ToAnsi(const ovCString& in, ovCString& out) {
    // Each byte that does not begin a well-formed sequence becomes '?', so the
    // backends only ever see valid UTF-8 and both platforms agree.
    const unsigned char* text = reinterpret_cast<const unsigned char*>(in.CStr());
    const uint32_t length = in.Length();
    uint32_t firstBad = 0;
    while (firstBad < length) {
        const uint32_t step = Utf8SequenceLength(text + firstBad, length - firstBad);
        if (step == 0) {
            break;
        }
        firstBad += step;
    }
    char* clean = nullptr;
    if (firstBad < length) {
        clean = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
        if (!clean) {
            out.Clear();
            return OV_S_PLATFORM;
        }
        memcpy(clean, text, length);
        clean[length] = '\0';
        uint32_t i = firstBad;
        while (i < length) {
            const uint32_t step =
                Utf8SequenceLength(reinterpret_cast<const unsigned char*>(clean) + i, length - i);
            if (step == 0) {
                clean[i] = '?';
                i += 1;
            } else {
                i += step;
            }
        }
    }
    ovCString result;
    CodePageUtf8ToAnsi(clean ? clean : in.CStr(), length, result);
    free(clean);
    out.Swap(result);
    return OV_S_PLATFORM;
}

ResultCode AnsiToUtf8(const ovCString& in, ovCString& out) {
    ovCString result;
    CodePageAnsiToUtf8(in.CStr(), in.Length(), result);
    out.Swap(result);
    return OV_S_PLATFORM;
}
