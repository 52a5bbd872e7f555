#include "sdk/support/SignatureFile.h"

#include <string.h>

#include "sdk/support/HexBytes.h"

namespace {

const char kMagicLine[] = "sfsig 1\n";
const char kProductKey[] = "product ";
const char kSerialKey[] = "serial ";
const char kSignatureKey[] = "ed25519 ";

bool IsAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The line at `*p` that begins with `key`: its value up to the LF, which
// must come before `end`; `*p` then follows the LF.
bool TakeLine(const char** p, const char* end, const char* key, const char** value,
              size_t* length) {
    const size_t keyLength = strlen(key);
    if ((size_t)(end - *p) < keyLength || memcmp(*p, key, keyLength) != 0)
        return false;
    const char* start = *p + keyLength;
    const void* lf = memchr(start, '\n', (size_t)(end - start));
    if (!lf)
        return false;
    *value = start;
    *length = (size_t)(static_cast<const char*>(lf) - start);
    *p = static_cast<const char*>(lf) + 1;
    return true;
}

}  // namespace

bool ProductNameIsValid(const char* name, size_t length) {
    if (!name || length == 0 || length > kProductNameMax || !IsAlnum(name[0]) ||
        !IsAlnum(name[length - 1]))
        return false;
    for (size_t i = 0; i < length; ++i)
        if (!IsAlnum(name[i]) && name[i] != '.' && name[i] != '_' && name[i] != '-')
            return false;
    return true;
}

bool ReadSignatureFile(const void* data, size_t size, SignatureFile* out) {
    *out = SignatureFile();
    if (!data || size > kSignatureFileMax)
        return false;
    const char* p = static_cast<const char*>(data);
    const char* end = p + size;
    const size_t magic = sizeof kMagicLine - 1;
    if (size < magic || memcmp(p, kMagicLine, magic) != 0)
        return false;
    p += magic;
    const char* value = nullptr;
    size_t length = 0;
    if (!TakeLine(&p, end, kProductKey, &value, &length) || !ProductNameIsValid(value, length))
        return false;
    memcpy(out->product, value, length);
    out->product[length] = '\0';
    if (!TakeLine(&p, end, kSerialKey, &value, &length) || length == 0 ||
        length > kSerialDigitsMax || (length > 1 && value[0] == '0'))
        return false;
    int64_t serial = 0;
    for (size_t i = 0; i < length; ++i) {
        if (value[i] < '0' || value[i] > '9')
            return false;
        serial = serial * 10 + (value[i] - '0');
    }
    out->serial = serial;
    out->headerLength = (size_t)(p - static_cast<const char*>(data));
    if (!TakeLine(&p, end, kSignatureKey, &value, &length) ||
        !HexToBytes(value, length, out->signature, sizeof out->signature) || p != end)
        return false;
    return true;
}

size_t WriteSignedHeader(const char* product, int64_t serial, char* out, size_t room) {
    if (!product || !ProductNameIsValid(product, strlen(product)) || serial < 0 ||
        serial > 999999999999999999LL)
        return 0;
    char digits[kSerialDigitsMax + 1];
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + serial % 10);
        serial /= 10;
    } while (serial > 0);
    const size_t productLength = strlen(product);
    const size_t length =
        strlen(kMagicLine) + strlen(kProductKey) + productLength + 1 + strlen(kSerialKey) + n + 1;
    if (!out || room < length)
        return 0;
    char* p = out;
    const auto put = [&p](const char* text, size_t size) {
        memcpy(p, text, size);
        p += size;
    };
    put(kMagicLine, strlen(kMagicLine));
    put(kProductKey, strlen(kProductKey));
    put(product, productLength);
    put("\n", 1);
    put(kSerialKey, strlen(kSerialKey));
    while (n > 0)
        put(&digits[--n], 1);
    put("\n", 1);
    return length;
}
