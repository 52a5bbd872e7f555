#include "sdk/download/plain/CPlatformFileSizeCheckSession.h"

#include "opn/opeerqos/nwRedirect.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfVolume.h"
#include "opn/platform/pfCodePage.h"
#include "sdk/download/CJob.h"
#include "sdk/download/HttpConnection.h"
#include "sdk/download/HttpConnectionPool.h"
#include "sdk/download/SizeProbe.h"
#include "sdk/support/ServiceLog.h"

namespace {

const int32_t kStatusOk = 200;
const int32_t kMessageNoSpace = 513;
const int32_t kMessageFailed = 517;

}  // namespace

CPlatformFileSizeCheckSession::~CPlatformFileSizeCheckSession() {
    m_slowGuard.End();
    ReleaseConnection();
}

void CPlatformFileSizeCheckSession::SetListener(
    IPlatformFileSizeCheckSessionEventListener* listener, void* context) {
    m_listener = listener;
    m_context = context;
}

void CPlatformFileSizeCheckSession::Start(DownloadEntry* entry) {
    m_entry = entry;
    m_mirrors.Load(entry ? entry->urlList.CStr() : nullptr);
    m_mirrorIndex = 0;
    m_tries = 0;
    m_currentUrl.Assign(m_mirrors.Count() > 0 ? m_mirrors.At(0) : "");
    m_redirectUrl.Clear();
    Attempt();
}

void CPlatformFileSizeCheckSession::Attempt() {
    // Bounded: every pass counts a try, and the tries move on to the next
    // mirror until none is left.
    while (!m_reported && m_connection.IsEmpty()) {
        if (m_tries >= kTriesPerUrl) {
            m_tries = 0;
            ++m_mirrorIndex;
            if (m_mirrorIndex >= m_mirrors.Count()) {
                Fail(kMessageFailed);
                return;
            }
            m_currentUrl.Assign(m_mirrors.At(m_mirrorIndex));
            m_redirectUrl.Clear();
        }
        ++m_tries;
        m_redirects = 0;
        // One window for the attempt and its redirect hops.
        m_slowGuard.Begin();
        if (Request(m_redirectUrl.IsEmpty() ? m_currentUrl.CStr() : m_redirectUrl.CStr()))
            return;
    }
}

bool CPlatformFileSizeCheckSession::Request(const char* url, bool fresh) {
    if (++m_serial == 0)
        m_serial = 1;
    ++m_requests;
    m_pooled = HttpConnectionPool::PooledRequest();
    HttpConnectionOptions options = {kQoSActionHigh, kConnectTimeoutSec, kReceiveTimeoutSec, 0, 0,
                                     kSizeProbeRange};
    options.receiveLimit = kSizeProbeReceiveLimit;
    if (m_pool)
        return m_pool->Open(m_connection, options, this, m_serial, url, &m_pooled, fresh);
    return OpenHttpConnection(m_connection, options, this, m_serial, url);
}

void CPlatformFileSizeCheckSession::ReleaseConnection() {
    ReleaseHttpConnection(m_connection);
}

int32_t CPlatformFileSizeCheckSession::JudgeSize(const char* folder, int64_t size) {
    // Unreadable free space counts as none.
    int64_t freeBytes = 0;
    if (!folder || !PfFreeDiskSpaceAt(folder, &freeBytes))
        freeBytes = 0;
    if (size > 0 && freeBytes > size)
        return 0;
    return size > 0 && size > freeBytes ? kMessageNoSpace : kMessageFailed;
}

void CPlatformFileSizeCheckSession::ParkConnection() {
    // The probe's body is a byte: a connection that allows it is kept.
    if (m_pool && !m_connection.IsEmpty())
        m_pool->Park(m_connection,
                     m_redirectUrl.IsEmpty() ? m_currentUrl.CStr() : m_redirectUrl.CStr());
    else
        ReleaseConnection();
}

void CPlatformFileSizeCheckSession::CheckSize(int64_t length) {
    ParkConnection();
    const int32_t code = JudgeSize(m_entry->folder.CStr(), length);
    if (code != 0) {
        Fail(code);
        return;
    }
    m_entry->size = length;
    m_reported = true;
    m_slowGuard.End();
    if (m_listener)
        m_listener->OnSizeKnown(m_context);
}

