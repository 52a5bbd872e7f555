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
#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfCodePage.h"
#include "sdk/download/CJob.h"
#include "sdk/download/FileDigest.h"
#include "sdk/download/HttpConnection.h"
#include "sdk/download/plain/RangedAnswer.h"
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
    m_entries = count > 0 ? new (std::nothrow) DownloadEntry[count] : nullptr;
    m_knownSizes = count > 0 ? new (std::nothrow) int64_t[count] : nullptr;
    m_wholeTickets = count > 0 ? new (std::nothrow) uint32_t[count]() : nullptr;
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

void CPlatformSession::EnterEntry() {
    LoadMirrors();
    m_restarted = false;
    m_hashValid = false;
    m_opened = false;
    m_found = 0;
    m_partHashed = false;
}

bool CPlatformSession::EntryPaths(ovCString& path, ovCString& part) const {
    if (!m_current || !path.Assign(m_current->folder))
        return false;
    const char last = path.IsEmpty() ? '\0' : path.CStr()[path.Length() - 1];
    if (last != '\\' && last != '/' && !path.Append("\\"))
        return false;
    return path.Append(m_current->fileName) && part.Assign(path) && part.Append(kPartFileSuffix);
}

void CPlatformSession::QueueWholeChecks() {
    // Queued all at once, so that the worker reads the next files while
    // this one downloads, and a folder already complete is read at disk speed.
    DownloadEntry* current = m_current;
    for (int32_t i = 0; i < m_entryCount; ++i) {
        m_current = &m_entries[i];
        ovCString path;
        ovCString part;
        const int64_t known = m_knownSizes[i];
        if (!m_current->hasSha256 || !EntryPaths(path, part))
            continue;
        // Only a sole file is read: a link may lead out of the folder, a FIFO
        // would block the read.
        const int64_t onDisk = PfFileSoleSize(path.CStr());
        if (onDisk >= 0 && (known < 0 || onDisk == known))
            m_wholeTickets[i] = m_hashes.Add(path.CStr());
    }
    m_current = current;
}

CPlatformSession::Whole CPlatformSession::AlreadyWhole() {
    uint32_t& ticket = m_wholeTickets[m_entryIndex];
    if (!m_current->hasSha256 || ticket == 0)
        return kNotWhole;
    Sha256Stream hash;
    int64_t length = -1;
    if (!m_hashes.Take(ticket, hash, &length))
        return kStillHashing;
    ticket = 0;
    ovCString path;
    ovCString part;
    const int64_t known = KnownSize();
    // A file that changed size while it was read is not the one measured.
    if (length < 0 || (known >= 0 && length != known) || !EntryPaths(path, part) ||
        PfFileSoleSize(path.CStr()) != length || !DigestIs(hash, m_current->sha256))
        return kNotWhole;
    LogPrintf("[SwarmFetchLib] Already Complete : %s", path.CStr());
    // A partial file left beside it is of no more use.
    if (FsFileSize(part.CStr()) >= 0)
        FsDeleteFile(part.CStr());
    // Its bytes count as received, but not as received now.
    m_current->size = length;
    m_current->startOffset = length;
    m_jobTotal += length;
    m_presentBytes += length;
    return kWhole;
}

void CPlatformSession::StartCurrentEntry() {
    while (m_current) {
        const Whole whole = AlreadyWhole();
        if (whole == kStillHashing) {
            if (!WaitForHash(kWaitWhole))
                Fail();
            return;
        }
        if (whole == kNotWhole)
            break;
        DownloadEntry* done = AdvanceEntry();
        if (m_listener)
            m_listener->OnFileComplete(m_context, done);
    }
    EndWait();
    if (m_current) {
        SendRequest(true);
        return;
    }
    m_ended = true;
    m_slowGuard.End();
    if (m_listener)
        m_listener->OnAllFilesComplete(m_context);
}

