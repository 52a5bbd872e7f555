#include "sdk/download/engine/CEngineDownloader.h"

#include <atomic>
#include <new>

#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/opeerqos/ovICDNLocalClientLayer.h"
#include "opn/platform/cpCMutex.h"
#include "opn/platform/pfClock.h"
#include "sdk/download/CJob.h"
#include "sdk/download/IJobDownloadEventListener.h"
#include "sdk/download/engine/CEngineLauncher.h"
#include "sdk/download/Connectivity.h"
#include "sdk/download/engine/EngineReportChecks.h"
#include "sdk/download/engine/InstalledEngine.h"
#include "sdk/support/ServiceLog.h"

namespace {

const uint32_t kEngineKey = 0;
const uint32_t kWatchPeriodMs = 1000;
const uint32_t kWatchTag = 0x0E0E0001;
const uint32_t kNoEngineJob = 0xFFFFFFFFu;

std::atomic<uint16_t> g_enginePort{CEngineDownloader::kEnginePort};
std::atomic<int64_t (*)()> g_clock{nullptr};
std::atomic<int64_t> g_acceptWait{CEngineDownloader::kAcceptWaitSec};

int64_t Now() {
    int64_t (*clock)() = g_clock.load();
    return clock ? clock() : ClockUnixSeconds();
}

}  // namespace

struct CEngineDownloader::Record {
    uint32_t engineJob;  // kNoEngineJob until the engine accepts the job
    uint32_t key;        // the job's number
    CJob* job;
    // Kept apart from engineJob: the engine may give any number, that one too.
    bool accepted;
    int64_t registeredAt;
    int64_t kept;      // bytes of the job's files already whole when it was sent
    int64_t total;     // as the engine accepted the job, clamped
    bool resumeAsked;  // the host has not answered the engine's question yet
    bool strayLogged;  // a file report outside the job was logged
};

CEngineDownloader::CEngineDownloader(IJobDownloadEventListener* manager, const ovSmartPtr& lock)
    : m_lock(lock), m_verification(this) {
    m_manager = manager;
}

CEngineDownloader::~CEngineDownloader() {
    if (!m_watch.IsEmpty())
        m_watch.As<cpCTimer>()->Stop();
    m_watch.Reset();
    ReleaseConnection();
    delete m_launcher;
    m_launcher = nullptr;
    while (m_oldLaunchers.Count() > 0)
        delete static_cast<CEngineLauncher*>(m_oldLaunchers.RemoveAt(0));
    ForgetRecords();
    m_verification.DropAll();
    LogWrite("[SwarmFetchLib] CEngineDownloader Destroy");
}

void CEngineDownloader::SetEnginePortForTesting(uint16_t port) {
    g_enginePort.store(port ? port : kEnginePort);
}

void CEngineDownloader::SetClockForTesting(int64_t (*now)()) {
    g_clock.store(now);
}

void CEngineDownloader::SetAcceptWaitForTesting(int64_t seconds) {
    g_acceptWait.store(seconds > 0 ? seconds : kAcceptWaitSec);
}

void CEngineDownloader::StartUpdate() {
    if (!m_launcher && !m_retired)
        StartLauncher();
}

void CEngineDownloader::StartLauncher() {
    StartWatch();
    if (m_launcher) {
        if (!m_oldLaunchers.AddTail(m_launcher))
            LogWrite("[SwarmFetchLib] CEngineDownloader launcher kept");
        m_launcher = nullptr;
    }
    CEngineLauncher* launcher = new (std::nothrow) CEngineLauncher(this);
    if (!launcher) {
        OnEngineUpdateFailed();
        return;
    }
    m_launcher = launcher;
    ++m_launchCount;
    m_connectAttempts = 0;
    m_reconnect = false;
    if (!launcher->Start())
        OnEngineUpdateFailed();
}

void CEngineDownloader::ReapLaunchers() {
    while (m_oldLaunchers.Count() > 0)
        delete static_cast<CEngineLauncher*>(m_oldLaunchers.RemoveAt(0));
    // A run whose end was reported is done with; its last call has returned
    // by the time the timer fires.
    if (m_launcher && m_launcher->Ended()) {
        delete m_launcher;
        m_launcher = nullptr;
    }
}

