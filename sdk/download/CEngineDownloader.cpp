#include "sdk/download/CEngineDownloader.h"

#include <string.h>

#include <atomic>
#include <new>
#include <vector>

#include "opn/core/cpCMutex.h"
#include "opn/core/ovCGarbageCollector.h"
#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/opeerqos/ovICDNLocalClientLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfClock.h"
#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfSocket.h"
#include "sdk/api/CJob.h"
#include "sdk/api/CJobManager.h"
#include "sdk/download/ByteCount.h"
#include "sdk/download/CEngineLauncher.h"
#include "sdk/download/CPlatformSession.h"
#include "sdk/download/FileDigest.h"
#include "sdk/download/Connectivity.h"
#include "sdk/support/ServiceLog.h"

namespace {

const uint32_t kEngineKey = 0;
const uint32_t kWatchPeriodMs = 1000;
const uint32_t kWatchTag = 0x0E0E0001;
const uint32_t kHashTag = 0x0E0E0002;
const uint32_t kNoEngineJob = 0xFFFFFFFFu;
const size_t kProgressNameMax = 65;

std::atomic<uint16_t> g_enginePort{CEngineDownloader::kEnginePort};
std::atomic<int64_t (*)()> g_clock{nullptr};
std::atomic<int64_t> g_acceptWait{CEngineDownloader::kAcceptWaitSec};

int64_t Now() {
    int64_t (*clock)() = g_clock.load();
    return clock ? clock() : ClockUnixSeconds();
}

// 0 to 100 for any counts; done * 100 is never formed when it would not fit.
int32_t Percent(int64_t done, int64_t total) {
    if (done <= 0 || total <= 0)
        return 0;
    if (done >= total)
        return 100;
    if (done <= INT64_MAX / 100)
        return (int32_t)(done * 100 / total);
    // Here total > done > INT64_MAX / 100, so total / 100 is far above 0.
    return (int32_t)(done / (total / 100));
}

int64_t Clamp(int64_t value, int64_t low, int64_t high) {
    return value < low ? low : value > high ? high : value;
}

int32_t Rate(uint32_t value) {
    return value > (uint32_t)INT32_MAX ? INT32_MAX : (int32_t)value;
}

// A count of the job's files as the engine reports it: 0 to the job's count.
int32_t FileCount(uint32_t value, int32_t entries) {
    return (int32_t)Clamp((int64_t)value, 0, entries > 0 ? entries : 0);
}

// The job's size from its entries; -1 when one of them is unknown.
int64_t KnownTotal(CJob* job) {
    int64_t total = 0;
    for (int32_t i = 0; i < job->EntryCount(); ++i) {
        const DownloadEntry* entry = job->EntryAt(i);
        if (!entry || entry->size < 0)
            return -1;
        total = AddByteCount(total, entry->size);
    }
    return total;
}

// Seconds left at `rate`; a rate of 0 divides by 1. Never negative, even
// when the engine reports more done than in total.
int64_t SecondsLeft(int64_t total, int64_t done, int32_t rate) {
    const int64_t left = total - done;
    if (left <= 0)
        return 0;
    return left / (rate > 0 ? rate : 1);
}

int64_t Signed(uint64_t value) {
    return value > (uint64_t)INT64_MAX ? INT64_MAX : (int64_t)value;
}

}  // namespace

struct CEngineDownloader::Record {
    uint32_t engineJob;  // kNoEngineJob until the engine accepts the job
    uint32_t key;        // the job's number
    CJob* job;
    // Kept apart from engineJob: the engine may give any number, that one too.
    bool accepted;
    int64_t registeredAt;
    int64_t total;     // as the engine accepted the job, clamped
    bool resumeAsked;  // the host has not answered the engine's question yet
    bool strayLogged;  // a file report outside the job was logged
};

