#include "sdk/download/engine/CDownloadSession.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/nwCHttpClientExLayer.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/nwRedirect.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfCodePage.h"
#include "sdk/download/engine/CDownloadFile.h"
#include "sdk/download/Connectivity.h"
#include "sdk/download/HttpConnection.h"
#include "sdk/download/engine/IDownloadSessionEventListener.h"
#include "sdk/download/engine/IProgressFile.h"
#include "sdk/download/plain/RangedAnswer.h"

namespace {

const int32_t kStatusOk = 200;
const int32_t kStatusPartial = 206;
const int32_t kStatusRangeNotSatisfiable = 416;
// The report of a request that could not be opened comes at the next tick.
const uint32_t kReportDelayMs = 1;

// An absolute http or https URL with a host: one that could be opened when
// its host can be looked up.
bool IsHttpUrl(const char* url) {
    ovCString host;
    ovCString path;
    uint16_t port = 0;
    int32_t scheme = 0;
    return nwCHttpClientExLayer::ParseUrl(url, host, path, &port, &scheme) && !host.IsEmpty();
}

// A refused or unroutable connect to a host is a failed try like a time-out;
// only a machine without any network waits for it to come back.
int32_t ConnectFailure() {
    return InternetConnected() ? kSessionConnectTimeout : kSessionHostUnreachable;
}

}  // namespace

CDownloadSession::~CDownloadSession() {
    if (!m_reportTimer.IsEmpty()) {
        m_reportTimer.As<cpCTimer>()->Stop();
        m_reportTimer.Reset();
    }
    Release();
    KeepPartial();
    FreeData();
    DropResume();
}

void CDownloadSession::SetListener(IDownloadSessionEventListener* listener, uint32_t context) {
    m_listener = listener;
    m_context = context;
}

int64_t CDownloadSession::SizeLimit() const {
    if (m_mode == kDownloadModeManifest)
        return kMaxManifestSize;
    if (m_mode == kDownloadModeHashList)
        return kMaxHashListSize;
    if (m_mode == kDownloadModeSignature)
        return kMaxSignatureSize;
    return kMaxArchiveSize;
}

void CDownloadSession::FreeData() {
    free(m_data);
    m_data = nullptr;
    m_contentLength = 0;
    m_received = 0;
}

void CDownloadSession::KeepPartial() {
    if (m_mode != kDownloadModeArchive || !m_data || m_received <= m_partialKept ||
        m_received >= m_contentLength)
        return;
    if (SavePartialArchive(m_url.CStr(), m_data, m_received, m_contentLength, m_validator.CStr()))
        m_partialKept = m_received;
}

void CDownloadSession::DropResume() {
    free(m_resume.data);
    m_resume.data = nullptr;
    m_resume.have = 0;
    m_resume.total = 0;
    m_resume.validator.Clear();
}

void CDownloadSession::Release() {
    ReleaseHttpConnection(m_connection);
}

void CDownloadSession::Start() {
    if (!m_file)
        return;
    ovCString key;
    m_file->GetKey(key);
    if (key.IsEmpty())
        return;
    m_url = key;
    m_busy = 1;
    m_mode = m_file->GetMode(m_url.CStr());
    m_redirects = 0;
    DropResume();
    m_partialKept = 0;
    if (m_mode == kDownloadModeArchive && LoadPartialArchive(m_url.CStr(), &m_resume))
        m_partialKept = m_resume.have;
    m_slowGuard.Begin();
    if (Request(m_url.CStr()))
        return;
    // Reported from the library thread like every other end of a request.
    m_pendingError = OpenFailure(m_url.CStr());
    if (m_reportTimer.IsEmpty() && m_reportTimer.CreateInstance(OV_CLSID_TIMER) &&
        OV_SUCCEEDED(m_reportTimer.As<cpCTimer>()->Start(
            kReportDelayMs, &CDownloadSession::OnReportTimer, this, kTimerTagReport, ovSmartPtr())))
        return;
    // Without a timer manager nothing would run later anyway.
    m_reportTimer.Reset();
    m_pendingError = 0;
    m_busy = 0;
}

