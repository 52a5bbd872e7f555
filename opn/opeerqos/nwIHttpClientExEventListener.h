// Listener of an HTTP client layer (ovIHttpClientExLayer.h): the owner's view
// of one request on one connection. Not reference counted; every call carries
// the key given to SetEventListener. Calls come on the library thread under
// the library lock; a listener may detach itself (SetEventListener(null, 0)),
// close the context and drop its last reference to it from inside any of
// them (the layer and the context keep themselves alive until the call
// returns).
//
// Order for one request: OnConnected, OnResponse (once, after the whole
// response head arrived), OnData..., OnComplete (when Content-Length bytes
// have been delivered), and OnClosed when the context closes. A connect that
// fails ends in OnConnectTimeout or OnHostUnreachable and then OnClosed.
#pragma once

#include <stdint.h>

class nwIHttpClientExEventListener {
  public:
    virtual ~nwIHttpClientExEventListener() {}
    // Slot 0. The connection is up (for https: TCP is up; the request waits
    // for the TLS handshake below).
    virtual void OnConnected(uint32_t key) = 0;
    // Slot 1. The response head is parsed: GetStatusCode, GetContentLength,
    // GetHeader and GetRawHeader answer from here on.
    virtual void OnResponse(uint32_t key) = 0;
    // Slot 2. Body bytes, borrowed for the call. Returns how many it consumed
    // (0..length); the rest is offered again in front of the next bytes.
    // With a Content-Length in the head, at most that many body bytes are
    // ever delivered in all; bytes beyond it are dropped by the layer.
    virtual int32_t OnData(uint32_t key, const uint8_t* data, int32_t length) = 0;
    // Slot 3. A positive Content-Length has been delivered in full. Comes
    // once; a response without Content-Length (or with 0) never completes,
    // the owner relies on the close or the receive time-out.
    virtual void OnComplete(uint32_t key) = 0;
    // Slot 4. During a POST: the send queue ran empty and the body is not
    // sent in full yet; send the next piece with SendBody.
    virtual void OnSendDrained(uint32_t key) = 0;
    // Slot 5. The context closed (by either side, by a protocol or TLS
    // error, or by the owner). The layer forgets its listener afterwards.
    virtual void OnClosed(uint32_t key) = 0;
    // Slot 6. The connect was refused or timed out.
    virtual void OnConnectTimeout(uint32_t key) = 0;
    // Slot 7. No bytes arrived for the context's receive-idle limit.
    virtual void OnReceiveTimeout(uint32_t key) = 0;
    // Slot 8. The host could not be reached.
    virtual void OnHostUnreachable(uint32_t key) = 0;
};