bool CPlatformSession::QueuePartHash() {
    if (!m_current->hasSha256 || m_partHashed)
        return false;
    ovCString path;
    ovCString part;
    if (!EntryPaths(path, part))
        return false;
    // Anything but a sole file is not continued; the open removes it.
    const int64_t onDisk = PfFileSoleSize(part.CStr());
    const int64_t known = KnownSize();
    // The hash of an earlier attempt of this session may hold these bytes.
    if (onDisk <= 0 || (known >= 0 && onDisk > known) || (m_hashValid && m_hash.Bytes() == onDisk))
        return false;
    // Once: a partial file that cannot be hashed starts empty.
    m_partHashed = true;
    m_partTicket = m_hashes.Add(part.CStr());
    return m_partTicket != 0;
}

void CPlatformSession::TakePartHash() {
    Sha256Stream hash;
    int64_t length = -1;
    if (!m_hashes.Take(m_partTicket, hash, &length))
        return;
    m_partTicket = 0;
    EndWait();
    m_hashValid = false;
    if (length > 0) {
        m_hash.Swap(hash);
        m_hashValid = true;
        ovCString path;
        ovCString part;
        if (EntryPaths(path, part))
            LogPrintf("[SwarmFetchLib] Resume From %" PRId64 " : %s", length, part.CStr());
    }
    // The partial file decides when it is opened: kept when it still holds
    // exactly the hashed bytes.
    SendRequest(false);
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
    m_hashes.Drop(m_partTicket);
    m_partTicket = 0;
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
    m_mirrorIndex = 0;
    m_redirects = 0;
    m_mirrorTries = 0;
    m_currentUrl.Assign(m_mirrors.Count() > 0 ? m_mirrors.At(0) : "");
}

