// Arbitrary bytes through the percent codec (both encodings, decoding) and
// as request targets with a query (ParseQuery and the request builders): no
// crash, no read past the end, and invariants that hold for every input.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "opn/core/ovCString.h"
#include "opn/opeerqos/nwCHttpRequest.h"
#include "opn/opeerqos/utCUriCodec.h"

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// Bytes a request target may hold once encoded.
bool TargetByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           strchr("*+-.@_%/?=&", c) != nullptr;
}

void FuzzCodec(const char* text, size_t size) {
    utCUriCodec codec;
    uint32_t length = 0;
    if (OV_FAILED(codec.Decode(text, nullptr, &length))) {
        Check(size == 0);
        return;
    }
    Check(length <= size);
    char* decoded = static_cast<char*>(malloc(size + 1));
    uint32_t again = 0;
    Check(OV_SUCCEEDED(codec.Decode(text, decoded, &again)));
    Check(again == length && strlen(decoded) == length);
    free(decoded);

    // Encoding then decoding gives the text back.
    Check(OV_SUCCEEDED(codec.Encode(text, nullptr, &length)));
    char* encoded = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    Check(OV_SUCCEEDED(codec.Encode(text, encoded, &length)));
    char* back = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    Check(OV_SUCCEEDED(codec.Decode(encoded, back, &again)));
    Check(again == size && memcmp(back, text, size) == 0);
    free(back);
    free(encoded);
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Every '%' of `text` starts an escape: nothing is left half-encoded.
bool EscapesWellFormed(const char* text, const char* end) {
    for (const char* at = text; at < end; ++at) {
        if (*at == '%' && (end - at < 3 || !IsHex(at[1]) || !IsHex(at[2])))
            return false;
    }
    return true;
}

std::string DecodeText(utCUriCodec& codec, const char* text) {
    uint32_t length = 0;
    if (OV_FAILED(codec.Decode(text, nullptr, &length)))
        return std::string();
    std::string out(static_cast<size_t>(length) + 1, '\0');
    Check(OV_SUCCEEDED(codec.Decode(text, &out[0], &length)));
    out.resize(length);
    return out;
}

void FuzzKeepingEscapes(const char* text) {
    utCUriCodec codec;
    uint32_t length = 0;
    if (OV_FAILED(codec.EncodeKeepingEscapes(text, nullptr, &length))) {
        Check(text[0] == '\0');
        return;
    }
    std::string encoded(static_cast<size_t>(length) + 1, '\0');
    Check(OV_SUCCEEDED(codec.EncodeKeepingEscapes(text, &encoded[0], &length)));
    encoded.resize(length);
    for (char c : encoded)
        Check(TargetByte(c) && c != '/' && c != '?' && c != '=' && c != '&');
    Check(EscapesWellFormed(encoded.data(), encoded.data() + encoded.size()));
    // The server decodes what was sent to what the text meant: escapes it
    // held as they were, every other byte as itself.
    Check(DecodeText(codec, encoded.c_str()) == DecodeText(codec, text));
    // Applying it again changes nothing.
    uint32_t again = 0;
    Check(OV_SUCCEEDED(codec.EncodeKeepingEscapes(encoded.c_str(), nullptr, &again)));
    Check(again == length);
}

void FuzzBuilders(const char* text) {
    for (int32_t type = 1; type <= 2; ++type) {
        nwCHttpRequestHeaderBuilder* builder = nwCHttpRequestHeaderBuilder::Create(type);
        if (!builder)
            return;
        builder->SetHeader(type == 1 ? "GET" : "POST", text);
        builder->SetHeader("X-Value", text);
        builder->SetHeader("Cookie", text);
        builder->ParseQuery(text);
        builder->SetBodySize(static_cast<int64_t>(strlen(text)));
        ovCString out;
        if (builder->Build(out)) {
            // The request line is always "<method> <target> HTTP/1.1" with a
            // target of encoded bytes only.
            const char* line = out.CStr();
            const char* space = strchr(line, ' ');
            Check(space != nullptr);
            const char* target = space + 1;
            Check(*target == '/');
            const char* end = target;
            while (*end && TargetByte(*end))
                ++end;
            Check(strncmp(end, " HTTP/1.1\r\n", 11) == 0);
            Check(EscapesWellFormed(target, end));
        }
        builder->BuildClosing(out);
        delete builder;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16)
        return 0;
    // Everything here reads C strings: the bytes up to the first zero.
    ovCString in;
    in.Assign(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size));
    const char* text = in.CStr();
    FuzzCodec(text, strlen(text));
    FuzzKeepingEscapes(text);
    FuzzBuilders(text);
    return 0;
}
