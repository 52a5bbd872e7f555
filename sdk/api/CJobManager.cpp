#include "sdk/api/CJobManager.h"

#include <atomic>
#include <new>

#include "opn/platform/cpCMutex.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/core/ovClassIds.h"
#include "opn/platform/pfClock.h"
#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfHostPath.h"
#include "opn/platform/pfThread.h"
#include "sdk/download/SizeMemory.h"
#include "sdk/download/CJob.h"
#include "sdk/download/CJobDownloader.h"
#include "sdk/download/CContentLengthChecker.h"
#include "sdk/download/CDataDownloadSession.h"
#include "sdk/download/engine/CEngineDownloader.h"
#include "sdk/download/plain/CPlatFormDownloader.h"
#include "sdk/download/plain/CPlatformReporter.h"
#include "sdk/download/engine/Elevation.h"
#include "sdk/support/ServiceLog.h"

namespace {

// Job handles are numbered across the whole process, so a handle kept from an
// earlier library instance never names a job of a later one.
std::atomic<uint32_t> g_lastJobHandle{0};

std::atomic<bool> g_engineEnabled{true};

const uint32_t kReaperTag = 0x0E0E0002;

// How often the finalize wait looks at the statistics reports.
const uint32_t kReportPollMs = 10;

// Message 517's text for a refused file whose URL was no text.
const char kRefusedFileText[] = "a file of the job was refused";

}  // namespace

CJobManager::CJobManager(const ovSmartPtr& lock) : m_lock(lock) {
    m_network = new (std::nothrow) COpn(m_lock);
    // Sizes a library measured are for its own jobs only.
    SizeMemory::Clear();
}

CJobManager::~CJobManager() {
    ovLock(m_lock);
    // Normally ShutdownNetwork did this on the library thread already; a
    // thread that had to be terminated did not.
    ReleaseNetwork();
    while (m_jobs.Count() > 0)
        delete static_cast<CJob*>(m_jobs.RemoveAt(0));
    ovUnlock(m_lock);
    m_lock.Reset();
}

void CJobManager::ReleaseNetwork() {
    // The downloaders go first, so none of them can reach a freed job.
    if (!m_reaper.IsEmpty())
        m_reaper.As<cpCTimer>()->Stop();
    m_reaper.Reset();
    ReapRetired();
    delete m_engine;
    m_engine = nullptr;
    // The size check lets go of the kept connections before they go.
    LendConnections(nullptr);
    delete m_plain;
    m_plain = nullptr;
    // Before the network module: the session hands its connection to the
    // module's collector.
    delete m_data;
    m_data = nullptr;
    delete m_sizeCheck;
    m_sizeCheck = nullptr;
    // The module's collector drops the last connections and its socket
    // manager closes every socket.
    delete m_network;
    m_network = nullptr;
}

int32_t CJobManager::SetHost(HWND window, SwarmFetchEventCallback callback, void* user,
                             uint8_t elevate) {
    ovCAutoLock hold(m_lock);
    m_host.window = window;
    m_host.callback = callback;
    m_host.user = user;
    SetElevationFlag(elevate);
    if (m_engine || m_plain)
        return SF_RESULT_OK;
    CEngineDownloader* engine = nullptr;
    if (g_engineEnabled.load())
        engine = new (std::nothrow) CEngineDownloader(this, m_lock);
    m_engine = engine;
    CPlatFormDownloader* plain = new (std::nothrow) CPlatFormDownloader(this, m_lock);
    m_plain = plain;
    LendConnections(plain ? &plain->Connections() : nullptr);
    // Both exist before the first update run: one that fails at once hands
    // the jobs to the plain downloader.
    if (engine)
        engine->StartUpdate();
    return SF_RESULT_OK;
}

void CJobManager::SetEngineDownloaderEnabledForTesting(bool enabled) {
    g_engineEnabled.store(enabled);
}

void CJobManager::LendConnections(HttpConnectionPool* pool) {
    m_connections = pool;
    if (m_sizeCheck)
        m_sizeCheck->SetConnectionPool(pool);
}

