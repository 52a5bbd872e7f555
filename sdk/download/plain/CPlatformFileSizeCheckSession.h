// One size request of the file-size check: a GET for the first byte of one
// entry whose size is unknown, closed as soon as the response head has
// arrived (SizeProbe.h). The total of a 206 answer's Content-Range, or the
// Content-Length of a 200, is the size; a positive size is stored in the
// entry when the file fits into the free space of the volume holding the
// entry's folder (JudgeSize).
//
// Each mirror URL of the entry gets kTriesPerUrl attempts; an attempt is the
// request to the mirror or to the URL a redirect left (301, 302, 303, 307,
// 308), and fails by a close, a time-out, a status that gives no size or a
// redirect chain longer than kMaxRedirects (the next attempt then starts from
// the mirror's own URL), or by a head that has not come whole within the
// low-speed window (LowSpeedGuard.h; no body byte is read, so a head dripped
// byte by byte is caught there). After the last mirror the entry fails with
// SF_MSG_FAILED. A request on a kept connection that the server closes
// before answering is sent once more on a new connection and is no attempt
// (HttpConnectionPool::PooledRequest).
//
// Reports (IPlatformFileSizeCheckSessionEventListener.h) come on the library
// thread; the listener may delete the session from inside them. The session
// reports once at most.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwIHttpClientExEventListener.h"
#include "sdk/download/plain/IPlatformFileSizeCheckSessionEventListener.h"
#include "sdk/download/HttpConnectionPool.h"
#include "sdk/download/LowSpeedGuard.h"
#include "sdk/download/MirrorList.h"

class ovIHttpClientExLayer;
class ovIQoSContext;
struct DownloadEntry;

class CPlatformFileSizeCheckSession : public nwIHttpClientExEventListener {
  public:
    static constexpr int32_t kTriesPerUrl = 3;
    static constexpr uint32_t kConnectTimeoutSec = 3;
    static constexpr uint32_t kReceiveTimeoutSec = 3;

    CPlatformFileSizeCheckSession() {}
    // Releases the connection; reports nothing.
    ~CPlatformFileSizeCheckSession() override;
    CPlatformFileSizeCheckSession(const CPlatformFileSizeCheckSession&) = delete;
    CPlatformFileSizeCheckSession& operator=(const CPlatformFileSizeCheckSession&) = delete;

    // 0 when a file of `size` bytes fits into the free space of the volume
    // holding `folder` (unreadable free space counts as none); else the
    // failure code: 513 when it is larger than the free space, 517 when the
    // size is not positive or exactly the free space.
    static int32_t JudgeSize(const char* folder, int64_t size);

    void SetListener(IPlatformFileSizeCheckSessionEventListener* listener, void* context);
    // Checks `entry` (not owned; it must outlive the session). May report
    // from inside the call when no attempt can be made.
    void Start(DownloadEntry* entry);
    // Requests go out on kept connections of `pool` (not owned; null: a new
    // connection each), and a connection whose answer allows it is kept
    // there once the size is read.
    void SetConnectionPool(HttpConnectionPool* pool) { m_pool = pool; }

    // Inspection for tests.
    const ovCString& CurrentUrl() const { return m_currentUrl; }
    const ovCString& RedirectUrl() const { return m_redirectUrl; }
    int32_t RequestCount() const { return m_requests; }

    // nwIHttpClientExEventListener (the key is the request's serial number).
    void OnConnected(uint32_t key) override;
    void OnResponse(uint32_t key) override;
    int32_t OnData(uint32_t key, const uint8_t* data, int32_t length) override;
    void OnComplete(uint32_t key) override;
    void OnSendDrained(uint32_t key) override;
    void OnClosed(uint32_t key) override;
    void OnConnectTimeout(uint32_t key) override;
    void OnReceiveTimeout(uint32_t key) override;
    void OnHostUnreachable(uint32_t key) override;

  private:
    // Starts the next attempt, moving to the next mirror after kTriesPerUrl
    // of them; fails with SF_MSG_FAILED past the last mirror.
    void Attempt();
    // Sends one request to `url` (on a kept connection unless `fresh`);
    // false when it cannot be opened.
    bool Request(const char* url, bool fresh = false);
    void ReleaseConnection();
    // Once the size is read: kept in the pool when its answer allows it.
    void ParkConnection();
    void CheckSize(int64_t length);
    void FollowRedirect(ovIHttpClientExLayer* http);
    void Fail(int32_t code);
    static void OnTooSlow(void* self);
    bool IsCurrent(uint32_t key) const { return !m_connection.IsEmpty() && key == m_serial; }

    ovSmartPtr m_connection;
    HttpConnectionPool* m_pool = nullptr;
    // The request in flight, for the pool's rule on kept connections.
    HttpConnectionPool::PooledRequest m_pooled;
    DownloadEntry* m_entry = nullptr;
    int32_t m_tries = 0;
    int32_t m_mirrorIndex = 0;
    ovCString m_currentUrl;
    ovCString m_redirectUrl;
    MirrorList m_mirrors;
    IPlatformFileSizeCheckSessionEventListener* m_listener = nullptr;
    void* m_context = nullptr;

    int32_t m_redirects = 0;  // hops of the current attempt
    int32_t m_requests = 0;
    uint32_t m_serial = 0;
    bool m_reported = false;
    LowSpeedGuard m_slowGuard{&CPlatformFileSizeCheckSession::OnTooSlow, this};
};