bool CDownloadSession::Request(const char* url) {
    Release();
    FreeData();
    if (++m_serial == 0)
        m_serial = 1;
    m_requestUrl = url;
    m_validator.Clear();
    char range[48];
    snprintf(range, sizeof range, "bytes=%" PRId64 "-", m_resume.have);
    const bool resume = m_resume.data != nullptr;
    return OpenHttpConnection(
        m_connection,
        HttpConnectionOptions{kQoSActionHigh, kConnectTimeoutSec, kReceiveTimeoutSec, 0, 0,
                              resume ? range : nullptr},
        this, m_serial, url, resume ? m_resume.validator.CStr() : nullptr);
}

int32_t CDownloadSession::OpenFailure(const char* url) {
    // No connection could be started: the host's name has no address (or no
    // socket was to be had), or the URL is none that could be opened.
    return IsHttpUrl(url) ? ConnectFailure() : kSessionUnexpectedAnswer;
}

void CDownloadSession::FollowRedirect(ovIHttpClientExLayer* http) {
    ovCString target;
    if (JudgeRedirect(http, m_requestUrl.CStr(), m_redirects, &target) != kRedirectFollow) {
        Fail(kSessionUnexpectedAnswer);
        return;
    }
    ++m_redirects;
    if (!Request(target.CStr()))
        Fail(OpenFailure(target.CStr()));
}

void CDownloadSession::OnReportTimer(void* self) {
    CDownloadSession* session = static_cast<CDownloadSession*>(self);
    const int32_t code = session->m_pendingError;
    session->m_pendingError = 0;
    if (!session->m_reportTimer.IsEmpty()) {
        session->m_reportTimer.As<cpCTimer>()->Stop();
        session->m_reportTimer.Reset();
    }
    if (code != 0)
        session->Fail(code);
}

void CDownloadSession::Fail(int32_t code) {
    m_slowGuard.End();
    m_busy = 0;
    Release();
    KeepPartial();
    FreeData();
    DropResume();
    if (m_listener)
        m_listener->OnSessionError(this, code);
}

void CDownloadSession::OnConnected(uint32_t key) {
    if (!IsCurrent(key))
        return;
    m_contentLength = 0;
    if (m_listener)
        m_listener->OnSessionConnected(this);
}

void CDownloadSession::OnResponse(uint32_t key) {
    ovIHttpClientExLayer* http = IsCurrent(key) ? HttpLayerOf(m_connection) : nullptr;
    if (!http)
        return;
    int32_t status = 0;
    int64_t length = 0;
    http->GetStatusCode(&status);
    http->GetContentLength(&length);
    if (IsRedirectStatus(status)) {
        FollowRedirect(http);
        return;
    }
    if (m_mode == kDownloadModeArchive) {
        ovCString validator;
        if (OV_SUCCEEDED(http->GetHeader("ETag", &validator)) ||
            OV_SUCCEEDED(http->GetHeader("Last-Modified", &validator)))
            m_validator = validator;
    }
    if (m_resume.data) {
        if (status == kStatusPartial && ContinueResume(http, status, length))
            return;
        // Not the rest of the kept bytes: they go, and the whole archive is
        // asked for (a 200 here is that already).
        DropResume();
        m_partialKept = 0;
        RemovePartialArchive(m_url.CStr());
        if (status == kStatusPartial || status == kStatusRangeNotSatisfiable) {
            if (!Request(m_requestUrl.CStr()))
                Fail(OpenFailure(m_requestUrl.CStr()));
            return;
        }
    }
    if (status != kStatusOk || length <= 0 || length > SizeLimit()) {
        Fail(kSessionUnexpectedAnswer);
        return;
    }
    m_data = static_cast<uint8_t*>(malloc((size_t)length));
    if (!m_data) {
        Fail(kSessionUnexpectedAnswer);
        return;
    }
    m_contentLength = length;
    m_received = 0;
    if (m_mode == kDownloadModeArchive && m_listener)
        m_listener->OnSizeKnown(this, m_url.CStr(), length);
}