void CEngineDownloader::StartWatch() {
    if (!m_watch.IsEmpty() || !m_watch.CreateInstance(OV_CLSID_TIMER))
        return;
    m_watch.As<cpCTimer>()->Start(kWatchPeriodMs, &CEngineDownloader::OnWatch, this, kWatchTag,
                                  ovSmartPtr());
}

void CEngineDownloader::OnWatch(void* self) {
    CEngineDownloader* downloader = static_cast<CEngineDownloader*>(self);
    downloader->ReapLaunchers();
    if (downloader->m_retired)
        return;
    downloader->m_stateRaised = false;
    downloader->RaiseEngineState();
    // The host's callback ran inside that.
    if (downloader->m_retired)
        return;
    const int64_t now = Now();
    if (downloader->CheckDeadlines(now))
        return;
    if (downloader->m_reconnect) {
        downloader->Connect();
        return;
    }
    if (!downloader->m_connected)
        return;
    // An engine that keeps a job unanswered is as good as gone.
    for (ovCPtrList::Node* node = downloader->m_records.HeadNode(); node; node = node->next) {
        const Record* record = static_cast<const Record*>(node->element);
        if (!record->accepted && now - record->registeredAt > g_acceptWait.load()) {
            LogPrintf("[SwarmFetchLib] CEngineDownloader job %u not accepted",
                      (unsigned)record->key);
            // A drop of a connection that was up, not a failed connect.
            downloader->OnEngineClosed(kEngineKey);
            return;
        }
    }
}

bool CEngineDownloader::CheckDeadlines(int64_t now) {
    const EngineDeadlines::Late late = m_deadlines.Check(now, m_jobs.Count(), m_connected, *this);
    if (late.expiry == EngineDeadlines::kUpdateLate) {
        LogWrite("[SwarmFetchLib] CEngineDownloader update timed out");
        // The update itself was slow, not an engine it started.
        const bool updating = m_launcher && !m_launcher->Ended();
        // Deleted where it stands: its downloads close (keeping their bytes
        // for the next run), and an engine it has not started yet is never
        // started.
        delete m_launcher;
        m_launcher = nullptr;
        m_reconnect = false;
        ReleaseConnection();
        // Once a connection: an installed engine that does not come up in
        // its own wait leaves the jobs to the plain downloader.
        if (updating && !m_installedTried) {
            m_installedTried = true;
            if (StartInstalledEngine()) {
                m_deadlines.WaitAgain(now);
                m_connectAttempts = 0;
                OnEngineUpdated();
                return true;
            }
        }
        OnEngineUpdateFailed();
        return true;
    }
    if (late.expiry == EngineDeadlines::kInTime)
        return false;
    if (late.expiry == EngineDeadlines::kJobStalled ||
        late.expiry == EngineDeadlines::kJobRestartedTooOften) {
        // The engine may serve other jobs well: only this one goes.
        GiveBackLate(late);
        return m_retired;
    }
    LogPrintf(late.expiry == EngineDeadlines::kJobUnreported
                  ? "[SwarmFetchLib] CEngineDownloader job %u not reported"
                  : "[SwarmFetchLib] CEngineDownloader job %u not answered",
              (unsigned)late.job->Number());
    ReleaseConnection();
    m_manager->OnEngineLost();
    return true;
}

bool CEngineDownloader::StillHeld(const CJob* job) const {
    return Holds(job);
}

bool CEngineDownloader::AwaitsHost(const CJob* job) const {
    const Record* record = FindRecord(job);
    return record && record->resumeAsked;
}

void CEngineDownloader::HeardAbout(const CJob* job) {
    m_deadlines.HeardAbout(job, Now());
}

// --- the connection --------------------------------------------------------

ovICDNLocalClientLayer* CEngineDownloader::Engine() const {
    return m_connection.Engine();
}

void CEngineDownloader::Connect() {
    if (m_connection.IsOpen() || m_retired)
        return;
    m_reconnect = false;
    ++m_connectAttempts;
    StartWatch();
    ovCAutoLock hold(m_lock);
    if (!m_connection.Open(this, kEngineKey, g_enginePort.load(), m_parameter.CStr())) {
        // Treated as a connection that ended at once: the relaunch series
        // counts it like any other.
        LogWrite("[SwarmFetchLib] CEngineDownloader cannot connect");
        ReleaseConnection();
        OnEngineClosed(kEngineKey);
    }
}

void CEngineDownloader::ReleaseConnection() {
    m_connected = false;
    m_connection.Close();
}