// What became of a file with a hash.
enum : uint8_t {
    kFileUnchecked,  // not reported done yet (or without a hash)
    kFileHashing,
    kFileVerified,
    kFileWrong,     // waits to be fetched again
    kFileFetching,  // by the session
    kFileFailed,    // could not be fetched: the job is never done
};

// The files of a held job that has entries with a hash.
struct CEngineDownloader::Verification {
    CJob* job = nullptr;
    std::vector<uint8_t> states;    // per entry
    std::vector<uint32_t> tickets;  // per entry: its hash under way, or 0
    CPlatformSession* session = nullptr;
    int32_t sessionEntry = -1;
    // The engine reported the job done, with these values.
    bool finished = false;
    uint32_t result = 0;
    int64_t total = 0;
    int64_t ranFor = 0;
};

CEngineDownloader::CEngineDownloader(CJobManager* manager, const ovSmartPtr& lock) : m_lock(lock) {
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
    while (!m_checks.empty())
        DropVerification(m_checks.front()->job);
    ReapSessions();
    if (!m_hashTimer.IsEmpty())
        m_hashTimer.As<cpCTimer>()->Stop();
    m_hashTimer.Reset();
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
    if (m_jobs.Count() == 0) {
        m_waitingSince = 0;
        m_owed.clear();
        return false;
    }
    if (m_connected)
        m_waitingSince = 0;
    else if (m_waitingSince == 0)
        m_waitingSince = now;
    if (m_waitingSince != 0 && now - m_waitingSince >= kUpdateDeadlineSec) {
        LogWrite("[SwarmFetchLib] CEngineDownloader update timed out");
        // Deleted where it stands: its downloads close, and an engine it has
        // not started yet is never started.
        delete m_launcher;
        m_launcher = nullptr;
        m_reconnect = false;
        ReleaseConnection();
        OnEngineUpdateFailed();
        return true;
    }
    for (size_t i = 0; i < m_owed.size();) {
        const Owed owed = m_owed[i];
        if (!Holds(owed.job)) {
            m_owed.erase(m_owed.begin() + (std::ptrdiff_t)i);
            continue;
        }
        // An engine that asked the host waits for the answer, however long.
        const Record* record = FindRecord(owed.job);
        if (record && record->resumeAsked) {
            ++i;
            continue;
        }
        if (now - owed.since >= (owed.accepted ? kReportDeadlineSec : kAnswerDeadlineSec)) {
            LogPrintf(owed.accepted ? "[SwarmFetchLib] CEngineDownloader job %u not reported"
                                    : "[SwarmFetchLib] CEngineDownloader job %u not answered",
                      (unsigned)owed.job->Number());
            ReleaseConnection();
            m_manager->OnEngineLost();
            return true;
        }
        ++i;
    }
    return false;
}

void CEngineDownloader::ForgetOwed(const CJob* job) {
    for (size_t i = 0; i < m_owed.size(); ++i) {
        if (m_owed[i].job == job) {
            m_owed.erase(m_owed.begin() + (std::ptrdiff_t)i);
            return;
        }
    }
}

CEngineDownloader::Owed* CEngineDownloader::FindOwed(const CJob* job) {
    for (Owed& owed : m_owed) {
        if (owed.job == job)
            return &owed;
    }
    return nullptr;
}

void CEngineDownloader::HeardAbout(const CJob* job) {
    Owed* owed = FindOwed(job);
    if (owed && owed->accepted)
        owed->since = Now();
}

// --- the connection --------------------------------------------------------

ovICDNLocalClientLayer* CEngineDownloader::Engine() const {
    if (m_connection.IsEmpty())
        return nullptr;
    ovIUnknown* face = nullptr;
    if (OV_FAILED(m_connection.As<ovIQoSContext>()->FindLayer(OV_CLSID_CDN_LOCAL_LAYER, &face)))
        return nullptr;
    return static_cast<ovICDNLocalClientLayer*>(face);
}

