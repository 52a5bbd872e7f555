#include "sdk/download/CJobDownloader.h"

#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/cpCTimer.h"
#include "sdk/download/CJob.h"
#include "sdk/support/ServiceLog.h"

#include <atomic>
#include <new>

namespace {

// Downloaders alive in the process: the log is emptied by the first one of a
// library start only, so the second does not erase the first one's lines.
std::atomic<int32_t> g_liveDownloaders{0};

}  // namespace

CJobDownloader::CJobDownloader() {
    if (g_liveDownloaders.fetch_add(1) == 0)
        LogReset();
    LogPrintf("[SwarmFetchLib] Launch(%s)", SF_LIBRARY_VERSION);
}

CJobDownloader::~CJobDownloader() {
    if (!m_timer.IsEmpty())
        m_timer.As<cpCTimer>()->Stop();
    m_timer.Reset();
    g_liveDownloaders.fetch_sub(1);
}

int32_t CJobDownloader::Start(CJob* job) {
    if (!job)
        return SF_RESULT_FAILED;
    if (Holds(job))
        return SF_RESULT_ALREADY_RUNNING;
    if (!m_jobs.AddTail(job))
        return SF_RESULT_FAILED;
    m_offline = 0;
    job->SetState(CJob::kRunning);
    if (m_timer.IsEmpty() && m_timer.CreateInstance(OV_CLSID_TIMER))
        m_timer.As<cpCTimer>()->Start(kTickPeriodMs, &CJobDownloader::OnTimer, this, 0,
                                      ovSmartPtr());
    const int32_t result = Begin(job);
    // A start that failed leaves nothing working on the job: held, it would
    // wait for ever; idle, its host may start it again.
    if (result == SF_RESULT_FAILED && Release(job)) {
        job->SetState(CJob::kIdle);
        StopTimerWhenIdle();
    }
    return result;
}

int32_t CJobDownloader::Stop(CJob* job) {
    if (!Release(job))
        return SF_RESULT_NOT_RUNNING;
    job->SetState(CJob::kIdle);
    StopTimerWhenIdle();
    End(job);
    return SF_RESULT_OK;
}

int32_t CJobDownloader::ResumeReply(CJob* job, uint8_t resume, uint8_t applyToAll) {
    if (!Holds(job))
        return SF_RESULT_NOT_RUNNING;
    OnResumeReply(job, resume, applyToAll);
    return SF_RESULT_OK;
}

bool CJobDownloader::Holds(const CJob* job) const {
    if (!job)
        return false;
    for (ovCPtrList::Node* node = m_jobs.HeadNode(); node; node = node->next) {
        if (node->element == job)
            return true;
    }
    return false;
}

int32_t CJobDownloader::Notify(int32_t value) {
    (void)value;
    return SF_RESULT_OK;
}

int32_t CJobDownloader::OnResumeReply(CJob* job, uint8_t resume, uint8_t applyToAll) {
    (void)job;
    (void)resume;
    (void)applyToAll;
    return SF_RESULT_OK;
}

void CJobDownloader::SetEngineParameter(const char* text) {
    (void)text;
}

void CJobDownloader::Retire() {
    m_retired = true;
    while (m_jobs.Count() > 0)
        m_jobs.RemoveAt(0);
    StopTimerWhenIdle();
}

bool CJobDownloader::Release(CJob* job) {
    if (!Holds(job))
        return false;
    m_jobs.Remove(job);
    return true;
}

void CJobDownloader::StopTimerWhenIdle() {
    if (m_jobs.Count() != 0 || m_timer.IsEmpty())
        return;
    m_timer.As<cpCTimer>()->Stop();
    m_timer.Reset();
}

void CJobDownloader::QueueJobMessage(CJob* job, int32_t code, const char* text) {
    if (Holds(job))
        job->QueueMessage(code, text);
}

void CJobDownloader::DropJobWithMessage(CJob* job, int32_t code, const char* text) {
    if (!Release(job))
        return;
    job->QueueMessage(code, text);
}

void CJobDownloader::ReportJobDone(CJob* job, int32_t filesDone, int32_t extra) {
    if (!Release(job))
        return;
    StopTimerWhenIdle();
    job->ReportJobDone(filesDone, extra);
}

void CJobDownloader::StoreProgress(CJob* job, const SwarmFetchProgress& progress) {
    if (Holds(job))
        job->SetProgress(progress);
}

void CJobDownloader::ReportFileDone(CJob* job, const char* path, const char* urlList) {
    if (Holds(job))
        job->ReportFileDone(path, urlList);
}

void CJobDownloader::ReportSizeInfo(CJob* job, int32_t entryCount, int64_t total) {
    if (Holds(job))
        job->ReportSizeInfo(entryCount, total);
}

void CJobDownloader::OnTimer(void* self) {
    CJobDownloader* downloader = static_cast<CJobDownloader*>(self);
    // A check may let jobs go, which shifts the list under a walk by
    // position: walk a copy, and skip the jobs that are gone by their turn.
    const int32_t count = downloader->m_jobs.Count();
    if (count <= 0)
        return;
    CJob** jobs = new (std::nothrow) CJob*[(size_t)count];
    // Out of memory: this tick is left out, the next one tries again.
    if (!jobs)
        return;
    int32_t n = 0;
    for (ovCPtrList::Node* node = downloader->m_jobs.HeadNode(); node && n < count;
         node = node->next)
        jobs[n++] = static_cast<CJob*>(node->element);
    for (int32_t i = 0; i < n; ++i) {
        CJob* job = jobs[i];
        if (!downloader->Holds(job))
            continue;
        downloader->CheckConnection(job);
        if (downloader->Holds(job))
            job->Tick();
    }
    delete[] jobs;
}