void CEngineDownloader::SetEngineParameter(const char* text) {
    m_parameter.Assign(text ? text : "");
    ovICDNLocalClientLayer* engine = Engine();
    if (engine && m_connected)
        engine->SendParameter(m_parameter.CStr());
}

// --- jobs --------------------------------------------------------------------

CEngineDownloader::Record* CEngineDownloader::FindRecord(uint32_t jobNumber) const {
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next) {
        Record* record = static_cast<Record*>(node->element);
        if (record->key == jobNumber)
            return record;
    }
    return nullptr;
}

CEngineDownloader::Record* CEngineDownloader::FindRecord(const CJob* job) const {
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next) {
        Record* record = static_cast<Record*>(node->element);
        if (record->job == job)
            return record;
    }
    return nullptr;
}

void CEngineDownloader::DropRecord(Record* record) {
    if (!record)
        return;
    m_records.Remove(record);
    delete record;
}

void CEngineDownloader::ForgetRecords() {
    while (m_records.Count() > 0)
        delete static_cast<Record*>(m_records.RemoveAt(0));
}

CJob* CEngineDownloader::JobFor(uint32_t jobNumber) const {
    if (m_retired)
        return nullptr;
    const Record* record = FindRecord(jobNumber);
    if (!record || !Holds(record->job))
        return nullptr;
    return record->job;
}

int32_t CEngineDownloader::Begin(CJob* job) {
    StartWatch();
    if (FindRecord(job))
        return SF_RESULT_FAILED;
    if (m_offline)
        return SF_RESULT_OFFLINE;
    // Sent once the engine is connected.
    if (!m_connected) {
        m_deadlines.WaitForConnection(Now());
        return SF_RESULT_OK;
    }
    return Register(job);
}

void CEngineDownloader::RegisterHeld(CJob* job) {
    // No host call waits for the answer here, and the same job would fail
    // the same way at every tick: what the engine cannot be told of the
    // plain downloader fetches.
    if (!FindRecord(job) && Register(job) != SF_RESULT_OK && !m_retired && Holds(job))
        HandBack(job);
}

int32_t CEngineDownloader::Register(CJob* job) {
    ovICDNLocalClientLayer* engine = Engine();
    if (!engine)
        return SF_RESULT_FAILED;
    const int64_t now = Now();
    Record* record = new (std::nothrow) Record{kNoEngineJob, (uint32_t)job->Number(), job, false,
                                               now,          JobBytesInPlace(job),    0,   false,
                                               false};
    if (!record || !m_records.AddTail(record)) {
        delete record;
        LogPrintf("[SwarmFetchLib] CEngineDownloader job %u not registered",
                  (unsigned)job->Number());
        return SF_RESULT_FAILED;
    }
    // Kept across relaunches: the engine's time to answer is the job's.
    const bool owed = m_deadlines.Sent(job, now);
    bool sent = owed;
    if (sent && job->Code()[0])
        sent = !OV_FAILED(engine->SendServiceCode(job->Code()));
    if (sent)
        sent = !OV_FAILED(engine->SendJobMode(job->UseEngine() != 0));
    if (sent && job->EngineFlag())
        sent = !OV_FAILED(engine->SendJobFlag((uint32_t)job->Number()));
    if (sent)
        sent = SendJob(engine, job);
    if (sent)
        return SF_RESULT_OK;
    LogPrintf("[SwarmFetchLib] CEngineDownloader job %u not registered", (unsigned)job->Number());
    // Nothing of it stays: the engine drops what part of it went out.
    if (owed)
        m_deadlines.Forget(job);
    CancelAtEngine(job);
    return SF_RESULT_FAILED;
}

