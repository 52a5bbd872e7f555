// The HTTP client layer: the top layer of an HTTP connection. It parses the
// URL, connects (pushing a TLS layer below itself for https), sends one GET
// or one multipart POST built by nwCHttpRequest.h, parses the response head
// and streams the body to its listener.
//
// One object, two faces on one count: the stack face (this object, for the
// context) and ovIHttpClientExLayer (PublicFace(), for the owner; what the
// class factory hands out for OV_CLSID_HTTP_CLIENT_LAYER).
//
// Response reader (the dispatcher's raw handler, fed every buffered byte):
// - before the head: waits for "\r\n\r\n". A head that has not ended within
//   kMaxHeadBytes closes the connection. An interim 1xx head is consumed
//   and the reader waits for the final one; the final head is parsed and
//   the listener gets OnResponse. A head whose body cannot be read as plain
//   bytes (nwCHttpHeaderParser::BodyRefusal: an encoding, a bad
//   Content-Length) closes the connection when its status is 2xx; with any
//   other status the listener still gets OnResponse but never a body byte;
// - after it: bytes go to the listener's OnData. With a Content-Length (a
//   header that starts with a digit) at most that many bytes are delivered
//   in all; bytes beyond it are consumed and dropped, so an owner's buffer
//   of exactly Content-Length bytes is never overrun. OnComplete comes once,
//   when a positive Content-Length has been delivered.
//
// Open never waits for a name lookup: when the host's addresses must be
// looked up (cpCAddressCache.h, cpCNameLookup.h) it returns at once and the
// connect starts when the answer comes, with a connect time-out of its own.
// A lookup that has not answered within the context's connect time-out, or
// answers without an address, fails the attempt as a connect that never
// completed does: the listener hears OnConnectTimeout, then the context
// closes. Requests sent meanwhile wait in the context's queue.
//
// Threads: the context calls the layer, and the owner its face, on the library
// thread under the library lock; so come the listener's calls.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/opeerqos/nwCApplicationStack.h"
#include "opn/opeerqos/nwCHttpHeaderParser.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"

class nwCHttpRequestHeaderBuilder;

class nwCHttpClientExLayer : public nwCApplicationStack, private cpIAddressWaiter {
    OV_IMPLEMENT_REFCOUNT(nwCHttpClientExLayer)

  public:
    // Longest response head accepted (interim heads count separately).
    static constexpr int32_t kMaxHeadBytes = 128 * 1024;

    enum : int32_t { kSchemeHttp = 1, kSchemeHttps = 3 };

    nwCHttpClientExLayer();
    ~nwCHttpClientExLayer() override;
    nwCHttpClientExLayer(const nwCHttpClientExLayer&) = delete;
    nwCHttpClientExLayer& operator=(const nwCHttpClientExLayer&) = delete;

    // OV_IID_NETSTACK gives the stack face (no reference added) and
    // OV_S_NETWORK; any other id OV_E_NETWORK with `out` untouched.
    ResultCode QueryInterface(uint32_t id, void** out) override;

    bool OnConnected() override;
    bool OnHostUnreachable() override;
    void OnClosedHook() override;
    bool OnConnectFailed() override;
    bool OnSendDrained() override;
    bool OnReceiveIdle() override;
    void RegisterHandlers() override;

    ovIHttpClientExLayer* PublicFace() { return &m_face; }
    ovIUnknown* PublicUnknown() { return &m_face; }

    // The public operations (see ovIHttpClientExLayer.h).
    ResultCode SetEventListener(nwIHttpClientExEventListener* listener, uint32_t key);
    ResultCode Open(const char* url);
    ResultCode SetHeader(const char* name, const char* value);
    ResultCode SetQueryParam(const char* name, const char* value);
    ResultCode GetStatusCode(int32_t* code);
    ResultCode GetContentLength(int64_t* length);
    ResultCode GetHeader(const char* name, ovCString* value);
    ResultCode GetRawHeader(ovCString* text);
    ResultCode SendGet();
    ResultCode SendPost(int64_t bodySize);
    ResultCode SendBody(const uint8_t* data, int32_t length);
    ResultCode GetKeepAlive(int64_t* remaining);
    ResultCode Reuse(const char* url);

    // Splits an http:// or https:// URL (scheme case-insensitive) into host,
    // path (from the first "/", "?" or "#" after the host on, query included,
    // fragment cut off; empty when there is none), port (the scheme's default, or the decimal
    // number after ":"; 0 when that is not a number) and scheme (kScheme*). False for a null URL,
    // any other scheme or nothing after the scheme.
    static bool ParseUrl(const char* url, ovCString& host, ovCString& path, uint16_t* port,
                         int32_t* scheme);

    // Inspection for tests and diagnostics.
    const ovCString& RequestPath() const { return m_path; }
    int64_t BodyReceived() const { return m_bodyReceived; }
    int64_t BodySent() const { return m_bodySent; }
    bool HeaderReceived() const { return m_headerReceived != 0; }
    bool WaitingForAddress() const { return m_waitingForAddress; }
    bool Completed() const { return m_completed != 0; }
    const nwCHttpHeaderParser& Parser() const { return m_parser; }
    // Value of the stored request header whose name begins with `name`
    // (case-sensitive); null when none.
    const char* StoredHeader(const char* name) const;