void CEngineDownloader::Connect() {
    if (!m_connection.IsEmpty() || m_retired)
        return;
    m_reconnect = false;
    ++m_connectAttempts;
    StartWatch();
    ovCAutoLock hold(m_lock);
    uint32_t address = 0;
    bool ok = OV_SUCCEEDED(ResolveFirst("127.0.0.1", &address)) &&
              m_connection.CreateInstance(OV_CLSID_QOS_CONTEXT);
    ovIQoSContext* context = ok ? m_connection.As<ovIQoSContext>() : nullptr;
    const uint32_t timeout = kConnectTimeoutSec;
    ok = ok && OV_SUCCEEDED(context->Initialize(kQoSActionHigh, kQoSEventConnectFailed, nullptr)) &&
         OV_SUCCEEDED(context->SetOption(kQoSOptionConnectTimeout, &timeout)) &&
         OV_SUCCEEDED(context->PushLayer(OV_CLSID_CDN_LOCAL_LAYER, false));
    ovICDNLocalClientLayer* engine = ok ? Engine() : nullptr;
    if (engine) {
        engine->SetEventListener(this, kEngineKey);
        engine->SendParameter(m_parameter.CStr());
        NetAddress at;
        at.address = address;
        at.port = g_enginePort.load();
        ok = OV_SUCCEEDED(context->Connect(&at));
    }
    if (!engine || !ok) {
        // Treated as a connection that ended at once: the relaunch series
        // counts it like any other.
        LogWrite("[SwarmFetchLib] CEngineDownloader cannot connect");
        ReleaseConnection();
        OnEngineClosed(kEngineKey);
    }
}

void CEngineDownloader::ReleaseConnection() {
    m_connected = false;
    if (m_connection.IsEmpty())
        return;
    // Held by a copy: Close may report OnEngineClosed, which releases too.
    ovSmartPtr connection(m_connection);
    m_connection.Reset();
    ovIQoSContext* context = connection.As<ovIQoSContext>();
    ovIUnknown* face = nullptr;
    if (OV_SUCCEEDED(context->FindLayer(OV_CLSID_CDN_LOCAL_LAYER, &face)) && face)
        static_cast<ovICDNLocalClientLayer*>(face)->SetEventListener(nullptr, 0);
    context->Close();
    // Never destroyed inside its own callback: the collector drops it.
    ovCGarbageCollector* collector = OpnGarbageCollector();
    if (collector)
        collector->DeferRelease(connection);
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
        if (m_waitingSince == 0)
            m_waitingSince = Now();
        return SF_RESULT_OK;
    }
    Register(job);
    return SF_RESULT_OK;
}

void CEngineDownloader::Register(CJob* job) {
    ovICDNLocalClientLayer* engine = Engine();
    if (!engine)
        return;
    const int64_t now = Now();
    Record* record = new (std::nothrow)
        Record{kNoEngineJob, (uint32_t)job->Number(), job, false, now, 0, false, false};
    if (!record || !m_records.AddTail(record)) {
        delete record;
        return;
    }
    // Kept across relaunches: the engine's time to answer is the job's.
    if (!FindOwed(job))
        m_owed.push_back(Owed{job, now, false});
    if (job->Code()[0])
        engine->SendServiceCode(job->Code());
    engine->SendJobMode(job->UseEngine() != 0);
    if (job->EngineFlag())
        engine->SendJobFlag((uint32_t)job->Number());
    SendJob(engine, job);
}

void CEngineDownloader::SendJob(ovICDNLocalClientLayer* engine, CJob* job) {
    const int32_t count = job->EntryCount();
    ovEngineJobEntry* entries = new (std::nothrow) ovEngineJobEntry[count > 0 ? count : 1];
    if (!entries)
        return;
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
    if (size >= 0 && size <= kEngineWholeJobLimit) {
        engine->SendJob(&whole);
    } else {
        engine->SendJobBegin(whole.jobNumber, count, job->Name());
        for (int32_t i = 0; i < count; ++i)
            engine->SendJobEntry(whole.jobNumber, (uint32_t)i, &entries[i]);
        engine->SendJobEnd(whole.jobNumber);
    }
    delete[] entries;
}