void CJobManager::DeferDelete(CJobDownloader* downloader) {
    if (!downloader)
        return;
    downloader->Retire();
    if (!m_retired.AddTail(downloader)) {
        // Without room in the list it stays alive, silent, until the end.
        return;
    }
    if (m_reaper.IsEmpty() && !m_reaper.CreateInstance(OV_CLSID_TIMER))
        return;
    cpCTimer* timer = m_reaper.As<cpCTimer>();
    timer->Stop();
    timer->Start(1, &CJobManager::OnReap, this, kReaperTag, ovSmartPtr());
}

void CJobManager::OnReap(void* self) {
    CJobManager* manager = static_cast<CJobManager*>(self);
    ovCAutoLock hold(manager->m_lock);
    if (!manager->m_reaper.IsEmpty())
        manager->m_reaper.As<cpCTimer>()->Stop();
    manager->ReapRetired();
}

void CJobManager::ReapRetired() {
    while (m_retired.Count() > 0)
        delete static_cast<CJobDownloader*>(m_retired.RemoveAt(0));
}

uint32_t CJobManager::Handle() const {
    return (uint32_t)(uintptr_t)this;
}

CJob* CJobManager::Lookup(uint32_t handle, bool remove) {
    if (handle == 0)
        return nullptr;
    for (ovCPtrList::Node* node = m_jobs.HeadNode(); node; node = node->next) {
        CJob* job = static_cast<CJob*>(node->element);
        if (job->Handle() == handle) {
            if (remove)
                m_jobs.Remove(job);
            return job;
        }
    }
    return nullptr;
}

CJob* CJobManager::FindJob(uint32_t handle) {
    ovCAutoLock hold(m_lock);
    return Lookup(handle, false);
}

CJobDownloader* CJobManager::CurrentDownloader() const {
    return m_engine ? m_engine : m_plain;
}

CJobDownloader* CJobManager::Holder(const CJob* job) const {
    if (m_engine && m_engine->Holds(job))
        return m_engine;
    if (m_plain && m_plain->Holds(job))
        return m_plain;
    return nullptr;
}

void CJobManager::Raise(uint32_t code, uint32_t handle) {
    DeliverHostEvent(m_host, code, handle);
}

int32_t CJobManager::CreateJob(uint32_t* job, const char* code, const char* name) {
    if (!job)
        return SF_RESULT_FAILED;
    ovCAutoLock hold(m_lock);
    if (Lookup(*job, false))
        return SF_RESULT_FAILED;
    uint32_t handle = 0;
    // Skips 0 and, after a wrap of the counter, handles still in use.
    for (int32_t attempt = 0; attempt <= m_jobs.Count() + 1 && handle == 0; ++attempt) {
        uint32_t candidate = ++g_lastJobHandle;
        if (candidate != 0 && !Lookup(candidate, false))
            handle = candidate;
    }
    if (handle == 0)
        return SF_RESULT_FAILED;
    CJob* created = new (std::nothrow) CJob(handle, m_jobCounter, m_host);
    if (!created)
        return SF_RESULT_FAILED;
    created->SetName(name);
    created->SetCode(code);
    if (!m_jobs.AddTail(created)) {
        delete created;
        return SF_RESULT_FAILED;
    }
    ++m_jobCounter;
    *job = handle;
    return SF_RESULT_OK;
}

bool CJobManager::CreateFolders(const char* folder) {
    if (!folder || !folder[0])
        return false;
    if (FsExists(folder))
        return true;
    // Each prefix that ends in a separator ('\\' or '/'), shortest first; a
    // last component without one is not created.
    ovCString prefix;
    for (uint32_t i = 1; folder[i]; ++i) {
        if (folder[i] != '\\' && folder[i] != '/')
            continue;
        if (!prefix.Assign(folder, i + 1))
            return false;
        if (!FsExists(prefix.CStr()) && !FsCreateFolder(prefix.CStr()))
            return false;
    }
    return true;
}

