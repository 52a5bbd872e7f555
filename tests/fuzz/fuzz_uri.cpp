// Arbitrary bytes as received header values (percent decoding) and as
// request targets with a query (ParseQuery and the request builders): no
// crash, no read past the end, and invariants that hold for every input.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

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
    FuzzBuilders(text);
    return 0;
}