void CEngineDownloader::End(CJob* job) {
    ForgetOwed(job);
    DropVerification(job);
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
    Owed* owed = FindOwed(job);
    if (owed)
        owed->since = Now();
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
    if (!m_offline && m_connected && Holds(job) && !FindRecord(job) && !Finishing(job))
        Register(job);
}

void CEngineDownloader::QueueEngineMessage(CJob* job, int32_t code, const char* text) {
    if (job && job->PendingMessageCount() < kMaxEngineMessages)
        QueueJobMessage(job, code, text);
}

void CEngineDownloader::HandBack(CJob* job) {
    DropVerification(job);
    QueueJobMessage(job, SF_MSG_ENGINE_GAVE_UP, nullptr);
    Release(job);
    ForgetOwed(job);
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

bool CEngineDownloader::FilesInPlace(CJob* job) {
    for (int32_t i = 0; i < job->EntryCount(); ++i) {
        const DownloadEntry* entry = job->EntryAt(i);
        if (!entry)
            return false;
        if (entry->hasSha256)
            continue;
        ovCString path;
        if (!path.Assign(entry->folder) || !path.Append(entry->fileName))
            return false;
        const int64_t size = FsFileSize(path.CStr());
        if (size < 0 || (entry->size >= 0 && size != entry->size))
            return false;
    }
    return true;
}

void CEngineDownloader::QueueForEveryJob(int32_t code) {
    for (ovCPtrList::Node* node = m_jobs.HeadNode(); node; node = node->next)
        static_cast<CJob*>(node->element)->QueueMessage(code, nullptr);
}

void CEngineDownloader::Retire() {
    CJobDownloader::Retire();
    ReleaseConnection();
    ForgetRecords();
    m_owed.clear();
    m_waitingSince = 0;
    while (!m_checks.empty())
        DropVerification(m_checks.front()->job);
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
    m_connectedAt = Now();
    m_waitingSince = 0;
    // Jobs that came while there was no engine, or from before a relaunch.
    std::vector<CJob*> jobs;
    for (ovCPtrList::Node* node = m_jobs.HeadNode(); node; node = node->next)
        jobs.push_back(static_cast<CJob*>(node->element));
    for (CJob* job : jobs) {
        if (Holds(job) && m_connected && !Finishing(job))
            Begin(job);
    }
}

void CEngineDownloader::OnJobAccepted(uint32_t key, uint32_t jobNumber, uint32_t engineJobId,
                                      uint32_t entryCount, uint64_t totalSize) {
    (void)key;
    CJob* job = JobFor(jobNumber);
    Record* record = FindRecord(jobNumber);
    // Once per registration: a repeat would only raise 513 again.
    if (!job || !record || record->accepted)
        return;
    const int64_t known = KnownTotal(job);
    record->accepted = true;
    record->engineJob = engineJobId;
    record->total = Clamp(Signed(totalSize), 0, known >= 0 ? known : INT64_MAX);
    // Answered; from now on it owes reports.
    Owed* owed = FindOwed(job);
    if (owed) {
        owed->accepted = true;
        owed->since = Now();
    }
    job->SetEngineValue((int32_t)engineJobId);
    ReportSizeInfo(job, FileCount(entryCount, job->EntryCount()), record->total);
}

void CEngineDownloader::OnJobFailed(uint32_t key, uint32_t jobNumber, uint32_t value,
                                    const char* text, const uint8_t* tail) {
    (void)key;
    (void)value;
    (void)tail;
    CJob* job = JobFor(jobNumber);
    if (!job)
        return;
    DropRecord(FindRecord(jobNumber));
    ForgetOwed(job);
    DropVerification(job);
    DropJobWithMessage(job, SF_MSG_FAILED, text);
    StopTimerWhenIdle();
}

void CEngineDownloader::FillProgress(CJob* job, const nwEngineProgressBlock& block,
                                     const nwEngineEntryReport* reports, uint32_t reportCount,
                                     SwarmFetchProgress* out) {
    memset(out, 0, sizeof *out);
    const int32_t entries = job->EntryCount();
    const int64_t known = KnownTotal(job);
    // The engine's counts, held to the job's own: never negative, never
    // more than the job holds.
    out->total = Clamp(Signed(block.totalBytes), 0, known >= 0 ? known : INT64_MAX);
    out->received = Clamp(Signed(block.bytesDone), 0, out->total);
    out->fileCount = FileCount(block.counter, entries);
    out->filesDone = FileCount(block.entryIndex, entries);
    out->percent = Percent(out->received, out->total);
    out->elapsed = Signed(block.timeStamp);
    m_jobRates.Add(out->elapsed, Rate(block.speed));
    out->speed = m_jobRates.Average();
    out->remaining = SecondsLeft(out->total, out->received, out->speed);
    const DownloadEntry* entry = nullptr;
    if (entries > 0) {
        out->currentIndex =
            block.entryIndex >= (uint32_t)entries ? entries - 1 : (int32_t)block.entryIndex;
        entry = job->EntryAt(out->currentIndex);
    }
    if (reportCount > 0) {
        const nwEngineEntryReport& first = reports[0];
        const int64_t entrySize = entry && entry->size >= 0 ? entry->size : out->total;
        out->currentSize = Clamp(Signed(first.totalBytes), 0, entrySize);
        out->currentReceived = Clamp(Signed(first.bytesDone), 0, out->currentSize);
        out->currentPercent = Percent(out->currentReceived, out->currentSize);
        m_fileRates.Add(out->elapsed, Rate(first.speed));
        const int32_t fileRate = m_fileRates.Average();
        out->currentSpeed = fileRate;
        out->currentRemaining = SecondsLeft(out->currentSize, out->currentReceived, fileRate);
    }
    if (!entry)
        return;
    const size_t length = entry->fileName.Length();
    memcpy(out->currentName, entry->fileName.CStr(),
           length < kProgressNameMax ? length : kProgressNameMax);
}

void CEngineDownloader::OnJobProgress(uint32_t key, const nwEngineProgressBlock& block,
                                      const nwEngineEntryReport* reports, uint32_t reportCount) {
    (void)key;
    CJob* job = JobFor(block.jobNumber);
    if (!job)
        return;
    SwarmFetchProgress progress;
    FillProgress(job, block, reports, reportCount, &progress);
    StoreProgress(job, progress);
    HeardAbout(job);
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
        Verification* check = VerificationFor(job);
        if (check && entry->index >= 0 && entry->index < job->EntryCount())
            CheckFile(check, entry->index);
        return;
    }
    // The host hears its own path and URL, not the engine's texts.
    ovCString path;
    if (path.Assign(entry->folder) && path.Append(entry->fileName))
        ReportFileDone(job, path.CStr(), entry->urlList.CStr());
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
    DropRecord(record);
    ForgetOwed(job);
    if (giveUp) {
        HandBack(job);
        return;
    }
    if (!FilesInPlace(job)) {
        // Done is the files on disk, not the engine's word: the plain
        // downloader fetches the job as if the engine had given it back.
        LogPrintf("[SwarmFetchLib] CEngineDownloader job %u done without its files",
                  (unsigned)jobNumber);
        HandBack(job);
        return;
    }
    Verification* check = VerificationFor(job);
    if (check) {
        check->finished = true;
        check->result = result;
        check->total = total;
        check->ranFor = ranFor;
        // Files the engine did not report are read now; each report may
        // change the job's checks.
        for (int32_t i = 0; i < job->EntryCount() && check; ++i) {
            CheckFile(check, i);
            check = FindVerification(job);
        }
        if (check)
            FinishWhenVerified(check);
        return;
    }
    FinishJob(job, result, total, ranFor);
}

