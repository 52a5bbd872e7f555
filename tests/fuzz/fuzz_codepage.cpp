// Arbitrary bytes through both code-page conversions: no crash, no hang, and
// text that came out of a conversion converts again without loss of length
// bounds.
#include <stddef.h>
#include <stdint.h>

#include "opn/core/ovCString.h"
#include "opn/platform/pfCodePage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16)
        return 0;
    ovCString in;
    in.Assign(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size));
    ovCString ansi, utf8, again;
    Utf8ToAnsi(in, ansi);
    AnsiToUtf8(in, utf8);
    // What AnsiToUtf8 produced is valid UTF-8 and must survive the way back.
    Utf8ToAnsi(utf8, again);
    if (again.Length() > in.Length() * 2 + 1)
        __builtin_trap();
    return 0;
}