bool CEngineDownloader::SendJob(ovICDNLocalClientLayer* engine, CJob* job) {
    const int32_t count = job->EntryCount();
    ovEngineJobEntry* entries = new (std::nothrow) ovEngineJobEntry[count > 0 ? count : 1];
    if (!entries)
        return false;
    for (int32_t i = 0; i < count; ++i) {
        const DownloadEntry* entry = job->EntryAt(i);
        entries[i].value1 = (uint32_t)entry->value1;
        entries[i].value2 = (uint32_t)entry->value2;
        entries[i].expectedSize = entry->size;
        entries[i].folder = entry->folder.CStr();
        entries[i].fileName = entry->fileName.CStr();
        entries[i].url = entry->urlList.CStr();
    }
    const ovEngineJob whole{(uint32_t)job->Number(), job->Name(), count, entries};
    const int32_t size = nwEngineJobSize(&whole);
    bool sent = true;
    if (size >= 0 && size <= kEngineWholeJobLimit) {
        sent = !OV_FAILED(engine->SendJob(&whole));
    } else {
        // An entry the engine's message cannot carry ends the job's sending:
        // the engine would otherwise take the job without it.
        sent = !OV_FAILED(engine->SendJobBegin(whole.jobNumber, count, job->Name()));
        for (int32_t i = 0; i < count && sent; ++i)
            sent = !OV_FAILED(engine->SendJobEntry(whole.jobNumber, (uint32_t)i, &entries[i]));
        if (sent)
            sent = !OV_FAILED(engine->SendJobEnd(whole.jobNumber));
    }
    delete[] entries;
    return sent;
}

void CEngineDownloader::End(CJob* job) {
    m_deadlines.Forget(job);
    m_verification.Drop(job);
    CancelAtEngine(job);
}

void CEngineDownloader::CancelAtEngine(CJob* job) {
    Record* record = FindRecord(job);
    if (!record)
        return;
    const uint32_t key = record->key;
    const uint32_t engineJob = record->engineJob;
    DropRecord(record);
    ovICDNLocalClientLayer* engine = Engine();
    if (engine)
        engine->SendCancel(key, engineJob);
}

int32_t CEngineDownloader::OnResumeReply(CJob* job, uint8_t resume, uint8_t applyToAll) {
    Record* record = FindRecord(job);
    if (record)
        record->resumeAsked = false;
    // The engine waited for this answer: its time starts again.
    m_deadlines.HostAnswered(job, Now());
    ovICDNLocalClientLayer* engine = Engine();
    if (record && engine)
        engine->SendResumeReply(record->engineJob, record->key, resume != 0, applyToAll != 0);
    return SF_RESULT_OK;
}

void CEngineDownloader::CheckConnection(CJob* job) {
    const bool connected = InternetConnected();
    if (!connected && !m_offline) {
        OnUpdateWaiting();
    } else if (connected && m_offline) {
        m_offline = 0;
        QueueJobMessage(job, SF_MSG_NETWORK_BACK, nullptr);
    }
    // A job the engine connected for while the machine was offline was not
    // sent (Begin refuses while offline): it goes out once the network is
    // back, or it would wait for ever.
    if (!m_offline && m_connected && Holds(job) && !m_verification.Finishing(job))
        RegisterHeld(job);
}

void CEngineDownloader::QueueEngineMessage(CJob* job, int32_t code, const char* text) {
    if (job && job->PendingMessageCount() < kMaxEngineMessages)
        QueueJobMessage(job, code, text);
}

void CEngineDownloader::GiveBackLate(const EngineDeadlines::Late& late) {
    LogPrintf(late.expiry == EngineDeadlines::kJobStalled
                  ? "[SwarmFetchLib] CEngineDownloader job %u stalled"
                  : "[SwarmFetchLib] CEngineDownloader job %u restarted too often",
              (unsigned)late.job->Number());
    for (ovCPtrList::Node* node = m_jobs.HeadNode(); node; node = node->next) {
        CJob* job = static_cast<CJob*>(node->element);
        if (job == late.job) {
            GiveBack(job);
            return;
        }
    }
}

void CEngineDownloader::GiveBack(CJob* job) {
    CancelAtEngine(job);
    HandBack(job);
}

void CEngineDownloader::NoteMovement(CJob* job, int64_t bytesDone) {
    m_deadlines.Moved(job, bytesDone, job->FileDoneCount(), Now());
}

void CEngineDownloader::HandBack(CJob* job) {
    m_verification.Drop(job);
    QueueJobMessage(job, SF_MSG_ENGINE_GAVE_UP, nullptr);
    Release(job);
    m_deadlines.Forget(job);
    StopTimerWhenIdle();
    m_manager->OnJobFallback(job);
}