void CPlatformFileSizeCheckSession::FollowRedirect(ovIHttpClientExLayer* http) {
    const ovCString& from = m_redirectUrl.IsEmpty() ? m_currentUrl : m_redirectUrl;
    ovCString target;
    const RedirectVerdict verdict = JudgeRedirect(http, from.CStr(), m_redirects, &target);
    ReleaseConnection();
    if (verdict == kRedirectFollow) {
        ++m_redirects;
        m_redirectUrl.Swap(target);
        if (Request(m_redirectUrl.CStr()))
            return;
    } else {
        // No usable Location or a chain too long: a chain starts again from
        // the mirror.
        m_redirectUrl.Clear();
    }
    // The attempt failed (also when the target cannot be opened).
    Attempt();
}

void CPlatformFileSizeCheckSession::Fail(int32_t code) {
    m_slowGuard.End();
    ReleaseConnection();
    m_reported = true;
    if (m_listener)
        m_listener->OnSizeFailed(m_context, code, m_entry ? m_entry->urlList.CStr() : "");
}

void CPlatformFileSizeCheckSession::OnConnected(uint32_t key) {
    (void)key;
}

void CPlatformFileSizeCheckSession::OnResponse(uint32_t key) {
    ovIHttpClientExLayer* http = IsCurrent(key) ? HttpLayerOf(m_connection) : nullptr;
    if (!http || m_reported)
        return;
    m_pooled.Answered();
    int32_t status = 0;
    http->GetStatusCode(&status);
    if (status == kStatusOk) {
        int64_t length = 0;
        http->GetContentLength(&length);
        CheckSize(length);
        return;
    }
    // Asked for one byte: a 206 or 416 names the size in its Content-Range.
    const int64_t probed = SizeFromProbeAnswer(http, status);
    if (probed >= 0) {
        CheckSize(probed);
        return;
    }
    if (IsRedirectStatus(status)) {
        FollowRedirect(http);
        return;
    }
    // A mirror that answers without the file: the next attempt, then the
    // next mirror.
    ReleaseConnection();
    Attempt();
}

int32_t CPlatformFileSizeCheckSession::OnData(uint32_t key, const uint8_t* data, int32_t length) {
    (void)data;
    // No body is read.
    if (IsCurrent(key))
        ReleaseConnection();
    return length > 0 ? length : 0;
}

void CPlatformFileSizeCheckSession::OnComplete(uint32_t key) {
    (void)key;
}

void CPlatformFileSizeCheckSession::OnSendDrained(uint32_t key) {
    (void)key;
}

void CPlatformFileSizeCheckSession::OnClosed(uint32_t key) {
    if (!IsCurrent(key))
        return;
    ReleaseConnection();
    if (m_pooled.CloseNeedsFreshConnection()) {
        // An idle kept connection the server closed: not an attempt.
        if (Request(m_redirectUrl.IsEmpty() ? m_currentUrl.CStr() : m_redirectUrl.CStr(), true))
            return;
    }
    Attempt();
}

void CPlatformFileSizeCheckSession::OnConnectTimeout(uint32_t key) {
    // The close that follows counts the attempt.
    if (IsCurrent(key))
        m_connection.As<ovIQoSContext>()->Close();
}

void CPlatformFileSizeCheckSession::OnReceiveTimeout(uint32_t key) {
    if (IsCurrent(key))
        m_connection.As<ovIQoSContext>()->Close();
}

void CPlatformFileSizeCheckSession::OnTooSlow(void* self) {
    CPlatformFileSizeCheckSession* session = static_cast<CPlatformFileSizeCheckSession*>(self);
    if (session->m_reported || session->m_connection.IsEmpty())
        return;
    LogPrintf(
        "[SwarmFetchLib] Too Slow (no answer in %u s) : %s",
        (unsigned)LowSpeedGuard::kWindowSeconds,
        (session->m_redirectUrl.IsEmpty() ? session->m_currentUrl : session->m_redirectUrl).CStr());
    // A failed attempt, like a close; may report and be deleted.
    session->ReleaseConnection();
    session->Attempt();
}

void CPlatformFileSizeCheckSession::OnHostUnreachable(uint32_t key) {
    (void)key;
}
