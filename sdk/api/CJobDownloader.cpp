#include "sdk/api/CJobDownloader.h"

#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/cpCTimer.h"
#include "sdk/api/CJob.h"
#include "sdk/api/SwarmFetch.h"

CJobDownloader::CJobDownloader() {}

CJobDownloader::~CJobDownloader() {
    if (!m_timer.IsEmpty())
        m_timer.As<cpCTimer>()->Stop();
    m_timer.Reset();
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
    return Begin(job);
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

void CJobDownloader::OnTimer(void* self) {
    CJobDownloader* downloader = static_cast<CJobDownloader*>(self);
    // A check may let jobs go; walk by position and look each one up again.
    const int32_t count = downloader->m_jobs.Count();
    for (int32_t i = 0; i < count && i < downloader->m_jobs.Count(); ++i) {
        CJob* job = static_cast<CJob*>(downloader->m_jobs.GetAt(i));
        if (!job)
            break;
        downloader->CheckConnection(job);
        if (downloader->Holds(job))
            job->Tick();
    }
}