bool CPlatformSession::OpenTargetFile(bool keepPart) {
    CloseTargetFile();
    ovCString path;
    ovCString part;
    if (!EntryPaths(path, part))
        return false;
    // A folder that cannot be made shows up as the file's failure below.
    ovCString folder;
    if (folder.Assign(path.CStr(), path.Length() - m_current->fileName.Length()))
        FsCreateFolders(folder.CStr());
    int32_t error = kPfErrorAccessDenied;
    // A folder where the file must go: it could never be put in place.
    if (!FsIsFolder(path.CStr())) {
        const bool resume = keepPart && m_current->hasSha256;
        m_file = PfFileOpenSole(part.CStr(), resume ? kPfSoleKeep : kPfSoleEmpty, &error);
    }
    if (!m_file) {
        LogPrintf("[SwarmFetchLib] CreateFile Failed(%d) : %s", (int)error,
                  FsIsFolder(path.CStr()) ? path.CStr() : part.CStr());
        return false;
    }
    m_currentPath = path;
    m_partPath = part;
    if (!TakePartialFile(keepPart && m_current->hasSha256))
        return false;
    const int64_t size = PfFileSeekEnd(m_file);
    if (!m_opened) {
        // Bytes of an earlier run count as received, but not as received now.
        m_opened = true;
        m_found = size > 0 ? size : 0;
        m_presentBytes += m_found;
    }
    // The earlier attempt's bytes are gone with the truncated file, or
    // counted again as the start of this one.
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

bool CPlatformSession::TakePartialFile(bool resume) {
    const int64_t onDisk = PfFileSeekEnd(m_file);
    if (!m_current->hasSha256) {
        // Created empty: nothing of an earlier run is kept.
        m_hashValid = false;
        return true;
    }
    const int64_t known = KnownSize();
    // Continued only when the hash holds exactly these bytes (hashed before
    // the request, QueuePartHash, or written by an earlier attempt).
    if (resume && onDisk > 0 && (known < 0 || onDisk <= known) && m_hashValid &&
        m_hash.Bytes() == onDisk)
        return true;
    // Nothing to continue (or nothing usable): the file starts empty.
    if (onDisk != 0) {
        PfFileClose(m_file);
        int32_t error = kPfErrorNone;
        m_file = PfFileOpenSole(m_partPath.CStr(), kPfSoleEmpty, &error);
        if (!m_file) {
            LogPrintf("[SwarmFetchLib] CreateFile Failed(%d) : %s", (int)error, m_partPath.CStr());
            return false;
        }
    }
    // Bytes of an earlier run that were counted are gone too.
    ForgetFoundBytes();
    m_hashValid = m_hash.Reset();
    return true;
}

void CPlatformSession::ForgetFoundBytes() {
    m_presentBytes -= m_found;
    m_found = 0;
}

void CPlatformSession::CloseTargetFile() {
    if (m_file) {
        PfFileClose(m_file);
        m_file = nullptr;
    }
    m_currentPath.Clear();
    m_partPath.Clear();
}

void CPlatformSession::SendRequest(bool resetTries, bool newAttempt) {
    if (resetTries)
        m_tries = 0;
    m_answerSize = -1;
    if (QueuePartHash()) {
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

bool CPlatformSession::HashMatches() {
    uint8_t digest[kSha256Size];
    const bool whole = m_hashValid && m_hash.Bytes() == m_answerSize && m_hash.Finish(digest);
    m_hashValid = false;
    if (whole && memcmp(digest, m_current->sha256, kSha256Size) == 0)
        return true;
    LogPrintf("[SwarmFetchLib] Hash Mismatch : %s", m_currentUrl.CStr());
    return false;
}

void CPlatformSession::FinishFile() {
    if (!FileIsWhole()) {
        AttemptFailed();
        return;
    }
    if (m_current->hasSha256 && !HashMatches()) {
        ContentMismatch();
        return;
    }
    ovCString path(m_currentPath);
    int32_t error = kPfErrorNone;
    // The file moved into place is the one written and hashed, also when its
    // name was given to another file meanwhile.
    const bool moved = PfFileMoveOpen(m_file, path.CStr(), &error);
    CloseTargetFile();
    ReleaseConnection();
    if (!moved) {
        LogPrintf("[SwarmFetchLib] Rename Failed(%d) : %s", (int)error, path.CStr());
        Fail();
        return;
    }
    DownloadEntry* done = AdvanceEntry();
    if (m_listener)
        m_listener->OnFileComplete(m_context, done);
    StartCurrentEntry();
}

void CPlatformSession::ContentMismatch() {
    // Bytes from before this request were part of the file: they may be the
    // wrong ones. Once per file it starts again from byte 0 on the same URL,
    // without using up a try.
    const bool resumed = m_current->startOffset > 0;
    ovCString part(m_partPath);
    ReleaseConnection();
    CloseTargetFile();
    // Wrong bytes are never continued.
    FsDeleteFile(part.CStr());
    ForgetFoundBytes();
    if (resumed && !m_restarted) {
        m_restarted = true;
        if (m_tries > 0)
            --m_tries;
        if (m_redirects == 0 && m_mirrorTries > 0)
            --m_mirrorTries;
        SendRequest(false);
        return;
    }
    AttemptFailed();
}

void CPlatformSession::FollowRedirect(ovIHttpClientExLayer* http) {
    ovCString target;
    const RedirectVerdict verdict = JudgeRedirect(http, m_currentUrl.CStr(), m_redirects, &target);
    ReleaseConnection();
    CloseTargetFile();
    if (verdict != kRedirectFollow && verdict != kRedirectTooManyHops) {
        LogPrintf("[SwarmFetchLib] eNWHSC_HTTP_SEEOTHER  : %s", m_currentUrl.CStr());
        Fail();
        return;
    }
    if (verdict == kRedirectTooManyHops) {
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
    LogPrintf("[SwarmFetchLib] WriteFile Failed(%d) : %s", (int)error, m_currentPath.CStr());
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
    const RangedAnswer answer = JudgeRangedAnswer(head, m_current->startOffset, KnownSize());
    // Without a known size, "nothing after this offset" is for the hash of
    // the partial file to judge.
    if (answer.verdict == kAnswerRefused && status == kStatusRangeNotSatisfiable &&
        m_current->hasSha256 && m_current->startOffset > 0 && KnownSize() < 0) {
        m_answerSize = m_current->startOffset;
        FinishFile();
        return;
    }
    if (answer.verdict == kAnswerRefused) {
        LogPrintf("[SwarmFetchLib] Answer Refused (%s) : %s", answer.reason, m_currentUrl.CStr());
        // A failed attempt; no byte of its body reaches the file.
        AttemptFailed();
        return;
    }
    // The whole file comes instead of the rest: it is written again from 0.
    if (answer.verdict == kAnswerBodyFromStart && !OpenTargetFile(false)) {
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
        if (m_current->hasSha256 && m_hashValid && !m_hash.Add(data, (size_t)length))
            m_hashValid = false;
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