const DownloadEntry* CEngineDownloader::EntryAt(CJob* job, const char* path, uint32_t jobNumber) {
    const DownloadEntry* entry = path && path[0] ? job->FindEntry(path) : nullptr;
    if (entry)
        return entry;
    // The path itself is not logged: it is the engine's text. Nor more than
    // one line a registration, or the engine's reports could fill the disk.
    Record* record = FindRecord(jobNumber);
    if (record && !record->strayLogged) {
        record->strayLogged = true;
        LogPrintf("[SwarmFetchLib] CEngineDownloader job %u: file outside the job ignored",
                  (unsigned)jobNumber);
    }
    return nullptr;
}

void CEngineDownloader::QueueForEveryJob(int32_t code) {
    for (ovCPtrList::Node* node = m_jobs.HeadNode(); node; node = node->next)
        static_cast<CJob*>(node->element)->QueueMessage(code, nullptr);
}

void CEngineDownloader::Retire() {
    CJobDownloader::Retire();
    ReleaseConnection();
    ForgetRecords();
    m_deadlines.Clear();
    m_verification.DropAll();
}

// --- the update run --------------------------------------------------------

void CEngineDownloader::OnUpdateStarted(const char* text, int32_t a, int32_t b) {
    if (!m_retired)
        m_manager->OnEngineUpdateStarted(text, a, b);
}

void CEngineDownloader::OnUpdateProgress(const char* text, int32_t a, int32_t b) {
    if (!m_retired)
        m_manager->OnEngineUpdateProgress(text, a, b);
}

void CEngineDownloader::OnEngineUpdated() {
    if (m_retired)
        return;
    m_offline = 0;
    Connect();
    if (!m_retired)
        m_manager->OnEngineReady();
}

void CEngineDownloader::OnEngineUpdateFailed() {
    if (m_retired)
        return;
    m_offline = 0;
    m_manager->OnEngineFailed();
    // Nothing would come of connecting: the jobs go to the plain downloader.
    m_manager->OnEngineLost();
}

void CEngineDownloader::OnUpdateWaiting() {
    if (m_retired)
        return;
    m_offline = 1;
    QueueForEveryJob(SF_MSG_NETWORK_LOST);
}

void CEngineDownloader::OnEngineInstallFailed(int32_t kind) {
    if (m_retired)
        return;
    m_manager->OnPathAccessFailed(kind);
    if (kind == IDownloaderEventListener::kInstallFolder && !m_retired)
        m_manager->OnEngineLost();
}

// --- engine reports ----------------------------------------------------------

void CEngineDownloader::OnEngineConnected(uint32_t key) {
    (void)key;
    if (m_retired)
        return;
    m_connected = true;
    m_connectAttempts = 0;
    m_installedTried = false;
    m_connectedAt = Now();
    m_deadlines.ConnectionUp();
    // Jobs that came while there was no engine, or from before a relaunch.
    const int32_t count = m_jobs.Count();
    if (count <= 0)
        return;
    CJob** jobs = new (std::nothrow) CJob*[(size_t)count];
    if (!jobs) {
        // Out of memory: counted as a drop of this connection.
        OnEngineClosed(kEngineKey);
        return;
    }
    int32_t n = 0;
    for (ovCPtrList::Node* node = m_jobs.HeadNode(); node && n < count; node = node->next)
        jobs[n++] = static_cast<CJob*>(node->element);
    for (int32_t i = 0; i < n; ++i) {
        if (Holds(jobs[i]) && m_connected && !m_offline && !m_verification.Finishing(jobs[i]))
            RegisterHeld(jobs[i]);
    }
    delete[] jobs;
}

void CEngineDownloader::OnJobAccepted(uint32_t key, uint32_t jobNumber, uint32_t engineJobId,
                                      uint32_t entryCount, uint64_t totalSize) {
    (void)key;
    CJob* job = JobFor(jobNumber);
    Record* record = FindRecord(jobNumber);
    // Once per registration: a repeat would only raise 513 again.
    if (!job || !record || record->accepted)
        return;
    record->accepted = true;
    record->engineJob = engineJobId;
    record->total = ClampedJobTotal(job, totalSize);
    m_deadlines.Accepted(job, Now());
    job->SetEngineValue((int32_t)engineJobId);
    ReportSizeInfo(job, EngineFileCount(entryCount, job->EntryCount()), record->total);
}

