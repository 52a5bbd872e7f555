#include "sdk/download/plain/CPlatformSession.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/opeerqos/nwRedirect.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfError.h"
#include "sdk/download/CJob.h"
#include "sdk/download/HttpConnection.h"
#include "sdk/download/HttpConnectionPool.h"
#include "sdk/download/plain/RangedAnswer.h"
#include "sdk/download/plain/ResumeValidator.h"
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
    EndWait();
    DropHashes();
    m_slowGuard.End();
    ReleaseConnection();
    CloseTargetFile();
    delete[] m_entries;
    delete[] m_knownSizes;
    delete[] m_wholeTickets;
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

void CPlatformSession::Start(CJob& job, const int64_t* knownSizes, int32_t onlyEntry) {
    const int32_t count = job.EntryCount();
    // One file of a job: room for its copy alone.
    const int32_t room = onlyEntry >= 0 && count > 0 ? 1 : count;
    m_entries = room > 0 ? new (std::nothrow) DownloadEntry[room] : nullptr;
    m_knownSizes = room > 0 ? new (std::nothrow) int64_t[room] : nullptr;
    m_wholeTickets = room > 0 ? new (std::nothrow) uint32_t[room]() : nullptr;
    if (!m_knownSizes || !m_wholeTickets) {
        delete[] m_entries;
        m_entries = nullptr;
    }
    for (int32_t i = 0; m_entries && i < count; ++i) {
        const DownloadEntry* from = job.EntryAt(i);
        if (onlyEntry >= 0 && i != onlyEntry)
            continue;
        if (!from || from->urlList.IsEmpty() || from->folder.IsEmpty() || from->fileName.IsEmpty())
            continue;
        DownloadEntry& copy = m_entries[m_entryCount];
        copy.index = from->index;
        memcpy(copy.tag, from->tag, sizeof copy.tag);
        copy.size = 0;
        copy.hasSha256 = from->hasSha256;
        memcpy(copy.sha256, from->sha256, sizeof copy.sha256);
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
    QueueWholeChecks();
    m_entryIndex = 0;
    m_current = &m_entries[0];
    EnterEntry();
    StartCurrentEntry();
}

int32_t CPlatformSession::GetReport(FileReportEntry* out, int32_t capacity) const {
    int32_t count = 0;
    for (int32_t i = 0; i < m_entryCount; ++i) {
        const DownloadEntry* entry = &m_entries[i];
        if (entry->received <= 0)
            continue;
        if (out && count < capacity)
            out[count].Fill(entry->tag, entry->urlList.CStr(), entry->urlList.Length(),
                            entry->received);
        ++count;
    }
    return count;
}

void CPlatformSession::EnterEntry() {
    LoadMirrors();
    m_target.Enter(m_current, KnownSize());
}

void CPlatformSession::QueueWholeChecks() {
    // Queued all at once, so that the worker reads the next files while
    // this one downloads, and a folder already complete is read at disk speed.
    for (int32_t i = 0; i < m_entryCount; ++i)
        m_wholeTickets[i] = PartialFile::QueueWholeCheck(m_hashes, m_entries[i], m_knownSizes[i]);
}

void CPlatformSession::StartCurrentEntry() {
    while (m_current) {
        const PartialFile::Whole whole = PartialFile::TakeWholeCheck(
            m_hashes, m_wholeTickets[m_entryIndex], *m_current, KnownSize(), m_tally);
        if (whole == PartialFile::kStillHashing) {
            if (!WaitForHash(kWaitWhole))
                Fail();
            return;
        }
        if (whole == PartialFile::kNotWhole)
            break;
        DownloadEntry* done = AdvanceEntry();
        if (m_listener)
            m_listener->OnFileComplete(m_context, done);
    }
    EndWait();
    if (m_current) {
        SendRequest();
        return;
    }
    m_ended = true;
    m_slowGuard.End();
    if (m_listener)
        m_listener->OnAllFilesComplete(m_context);
}

void CPlatformSession::TakePartHash() {
    if (!m_target.TakePartHash())
        return;
    EndWait();
    // The partial file decides when it is opened: kept when it still holds
    // exactly the hashed bytes.
    SendRequest();
}

bool CPlatformSession::WaitForHash(Wait what) {
    m_wait = what;
    // No attempt runs meanwhile: the next one starts its window anew.
    m_slowGuard.End();
    if (!m_hashTimer.IsEmpty())
        return true;
    if (!m_hashTimer.CreateInstance(OV_CLSID_TIMER) ||
        OV_FAILED(m_hashTimer.As<cpCTimer>()->Start(FileHashQueue::kPollMs,
                                                    &CPlatformSession::OnHashTimer, this,
                                                    kTimerTagHash, ovSmartPtr()))) {
        // Without a timer manager nothing would ever look again.
        m_hashTimer.Reset();
        m_wait = kWaitNone;
        return false;
    }
    return true;
}

void CPlatformSession::EndWait() {
    m_wait = kWaitNone;
    if (m_hashTimer.IsEmpty())
        return;
    m_hashTimer.As<cpCTimer>()->Stop();
    m_hashTimer.Reset();
}

void CPlatformSession::DropHashes() {
    m_target.DropPartHash();
    for (int32_t i = 0; m_wholeTickets && i < m_entryCount; ++i) {
        m_hashes.Drop(m_wholeTickets[i]);
        m_wholeTickets[i] = 0;
    }
}

void CPlatformSession::OnHashTimer(void* self) {
    CPlatformSession* session = static_cast<CPlatformSession*>(self);
    // Either may end the session, and its owner may delete it.
    if (session->m_wait == kWaitPart)
        session->TakePartHash();
    else if (session->m_wait == kWaitWhole)
        session->StartCurrentEntry();
}

DownloadEntry* CPlatformSession::AdvanceEntry() {
    DownloadEntry* done = m_current;
    ++m_entryIndex;
    m_current = m_entryIndex < m_entryCount ? &m_entries[m_entryIndex] : nullptr;
    if (m_current)
        EnterEntry();
    return done;
}

void CPlatformSession::LoadMirrors() {
    m_mirrors.Load(m_current ? m_current->urlList.CStr() : nullptr);
    m_budget.Reset(m_mirrors.Count());
    m_redirects = 0;
    m_askWhole = false;
    m_currentUrl.Assign(m_mirrors.Count() > 0 ? m_mirrors.At(0) : "");
}

bool CPlatformSession::OpenTargetFile(bool keepPart) {
    if (!m_target.Open(keepPart))
        return false;
    if (m_listener)
        m_listener->OnFileOpened(m_target.Path().CStr(), m_context);
    return true;
}

void CPlatformSession::CloseTargetFile() {
    m_target.Close();
}

void CPlatformSession::SendRequest(bool newAttempt) {
    m_answerSize = -1;
    if (m_target.QueuePartHash()) {
        if (!WaitForHash(kWaitPart))
            Fail();
        return;
    }
    if (!OpenTargetFile(true)) {
        LogPrintf("[SwarmFetchLib] WriteFileOpen Failed : %s", m_currentUrl.CStr());
        Fail();
        return;
    }
    // A partial file as long as the file: its hash decides without a request.
    const int64_t known = KnownSize();
    if (m_current->hasSha256 && known > 0 && m_current->startOffset == known) {
        m_answerSize = known;
        m_current->size = known;
        FinishFile();
        return;
    }
    if (newAttempt) {
        m_slowGuard.Begin(ReceiveBudget());
        m_attemptOffset = m_current->startOffset;
    }
    ++m_requests;
    if (!Connect()) {
        // An URL that cannot be opened fails like a refused connection.
        AttemptFailed();
    }
}

bool CPlatformSession::Connect(bool fresh) {
    if (++m_serial == 0)
        m_serial = 1;
    m_pooled = HttpConnectionPool::PooledRequest();
    char range[kRangeSize];
    snprintf(range, sizeof range, "bytes=%" PRId64 "-", m_current->startOffset);
    // After a refused ranged answer the whole file is asked for, without a
    // Range the host could answer wrongly again.
    m_ranged = !m_askWhole;
    const char* ifRange = m_ranged ? m_target.IfRange() : nullptr;
    if (!m_sentIfRange.Assign(ifRange ? ifRange : ""))
        return false;
    HttpConnectionOptions options = {kQoSActionOwn,      kConnectTimeoutSec,
                                     kReceiveTimeoutSec, kQoSActionOwnReceiveOnly,
                                     ReceiveBudget(),    m_ranged ? range : nullptr};
    options.sharedBudget = m_sharedBudget;
    if (!m_pool)
        return OpenHttpConnection(m_connection, options, this, m_serial, m_currentUrl.CStr(),
                                  ifRange);
    return m_pool->Open(m_connection, options, this, m_serial, m_currentUrl.CStr(), &m_pooled,
                        fresh, ifRange);
}

ovIQoSContext* CPlatformSession::Connection() const {
    return m_connection.IsEmpty() ? nullptr : m_connection.As<ovIQoSContext>();
}

void CPlatformSession::ReleaseConnection() {
    ReleaseHttpConnection(m_connection);
}

void CPlatformSession::ParkConnection() {
    if (m_pool && !m_connection.IsEmpty())
        m_pool->Park(m_connection, m_currentUrl.CStr());
    else
        ReleaseConnection();
}

int64_t CPlatformSession::KnownSize() const {
    return m_current && m_knownSizes ? m_knownSizes[m_current - m_entries] : -1;
}

void CPlatformSession::FinishFile() {
    if (!m_target.IsWhole(m_answerSize, m_currentUrl.CStr())) {
        AttemptFailed();
        return;
    }
    if (m_current->hasSha256 && !m_target.HashMatches(m_answerSize, m_currentUrl.CStr())) {
        ContentMismatch();
        return;
    }
    ParkConnection();
    if (!m_target.PutInPlace()) {
        Fail();
        return;
    }
    DownloadEntry* done = AdvanceEntry();
    if (m_listener)
        m_listener->OnFileComplete(m_context, done);
    StartCurrentEntry();
}

void CPlatformSession::ContentMismatch() {
    ReleaseConnection();
    // Once per file a continued file starts again from byte 0 on the
    // mirror's own URL, without using up a try.
    if (m_target.Discard()) {
        if (m_budget.Repeat() == TryBudget::kAttemptsSpent) {
            GiveUp(true);
            return;
        }
        const char* own = m_mirrors.At(m_budget.Mirror());
        m_currentUrl.Assign(own ? own : "");
        m_redirects = 0;
        SendRequest();
        return;
    }
    AttemptFailed();
}

void CPlatformSession::FollowRedirect(ovIHttpClientExLayer* http) {
    ovCString target;
    const RedirectVerdict verdict = JudgeRedirect(http, m_currentUrl.CStr(), m_redirects, &target);
    ParkConnection();
    CloseTargetFile();
    if (verdict != kRedirectFollow && verdict != kRedirectTooManyHops) {
        LogPrintf("[SwarmFetchLib] eNWHSC_HTTP_SEEOTHER  : %s", m_currentUrl.CStr());
        Fail();
        return;
    }
    if (verdict == kRedirectTooManyHops) {
        // A loop: one failed attempt.
        LogPrintf("[SwarmFetchLib] Redirect Max Over : %s", m_currentUrl.CStr());
        AttemptFailed();
        return;
    }
    ++m_redirects;
    m_currentUrl = target;
    SendRequest(false);
}

int64_t CPlatformSession::AttemptGrowth() const {
    // Bytes the next attempt starts over from are no progress.
    if (!m_current || m_askWhole || !m_target.CanContinue())
        return 0;
    const int64_t now = m_current->startOffset + m_current->received;
    return now > m_attemptOffset ? now - m_attemptOffset : 0;
}

int64_t CPlatformSession::AttemptMissing() const {
    const int64_t size = m_answerSize >= 0 ? m_answerSize : KnownSize();
    if (size < 0)
        return -1;
    return size > m_attemptOffset ? size - m_attemptOffset : 0;
}

void CPlatformSession::AttemptFailed() {
    const int64_t grown = AttemptGrowth();
    const int64_t missing = AttemptMissing();
    ReleaseConnection();
    CloseTargetFile();
    const int32_t mirror = m_budget.Mirror();
    const TryBudget::Next next = m_budget.Failed(grown, missing);
    // Every attempt starts from the mirror's own URL: a redirect target
    // may have been for one request only.
    const char* own = m_mirrors.At(next == TryBudget::kMirrorsSpent ? mirror : m_budget.Mirror());
    m_currentUrl.Assign(own ? own : "");
    m_redirects = 0;
    if (next == TryBudget::kMirrorsSpent || next == TryBudget::kAttemptsSpent) {
        GiveUp(next == TryBudget::kAttemptsSpent);
        return;
    }
    // Another host may well honour a range.
    if (next == TryBudget::kNextMirror)
        m_askWhole = false;
    SendRequest();
}

void CPlatformSession::GiveUp(bool attemptsSpent) {
    if (attemptsSpent)
        LogPrintf("[SwarmFetchLib] Attempt Max Over (%d) : %s", (int)m_budget.Attempts(),
                  m_currentUrl.CStr());
    else
        LogPrintf("[SwarmFetchLib] TryMax Over : %s", m_currentUrl.CStr());
    Fail();
}

void CPlatformSession::Stop() {
    EndWait();
    DropHashes();
    m_slowGuard.End();
    ReleaseConnection();
    CloseTargetFile();
    m_current = nullptr;
    m_ended = true;
}

void CPlatformSession::Fail() {
    Stop();
    if (m_listener)
        m_listener->OnSessionFailed(m_context, m_currentUrl.CStr());
}

void CPlatformSession::WriteFailed(int32_t error) {
    LogPrintf("[SwarmFetchLib] WriteFile Failed(%d) : %s", (int)error, m_target.Path().CStr());
    // What was written stays; the file is not complete and is not reported.
    Stop();
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
    m_pooled.Answered();
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
    // A zero inside would cut the value short where it is read as text: such
    // a range is sent but names nothing.
    if (OV_SUCCEEDED(http->GetHeader("Content-Range", &range)))
        head.contentRange = strlen(range.CStr()) == range.Length() ? range.CStr() : "";
    ovCString etag;
    ovCString modified;
    ovCString validator;
    const bool hasEtag = OV_SUCCEEDED(http->GetHeader("ETag", &etag));
    const bool hasModified = OV_SUCCEEDED(http->GetHeader("Last-Modified", &modified));
    ResumeValidatorOf(hasEtag ? &etag : nullptr, hasModified ? &modified : nullptr, validator);
    const RangedRequest request = {m_current->startOffset, m_ranged,
                                   m_sentIfRange.IsEmpty() ? nullptr : m_sentIfRange.CStr()};
    const RangedAnswer answer = JudgeRangedAnswer(head, request, KnownSize(),
                                                  validator.IsEmpty() ? nullptr : validator.CStr());
    // Without a known size, "nothing after this offset" is for the hash of
    // the partial file to judge.
    if (answer.verdict == kAnswerRefused && status == kStatusRangeNotSatisfiable && m_ranged &&
        m_current->hasSha256 && m_current->startOffset > 0 && KnownSize() < 0) {
        m_answerSize = m_current->startOffset;
        FinishFile();
        return;
    }
    if (answer.verdict == kAnswerRefused) {
        LogPrintf("[SwarmFetchLib] Answer Refused (%s) : %s", answer.reason, m_currentUrl.CStr());
        // A failed attempt; no byte of its body reaches the file. The host
        // got the range wrong: the next attempt asks for the whole file.
        if (m_ranged)
            m_askWhole = true;
        AttemptFailed();
        return;
    }
    // The whole file comes instead of the rest: it is written again from 0.
    if (answer.verdict == kAnswerBodyFromStart && !OpenTargetFile(false)) {
        LogPrintf("[SwarmFetchLib] WriteFileOpen Failed : %s", m_currentUrl.CStr());
        Fail();
        return;
    }
    // The file is right from here on; ranges may be asked again.
    if (!m_ranged)
        m_askWhole = false;
    m_target.Answered(validator.IsEmpty() ? nullptr : validator.CStr(), answer.fileSize);
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
    if (m_target.IsOpen()) {
        int32_t error = kPfErrorNone;
        if (!m_target.Write(data, length, &error)) {
            WriteFailed(error);
            return length;
        }
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
    if (!IsCurrent(key))
        return;
    if (m_pooled.CloseNeedsFreshConnection()) {
        // An idle kept connection the server closed: no try is spent.
        ReleaseConnection();
        if (!Connect(true))
            AttemptFailed();
        return;
    }
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
