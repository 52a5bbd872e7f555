// The HTTP downloader behind ovIHTTPDownloader (see there for what a client
// sees). One object, two faces on one count: ovIHTTPDownloader (what the
// class factory hands out for OV_CLSID_HTTP_DOWNLOADER) and the
// nwIHttpClientExEventListener face that every request's HTTP layer reports
// to, keyed by the request's own serial number, so a report that arrives
// for a request already finished finds nothing and is dropped.
//
// Each request has its own connection context (unthrottled action, connect
// failures and receive-idle events, receive-idle limit kIdleLimitSec) with an
// HTTP client layer on top. Finishing a request detaches the layer, closes
// the context and hands it to the garbage collector.
//
// Hold the object through ovSmartPtr: it keeps a reference to itself while it
// reports, so a client may drop the last one from inside a report.
//
// Threads: as ovIHTTPDownloader.h says: the operations take the library lock
// themselves; the reports come on the library thread under it.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwIHttpClientExEventListener.h"
#include "opn/opeerqos/ovIHTTPDownloader.h"

class ovIQoSContext;
class ovIHttpClientExLayer;

class nwCHTTPDownloader : public ovIHTTPDownloader, public nwIHttpClientExEventListener {
    OV_IMPLEMENT_REFCOUNT(nwCHTTPDownloader)

  public:
    // Attempts per URL while the host is unreachable.
    static constexpr int32_t kMaxAttempts = 3;
    // Largest body held in memory; a longer announced Content-Length fails
    // before anything is allocated.
    static constexpr int64_t kMaxBodySize = 64 * 1024 * 1024;
    // Receive-idle limit of every request, in seconds.
    static constexpr uint32_t kIdleLimitSec = 5;

    nwCHTTPDownloader();
    // Forgets the listener and cancels every request.
    ~nwCHTTPDownloader() override;
    nwCHTTPDownloader(const nwCHTTPDownloader&) = delete;
    nwCHTTPDownloader& operator=(const nwCHTTPDownloader&) = delete;

    // ovIHTTPDownloader
    ResultCode SetListener(nwIHTTPDownloaderListener* listener) override;
    ResultCode Download(uint32_t key, const char* url, uint32_t value) override;
    ResultCode Cancel(uint32_t key) override;
    ResultCode CancelAll() override;

    // nwIHttpClientExEventListener (the key is the request's serial number)
    void OnConnected(uint32_t id) override;
    void OnResponse(uint32_t id) override;
    int32_t OnData(uint32_t id, const uint8_t* data, int32_t length) override;
    void OnComplete(uint32_t id) override;
    void OnSendDrained(uint32_t id) override;
    void OnClosed(uint32_t id) override;
    void OnConnectTimeout(uint32_t id) override;
    void OnReceiveTimeout(uint32_t id) override;
    void OnHostUnreachable(uint32_t id) override;

    // Inspection for tests and diagnostics (take the library lock around).
    struct RequestView {
        uint32_t key;
        uint32_t value;
        int32_t attempt;
        int32_t redirects;
        const char* url;
        ovIQoSContext* context;  // null once released
    };
    int32_t RequestCount() const { return m_requests.Count(); }
    // False when `index` is out of range.
    bool RequestAt(int32_t index, RequestView* out) const;

  private:
    struct Request {
        uint32_t id;
        uint32_t key;
        uint32_t value;
        int32_t attempt;
        int32_t redirects;
        uint8_t* body;  // null until a usable 200/206 head
        int64_t bodyLength;
        int64_t stored;
        ovSmartPtr context;
        ovCString url;
    };

    // Appends and starts a request; a request that cannot be started is
    // finished and reported failed at once.
    void StartNew(uint32_t key, const char* url, uint32_t value, int32_t attempt,
                  int32_t redirects);
    bool StartRequest(Request* request);
    // Unlinks the request, releases its context and frees it with its body.
    void Finish(Request* request);
    // Finish, then OnDownloadFailed.
    void Fail(Request* request);
    void HandleRedirect(Request* request, ovIHttpClientExLayer* http);
    Request* Find(uint32_t id) const;
    uint32_t NextId();
    static ovIHttpClientExLayer* HttpOf(const Request* request);

    nwIHTTPDownloaderListener* m_listener = nullptr;
    ovCPtrList m_requests;  // Request*, in start order
    uint32_t m_lastId = 0;
};