void CEngineDownloader::OnJobFailed(uint32_t key, uint32_t jobNumber, uint32_t value,
                                    const char* text, const uint8_t* tail) {
    (void)key;
    (void)value;
    (void)tail;
    (void)text;
    CJob* job = JobFor(jobNumber);
    if (!job)
        return;
    // What the engine could not do the plain downloader may still do; its
    // own failure is the one the host hears. The engine's text is not
    // logged: it is the engine's.
    LogPrintf("[SwarmFetchLib] CEngineDownloader job %u failed in the engine", (unsigned)jobNumber);
    DropRecord(FindRecord(jobNumber));
    HandBack(job);
}

void CEngineDownloader::OnJobProgress(uint32_t key, const nwEngineProgressBlock& block,
                                      const nwEngineEntryReport* reports, uint32_t reportCount) {
    (void)key;
    CJob* job = JobFor(block.jobNumber);
    if (!job)
        return;
    SwarmFetchProgress progress;
    FillEngineProgress(job, block, reports, reportCount, m_jobRates, m_fileRates, &progress);
    StoreProgress(job, progress);
    HeardAbout(job);
    NoteMovement(job, progress.received);
}

void CEngineDownloader::OnFileDone(uint32_t key, uint32_t jobNumber, uint32_t engineJobId,
                                   const char* localPath, const char* url) {
    (void)key;
    (void)engineJobId;
    (void)url;
    CJob* job = JobFor(jobNumber);
    const DownloadEntry* entry = job ? EntryAt(job, localPath, jobNumber) : nullptr;
    if (!entry)
        return;
    HeardAbout(job);
    m_fileRates.Clear();
    // Counted once its hash matches.
    if (entry->hasSha256) {
        m_verification.FileDone(job, entry->index);
        return;
    }
    // The host hears its own path and URL, not the engine's texts.
    ovCString path;
    if (path.Assign(entry->folder) && path.Append(entry->fileName))
        ReportFileDone(job, path.CStr(), entry->urlList.CStr());
    NoteMovement(job, -1);
}

void CEngineDownloader::OnFileDoneAs(uint32_t key, uint32_t jobNumber, uint32_t engineJobId,
                                     const char* localPath, const char* reportedPath,
                                     const char* url) {
    CJob* job = JobFor(jobNumber);
    if (!job)
        return;
    // Both paths must be the job's; the host hears the second when it is set.
    const bool second = reportedPath && reportedPath[0];
    if (second && !EntryAt(job, localPath, jobNumber))
        return;
    OnFileDone(key, jobNumber, engineJobId, second ? reportedPath : localPath, url);
}

void CEngineDownloader::OnJobFinished(uint32_t key, uint32_t jobNumber, uint32_t engineJobId,
                                      uint32_t value, uint32_t result, uint32_t giveUp) {
    (void)key;
    (void)engineJobId;
    (void)value;
    CJob* job = JobFor(jobNumber);
    if (!job)
        return;
    Record* record = FindRecord(jobNumber);
    const int64_t total = record ? record->total : 0;
    const int64_t ranFor = record ? Now() - record->registeredAt : 0;
    const int64_t kept = record ? record->kept : 0;
    DropRecord(record);
    m_deadlines.Forget(job);
    if (giveUp) {
        HandBack(job);
        return;
    }
    if (!JobFilesInPlace(job)) {
        // Done is the files on disk, not the engine's word: the plain
        // downloader fetches the job as if the engine had given it back.
        LogPrintf("[SwarmFetchLib] CEngineDownloader job %u done without its files",
                  (unsigned)jobNumber);
        HandBack(job);
        return;
    }
    // Jobs with hashed files are done once those are verified.
    if (m_verification.JobDone(job, result, total, ranFor, kept))
        return;
    FinishJob(job, result, total, ranFor, kept);
}

void CEngineDownloader::FinishJob(CJob* job, uint32_t result, int64_t total, int64_t ranFor,
                                  int64_t kept) {
    const SwarmFetchProgress progress = FinalEngineProgress(job, result, total, ranFor, kept);
    StoreProgress(job, progress);
    ReportJobDone(job, progress.filesDone, 0);
}

void CEngineDownloader::OnDiskReport(uint32_t key, uint32_t jobNumber, uint32_t engineJobId,
                                     uint8_t flag, const char* text) {
    (void)key;
    (void)engineJobId;
    CJob* job = JobFor(jobNumber);
    if (job)
        HeardAbout(job);
    if (job && flag == 1)
        QueueEngineMessage(job, SF_MSG_DISK_FULL, text);
}

