#include "sdk/support/ExpectedContent.h"

#include "sdk/support/HexBytes.h"

#include <string.h>

namespace {

const size_t kHexDigits = 64;
const size_t kV1HexDigits = 40;
// As in a Content-Range: no size of more digits fits a file.
const size_t kSizeDigitsMax = 18;

bool ReadHash(const char* text, size_t length, uint8_t out[32]) {
    return length == kHexDigits && HexToBytes(text, length, out, kHexDigits / 2);
}

// A torrent's info-hash: v2 (64 digits) or v1 (40).
bool ReadBtih(const char* text, size_t length, uint8_t out[32], size_t* size) {
    if (length != kHexDigits && length != kV1HexDigits)
        return false;
    *size = length / 2;
    return HexToBytes(text, length, out, *size);
}

bool ReadSize(const char* text, size_t length, int64_t* out) {
    if (length == 0 || length > kSizeDigitsMax)
        return false;
    int64_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    *out = value;
    return true;
}

bool IsName(const char* text, size_t length, const char* name) {
    return strlen(name) == length && memcmp(text, name, length) == 0;
}

// A parameter that means to say what the file is, in a spelling that is not
// read ("SHA256", "sha-256", "sha256:<hex>", "Size", "md5"): taken as
// nothing, it would leave the file unchecked. Judged on the name's letters
// and digits, lower-cased.
bool IsNearMiss(const char* text, size_t length) {
    char folded[8];
    size_t n = 0;
    for (size_t i = 0; i < length && n < sizeof folded; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            folded[n++] = c;
    }
    static const char* const kPrefixes[] = {"sha", "size", "md5", "hash", "digest", "checksum"};
    for (const char* prefix : kPrefixes) {
        const size_t prefixLength = strlen(prefix);
        if (n >= prefixLength && memcmp(folded, prefix, prefixLength) == 0)
            return true;
    }
    return false;
}

}  // namespace

size_t UrlLengthWithoutFragment(const char* url, size_t length) {
    const void* hash = url ? memchr(url, '#', length) : nullptr;
    return hash ? (size_t)(static_cast<const char*>(hash) - url) : length;
}

bool ReadUrlContent(const char* url, size_t length, ExpectedContent* out) {
    *out = ExpectedContent();
    const size_t start = UrlLengthWithoutFragment(url, length);
    if (start >= length)
        return true;
    bool hasSize = false;
    const char* p = url + start + 1;
    const char* end = url + length;
    while (p <= end) {
        const char* stop = static_cast<const char*>(memchr(p, '&', (size_t)(end - p)));
        if (!stop)
            stop = end;
        const char* equals = static_cast<const char*>(memchr(p, '=', (size_t)(stop - p)));
        const size_t nameLength = equals ? (size_t)(equals - p) : (size_t)(stop - p);
        const char* value = equals ? equals + 1 : stop;
        const size_t valueLength = (size_t)(stop - value);
        if (IsName(p, nameLength, "sha256")) {
            if (out->hasSha256 || !ReadHash(value, valueLength, out->sha256))
                return false;
            out->hasSha256 = true;
        } else if (IsName(p, nameLength, "btih")) {
            if (out->hasBtih || !ReadBtih(value, valueLength, out->btih, &out->btihSize))
                return false;
            out->hasBtih = true;
        } else if (IsName(p, nameLength, "size")) {
            if (hasSize || !ReadSize(value, valueLength, &out->size))
                return false;
            hasSize = true;
        } else if (IsNearMiss(p, nameLength)) {
            return false;
        }
        p = stop + 1;
    }
    return out->hasSha256 || !hasSize;
}

bool ReadUrlListContent(const char* list, ExpectedContent* out) {
    *out = ExpectedContent();
    if (!list)
        return true;
    for (const char* mirror = list;;) {
        const char* end = strchr(mirror, '|');
        if (!end)
            end = mirror + strlen(mirror);
        ExpectedContent one;
        if (!ReadUrlContent(mirror, (size_t)(end - mirror), &one))
            return false;
        if (one.hasSha256) {
            if (out->hasSha256 && memcmp(out->sha256, one.sha256, sizeof one.sha256) != 0)
                return false;
            if (one.size >= 0 && out->size >= 0 && one.size != out->size)
                return false;
            out->hasSha256 = true;
            memcpy(out->sha256, one.sha256, sizeof one.sha256);
            if (one.size >= 0)
                out->size = one.size;
        }
        if (one.hasBtih) {
            if (out->hasBtih && (out->btihSize != one.btihSize ||
                                 memcmp(out->btih, one.btih, sizeof one.btih) != 0))
                return false;
            out->hasBtih = true;
            out->btihSize = one.btihSize;
            memcpy(out->btih, one.btih, sizeof one.btih);
        }
        if (*end == '\0')
            return true;
        mirror = end + 1;
    }
}
