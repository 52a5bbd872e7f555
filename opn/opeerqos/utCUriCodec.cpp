#include "opn/opeerqos/utCUriCodec.h"

#include <stdlib.h>
#include <string.h>

#include "opn/core/ovCString.h"

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

bool KeptAsIs(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' ||
           c == '+' || c == '-' || c == '.' || c == '@' || c == '_';
}

// Value of a hexadecimal digit, or -1.
int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Runs the codec twice (length, then text) into a buffer of its own and
// assigns the result to `text`.
template <typename Run>
ResultCode RewriteInPlace(ovCString& text, Run run) {
    uint32_t length = 0;
    ResultCode rc = run(text.CStr(), nullptr, &length);
    if (OV_FAILED(rc))
        return rc;
    char* buffer = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (!buffer)
        return OV_E_UTILITY;
    rc = run(text.CStr(), buffer, &length);
    if (OV_SUCCEEDED(rc) && !text.Assign(buffer, length))
        rc = OV_E_UTILITY;
    free(buffer);
    return rc;
}

}  // namespace

utCUriCodec::~utCUriCodec() = default;

ResultCode utCUriCodec::Decode(const char* in, char* out, uint32_t* length) {
    if (!in || in[0] == '\0')
        return OV_E_UTILITY;
    const size_t size = strlen(in);
    if (size > kMaxEncodedLength)
        return OV_E_UTILITY;
    const unsigned char* text = reinterpret_cast<const unsigned char*>(in);
    size_t written = 0;
    for (size_t i = 0; i < size; ++i) {
        unsigned char byte = text[i];
        // A '%' among the last two bytes has no two digits after it.
        if (byte == '%' && i + 2 < size) {
            const int high = HexValue(text[i + 1]);
            const int low = high < 0 ? -1 : HexValue(text[i + 2]);
            if (low >= 0) {
                byte = static_cast<unsigned char>(high * 16 + low);
                i += 2;
                // The result is a C string: a decoded zero ends it.
                if (byte == 0)
                    break;
            }
        }
        if (out)
            out[written] = static_cast<char>(byte);
        ++written;
    }
    if (out)
        out[written] = '\0';
    if (length)
        *length = static_cast<uint32_t>(written);
    return OV_S_UTILITY;
}

namespace {

// Whether an escape ("%" and two hexadecimal digits) starts at `text`.
bool IsEscape(const unsigned char* text) {
    return text[0] == '%' && HexValue(text[1]) >= 0 && HexValue(text[2]) >= 0;
}

ResultCode EncodeText(const char* in, char* out, uint32_t* length, bool keepEscapes) {
    if (!in || in[0] == '\0')
        return OV_E_UTILITY;
    const unsigned char* text = reinterpret_cast<const unsigned char*>(in);
    uint64_t encoded = 0;
    size_t size = 0;
    for (; text[size] != '\0'; ++size) {
        encoded +=
            KeptAsIs(text[size]) || (keepEscapes && text[size] == '%' && IsEscape(text + size)) ? 1
                                                                                                : 3;
        if (encoded > utCUriCodec::kMaxEncodedLength)
            return OV_E_UTILITY;
    }
    if (out) {
        char* at = out;
        for (size_t i = 0; i < size; ++i) {
            const unsigned char c = text[i];
            if (KeptAsIs(c) || (keepEscapes && c == '%' && IsEscape(text + i))) {
                *at++ = static_cast<char>(c);
            } else {
                *at++ = '%';
                *at++ = kHexDigits[c >> 4];
                *at++ = kHexDigits[c & 0x0F];
            }
        }
        *at = '\0';
    }
    if (length)
        *length = static_cast<uint32_t>(encoded);
    return OV_S_UTILITY;
}

}  // namespace

ResultCode utCUriCodec::Encode(const char* in, char* out, uint32_t* length) {
    return EncodeText(in, out, length, false);
}

ResultCode utCUriCodec::EncodeKeepingEscapes(const char* in, char* out, uint32_t* length) {
    return EncodeText(in, out, length, true);
}

bool utCUriCodec::HasControlBytes(const char* text, char allowed) {
    if (!text)
        return false;
    for (const unsigned char* at = reinterpret_cast<const unsigned char*>(text); *at; ++at) {
        if ((*at < 0x20 || *at == 0x7F) && *at != static_cast<unsigned char>(allowed))
            return true;
    }
    return false;
}

ResultCode utCUriCodec::PercentEncodeInPlace(ovCString& text) {
    utCUriCodec codec;
    return RewriteInPlace(text, [&codec](const char* in, char* out, uint32_t* length) {
        return codec.Encode(in, out, length);
    });
}

ResultCode utCUriCodec::PercentDecodeInPlace(ovCString& text) {
    utCUriCodec codec;
    return RewriteInPlace(text, [&codec](const char* in, char* out, uint32_t* length) {
        return codec.Decode(in, out, length);
    });
}