int32_t CJobManager::AddFile(uint32_t job, const char* url, const char* folder,
                             const char* fileName, int64_t size, int32_t value1, int32_t value2) {
    if (size == 0 || size < -1) {
        // The job still learns that one of its files was refused.
        ovCAutoLock hold(m_lock);
        if (CJob* target = Lookup(job, false))
            target->NoteRefusedFile(url);
        return SF_RESULT_BAD_SIZE;
    }
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, false);
    if (!target)
        return SF_RESULT_FAILED;
    ovCString libraryFolder;
    if (!PfHostPathToLibrary(folder, libraryFolder))
        return SF_RESULT_FAILED;
    const char* mapped = folder ? libraryFolder.CStr() : nullptr;
    // Nothing is created for a file the job would refuse. Without a folder
    // the creation below fails and tells the host.
    CJob::NewFile file;
    if (mapped && mapped[0]) {
        const int32_t checked = target->Prepare(url, mapped, fileName, size, &file);
        if (checked != SF_RESULT_OK)
            return checked;
    }
    if (!CreateFolders(mapped)) {
        target->NoteRefusedFile(url);
        OnPathAccessFailed(kPathDownload);
        return SF_RESULT_BAD_FOLDER;
    }
    return target->AddPrepared(&file, value1, value2);
}

int32_t CJobManager::StartJob(uint32_t job, uint8_t useEngine) {
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, false);
    if (!target)
        return SF_RESULT_FAILED;
    // A job missing a file its host gave it would end as done without it.
    if (target->HasRefusedFile()) {
        const char* url = target->RefusedUrl();
        target->QueueMessage(SF_MSG_FAILED, url[0] ? url : kRefusedFileText);
        return SF_RESULT_FAILED;
    }
    if (target->EntryCount() == 0)
        return SF_RESULT_FAILED;
    target->SetUseEngine(useEngine);
    CJobDownloader* downloader = CurrentDownloader();
    if (!downloader)
        return SF_RESULT_FAILED;
    return downloader->Start(target);
}

int32_t CJobManager::StopJob(uint32_t job) {
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, false);
    if (!target)
        return SF_RESULT_FAILED;
    CJobDownloader* holder = Holder(target);
    if (!holder)
        return SF_RESULT_FAILED;
    return holder->Stop(target);
}

int32_t CJobManager::DeleteJob(uint32_t job) {
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, true);
    if (!target)
        return SF_RESULT_FAILED;
    CJobDownloader* holder = Holder(target);
    if (holder)
        holder->Stop(target);
    delete target;
    return SF_RESULT_OK;
}

int32_t CJobManager::SetJobEngineFlag(uint32_t job) {
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, false);
    if (!target)
        return SF_RESULT_FAILED;
    target->SetEngineFlag(1);
    return SF_RESULT_OK;
}

int32_t CJobManager::ResumeReply(uint32_t job, uint8_t resume, uint8_t applyToAll) {
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, false);
    if (!target)
        return SF_RESULT_FAILED;
    CJobDownloader* downloader = CurrentDownloader();
    if (!downloader)
        return SF_RESULT_FAILED;
    return downloader->ResumeReply(target, resume, applyToAll);
}

int32_t CJobManager::SetEngineParameter(const char* text) {
    ovCAutoLock hold(m_lock);
    if (m_engine)
        m_engine->SetEngineParameter(text);
    return SF_RESULT_OK;
}

int32_t CJobManager::DownloadData(const char* url) {
    ovCAutoLock hold(m_lock);
    // After the network shut down nothing could carry the request.
    if (!m_network)
        return SF_RESULT_FAILED;
    if (!m_data)
        m_data = new (std::nothrow) CDataDownloadSession(this, m_lock);
    if (!m_data)
        return SF_RESULT_FAILED;
    m_data->Start(url);
    return SF_RESULT_OK;
}

int32_t CJobManager::GetDataSize(int64_t* size) {
    ovCAutoLock hold(m_lock);
    if (!m_data)
        return SF_RESULT_FAILED;
    // The size stays untouched while no completed data is there.
    m_data->GetSize(size);
    return SF_RESULT_OK;
}

