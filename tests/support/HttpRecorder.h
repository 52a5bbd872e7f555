// A listener of the HTTP client layer for tests: records every call in
// order, keeps the body bytes, and reads the response head from the layer
// when OnResponse comes. Optional hooks let a test act from inside a call
// (close the context, detach, send a body piece).
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "opn/core/ovCString.h"
#include "opn/opeerqos/nwIHttpClientExEventListener.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"

namespace httptest {

class HttpRecorder : public nwIHttpClientExEventListener {
  public:
    // The layer whose head is read on OnResponse (may stay null).
    ovIHttpClientExLayer* layer = nullptr;
    // Most bytes OnData consumes per call; negative: everything.
    int32_t consumeLimit = -1;
    // Runs after the call is recorded, with the event's name.
    std::function<void(const std::string& event)> hook;

    std::vector<std::string> events;  // "connected", "response", "data", ...
    std::vector<uint32_t> keys;       // the key of every call
    std::string body;
    int32_t status = -1;
    int64_t contentLength = -1;
    std::string rawHead;
    std::string location;  // GetHeader("Location:") at OnResponse
    bool hasLocation = false;
    size_t largestDelivery = 0;

    int Count(const std::string& event) const {
        int n = 0;
        for (const std::string& e : events)
            n += e == event;
        return n;
    }
    // The events without repeated "data" entries, joined by spaces.
    std::string Sequence() const {
        std::string out;
        for (size_t i = 0; i < events.size(); ++i) {
            if (events[i] == "data" && i > 0 && events[i - 1] == "data")
                continue;
            if (!out.empty())
                out += ' ';
            out += events[i];
        }
        return out;
    }
    bool Ended() const {
        return Count("closed") > 0 || Count("complete") > 0 || Count("receive-timeout") > 0;
    }

    void OnConnected(uint32_t key) override { Record("connected", key); }
    void OnResponse(uint32_t key) override {
        if (layer) {
            layer->GetStatusCode(&status);
            layer->GetContentLength(&contentLength);
            ovCString text;
            if (OV_SUCCEEDED(layer->GetRawHeader(&text)))
                rawHead.assign(text.CStr(), text.Length());
            ovCString value;
            hasLocation = OV_SUCCEEDED(layer->GetHeader("Location:", &value));
            location.assign(value.CStr(), value.Length());
        }
        Record("response", key);
    }
    int32_t OnData(uint32_t key, const uint8_t* data, int32_t length) override {
        int32_t take = length;
        if (consumeLimit >= 0 && take > consumeLimit)
            take = consumeLimit;
        if ((size_t)length > largestDelivery)
            largestDelivery = (size_t)length;
        body.append(reinterpret_cast<const char*>(data), (size_t)take);
        Record("data", key);
        return take;
    }
    void OnComplete(uint32_t key) override { Record("complete", key); }
    void OnSendDrained(uint32_t key) override { Record("drained", key); }
    void OnClosed(uint32_t key) override { Record("closed", key); }
    void OnConnectTimeout(uint32_t key) override { Record("connect-timeout", key); }
    void OnReceiveTimeout(uint32_t key) override { Record("receive-timeout", key); }
    void OnHostUnreachable(uint32_t key) override { Record("unreachable", key); }

  private:
    void Record(const char* event, uint32_t key) {
        events.push_back(event);
        keys.push_back(key);
        if (hook)
            hook(event);
    }
};

}  // namespace httptest
