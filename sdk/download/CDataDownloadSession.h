// The in-memory data download: one URL fetched whole into a buffer (the
// launcher's file list and skin archive). The job manager creates it on
// first use, keeps it, and starts every later request on the same object;
// the session reports to the job manager, which raises the host events
// SF_EVENT_DATA_DONE, SF_EVENT_DATA_FAILED and SF_EVENT_DATA_TICK.
//
// One request at a time: a new Start drops the request still running without
// a report, and forgets the data of the previous one. Every started request
// ends in exactly one OnDataComplete or OnDataFailed (unless it is replaced
// or the session is destroyed first), and OnDataTick comes once a second
// while it runs. A request (with its redirects) that trickles ends as too
// slow (LowSpeedGuard.h). Failure reasons are the kDataFail* values below;
// the host never sees them (SF_EVENT_DATA_FAILED carries none), LastFailure()
// keeps the latest.
//
// The data can be fetched with GetSize and GetData once the request has
// completed; it stays until the next Start or the session's destruction.
//
// Threads: Start, GetSize and GetData run on the host thread under the
// library lock (the job manager holds it); every report runs on the library
// thread under the library lock. A request that cannot even be opened is
// reported on the library thread too, shortly after Start.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwIHttpClientExEventListener.h"
#include "sdk/download/IDataDownloadSessionEventListener.h"
#include "sdk/download/LowSpeedGuard.h"

class ovIQoSContext;
class ovIHttpClientExLayer;

// Failure reasons.
enum : int32_t {
    kDataFailConnectTimeout = 3,   // connect refused or timed out
    kDataFailReceiveTimeout = 5,   // no data for the receive-idle limit
    kDataFailClosed = 6,           // closed before the data was complete
    kDataFailHostUnreachable = 7,  // the host could not be reached
    // The answer holds no data: a status other than 200 and the redirect
    // statuses, a 200 without a positive Content-Length, a redirect without
    // Location.
    kDataFailNoData = 8,
    kDataFailTooManyRedirects = 9,  // more than kMaxRedirects in a row
    kDataFailTooLarge = 10,         // Content-Length above kMaxDataSize
    // The URL cannot be opened: not an absolute http or https URL, a
    // control byte in it, a Location the redirect step refuses
    // (kRedirectBadLocation), no address for the host, no connection.
    kDataFailCannotOpen = 11,
    // Fewer bytes than the floor of LowSpeedGuard.h came in its window.
    kDataFailTooSlow = 12,
};

class CDataDownloadSession : public nwIHttpClientExEventListener {
  public:
    // Largest download held in memory: far above a file list or a skin
    // archive. A longer announced Content-Length fails before anything is
    // allocated.
    static constexpr int64_t kMaxDataSize = 64 * 1024 * 1024;
    static constexpr uint32_t kTickPeriodMs = 1000;
    static constexpr uint32_t kConnectTimeoutSec = 4;
    static constexpr uint32_t kReceiveTimeoutSec = 4;
    // Tags of the session's timers (not interpreted by the timer manager).
    static constexpr uint32_t kTimerTagTick = 0x1000010;
    static constexpr uint32_t kTimerTagReport = 0x1000011;

    // `listener` is not owned; `lock` is the library lock.
    CDataDownloadSession(IDataDownloadSessionEventListener* listener, const ovSmartPtr& lock);
    // Drops a running request without a report and frees the data.
    ~CDataDownloadSession() override;
    CDataDownloadSession(const CDataDownloadSession&) = delete;
    CDataDownloadSession& operator=(const CDataDownloadSession&) = delete;

    // A null or empty URL does nothing; otherwise starts a new request.
    void Start(const char* url);
    // SF_RESULT_OK with the size of the completed data; SF_RESULT_FAILED while
    // there is none.
    int32_t GetSize(int64_t* size) const;
    // Copies the completed data and answers SF_RESULT_OK when `buffer` is not
    // null and `size` equals the data size; otherwise SF_RESULT_FAILED and
    // nothing is copied.
    int32_t GetData(void* buffer, int64_t size) const;

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

    // Inspection for tests and diagnostics (under the library lock).
    bool Running() const { return m_running; }
    int32_t LastFailure() const { return m_lastFailure; }
    int32_t Redirects() const { return m_redirects; }
    // Body bytes of the running hop received so far, and its announced size.
    int64_t Received() const { return m_received; }
    int64_t ContentLength() const { return m_contentLength; }
    const ovCString& Url() const { return m_url; }
    const ovCString& RedirectUrl() const { return m_redirectUrl; }
    // The connection of the running request, null when none.
    ovIQoSContext* Connection() const;
    bool TickTimerRunning() const;

  private:
    // Opens one hop; false when it could not be opened (nothing is left).
    bool Request(const char* url);
    // Stops the tick timer, detaches from the layer, closes the connection
    // and hands it to the garbage collector.
    void ReleaseConnection();
    void FreeData();
    void Complete();
    void Fail(int32_t reason);
    void HandleRedirect(ovIHttpClientExLayer* http);
    bool IsCurrent(uint32_t key) const { return m_running && key == m_serial; }
    ovIHttpClientExLayer* Http() const;
    void StartTickTimer();
    static void OnTickTimer(void* self);
    static void OnReportTimer(void* self);
    static void OnTooSlow(void* self);

    IDataDownloadSessionEventListener* m_listener;
    uint8_t* m_buffer = nullptr;
    int64_t m_received = 0;
    int64_t m_contentLength = 0;
    ovSmartPtr m_tickTimer;
    ovSmartPtr m_connection;
    ovCString m_url;
    ovCString m_redirectUrl;

    ovSmartPtr m_lock;
    // Reports a failure of Start on the library thread.
    ovSmartPtr m_reportTimer;
    int32_t m_pendingFailure = 0;
    bool m_running = false;
    bool m_complete = false;
    int32_t m_redirects = 0;
    int32_t m_lastFailure = 0;
    // Serial number of the current hop: the key the layer reports with.
    uint32_t m_serial = 0;
    LowSpeedGuard m_slowGuard{&CDataDownloadSession::OnTooSlow, this};
};
