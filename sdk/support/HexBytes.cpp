#include "sdk/support/HexBytes.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

bool HexToBytes(const char* hex, size_t length, uint8_t* out, size_t size) {
    if (!hex || !out || length != 2 * size)
        return false;
    for (size_t i = 0; i < size; ++i) {
        const int high = HexValue(hex[2 * i]);
        const int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = (uint8_t)(high << 4 | low);
    }
    return true;
}

void BytesToHex(const void* bytes, size_t size, char* out) {
    static const char kDigits[] = "0123456789abcdef";
    const uint8_t* in = (const uint8_t*)bytes;
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = kDigits[in[i] >> 4];
        out[2 * i + 1] = kDigits[in[i] & 15];
    }
    out[2 * size] = '\0';
}
