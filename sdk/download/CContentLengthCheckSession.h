// One file of the size check: a GET for the first byte of the file's first
// URL whose connection is let go as soon as the response head has arrived
// (SizeProbe.h): the total of a 206 answer's Content-Range, or the
// Content-Length of a server that answers 200, is the file's length. The
// length is remembered for the job's own check (SizeMemory.h).
//
// A file gets kMaxTries attempts. A status other than 200, a close, a
// connect or receive time-out, a URL that cannot be opened, a redirect
// chain longer than kMaxRedirects (nwRedirect.h) and a head that has not
// come whole within the low-speed window (LowSpeedGuard.h: no body byte is
// read, so a head dripped byte by byte is caught there) each end an attempt; the
// next one starts at once. A redirect is followed within the attempt (its
// Location resolved against the URL asked), and the attempt after it starts
// at the last Location followed. A host that
// cannot be reached ends the file without another attempt.
//
// With a connection pool (HttpConnectionPool.h) requests go out on kept
// connections, and a connection whose answer allows it is kept once the
// length is read. A kept connection the server closes before answering is
// asked once more on a new connection; that is not an attempt.
//
// Threads: Start and every report run under the library lock; the
// network events come on the library thread. Every report is the last
// thing the session does in that call, so the listener may delete it.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwIHttpClientExEventListener.h"
#include "opn/opeerqos/nwRedirect.h"
#include "sdk/download/HttpConnectionPool.h"
#include "sdk/download/LowSpeedGuard.h"

class IContentLengthCheckSessionEventListener;
class ovIHttpClientExLayer;
class ovIQoSContext;

class CContentLengthCheckSession : public nwIHttpClientExEventListener {
  public:
    static constexpr int32_t kMaxTries = 3;
    // Receive-idle limit of an attempt in seconds (the connect time-out keeps
    // the context's default).
    static constexpr uint32_t kReceiveTimeoutSec = 3;

    // `listener` is not owned; `lock` is the library lock.
    CContentLengthCheckSession(IContentLengthCheckSessionEventListener* listener,
                               const ovSmartPtr& lock);
    // Releases the connection; reports nothing.
    ~CContentLengthCheckSession() override;
    CContentLengthCheckSession(const CContentLengthCheckSession&) = delete;
    CContentLengthCheckSession& operator=(const CContentLengthCheckSession&) = delete;

    // Stores the index and the URL: the text before the first '|' of the
    // list, the whole list without one; empty for a null list.
    void SetUrl(int32_t fileIndex, const char* urlList);
    // Begins the next attempt, or reports the failure when every attempt
    // has been used.
    void Start();
    // Detaches, closes the connection and hands it to the collector.
    void Release();
    // A null listener silences the session.
    void SetListener(IContentLengthCheckSessionEventListener* listener) { m_listener = listener; }
    // Not owned; null: a new connection per request. Set under the library
    // lock; the pool must outlive every later request of the session.
    void SetConnectionPool(HttpConnectionPool* pool) { m_pool = pool; }

    // nwIHttpClientExEventListener (the key is the attempt's serial number).
    void OnConnected(uint32_t key) override;
    void OnResponse(uint32_t key) override;
    int32_t OnData(uint32_t key, const uint8_t* data, int32_t length) override;
    void OnComplete(uint32_t key) override;
    void OnSendDrained(uint32_t key) override;
    void OnClosed(uint32_t key) override;
    void OnConnectTimeout(uint32_t key) override;
    void OnReceiveTimeout(uint32_t key) override;
    void OnHostUnreachable(uint32_t key) override;

    // Inspection (under the library lock).
    int32_t Tries() const { return m_tries; }
    int32_t FileIndex() const { return m_fileIndex; }
    int64_t ContentLength() const { return m_contentLength; }
    const ovCString& Url() const { return m_url; }
    const ovCString& RedirectUrl() const { return m_redirectUrl; }
    const ovCString& Reason() const { return m_reason; }
    ovIQoSContext* Connection() const;

  private:
    // Opens `url` (on a kept connection unless `fresh`) and sends the GET;
    // false when that could not be done (nothing is left open).
    bool Request(const char* url, bool fresh = false);
    // Ends the attempt with `reason` and starts the next one.
    void Retry(const char* reason);
    // Follows a redirect answer within the attempt; any other answer but a
    // 200 ends the attempt.
    void FollowOrRetry(int32_t status, RedirectVerdict verdict, ovCString& target);
    static void OnTooSlow(void* self);
    bool IsCurrent(uint32_t key) const { return key == m_serial && !m_connection.IsEmpty(); }
    ovIHttpClientExLayer* Http() const;

    int32_t m_tries = 0;
    int32_t m_fileIndex = -1;
    int64_t m_contentLength = 0;
    ovCString m_url;
    ovCString m_redirectUrl;
    ovCString m_reason;
    // The URL of the request in flight (a redirect resolves against it).
    ovCString m_requestUrl;
    ovSmartPtr m_connection;
    HttpConnectionPool* m_pool = nullptr;
    // The request in flight, for the pool's rule on kept connections.
    HttpConnectionPool::PooledRequest m_pooled;
    IContentLengthCheckSessionEventListener* m_listener;
    ovSmartPtr m_lock;
    // Redirects followed in the current attempt.
    int32_t m_redirects = 0;
    // Serial number of the current request: the key the layer reports with.
    uint32_t m_serial = 0;
    LowSpeedGuard m_slowGuard{&CContentLengthCheckSession::OnTooSlow, this};
};
