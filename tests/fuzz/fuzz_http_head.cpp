// Arbitrary response bytes through the head parser and through the HTTP
// client layer's response reader, cut into receives at points the input
// chooses. No crash, no hang, and the reader's promises hold: one response
// at most, never more body bytes than an announced Content-Length.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwCHttpClientExLayer.h"
#include "opn/opeerqos/nwCHttpHeaderParser.h"

namespace {

class Listener : public nwIHttpClientExEventListener {
  public:
    int responses = 0;
    int completes = 0;
    int64_t delivered = 0;
    uint32_t bite = 0;  // most bytes taken per call, 0: all

    void OnConnected(uint32_t) override {}
    void OnResponse(uint32_t) override { ++responses; }
    int32_t OnData(uint32_t, const uint8_t* data, int32_t length) override {
        if (length <= 0 || !data)
            __builtin_trap();
        int32_t take = bite && (uint32_t)length > bite ? (int32_t)bite : length;
        delivered += take;
        return take;
    }
    void OnComplete(uint32_t) override { ++completes; }
    void OnSendDrained(uint32_t) override {}
    void OnClosed(uint32_t) override {}
    void OnConnectTimeout(uint32_t) override {}
    void OnReceiveTimeout(uint32_t) override {}
    void OnHostUnreachable(uint32_t) override {}
};

void CheckParser(const uint8_t* data, size_t size) {
    nwCHttpHeaderParser parser;
    if (!parser.Parse(reinterpret_cast<const char*>(data), (int32_t)size))
        __builtin_trap();
    if (parser.RawText().Length() != size)
        __builtin_trap();
    if (parser.StatusCode() < 0 || parser.ContentLength() < 0)
        __builtin_trap();
    // Every header field (all records after the status line) is found by
    // its whole name; names hold no colon and no blank, values no blank at
    // either end.
    for (int32_t i = 0; i < parser.Count(); ++i) {
        const ovCString* name = parser.NameAt(i);
        const ovCString* value = parser.ValueAt(i);
        if (!name || !value)
            __builtin_trap();
        if (i == 0)
            continue;
        if (name->IsEmpty() || strchr(name->CStr(), ':') || strchr(name->CStr(), ' ') ||
            strchr(name->CStr(), '\t'))
            __builtin_trap();
        if (strlen(name->CStr()) == name->Length() && !parser.Find(name->CStr()))
            __builtin_trap();
        const uint32_t n = value->Length();
        const char* v = value->CStr();
        if (n > 0 && (v[0] == ' ' || v[0] == '\t' || v[n - 1] == ' ' || v[n - 1] == '\t'))
            __builtin_trap();
    }
    // A valid length is only known when the head is not refused for it.
    bool known = false;
    parser.ContentLength(&known);
    if (known && parser.BodyRefusal() && strstr(parser.BodyRefusal(), "Content-Length"))
        __builtin_trap();
    const int32_t end = nwCHttpHeaderParser::FindHeadEnd(data, (int32_t)size, 0);
    if (end >= 0 && (end < 4 || memcmp(data + end - 4, "\r\n\r\n", 4) != 0))
        __builtin_trap();
}

void CheckReader(const uint8_t* data, size_t size, uint8_t control) {
    nwCHttpClientExLayer* layer = new nwCHttpClientExLayer();
    ovSmartPtr holder(layer->PublicUnknown());
    Listener listener;
    listener.bite = control & 0x0F;
    layer->SetEventListener(&listener, 1);
    // Receives of 1 to 16 bytes, or everything at once.
    const size_t step = (control & 0xF0) ? ((control >> 4) & 0x0F) : size;
    uint8_t* pending = new uint8_t[size + 1];
    size_t held = 0;
    size_t offset = 0;
    while (offset < size) {
        size_t n = step ? step : 1;
        if (n > size - offset)
            n = size - offset;
        memcpy(pending + held, data + offset, n);
        held += n;
        offset += n;
        const int32_t consumed = layer->OnData(pending, (int32_t)held);
        if (consumed < 0)
            break;
        if ((size_t)consumed > held)
            __builtin_trap();
        memmove(pending, pending + consumed, held - (size_t)consumed);
        held -= (size_t)consumed;
    }
    layer->OnClosed();
    delete[] pending;
    if (listener.responses > 1 || listener.completes > 1)
        __builtin_trap();
    bool known = false;
    const int64_t length = layer->Parser().ContentLength(&known);
    if (known && listener.delivered > length)
        __builtin_trap();
    if (listener.completes && (!known || listener.delivered != length))
        __builtin_trap();
    // Bytes of an encoded or badly framed body never reach the owner.
    if (listener.delivered > 0 && layer->Parser().BodyRefusal())
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1 << 18))
        return 0;
    CheckParser(data + 1, size - 1);
    CheckReader(data + 1, size - 1, data[0]);
    return 0;
}