int32_t CJobManager::GetData(SwarmFetchDataBuffer* buffer) {
    ovCAutoLock hold(m_lock);
    if (!m_data || !buffer)
        return SF_RESULT_FAILED;
    return m_data->GetData(buffer->data, buffer->size);
}

int32_t CJobManager::AddSizeCheck(const char* url) {
    // The lock only guards the creation against a second host thread; the
    // check takes it itself.
    ovCAutoLock hold(m_lock);
    if (!m_sizeCheck) {
        m_sizeCheck = new (std::nothrow) CContentLengthChecker(m_lock);
        if (!m_sizeCheck)
            return SF_RESULT_FAILED;
        m_sizeCheck->SetListener(this);
        m_sizeCheck->SetConnectionPool(m_connections);
    }
    return m_sizeCheck->AddUrl(url);
}

int32_t CJobManager::StartSizeCheck() {
    if (!m_sizeCheck) {
        LogDebugTrace("[SwarmFetchLib_D] 0x0003");
        return SF_RESULT_FAILED;
    }
    m_sizeCheck->Start();
    return SF_RESULT_OK;
}

int32_t CJobManager::GetSizeCheckTotal(int64_t* total) {
    if (!m_sizeCheck)
        return SF_RESULT_FAILED;
    if (total)
        *total = m_sizeCheck->GetTotal();
    return SF_RESULT_OK;
}

int32_t CJobManager::GetSizeInfo(uint32_t job, SwarmFetchSizeInfo* out) {
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, false);
    if (!target || !out)
        return SF_RESULT_FAILED;
    target->TakeSizeInfo(out);
    return SF_RESULT_OK;
}

int32_t CJobManager::GetProgress(uint32_t job, SwarmFetchProgress* out) {
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, false);
    if (!target || !out)
        return SF_RESULT_FAILED;
    target->CopyProgress(out);
    return SF_RESULT_OK;
}

int32_t CJobManager::GetFileDone(uint32_t job, SwarmFetchFileDone* out) {
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, false);
    if (!target || !out)
        return SF_RESULT_FAILED;
    target->PopFileDone(out);
    return SF_RESULT_OK;
}

int32_t CJobManager::GetJobDone(uint32_t job, SwarmFetchJobDone* out) {
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, false);
    if (!target || !out)
        return SF_RESULT_FAILED;
    target->TakeJobDone(out);
    return SF_RESULT_OK;
}

int32_t CJobManager::GetMessageLength(uint32_t job, int32_t* length) {
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, false);
    if (!target || !length)
        return SF_RESULT_FAILED;
    *length = target->MessageLength();
    return SF_RESULT_OK;
}

int32_t CJobManager::PopMessage(uint32_t job, SwarmFetchMessage* out) {
    ovCAutoLock hold(m_lock);
    CJob* target = Lookup(job, false);
    if (!target || !out)
        return SF_RESULT_FAILED;
    target->PopMessage(out);
    return SF_RESULT_OK;
}

bool CJobManager::DeliverPendingReports(uint32_t limitMs) {
    const uint64_t start = ClockTickMs();
    if (CPlatformReporter::PendingReports() <= 0)
        return true;
    PfEvent* pause = PfEventCreate();
    bool done = false;
    for (;;) {
        done = CPlatformReporter::PendingReports() <= 0;
        const uint64_t waited = ClockTickMs() - start;
        if (done || waited >= limitMs || !pause)
            break;
        const uint64_t left = limitMs - waited;
        PfEventWait(pause, left < kReportPollMs ? (uint32_t)left : kReportPollMs);
    }
    PfEventClose(pause);
    if (!done)
        LogPrintf("[SwarmFetchLib] Finalize : %d reports not delivered",
                  (int)CPlatformReporter::PendingReports());
    return done;
}

int32_t CJobManager::ShutdownNetwork() {
    // Every connection must be gone before the TLS clean-up: OpenSSL frees a
    // TLS connection's BIOs through the method that clean-up frees. So the
    // users of the network and the network module go first, here on the
    // library thread that made them.
    {
        ovCAutoLock hold(m_lock);
        ReleaseNetwork();
    }
    COpn::NetworkCleanup();
    return SF_RESULT_OK;
}

