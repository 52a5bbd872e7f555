// Public face of the HTTP client layer (class id OV_CLSID_HTTP_CLIENT_LAYER,
// 0x200F): the top layer of an HTTP/1.1 connection. One layer carries one
// request: a GET, or a single-file multipart POST.
//
// Use, on the library thread under the library lock:
//   context->Initialize(...); context->SetOption(...);
//   context->PushLayer(OV_CLSID_HTTP_CLIENT_LAYER, false);
//   ovIHttpClientExLayer* http = (ovIHttpClientExLayer*)context->TopLayer();
//   http->SetEventListener(listener, key);
//   http->SetHeader("Range", "bytes=100-");      // optional
//   http->Open(url);                             // connects
//   http->SendGet();                             // queued until connected
// then the listener's OnConnected, OnResponse, OnData..., OnComplete.
//
// Open of an https URL pushes a TLS layer (OV_CLSID_SECURE_LAYER) below this
// one. The layer does not follow redirects: the owner asks JudgeRedirect
// (nwRedirect.h) what the answer means (it reads the status and the
// Location, converts and resolves it against the request URL and counts the
// hop) and opens a new context for the target it gives. There is no chunked
// decoding and no decompression: a 2xx response that announces either (or a
// bad Content-Length) is refused by closing the connection; completion is
// known only from Content-Length, and at most Content-Length body bytes are
// delivered.
//
// Every operation answers OV_S_NETWORK (0x40300000) unless stated otherwise,
// and OV_E_NETWORK (0x80300000) when it fails.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"
#include "opn/core/ovIUnknown.h"
#include "opn/opeerqos/nwIHttpClientExEventListener.h"

class ovIHttpClientExLayer : public ovIUnknown {
  public:
    // Slots 0-3 forward to the layer object (one shared count).

    // Slot 4. A null listener silences the layer.
    virtual ResultCode SetEventListener(nwIHttpClientExEventListener* listener, uint32_t key) = 0;
    // Slot 5. Parses an http:// or https:// URL (scheme compared
    // case-insensitively; host[:port]; path with query; a fragment is cut
    // off and never sent), picks an address of the host from the address
    // cache, pushes the TLS layer for https, stores the Host header (the host,
    // with ":port" when the port is not the scheme's default), gives the
    // context the host name and peer address and connects. Fails for a null
    // or empty URL, a URL holding a control byte (below 0x20, or 0x7F: it
    // would break the request line), any other scheme, an empty host, no
    // address, a layer without context or a failing connect; then nothing is
    // connected.
    virtual ResultCode Open(const char* url) = 0;
    // Slot 6. Stores a request header; a stored header whose name begins
    // with `name` (case-sensitive) gets the new value. Fails for a null or
    // empty name or value, and for a control byte other than a tab in either
    // (it would end the header line).
    virtual ResultCode SetHeader(const char* name, const char* value) = 0;
    // Slot 7. Stores a query parameter the same way; fails for a null name
    // or a null or empty value.
    virtual ResultCode SetQueryParam(const char* name, const char* value) = 0;
    // Slot 8. The number that starts the text after the first space of the
    // status line; 0 before a response or when no digit starts it.
    virtual ResultCode GetStatusCode(int32_t* code) = 0;
    // Slot 9. The length the Content-Length fields announce
    // (nwCHttpHeaderParser::ContentLength); 0 when absent or not valid.
    virtual ResultCode GetContentLength(int64_t* length) = 0;
    // Slot 10. Value of the first header named `name` (ASCII case ignored, a
    // trailing colon in `name` ignored: "Location:" and "location" both find
    // Location), without the blanks around it and not decoded: the bytes as
    // the server sent them (UTF-8 for a Location, its percent-escapes kept,
    // a zero byte kept too: Length() then reaches past it).
    // Fails for an empty name or no match (`value` is then cleared).
    virtual ResultCode GetHeader(const char* name, ovCString* value) = 0;
    // Slot 11. The whole received head, up to and including the blank line;
    // fails before one was received.
    virtual ResultCode GetRawHeader(ovCString* text) = 0;
    // Slot 12. Builds the GET from the stored path, headers and parameters
    // and sends it (the context queues it until the connection exists). A
    // second send on the same layer builds nothing and fails.
    virtual ResultCode SendGet() = 0;
    // Slot 13. Sends the head of a multipart POST announcing `bodySize` body
    // bytes; the owner sends the body with SendBody (normally from
    // OnSendDrained) and the layer adds the closing delimiter once
    // `bodySize` bytes went out.
    virtual ResultCode SendPost(int64_t bodySize) = 0;
    // Slot 14. Sends `length` body bytes (copied) down; fails for null data
    // or a negative length.
    virtual ResultCode SendBody(const uint8_t* data, int32_t length) = 0;
    // Slot 15. Whether the connection may carry another request once this
    // response has ended: an HTTP/1.1 answer without "Connection: close",
    // whose body has a Content-Length, is read as plain bytes and has no
    // byte beyond it (none came with its head or after its end, an empty
    // body's included). `*remaining` gets the body bytes still to come (0
    // once complete). Fails when the connection must not be kept.
    virtual ResultCode GetKeepAlive(int64_t* remaining) = 0;
    // Slot 16. Makes the layer ready for the next GET on the connection it
    // is on: forgets the request (headers, parameters, builder) and the
    // response, and takes the path and Host of `url`, which must be of the
    // same scheme, host and port as the connection; nothing is connected.
    // Body bytes of the last answer still to come are dropped before the
    // next head. Fails for a URL that cannot be parsed and when the
    // connection must not be kept (GetKeepAlive).
    virtual ResultCode Reuse(const char* url) = 0;
};
