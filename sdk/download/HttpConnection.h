// The connection pattern of the download classes: a connection context with
// an HTTP client layer on top, configured, given its listener and opened
// holding the library lock; and its release, which never destroys the
// context inside its own callback.
//
// Threads: opened and released on the library thread or by a host call, under
// the library lock; the layer reports on the library thread under it.
#pragma once

#include <stdint.h>

#include "opn/core/ovSmartPtr.h"

class cpCSharedBudget;
class nwIHttpClientExEventListener;
class ovIHttpClientExLayer;

struct HttpConnectionOptions {
    int32_t actionType;          // kQoSAction* of Initialize
    uint32_t connectTimeoutSec;  // 0: the context's default
    uint32_t receiveTimeoutSec;
    // With an own action type (kQoSActionOwn*): switched to it after the
    // layer is pushed, with this receive budget in bytes per second. 0: the
    // action of Initialize stays.
    int32_t ownAction;
    uint32_t receiveBudget;
    const char* range;  // value of a Range header; null for none
    // Bytes the connection keeps received at most (kQoSOptionReceiveLimit);
    // 0: the context's default.
    uint32_t receiveLimit = 0;
    // With an own action: receive bytes come from this budget, shared with
    // other connections (cpCSharedBudget.h); null: the receive budget alone.
    cpCSharedBudget* sharedBudget = nullptr;
};

// Creates the context in `connection` and sends a GET for `url`; the
// listener hears of it under `key`. `ifRange` (null: none) is sent as an
// If-Range header with the range. False, with `connection` empty, when any
// step fails.
bool OpenHttpConnection(ovSmartPtr& connection, const HttpConnectionOptions& options,
                        nwIHttpClientExEventListener* listener, uint32_t key, const char* url,
                        const char* ifRange = nullptr);

// The HTTP layer on top of the connection; null for an empty one.
ovIHttpClientExLayer* HttpLayerOf(const ovSmartPtr& connection);

// Detaches the listener, closes the context and hands it to the garbage
// collector; `connection` is empty afterwards. Nothing for an empty one.
void ReleaseHttpConnection(ovSmartPtr& connection);
