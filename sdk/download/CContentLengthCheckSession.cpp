#include "sdk/download/CContentLengthCheckSession.h"

#include <stdio.h>

#include "opn/platform/cpCMutex.h"
#include "opn/opeerqos/nwRedirect.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfCodePage.h"
#include "sdk/download/HttpConnection.h"
#include "sdk/download/HttpConnectionPool.h"
#include "sdk/download/IContentLengthCheckSessionEventListener.h"
#include "sdk/download/SizeMemory.h"
#include "sdk/download/SizeProbe.h"
#include "sdk/support/ServiceLog.h"

namespace {

const int32_t kStatusOk = 200;

}  // namespace

CContentLengthCheckSession::CContentLengthCheckSession(
    IContentLengthCheckSessionEventListener* listener, const ovSmartPtr& lock)
    : m_listener(listener), m_lock(lock) {}

CContentLengthCheckSession::~CContentLengthCheckSession() {
    m_slowGuard.End();
    Release();
}

void CContentLengthCheckSession::SetUrl(int32_t fileIndex, const char* urlList) {
    m_fileIndex = fileIndex;
    m_url.Clear();
    if (!urlList)
        return;
    uint32_t n = 0;
    while (urlList[n] && urlList[n] != '|')
        ++n;
    m_url.Assign(urlList, n);
}

ovIQoSContext* CContentLengthCheckSession::Connection() const {
    return m_connection.IsEmpty() ? nullptr : m_connection.As<ovIQoSContext>();
}

ovIHttpClientExLayer* CContentLengthCheckSession::Http() const {
    return HttpLayerOf(m_connection);
}

void CContentLengthCheckSession::Start() {
    ovCAutoLock hold(m_lock);
    if (m_tries++ >= kMaxTries) {
        m_slowGuard.End();
        LogPrintf("[SwarmFetchLib] ContentLength Check Failed reason:%s file:%d url:%s",
                  m_reason.CStr(), (int)m_fileIndex, m_url.CStr());
        if (m_listener)
            m_listener->OnLengthFailed(m_fileIndex, m_url.CStr());
        return;
    }
    if (!m_connection.IsEmpty())
        return;
    m_redirects = 0;
    // One window for the attempt and its redirect hops.
    m_slowGuard.Begin();
    const char* url = m_redirectUrl.IsEmpty() ? m_url.CStr() : m_redirectUrl.CStr();
    if (!Request(url))
        Retry("CannotOpen");
}

bool CContentLengthCheckSession::Request(const char* url, bool fresh) {
    if (++m_serial == 0)
        m_serial = 1;
    m_pooled = HttpConnectionPool::PooledRequest();
    if (url != m_requestUrl.CStr() && !m_requestUrl.Assign(url))
        return false;
    HttpConnectionOptions options = {kQoSActionHigh, 0, kReceiveTimeoutSec, 0, 0, kSizeProbeRange};
    options.receiveLimit = kSizeProbeReceiveLimit;
    if (m_pool)
        return m_pool->Open(m_connection, options, this, m_serial, m_requestUrl.CStr(), &m_pooled,
                            fresh);
    return OpenHttpConnection(m_connection, options, this, m_serial, m_requestUrl.CStr());
}

void CContentLengthCheckSession::Release() {
    ovCAutoLock hold(m_lock);
    ReleaseHttpConnection(m_connection);
}

void CContentLengthCheckSession::Retry(const char* reason) {
    m_reason.Assign(reason);
    Release();
    Start();
}

void CContentLengthCheckSession::OnResponse(uint32_t key) {
    ovIHttpClientExLayer* http = IsCurrent(key) ? Http() : nullptr;
    if (!http)
        return;
    int32_t status = 0;
    int64_t length = 0;
    http->GetStatusCode(&status);
    http->GetContentLength(&length);
    // Asked for one byte: a 206 or 416 names the size in its Content-Range.
    const int64_t probed = status == kStatusOk ? length : SizeFromProbeAnswer(http, status);
    ovCString target;
    const RedirectVerdict verdict = JudgeRedirect(http, m_requestUrl.CStr(), m_redirects, &target);
    m_pooled.Answered();
    if (probed >= 0 || status == kStatusOk) {
        // The probe's body is a byte: a connection that allows it is kept.
        if (m_pool)
            m_pool->Park(m_connection, m_requestUrl.CStr());
        Release();
        m_slowGuard.End();
        m_contentLength = status == kStatusOk ? length : probed;
        SizeMemory::Remember(m_url.CStr(), m_contentLength);
        if (m_listener)
            m_listener->OnLengthKnown(m_fileIndex, m_contentLength);
        return;
    }
    Release();
    FollowOrRetry(status, verdict, target);
}

void CContentLengthCheckSession::FollowOrRetry(int32_t status, RedirectVerdict verdict,
                                               ovCString& target) {
    if (verdict == kRedirectTooManyHops) {
        // A loop or an endless chain ends the attempt.
        Retry("TooManyRedirects");
        return;
    }
    if (verdict == kRedirectFollow) {
        ++m_redirects;
        m_redirectUrl.Swap(target);
        if (Request(m_redirectUrl.CStr()))
            return;
    }
    // Any other answer, a redirect without a usable Location among them.
    char reason[32];
    snprintf(reason, sizeof reason, "ResCode:%d", (int)status);
    Retry(reason);
}

void CContentLengthCheckSession::OnClosed(uint32_t key) {
    if (!IsCurrent(key))
        return;
    if (m_pooled.CloseNeedsFreshConnection()) {
        // An idle kept connection the server closed: not an attempt.
        Release();
        if (!Request(m_requestUrl.CStr(), true))
            Retry("CannotOpen");
        return;
    }
    Retry("Closed");
}

void CContentLengthCheckSession::OnConnectTimeout(uint32_t key) {
    if (!IsCurrent(key))
        return;
    LogPrintf("[SwarmFetchLib] CLCS CT(file:%d)", (int)m_fileIndex);
    Retry("ConnectTimeout");
}

void CContentLengthCheckSession::OnReceiveTimeout(uint32_t key) {
    if (!IsCurrent(key))
        return;
    LogPrintf("[SwarmFetchLib] CLCS RT(file:%d)", (int)m_fileIndex);
    Retry("RecvTimeout");
}

void CContentLengthCheckSession::OnHostUnreachable(uint32_t key) {
    if (!IsCurrent(key))
        return;
    m_reason.Assign("HostUnreach");
    m_slowGuard.End();
    Release();
    LogPrintf("[SwarmFetchLib] CLCS HU(file:%d)", (int)m_fileIndex);
    if (m_listener)
        m_listener->OnLengthHostUnreachable(m_fileIndex);
}

void CContentLengthCheckSession::OnTooSlow(void* self) {
    CContentLengthCheckSession* session = static_cast<CContentLengthCheckSession*>(self);
    if (session->m_connection.IsEmpty())
        return;
    LogPrintf("[SwarmFetchLib] CLCS TooSlow(file:%d)", (int)session->m_fileIndex);
    // May report and be deleted.
    session->Retry("TooSlow");
}

void CContentLengthCheckSession::OnConnected(uint32_t key) {
    (void)key;
}

int32_t CContentLengthCheckSession::OnData(uint32_t key, const uint8_t* data, int32_t length) {
    (void)key;
    (void)data;
    return length > 0 ? length : 0;
}

void CContentLengthCheckSession::OnComplete(uint32_t key) {
    (void)key;
}

void CContentLengthCheckSession::OnSendDrained(uint32_t key) {
    (void)key;
}