bool CDownloadSession::ContinueResume(ovIHttpClientExLayer* http, int32_t status, int64_t length) {
    ovCString contentRange;
    const bool hasRange = OV_SUCCEEDED(http->GetHeader("Content-Range", &contentRange));
    const RangedAnswer answer = JudgeRangedAnswer(
        RangedAnswerHead{status, length > 0, length, hasRange ? contentRange.CStr() : nullptr},
        m_resume.have, m_resume.total);
    if (answer.verdict != kAnswerBody || answer.fileSize != m_resume.total ||
        answer.bodyLength != m_resume.total - m_resume.have)
        return false;
    m_data = m_resume.data;
    m_contentLength = m_resume.total;
    m_received = m_resume.have;
    m_resume.data = nullptr;
    DropResume();
    if (m_listener) {
        m_listener->OnSizeKnown(this, m_url.CStr(), m_contentLength);
        m_listener->OnDownloadProgress(this, m_url.CStr(), m_received);
    }
    return true;
}

int32_t CDownloadSession::OnData(uint32_t key, const uint8_t* data, int32_t length) {
    if (length <= 0)
        return 0;
    if (!IsCurrent(key) || !m_data || !data)
        return length;
    m_slowGuard.Add(length);
    // Bytes are kept as they come; the layer never delivers more than the
    // announced length.
    const int64_t room = m_contentLength - m_received;
    const int64_t n = length < room ? length : room;
    if (n > 0) {
        memcpy(m_data + m_received, data, (size_t)n);
        m_received += n;
    }
    if (m_mode == kDownloadModeArchive && m_listener)
        m_listener->OnDownloadProgress(this, m_url.CStr(), m_received);
    return length;
}

void CDownloadSession::OnComplete(uint32_t key) {
    if (!IsCurrent(key))
        return;
    if (!m_data || m_received != m_contentLength) {
        Fail(kSessionClosed);
        return;
    }
    m_slowGuard.End();
    Release();
    // Whole now: checked below like any archive, so kept bytes that spoil it
    // are not used again.
    if (m_mode == kDownloadModeArchive && m_partialKept > 0) {
        RemovePartialArchive(m_url.CStr());
        m_partialKept = 0;
    }
    DownloadOutcome outcome;
    outcome.url = m_url;
    outcome.mode = m_mode;
    outcome.contentLength = m_contentLength;
    // An archive keeps the buffer for its unpack in the background.
    outcome.result =
        m_file ? m_file->OnDownloadedBuffer(m_url.CStr(), &m_data, m_contentLength, &outcome.mode)
               : kDownloadUnknownUrl;
    FreeData();
    if (m_file && !m_file->IsFinal()) {
        // The hash list is in; the archive follows on this session.
        Start();
        return;
    }
    m_busy = 0;
    if (m_listener)
        m_listener->OnSessionFinished(this, outcome);
}

void CDownloadSession::OnSendDrained(uint32_t key) {
    (void)key;
}

void CDownloadSession::OnClosed(uint32_t key) {
    // Also after a response with a length: a body cut short ends the
    // attempt, or the record would stay busy for ever.
    if (IsCurrent(key))
        Fail(kSessionClosed);
}

void CDownloadSession::OnConnectTimeout(uint32_t key) {
    if (IsCurrent(key))
        Fail(ConnectFailure());
}

void CDownloadSession::OnReceiveTimeout(uint32_t key) {
    if (IsCurrent(key))
        Fail(kSessionReceiveTimeout);
}

void CDownloadSession::OnHostUnreachable(uint32_t key) {
    if (IsCurrent(key))
        Fail(ConnectFailure());
}

void CDownloadSession::OnTooSlow(void* self) {
    CDownloadSession* session = static_cast<CDownloadSession*>(self);
    if (session->m_busy)
        session->Fail(kSessionReceiveTimeout);
}
