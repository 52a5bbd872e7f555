#include "sdk/download/CDataDownloadSession.h"

#include <stdlib.h>
#include <string.h>

#include "opn/core/cpCMutex.h"
#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/nwRedirect.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "sdk/api/SwarmFetch.h"
#include "sdk/download/HttpConnection.h"

namespace {

const int32_t kStatusOk = 200;

// The report timer fires at the next tick of the timer manager.
const uint32_t kReportDelayMs = 1;

}  // namespace

CDataDownloadSession::CDataDownloadSession(IDataDownloadSessionEventListener* listener,
                                           const ovSmartPtr& lock)
    : m_listener(listener), m_lock(lock) {}

CDataDownloadSession::~CDataDownloadSession() {
    ovCAutoLock hold(m_lock);
    if (!m_reportTimer.IsEmpty()) {
        m_reportTimer.As<cpCTimer>()->Stop();
        m_reportTimer.Reset();
    }
    m_slowGuard.End();
    ReleaseConnection();
    FreeData();
    m_running = false;
}

void CDataDownloadSession::Start(const char* url) {
    if (!url || !url[0])
        return;
    ovCAutoLock hold(m_lock);
    // The request still running is replaced: it reports nothing more.
    if (!m_reportTimer.IsEmpty()) {
        m_reportTimer.As<cpCTimer>()->Stop();
        m_reportTimer.Reset();
    }
    m_pendingFailure = 0;
    ReleaseConnection();
    FreeData();
    m_redirectUrl.Clear();
    m_redirects = 0;
    m_running = true;
    // One window for the request and its redirects.
    m_slowGuard.Begin();
    if (m_url.Assign(url) && Request(url))
        return;
    // Reported from the library thread like every other end of a request,
    // not from inside the host's call.
    m_pendingFailure = kDataFailCannotOpen;
    if (m_reportTimer.CreateInstance(OV_CLSID_TIMER) &&
        OV_SUCCEEDED(m_reportTimer.As<cpCTimer>()->Start(
            kReportDelayMs, &CDataDownloadSession::OnReportTimer, this, kTimerTagReport, m_lock)))
        return;
    // No timer manager runs: nothing would ever report later.
    m_reportTimer.Reset();
    m_pendingFailure = 0;
    Fail(kDataFailCannotOpen);
}

bool CDataDownloadSession::Request(const char* url) {
    if (++m_serial == 0)
        m_serial = 1;
    m_contentLength = 0;
    m_received = 0;
    StartTickTimer();
    if (OpenHttpConnection(m_connection,
                           HttpConnectionOptions{kQoSActionHigh, kConnectTimeoutSec,
                                                 kReceiveTimeoutSec, 0, 0, nullptr},
                           this, m_serial, url))
        return true;
    ReleaseConnection();
    return false;
}

ovIHttpClientExLayer* CDataDownloadSession::Http() const {
    return HttpLayerOf(m_connection);
}

ovIQoSContext* CDataDownloadSession::Connection() const {
    return m_connection.IsEmpty() ? nullptr : m_connection.As<ovIQoSContext>();
}

bool CDataDownloadSession::TickTimerRunning() const {
    return !m_tickTimer.IsEmpty();
}

void CDataDownloadSession::StartTickTimer() {
    if (!m_tickTimer.IsEmpty())
        return;
    if (!m_tickTimer.CreateInstance(OV_CLSID_TIMER))
        return;
    m_tickTimer.As<cpCTimer>()->Start(kTickPeriodMs, &CDataDownloadSession::OnTickTimer, this,
                                      kTimerTagTick, m_lock);
}

void CDataDownloadSession::ReleaseConnection() {
    if (!m_tickTimer.IsEmpty()) {
        m_tickTimer.As<cpCTimer>()->Stop();
        m_tickTimer.Reset();
    }
    ReleaseHttpConnection(m_connection);
}

void CDataDownloadSession::FreeData() {
    free(m_buffer);
    m_buffer = nullptr;
    m_contentLength = 0;
    m_received = 0;
    m_complete = false;
}

void CDataDownloadSession::Complete() {
    m_slowGuard.End();
    ReleaseConnection();
    m_running = false;
    m_complete = true;
    m_lastFailure = 0;
    if (m_listener)
        m_listener->OnDataComplete(m_buffer, m_received);
}

void CDataDownloadSession::Fail(int32_t reason) {
    m_slowGuard.End();
    ReleaseConnection();
    FreeData();
    m_running = false;
    m_lastFailure = reason;
    if (m_listener)
        m_listener->OnDataFailed(reason);
}

int32_t CDataDownloadSession::GetSize(int64_t* size) const {
    if (!m_complete || m_contentLength <= 0 || !size)
        return SF_RESULT_FAILED;
    *size = m_contentLength;
    return SF_RESULT_OK;
}