void CEngineDownloader::OnNetworkLost(uint32_t key) {
    (void)key;
    if (m_networkLost || m_records.Count() == 0)
        return;
    m_networkLost = true;
    QueueEngineMessage(static_cast<Record*>(m_records.HeadNode()->element)->job,
                       SF_MSG_NETWORK_LOST, nullptr);
}

void CEngineDownloader::OnNetworkBack(uint32_t key) {
    (void)key;
    if (!m_networkLost || m_records.Count() == 0)
        return;
    m_networkLost = false;
    QueueEngineMessage(static_cast<Record*>(m_records.HeadNode()->element)->job,
                       SF_MSG_NETWORK_BACK, nullptr);
}

void CEngineDownloader::OnEngineClosed(uint32_t key) {
    (void)key;
    const bool wasConnected = m_connected;
    ReleaseConnection();
    if (m_retired)
        return;
    // A freshly started engine may not listen yet: knock again a few times
    // before counting it as a failed start.
    if (!wasConnected && m_connectAttempts < kConnectAttempts) {
        m_reconnect = true;
        return;
    }
    // Each connection is judged by its own length: a long one starts the
    // relaunch series again, and its time is not carried to the next one.
    const int64_t connectedAt = m_connectedAt;
    m_connectedAt = 0;
    if (connectedAt != 0 && Now() - connectedAt > kQuickDropSec)
        m_launchCount = 0;
    LogWrite("[SwarmFetchLib] localClosed()");
    // The installed engine, started because the update was slow, never came
    // up: a relaunch would run that update again and wait its whole deadline
    // once more.
    if (m_installedTried && !wasConnected && connectedAt == 0) {
        OnEngineUpdateFailed();
        return;
    }
    if (m_launchCount > kMaxQuickLaunches) {
        LogWrite("[SwarmFetchLib] CEngineDownloader MaxTry Over");
        m_manager->OnEngineLost();
        return;
    }
    ForgetRecords();
    m_deadlines.EngineRestarted();
    // Jobs past their restarts go before the start, which may ask the user
    // for elevation again; one a turn, so at most as many turns as jobs.
    for (int32_t left = m_jobs.Count(); left > 0 && !m_retired; --left) {
        const EngineDeadlines::Late late =
            m_deadlines.Check(Now(), m_jobs.Count(), m_connected, *this);
        if (late.expiry != EngineDeadlines::kJobRestartedTooOften)
            break;
        GiveBackLate(late);
    }
    if (!m_retired)
        StartLauncher();
}

void CEngineDownloader::OnEngineConnectFailed(uint32_t key) {
    (void)key;
}

void CEngineDownloader::OnResumeQuestion(uint32_t key, uint32_t jobNumber) {
    (void)key;
    CJob* job = JobFor(jobNumber);
    Record* record = FindRecord(jobNumber);
    // One question at a time: the next waits for the host's answer.
    if (!job || !record || record->resumeAsked)
        return;
    HeardAbout(job);
    record->resumeAsked = true;
    job->AskResume();
}

void CEngineDownloader::OnEngineState(uint32_t key, uint32_t state) {
    (void)key;
    if (m_retired)
        return;
    m_latestState = state;
    m_stateWaiting = true;
    RaiseEngineState();
}

void CEngineDownloader::RaiseEngineState() {
    // One event a watch period: a state that flips back and forth reaches
    // the host as its latest value at the next look.
    if (!m_stateWaiting || m_stateRaised || m_retired)
        return;
    m_stateWaiting = false;
    if (m_haveState && m_latestState == m_state)
        return;
    m_haveState = true;
    m_state = m_latestState;
    m_stateRaised = true;
    m_manager->OnEngineState((int32_t)m_state);
}

// --- verification ------------------------------------------------------------

void CEngineDownloader::OnFileVerified(CJob* job, const char* path, const char* urlList) {
    ReportFileDone(job, path, urlList);
    if (Holds(job))
        NoteMovement(job, -1);
}

void CEngineDownloader::OnVerificationMessage(CJob* job, int32_t code, const char* text) {
    QueueEngineMessage(job, code, text);
}

void CEngineDownloader::OnJobVerified(CJob* job, uint32_t result, int64_t total, int64_t ranFor,
                                      int64_t kept) {
    FinishJob(job, result, total, ranFor, kept);
}

bool CEngineDownloader::VerificationRetired() const {
    return m_retired;
}