void CJobManager::OnEngineUpdateStarted(const char* text, int32_t a, int32_t b) {
    {
        ovCAutoLock hold(m_lock);
        m_engineText.Assign(text);
        m_engineA = a;
        m_engineB = b;
    }
    Raise(SF_EVENT_ENGINE_UPDATE_STARTED, 0);
}

void CJobManager::OnEngineUpdateProgress(const char* text, int32_t a, int32_t b) {
    {
        ovCAutoLock hold(m_lock);
        m_engineText.Assign(text);
        m_engineA = a;
        m_engineB = b;
    }
    Raise(SF_EVENT_ENGINE_UPDATE_PROGRESS, 0);
}

void CJobManager::OnEngineReady() {
    Raise(SF_EVENT_ENGINE_READY, 0);
}

void CJobManager::OnEngineFailed() {
    Raise(SF_EVENT_ENGINE_FAILED, 0);
}

void CJobManager::OnEngineLost() {
    ovCAutoLock hold(m_lock);
    // The engine downloader is usually the caller: it goes on a later turn.
    CJobDownloader* engine = m_engine;
    m_engine = nullptr;
    DeferDelete(engine);
    if (!m_plain)
        return;
    for (ovCPtrList::Node* node = m_jobs.HeadNode(); node; node = node->next) {
        CJob* job = static_cast<CJob*>(node->element);
        if (job->State() == CJob::kRunning)
            m_plain->Start(job);
    }
}

void CJobManager::OnJobFallback(CJob* job) {
    ovCAutoLock hold(m_lock);
    for (ovCPtrList::Node* node = m_jobs.HeadNode(); node; node = node->next) {
        if (node->element == job) {
            if (m_plain)
                m_plain->Start(job);
            return;
        }
    }
}

void CJobManager::OnPathAccessFailed(int32_t kind) {
    if (kind == kPathEngine) {
        if (m_host.window)
            LogWrite("[SwarmFetchLib] engine path access failed");
        Raise(SF_EVENT_ENGINE_PATH_FAILED, Handle());
    } else if (kind == kPathDownload) {
        if (m_host.window)
            LogWrite("[SwarmFetchLib] download path access failed");
        Raise(SF_EVENT_DOWNLOAD_PATH_FAILED, Handle());
    }
}

void CJobManager::OnEngineState(int32_t state) {
    m_engineState = state;
    Raise(SF_EVENT_ENGINE_STATE, 0);
}

void CJobManager::OnDataComplete(const void* buffer, int64_t length) {
    (void)buffer;
    (void)length;
    Raise(SF_EVENT_DATA_DONE, 0);
}

void CJobManager::OnDataFailed(int32_t reason) {
    (void)reason;
    Raise(SF_EVENT_DATA_FAILED, 0);
}

void CJobManager::OnDataTick() {
    Raise(SF_EVENT_DATA_TICK, 0);
}

void CJobManager::OnSizeCheckComplete(int64_t total) {
    (void)total;
    Raise(SF_EVENT_SIZE_CHECK_DONE, 0);
}

void CJobManager::OnSizeCheckFailed(const char* text) {
    (void)text;
    LogDebugTrace("[SwarmFetchLib_D] File Size Check Failed. 0x0011");
    Raise(SF_EVENT_SIZE_CHECK_FAILED, 0);
}

void CJobManager::OnSizeCheckAborted() {
    LogDebugTrace("[SwarmFetchLib_D] File Size Check Failed. 0x0012");
    Raise(SF_EVENT_SIZE_CHECK_FAILED, 0);
}

void CJobManager::SetDownloadersForTesting(CJobDownloader* plain, CJobDownloader* engine) {
    ovCAutoLock hold(m_lock);
    if (m_plain != plain) {
        // A stand-in lends no kept connections.
        LendConnections(nullptr);
        delete m_plain;
    }
    if (m_engine != engine)
        delete m_engine;
    m_plain = plain;
    m_engine = engine;
}
