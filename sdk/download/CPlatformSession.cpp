#include "sdk/download/CPlatformSession.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include "opn/opeerqos/nwRedirect.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/api/CJob.h"
#include "sdk/download/HttpConnection.h"
#include "sdk/download/RangedAnswer.h"
#include "sdk/support/ServiceLog.h"

namespace {

const int32_t kStatusOk = 200;
const int32_t kStatusPartial = 206;
const int32_t kStatusRangeNotSatisfiable = 416;
const int32_t kMessageWriteFailed = 513;
const size_t kRangeSize = 128;

}  // namespace

CPlatformSession::CPlatformSession() {}

CPlatformSession::~CPlatformSession() {
    m_slowGuard.End();
    ReleaseConnection();
    CloseTargetFile();
    delete[] m_entries;
    delete[] m_knownSizes;
}

void CPlatformSession::SetListener(IPlatFormSessionEventListener* listener, void* context) {
    m_listener = listener;
    m_context = context;
}

void CPlatformSession::SetFullSpeed(int32_t flag) {
    m_full = flag ? 1 : 0;
}

const DownloadEntry* CPlatformSession::EntryAt(int32_t index) const {
    return index >= 0 && index < m_entryCount ? &m_entries[index] : nullptr;
}

void CPlatformSession::Start(CJob& job, const int64_t* knownSizes) {
    const int32_t count = job.EntryCount();
    m_entries = count > 0 ? new (std::nothrow) DownloadEntry[count] : nullptr;
    m_knownSizes = count > 0 ? new (std::nothrow) int64_t[count] : nullptr;
    if (!m_knownSizes) {
        delete[] m_entries;
        m_entries = nullptr;
    }
    for (int32_t i = 0; m_entries && i < count; ++i) {
        const DownloadEntry* from = job.EntryAt(i);
        if (!from || from->urlList.IsEmpty() || from->folder.IsEmpty() || from->fileName.IsEmpty())
            continue;
        DownloadEntry& copy = m_entries[m_entryCount];
        copy.index = from->index;
        memcpy(copy.tag, from->tag, sizeof copy.tag);
        copy.size = 0;
        const int64_t known = knownSizes ? knownSizes[i] : from->size;
        m_knownSizes[m_entryCount] = known >= 0 ? known : -1;
        if (copy.urlList.Assign(from->urlList) && copy.folder.Assign(from->folder) &&
            copy.fileName.Assign(from->fileName))
            ++m_entryCount;
    }
    if (m_entryCount == 0) {
        LogPrintf("[SwarmFetchLib] No File To Download : %d entries", (int)count);
        m_currentUrl.Clear();
        Fail();
        return;
    }
    m_entryIndex = 0;
    m_current = &m_entries[0];
    LoadMirrors();
    SendRequest(false);
}

int32_t CPlatformSession::GetReport(FileReportEntry* out, int32_t capacity) const {
    int32_t count = 0;
    for (int32_t i = 0; i < m_entryCount; ++i) {
        const DownloadEntry* entry = &m_entries[i];
        if (entry->received <= 0)
            continue;
        if (out && count < capacity) {
            FileReportEntry& record = out[count];
            memset(&record, 0, sizeof record);
            memcpy(record.tag, entry->tag, sizeof record.tag - 1);
            // A longer URL list is cut; the agent only keeps it for reading.
            const uint32_t n = entry->urlList.Length() < sizeof record.urlList - 1
                                   ? entry->urlList.Length()
                                   : (uint32_t)sizeof record.urlList - 1;
            memcpy(record.urlList, entry->urlList.CStr(), n);
            record.SetReceived(entry->received);
            record.flag = 1;
        }
        ++count;
    }
    return count;
}

void CPlatformSession::LoadMirrors() {
    m_mirrors.Load(m_current ? m_current->urlList.CStr() : nullptr);
    m_mirrorIndex = 0;
    m_redirects = 0;
    m_mirrorTries = 0;
    m_currentUrl.Assign(m_mirrors.Count() > 0 ? m_mirrors.At(0) : "");
}

bool CPlatformSession::OpenTargetFile() {
    CloseTargetFile();
    if (!m_current)
        return false;
    ovCString path(m_current->folder);
    const char last = path.IsEmpty() ? '\0' : path.CStr()[path.Length() - 1];
    if (last != '\\' && last != '/')
        path.Append("\\");
    // A folder that cannot be made shows up as the file's failure below.
    FsCreateFolders(path.CStr());
    path.Append(m_current->fileName);
    int32_t error = kPfErrorNone;
    m_file = PfFileCreateAlways(path.CStr(), &error);
    if (!m_file) {
        LogPrintf("[SwarmFetchLib] CreateFile Failed(%d) : %s", (int)error, path.CStr());
        return false;
    }
    m_currentPath = path;
    const int64_t size = PfFileSeekEnd(m_file);
    // The earlier attempt's bytes are gone with the truncated file.
    m_jobTotal -= m_current->received + m_current->startOffset;
    if (m_jobTotal < 0)
        m_jobTotal = 0;
    m_current->received = 0;
    m_current->startOffset = size > 0 ? size : 0;
    m_jobTotal += m_current->startOffset;
    if (m_listener)
        m_listener->OnFileOpened(m_currentPath.CStr(), m_context);
    return true;
}