int32_t CDataDownloadSession::GetData(void* buffer, int64_t size) const {
    if (!buffer || !m_complete || m_contentLength <= 0 || size != m_contentLength)
        return SF_RESULT_FAILED;
    memcpy(buffer, m_buffer, (size_t)m_contentLength);
    return SF_RESULT_OK;
}

void CDataDownloadSession::OnConnected(uint32_t key) {
    if (IsCurrent(key))
        m_contentLength = 0;
}

void CDataDownloadSession::OnResponse(uint32_t key) {
    ovIHttpClientExLayer* http = IsCurrent(key) ? Http() : nullptr;
    if (!http)
        return;
    int32_t status = 0;
    http->GetStatusCode(&status);
    if (IsRedirectStatus(status)) {
        HandleRedirect(http);
        return;
    }
    if (status != kStatusOk) {
        Fail(kDataFailNoData);
        return;
    }
    int64_t length = 0;
    http->GetContentLength(&length);
    if (length <= 0) {
        Fail(kDataFailNoData);
        return;
    }
    if (length > kMaxDataSize) {
        Fail(kDataFailTooLarge);
        return;
    }
    free(m_buffer);
    m_buffer = static_cast<uint8_t*>(calloc((size_t)length, 1));
    if (!m_buffer) {
        Fail(kDataFailTooLarge);
        return;
    }
    m_contentLength = length;
    m_received = 0;
}

void CDataDownloadSession::HandleRedirect(ovIHttpClientExLayer* http) {
    // A relative Location is resolved against the URL this hop asked for.
    const ovCString& current = m_redirectUrl.IsEmpty() ? m_url : m_redirectUrl;
    ovCString target;
    const RedirectVerdict verdict = JudgeRedirect(http, current.CStr(), m_redirects, &target);
    ReleaseConnection();
    if (verdict == kRedirectTooManyHops) {
        Fail(kDataFailTooManyRedirects);
        return;
    }
    if (verdict == kRedirectBadLocation) {
        Fail(kDataFailCannotOpen);
        return;
    }
    if (verdict != kRedirectFollow) {
        Fail(kDataFailNoData);
        return;
    }
    ++m_redirects;
    m_redirectUrl.Swap(target);
    if (!Request(m_redirectUrl.CStr()))
        Fail(kDataFailCannotOpen);
}

int32_t CDataDownloadSession::OnData(uint32_t key, const uint8_t* data, int32_t length) {
    if (length <= 0)
        return 0;
    if (!IsCurrent(key) || !m_buffer || !data)
        return length;
    m_slowGuard.Add(length);
    // Surplus bytes are consumed and dropped: the buffer has exactly the
    // announced size.
    const int64_t room = m_contentLength - m_received;
    const int64_t n = length < room ? length : room;
    if (n > 0) {
        memcpy(m_buffer + m_received, data, (size_t)n);
        m_received += n;
    }
    return length;
}

void CDataDownloadSession::OnComplete(uint32_t key) {
    if (!IsCurrent(key))
        return;
    if (!m_buffer || m_received != m_contentLength) {
        Fail(kDataFailClosed);
        return;
    }
    Complete();
}

void CDataDownloadSession::OnSendDrained(uint32_t key) {
    (void)key;
}

void CDataDownloadSession::OnClosed(uint32_t key) {
    if (!IsCurrent(key))
        return;
    if (!m_connection.IsEmpty())
        m_connection.As<ovIQoSContext>()->MarkAddressFailed();
    Fail(kDataFailClosed);
}

void CDataDownloadSession::OnConnectTimeout(uint32_t key) {
    if (IsCurrent(key))
        Fail(kDataFailConnectTimeout);
}

void CDataDownloadSession::OnReceiveTimeout(uint32_t key) {
    if (IsCurrent(key))
        Fail(kDataFailReceiveTimeout);
}

void CDataDownloadSession::OnHostUnreachable(uint32_t key) {
    if (IsCurrent(key))
        Fail(kDataFailHostUnreachable);
}

void CDataDownloadSession::OnTickTimer(void* self) {
    CDataDownloadSession* session = static_cast<CDataDownloadSession*>(self);
    if (session->m_running && session->m_listener)
        session->m_listener->OnDataTick();
}

void CDataDownloadSession::OnReportTimer(void* self) {
    CDataDownloadSession* session = static_cast<CDataDownloadSession*>(self);
    const int32_t reason = session->m_pendingFailure;
    session->m_pendingFailure = 0;
    if (!session->m_reportTimer.IsEmpty()) {
        session->m_reportTimer.As<cpCTimer>()->Stop();
        session->m_reportTimer.Reset();
    }
    if (reason != 0)
        session->Fail(reason);
}

void CDataDownloadSession::OnTooSlow(void* self) {
    CDataDownloadSession* session = static_cast<CDataDownloadSession*>(self);
    if (session->m_running)
        session->Fail(kDataFailTooSlow);
}