void CEngineDownloader::FinishJob(CJob* job, uint32_t result, int64_t total, int64_t ranFor) {
    // Reports come once a second, so a short job may end before its first
    // one: the last record shows the whole job received.
    const int64_t known = KnownTotal(job);
    SwarmFetchProgress progress = job->Progress();
    if (known >= 0)
        progress.total = known;
    else if (progress.total < total)
        progress.total = total;
    progress.received = progress.total;
    progress.percent = 100;
    progress.remaining = 0;
    // The job's whole time, at least the second it began in; a job too
    // short for a rate report shows its average.
    if (progress.elapsed < ranFor)
        progress.elapsed = ranFor;
    if (progress.elapsed < 1)
        progress.elapsed = 1;
    if (progress.speed <= 0) {
        const int64_t average = progress.received / progress.elapsed;
        progress.speed = average > INT32_MAX ? INT32_MAX : (int32_t)average;
    }
    progress.filesDone = FileCount(result, job->EntryCount());
    if (progress.fileCount < progress.filesDone)
        progress.fileCount = progress.filesDone;
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
    if (m_launchCount > kMaxQuickLaunches) {
        LogWrite("[SwarmFetchLib] CEngineDownloader MaxTry Over");
        m_manager->OnEngineLost();
        return;
    }
    ForgetRecords();
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

// --- files with a hash ---------------------------------------------------------

CEngineDownloader::Verification* CEngineDownloader::FindVerification(const CJob* job) const {
    for (Verification* check : m_checks) {
        if (check->job == job)
            return check;
    }
    return nullptr;
}

CEngineDownloader::Verification* CEngineDownloader::VerificationFor(CJob* job) {
    Verification* check = FindVerification(job);
    if (check)
        return check;
    const int32_t count = job->EntryCount();
    bool hashed = false;
    for (int32_t i = 0; i < count && !hashed; ++i) {
        const DownloadEntry* entry = job->EntryAt(i);
        hashed = entry && entry->hasSha256;
    }
    if (!hashed)
        return nullptr;
    check = new (std::nothrow) Verification;
    if (!check)
        return nullptr;
    check->job = job;
    check->states.assign((size_t)count, kFileUnchecked);
    check->tickets.assign((size_t)count, 0);
    m_checks.push_back(check);
    return check;
}

bool CEngineDownloader::Finishing(const CJob* job) const {
    const Verification* check = FindVerification(job);
    return check && check->finished;
}

void CEngineDownloader::DropVerification(const CJob* job) {
    for (size_t i = 0; i < m_checks.size(); ++i) {
        Verification* check = m_checks[i];
        if (check->job != job)
            continue;
        m_checks.erase(m_checks.begin() + (std::ptrdiff_t)i);
        for (uint32_t ticket : check->tickets)
            m_hashes.Drop(ticket);
        if (check->session) {
            // It may be the caller: deleted on a later turn, silent until then.
            check->session->SetListener(nullptr, nullptr);
            if (m_oldSessions.AddTail(check->session))
                StartHashTimer();
            else
                delete check->session;
        }
        delete check;
        return;
    }
}

void CEngineDownloader::CheckFile(Verification* check, int32_t index) {
    const DownloadEntry* entry = check->job->EntryAt(index);
    if (!entry || !entry->hasSha256 || check->states[(size_t)index] != kFileUnchecked)
        return;
    ovCString path;
    const int64_t onDisk =
        path.Assign(entry->folder) && path.Append(entry->fileName) ? FsFileSize(path.CStr()) : -1;
    const uint32_t ticket =
        onDisk >= 0 && (entry->size < 0 || onDisk == entry->size) ? m_hashes.Add(path.CStr()) : 0;
    if (ticket == 0) {
        FileWrong(check, index);
        return;
    }
    check->tickets[(size_t)index] = ticket;
    check->states[(size_t)index] = kFileHashing;
    StartHashTimer();
}

void CEngineDownloader::JudgeFile(Verification* check, int32_t index, Sha256Stream& hash,
                                  int64_t length) {
    CJob* job = check->job;
    const DownloadEntry* entry = job->EntryAt(index);
    ovCString path;
    if (!entry || !path.Assign(entry->folder) || !path.Append(entry->fileName))
        return;
    // A file that changed size while it was read is not the one measured.
    const bool good = length >= 0 && (entry->size < 0 || length == entry->size) &&
                      FsFileSize(path.CStr()) == length && DigestIs(hash, entry->sha256);
    if (!good) {
        FileWrong(check, index);
        return;
    }
    check->states[(size_t)index] = kFileVerified;
    ReportFileDone(job, path.CStr(), entry->urlList.CStr());
    // The host's callback ran inside that.
    check = FindVerification(job);
    if (check)
        FinishWhenVerified(check);
}

void CEngineDownloader::FileWrong(Verification* check, int32_t index) {
    const DownloadEntry* entry = check->job->EntryAt(index);
    ovCString path;
    if (!entry || !path.Assign(entry->folder) || !path.Append(entry->fileName))
        return;
    LogPrintf("[SwarmFetchLib] CEngineDownloader job %d: file %d does not match, fetched again",
              (int)check->job->Number(), (int)index);
    // Wrong bytes are never kept, nor read again by the session.
    if (FsFileSize(path.CStr()) >= 0)
        FsDeleteFile(path.CStr());
    check->states[(size_t)index] = kFileWrong;
    StartRefetch(check);
}

void CEngineDownloader::StartRefetch(Verification* check) {
    if (check->session || m_retired)
        return;
    int32_t index = -1;
    for (size_t i = 0; i < check->states.size() && index < 0; ++i) {
        if (check->states[i] == kFileWrong)
            index = (int32_t)i;
    }
    if (index < 0)
        return;
    CJob* job = check->job;
    CPlatformSession* session = new (std::nothrow) CPlatformSession();
    if (!session) {
        check->states[(size_t)index] = kFileFailed;
        QueueEngineMessage(job, SF_MSG_FAILED, job->EntryAt(index)->urlList.CStr());
        return;
    }
    check->states[(size_t)index] = kFileFetching;
    check->session = session;
    check->sessionEntry = index;
    session->SetListener(this, check);
    session->SetFullSpeed(job->UseEngine());
    // It may end inside: nothing after this.
    session->Start(*job, nullptr, index);
}

void CEngineDownloader::FinishWhenVerified(Verification* check) {
    if (!check->finished)
        return;
    // A file being hashed or fetched, or that could not be fetched, keeps
    // the job from being done.
    for (size_t i = 0; i < check->states.size(); ++i) {
        const DownloadEntry* entry = check->job->EntryAt((int32_t)i);
        if (entry && entry->hasSha256 && check->states[i] != kFileVerified)
            return;
    }
    CJob* job = check->job;
    const uint32_t result = check->result;
    const int64_t total = check->total;
    const int64_t ranFor = check->ranFor;
    DropVerification(job);
    FinishJob(job, result, total, ranFor);
}

void CEngineDownloader::StartHashTimer() {
    if (!m_hashTimer.IsEmpty())
        return;
    if (!m_hashTimer.CreateInstance(OV_CLSID_TIMER) ||
        OV_FAILED(m_hashTimer.As<cpCTimer>()->Start(
            FileHashQueue::kPollMs, &CEngineDownloader::OnHashTimer, this, kHashTag, ovSmartPtr())))
        m_hashTimer.Reset();
}

void CEngineDownloader::ReapSessions() {
    while (m_oldSessions.Count() > 0)
        delete static_cast<CPlatformSession*>(m_oldSessions.RemoveAt(0));
}

void CEngineDownloader::OnHashTimer(void* self) {
    CEngineDownloader* downloader = static_cast<CEngineDownloader*>(self);
    downloader->ReapSessions();
    // Each report may change the jobs and their checks: after one that did,
    // the walk starts again (results already taken are not there twice).
    for (size_t k = 0; k < downloader->m_checks.size() && !downloader->m_retired;) {
        Verification* check = downloader->m_checks[k];
        bool changed = false;
        for (size_t i = 0; !changed && i < check->tickets.size(); ++i) {
            Sha256Stream hash;
            int64_t length = -1;
            if (check->tickets[i] == 0 ||
                !downloader->m_hashes.Take(check->tickets[i], hash, &length))
                continue;
            check->tickets[i] = 0;
            downloader->JudgeFile(check, (int32_t)i, hash, length);
            changed = k >= downloader->m_checks.size() || downloader->m_checks[k] != check;
        }
        k = changed ? 0 : k + 1;
    }
    if (downloader->m_hashes.Count() == 0 && downloader->m_oldSessions.Count() == 0 &&
        !downloader->m_hashTimer.IsEmpty()) {
        downloader->m_hashTimer.As<cpCTimer>()->Stop();
        downloader->m_hashTimer.Reset();
    }
}

void CEngineDownloader::OnFileComplete(void* context, const DownloadEntry* entry) {
    Verification* check = static_cast<Verification*>(context);
    const int32_t index = check->sessionEntry;
    if (!entry || index < 0)
        return;
    check->states[(size_t)index] = kFileVerified;
    ovCString path;
    if (path.Assign(entry->folder) && path.Append(entry->fileName))
        ReportFileDone(check->job, path.CStr(), entry->urlList.CStr());
}

void CEngineDownloader::RefetchEnded(Verification* check, int32_t code, const char* url) {
    CJob* job = check->job;
    // The session is done with: deleted on a later turn, silent until then.
    if (check->session) {
        check->session->SetListener(nullptr, nullptr);
        if (!m_oldSessions.AddTail(check->session))
            delete check->session;
        StartHashTimer();
    }
    const int32_t index = check->sessionEntry;
    check->session = nullptr;
    check->sessionEntry = -1;
    if (code != SF_RESULT_OK) {
        // The file was not fetched: the job is never done.
        if (index >= 0 && check->states[(size_t)index] != kFileVerified)
            check->states[(size_t)index] = kFileFailed;
        const DownloadEntry* entry = index >= 0 ? job->EntryAt(index) : nullptr;
        QueueEngineMessage(job, code, url && url[0] ? url : entry ? entry->urlList.CStr() : "");
    }
    check = FindVerification(job);
    if (check)
        StartRefetch(check);
    check = FindVerification(job);
    if (check && !check->session)
        FinishWhenVerified(check);
}

void CEngineDownloader::OnAllFilesComplete(void* context) {
    RefetchEnded(static_cast<Verification*>(context), SF_RESULT_OK, nullptr);
}

void CEngineDownloader::OnSessionFailed(void* context, const char* url) {
    RefetchEnded(static_cast<Verification*>(context), SF_MSG_FAILED, url);
}

void CEngineDownloader::OnSessionError(void* context, int32_t code, const char* url) {
    // 513 ends the session; any other code is a message only.
    if (code == SF_MSG_DISK_FULL) {
        RefetchEnded(static_cast<Verification*>(context), code, url);
        return;
    }
    QueueEngineMessage(static_cast<Verification*>(context)->job, code, url);
}

void CEngineDownloader::OnProgress(void* context) {
    // The engine's reports make the progress record.
    (void)context;
}

void CEngineDownloader::OnFileOpened(const char* path, void* context) {
    (void)path;
    (void)context;
}