void CPlatformSession::CloseTargetFile() {
    if (m_file) {
        PfFileClose(m_file);
        m_file = nullptr;
    }
    m_currentPath.Clear();
}

void CPlatformSession::SendRequest(bool resetTries, bool newAttempt) {
    if (resetTries)
        m_tries = 0;
    m_answerSize = -1;
    if (!OpenTargetFile()) {
        LogPrintf("[SwarmFetchLib] WriteFileOpen Failed : %s", m_currentUrl.CStr());
        Fail();
        return;
    }
    if (newAttempt)
        m_slowGuard.Begin(ReceiveBudget());
    if (m_redirects == 0)
        ++m_mirrorTries;
    ++m_tries;
    ++m_requests;
    if (!Connect()) {
        // An URL that cannot be opened fails like a refused connection.
        AttemptFailed();
    }
}

bool CPlatformSession::Connect() {
    if (++m_serial == 0)
        m_serial = 1;
    char range[kRangeSize];
    snprintf(range, sizeof range, "bytes=%" PRId64 "-", m_current->startOffset);
    HttpConnectionOptions options = {kQoSActionOwn,      kConnectTimeoutSec,
                                     kReceiveTimeoutSec, kQoSActionOwnReceiveOnly,
                                     ReceiveBudget(),    range};
    return OpenHttpConnection(m_connection, options, this, m_serial, m_currentUrl.CStr());
}

ovIQoSContext* CPlatformSession::Connection() const {
    return m_connection.IsEmpty() ? nullptr : m_connection.As<ovIQoSContext>();
}

void CPlatformSession::ReleaseConnection() {
    ReleaseHttpConnection(m_connection);
}

int64_t CPlatformSession::KnownSize() const {
    return m_current && m_knownSizes ? m_knownSizes[m_current - m_entries] : -1;
}

bool CPlatformSession::FileIsWhole() {
    const int64_t onDisk = m_file ? PfFileSeekEnd(m_file) : -1;
    const int64_t known = KnownSize();
    if (onDisk >= 0 && onDisk == m_answerSize && (known < 0 || onDisk == known))
        return true;
    LogPrintf("[SwarmFetchLib] File Size Mismatch (%" PRId64 " of %" PRId64 ") : %s", onDisk,
              known >= 0 ? known : m_answerSize, m_currentUrl.CStr());
    return false;
}

void CPlatformSession::FinishFile() {
    if (!FileIsWhole()) {
        AttemptFailed();
        return;
    }
    DownloadEntry* done = m_current;
    CloseTargetFile();
    ReleaseConnection();
    ++m_entryIndex;
    m_current = m_entryIndex < m_entryCount ? &m_entries[m_entryIndex] : nullptr;
    if (m_current)
        LoadMirrors();
    if (m_listener)
        m_listener->OnFileComplete(m_context, done);
    if (m_current) {
        SendRequest(true);
        return;
    }
    m_ended = true;
    m_slowGuard.End();
    if (m_listener)
        m_listener->OnAllFilesComplete(m_context);
}

void CPlatformSession::FollowRedirect(ovIHttpClientExLayer* http) {
    ovCString location;
    ovCString target;
    bool found = OV_SUCCEEDED(http->GetHeader("Location:", &location)) &&
                 OV_SUCCEEDED(Utf8ToAnsi(location, location)) && !location.IsEmpty() &&
                 ResolveRedirect(m_currentUrl.CStr(), location.CStr(), &target);
    ReleaseConnection();
    CloseTargetFile();
    if (!found) {
        LogPrintf("[SwarmFetchLib] eNWHSC_HTTP_SEEOTHER  : %s", m_currentUrl.CStr());
        Fail();
        return;
    }
    if (m_redirects >= kMaxRedirects) {
        // A loop: one failed attempt on the mirror's own URL.
        LogPrintf("[SwarmFetchLib] Redirect Max Over : %s", m_currentUrl.CStr());
        m_currentUrl.Assign(m_mirrors.At(m_mirrorIndex));
        m_redirects = 0;
        m_tries = m_mirrorTries;
        AttemptFailed();
        return;
    }
    ++m_redirects;
    m_currentUrl = target;
    SendRequest(true, false);
}

void CPlatformSession::AttemptFailed() {
    ReleaseConnection();
    CloseTargetFile();
    if (m_tries >= kTriesPerUrl) {
        m_tries = 0;
        ++m_mirrorIndex;
        m_redirects = 0;
        m_mirrorTries = 0;
        if (m_mirrorIndex >= m_mirrors.Count()) {
            LogPrintf("[SwarmFetchLib] TryMax Over : %s", m_currentUrl.CStr());
            Fail();
            return;
        }
        m_currentUrl.Assign(m_mirrors.At(m_mirrorIndex));
    }
    SendRequest(false);
}

