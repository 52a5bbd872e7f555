#include "opn/platform/pfCodePage.h"

#include <errno.h>
#include <iconv.h>
#include <stdint.h>
#include <stdlib.h>

#include "opn/core/ovCString.h"

namespace {

// POSIX has no system ANSI code page; the launcher's market one stands in.
const char kAnsiCharset[] = "CP949";
const char kUtf8Charset[] = "UTF-8";

// How far to step over input that iconv refuses.
enum class SkipUnit { kByte, kUtf8Character };

// Bytes of the UTF-8 character that begins with `lead`; the input is
// well-formed, so the lead byte tells.
size_t Utf8CharacterLength(unsigned char lead) {
    if (lead < 0xE0) {
        return lead < 0x80 ? 1 : 2;
    }
    return lead < 0xF0 ? 3 : 4;
}

bool Convert(const char* toCharset, const char* fromCharset, const char* in, uint32_t n,
             size_t bytesPerInputByte, SkipUnit skip, ovCString& out) {
    out.Clear();
    if (n == 0) {
        return true;
    }
    const size_t capacity = static_cast<size_t>(n) * bytesPerInputByte;
    if (capacity / bytesPerInputByte != n || capacity >= UINT32_MAX) {
        return false;
    }
    iconv_t cd = iconv_open(toCharset, fromCharset);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // Without a converter the bytes are passed on rather than lost.
        return out.Assign(in, n);
    }
    char* buffer = static_cast<char*>(malloc(capacity));
    if (!buffer) {
        iconv_close(cd);
        return false;
    }
    // iconv's prototype takes non-const input; it does not write to it.
    char* src = const_cast<char*>(in);
    size_t srcLeft = n;
    char* dst = buffer;
    size_t dstLeft = capacity;
    // Every round either finishes or steps over at least one input byte.
    while (srcLeft > 0) {
        const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        if (rc != static_cast<size_t>(-1)) {
            break;
        }
        // EILSEQ: undecodable or unmappable; EINVAL: cut off at the end.
        if ((errno != EILSEQ && errno != EINVAL) || dstLeft == 0) {
            break;  // E2BIG cannot happen with the capacities used here
        }
        *dst++ = '?';
        --dstLeft;
        size_t step = skip == SkipUnit::kUtf8Character
                          ? Utf8CharacterLength(static_cast<unsigned char>(*src))
                          : 1;
        if (step > srcLeft) {
            step = srcLeft;
        }
        src += step;
        srcLeft -= step;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv(cd, nullptr, nullptr, &dst, &dstLeft);
    iconv_close(cd);
    const bool ok = out.Assign(buffer, static_cast<uint32_t>(capacity - dstLeft));
    free(buffer);
    return ok;
}

}  // namespace

uint32_t CodePageAnsi() {
    return 949;
}

bool CodePageIsLeadByte(unsigned char byte) {
    // CP949 lead bytes; its trail bytes are letters or above 0x80, never a
    // separator.
    return byte >= 0x81 && byte <= 0xFE;
}

bool CodePageUtf8ToAnsi(const char* in, uint32_t n, ovCString& out) {
    // A UTF-8 character never takes fewer bytes than its CP949 form or '?'.
    return Convert(kAnsiCharset, kUtf8Charset, in, n, 1, SkipUnit::kUtf8Character, out);
}

bool CodePageAnsiToUtf8(const char* in, uint32_t n, ovCString& out) {
    // One CP949 byte gives at most three UTF-8 bytes (all of CP949 is BMP).
    return Convert(kUtf8Charset, kAnsiCharset, in, n, 3, SkipUnit::kByte, out);
}