  private:
    class Face : public ovIHttpClientExLayer {
      public:
        explicit Face(nwCHttpClientExLayer* owner) : m_owner(owner) {}
        ResultCode AddRef() override { return m_owner->AddRef(); }
        ResultCode Release() override { return m_owner->Release(); }
        ResultCode QueryInterface(uint32_t id, void** out) override {
            return m_owner->QueryInterface(id, out);
        }
        ResultCode SetEventListener(nwIHttpClientExEventListener* listener, uint32_t key) override {
            return m_owner->SetEventListener(listener, key);
        }
        ResultCode Open(const char* url) override { return m_owner->Open(url); }
        ResultCode SetHeader(const char* name, const char* value) override {
            return m_owner->SetHeader(name, value);
        }
        ResultCode SetQueryParam(const char* name, const char* value) override {
            return m_owner->SetQueryParam(name, value);
        }
        ResultCode GetStatusCode(int32_t* code) override { return m_owner->GetStatusCode(code); }
        ResultCode GetContentLength(int64_t* length) override {
            return m_owner->GetContentLength(length);
        }
        ResultCode GetHeader(const char* name, ovCString* value) override {
            return m_owner->GetHeader(name, value);
        }
        ResultCode GetRawHeader(ovCString* text) override { return m_owner->GetRawHeader(text); }
        ResultCode SendGet() override { return m_owner->SendGet(); }
        ResultCode SendPost(int64_t bodySize) override { return m_owner->SendPost(bodySize); }
        ResultCode SendBody(const uint8_t* data, int32_t length) override {
            return m_owner->SendBody(data, length);
        }
        ResultCode GetKeepAlive(int64_t* remaining) override {
            return m_owner->GetKeepAlive(remaining);
        }
        ResultCode Reuse(const char* url) override { return m_owner->Reuse(url); }

      private:
        nwCHttpClientExLayer* m_owner;
    };

    // A request header (name, value, emitted flag) or a query parameter
    // (the flag unused) collected before the builder exists.
    struct Field {
        ovCString name;
        ovCString value;
        uint8_t emitted;
    };

    // Name lookup: the connect once the address is known, the wait for it
    // and its end.
    ResultCode ConnectTo(const char* host, uint16_t port, uint32_t address);
    bool WaitForAddress(const ovCString& host, uint16_t port);
    void OnAddressLookupDone() override;
    static void OnLookupTooLong(void* self);
    void EndAddressWait();
    void FailConnect();

    static int32_t OnResponseBytes(const uint8_t* data, int32_t length, void* user);
    int32_t ReadHead(const uint8_t* data, int32_t length);
    // Keeps the path of `url` and stores its Host field (with the port when
    // it is not the scheme's own); false when it cannot be parsed.
    bool TakeTarget(const char* url, ovCString* host, uint16_t* port, int32_t* scheme);
    int32_t ReadBody(const uint8_t* data, int32_t length);

    // Replaces the value of the first field whose name begins with `name`
    // (case-sensitive) or appends one; false when memory ran out.
    static bool StoreField(ovCPtrList& list, const char* name, const char* value);
    static void FreeFields(ovCPtrList& list);
    // Creates the builder of `type`, fills it from the stored fields and
    // builds the request head into `out`.
    bool BuildRequest(int32_t type, const char* pseudoHeader, ovCString& out);
    ResultCode SendText(const ovCString& text);

    Face m_face;
    nwIHttpClientExEventListener* m_listener = nullptr;
    uint32_t m_key = 0;
    nwCHttpRequestHeaderBuilder* m_builder = nullptr;  // owned
    int64_t m_bodySize = 0;
    ovCPtrList m_headers;      // Field*, owned
    ovCPtrList m_queryParams;  // Field*, owned
    nwCHttpHeaderParser m_parser;
    ovCString m_path;
    uint8_t m_headerReceived = 0;
    uint8_t m_closingSent = 0;
    uint8_t m_isPost = 0;
    uint8_t m_completed = 0;
    bool m_lengthKnown = false;
    // The head's BodyRefusal is set: body bytes are consumed and dropped.
    bool m_bodyDiscarded = false;
    int64_t m_contentLength = 0;
    int64_t m_bodyReceived = 0;
    int64_t m_bodySent = 0;
    int64_t m_postBodySize = 0;
    // Bytes came beyond the announced body: the connection is not kept.
    bool m_surplus = false;
    // Body bytes of the previous answer on this connection still to come
    // (Reuse), dropped before the next head.
    int64_t m_skip = 0;
    // Bytes of the pending head already searched for its end.
    int32_t m_headScanned = 0;
    // The host and port whose lookup the connect waits for.
    ovCString m_connectHost;
    uint16_t m_connectPort = 0;
    bool m_waitingForAddress = false;
    ovSmartPtr m_lookupTimer;
};