void CPlatformSession::Fail() {
    m_slowGuard.End();
    ReleaseConnection();
    CloseTargetFile();
    m_current = nullptr;
    m_ended = true;
    if (m_listener)
        m_listener->OnSessionFailed(m_context, m_currentUrl.CStr());
}

void CPlatformSession::WriteFailed(int32_t error) {
    LogPrintf("[SwarmFetchLib] WriteFile Failed(%d) : %s", (int)error, m_currentPath.CStr());
    // What was written stays; the file is not complete and is not reported.
    m_slowGuard.End();
    ReleaseConnection();
    CloseTargetFile();
    m_current = nullptr;
    m_ended = true;
    if (m_listener)
        m_listener->OnSessionError(m_context, kMessageWriteFailed, m_currentUrl.CStr());
}

void CPlatformSession::OnConnected(uint32_t key) {
    (void)key;
}

void CPlatformSession::OnResponse(uint32_t key) {
    ovIHttpClientExLayer* http = IsCurrent(key) ? HttpLayerOf(m_connection) : nullptr;
    if (!http || !m_current)
        return;
    int32_t status = 0;
    http->GetStatusCode(&status);
    if (status == kStatusOk || status == kStatusPartial || status == kStatusRangeNotSatisfiable) {
        TakeAnswer(http, status);
        return;
    }
    if (IsRedirectStatus(status)) {
        FollowRedirect(http);
        return;
    }
    // A failed attempt; its body never reaches the file.
    AttemptFailed();
}

void CPlatformSession::TakeAnswer(ovIHttpClientExLayer* http, int32_t status) {
    RangedAnswerHead head = {status, false, 0, nullptr};
    ovCString value;
    head.hasContentLength = OV_SUCCEEDED(http->GetHeader("Content-Length", &value));
    http->GetContentLength(&head.contentLength);
    ovCString range;
    if (OV_SUCCEEDED(http->GetHeader("Content-Range", &range)))
        head.contentRange = range.CStr();
    const RangedAnswer answer = JudgeRangedAnswer(head, m_current->startOffset, KnownSize());
    if (answer.verdict == kAnswerRefused) {
        LogPrintf("[SwarmFetchLib] Answer Refused (%s) : %s", answer.reason, m_currentUrl.CStr());
        // A failed attempt; no byte of its body reaches the file.
        AttemptFailed();
        return;
    }
    // The whole file comes instead of the rest: it is written again from 0.
    if (answer.verdict == kAnswerBodyFromStart && !OpenTargetFile()) {
        LogPrintf("[SwarmFetchLib] WriteFileOpen Failed : %s", m_currentUrl.CStr());
        Fail();
        return;
    }
    m_current->size = answer.fileSize;
    m_answerSize = answer.fileSize;
    // An empty body or a complete file: no body will come to complete it.
    if (answer.verdict == kAnswerFileComplete || answer.bodyLength == 0)
        FinishFile();
}

int32_t CPlatformSession::OnData(uint32_t key, const uint8_t* data, int32_t length) {
    if (length <= 0)
        return 0;
    if (!IsCurrent(key))
        return length;
    m_slowGuard.Add(length);
    if (m_file) {
        int32_t error = kPfErrorNone;
        if (!PfFileWrite(m_file, data, (size_t)length, &error)) {
            WriteFailed(error);
            return length;
        }
        m_jobTotal += length;
        m_current->received += length;
    }
    if (m_listener)
        m_listener->OnProgress(m_context);
    return length;
}

void CPlatformSession::OnComplete(uint32_t key) {
    if (IsCurrent(key))
        FinishFile();
}

void CPlatformSession::OnSendDrained(uint32_t key) {
    (void)key;
}

void CPlatformSession::OnClosed(uint32_t key) {
    if (IsCurrent(key))
        AttemptFailed();
}

void CPlatformSession::OnConnectTimeout(uint32_t key) {
    // The close that follows counts the attempt.
    if (IsCurrent(key))
        m_connection.As<ovIQoSContext>()->Close();
}

void CPlatformSession::OnReceiveTimeout(uint32_t key) {
    if (IsCurrent(key))
        m_connection.As<ovIQoSContext>()->Close();
}

void CPlatformSession::OnTooSlow(void* self) {
    CPlatformSession* session = static_cast<CPlatformSession*>(self);
    if (session->m_connection.IsEmpty() || session->m_ended)
        return;
    LogPrintf("[SwarmFetchLib] Too Slow (%" PRId64 " bytes in %u s) : %s",
              session->m_slowGuard.BytesInWindow(), (unsigned)LowSpeedGuard::kWindowSeconds,
              session->m_currentUrl.CStr());
    session->AttemptFailed();
}

void CPlatformSession::OnHostUnreachable(uint32_t key) {
    // The connection closes afterwards and OnClosed retries.
    (void)key;
}
