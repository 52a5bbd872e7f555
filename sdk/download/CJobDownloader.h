// Common base of the two job downloaders (the plain HTTP downloader and the
// engine downloader). The job manager hands a job to one of them with Start
// and takes it back with Stop; the base keeps the list of jobs it holds and
// the one-second timer that drives their progress events.
//
// Everything runs under the library lock: Start, Stop and ResumeReply come
// from the host thread through the job manager, the timer fires on the
// library thread inside the timer manager's locked tick.
//
// The first downloader made while no other one exists empties the service
// log, so the log holds the lines of one library start; every downloader
// then logs "[SwarmFetchLib] Launch(<library version>)".
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovSmartPtr.h"
#include "sdk/api/SwarmFetch.h"

class CJob;
class IJobDownloadEventListener;

// The library's version as the service log names it.
#define SF_LIBRARY_VERSION "3.5.0.2"

class CJobDownloader {
  public:
    CJobDownloader();
    CJobDownloader(const CJobDownloader&) = delete;
    CJobDownloader& operator=(const CJobDownloader&) = delete;

    // SF_RESULT_ALREADY_RUNNING when the job is already held; otherwise clears
    // the offline flag, sets the job running, takes it, starts the timer when
    // it is not running and returns Begin(job). A Begin that gives
    // SF_RESULT_FAILED lets the job go again, idle.
    int32_t Start(CJob* job);
    // SF_RESULT_NOT_RUNNING when the job is not held; otherwise lets it go,
    // sets it idle, stops the timer when no job is left, runs End(job) and
    // returns SF_RESULT_OK.
    int32_t Stop(CJob* job);
    // SF_RESULT_NOT_RUNNING when the job is not held; otherwise OnResumeReply
    // and SF_RESULT_OK.
    int32_t ResumeReply(CJob* job, uint8_t resume, uint8_t applyToAll);
    bool Holds(const CJob* job) const;

    int32_t JobCount() const { return m_jobs.Count(); }
    bool TimerRunning() const { return !m_timer.IsEmpty(); }

    // The downloader-specific start (its result is Start's) and stop.
    virtual int32_t Begin(CJob* job) = 0;
    virtual void End(CJob* job) = 0;
    // Called for each held job on every tick, before the job's own tick.
    virtual void CheckConnection(CJob* job) = 0;
    virtual int32_t Notify(int32_t value);
    virtual int32_t OnResumeReply(CJob* job, uint8_t resume, uint8_t applyToAll);
    // The engine parameter text; only the engine downloader keeps it.
    virtual void SetEngineParameter(const char* text);
    // The manager no longer uses this downloader and deletes it on a later
    // turn of the loop: every job is let go (their states stay), the timer
    // stops, and from now on nothing is reported to a job or the manager.
    virtual void Retire();
    virtual ~CJobDownloader();

    static const uint32_t kTickPeriodMs = 1000;

  protected:
    // Removes the job from the list (not its state); false when not held.
    bool Release(CJob* job);
    void StopTimerWhenIdle();

    // Reports to a held job; each does nothing when the job is not held.
    // Message (SF_EVENT_MESSAGE).
    void QueueJobMessage(CJob* job, int32_t code, const char* text);
    // The job is let go first (its state stays), then the message is queued.
    void DropJobWithMessage(CJob* job, int32_t code, const char* text);
    // Job done (SF_EVENT_JOB_DONE): the job is let go, the timer stops when no
    // job is left, then the job reports.
    void ReportJobDone(CJob* job, int32_t filesDone, int32_t extra);
    void StoreProgress(CJob* job, const SwarmFetchProgress& progress);
    // File done (SF_EVENT_FILE_DONE): "urlList,path".
    void ReportFileDone(CJob* job, const char* path, const char* urlList);
    // Size info (SF_EVENT_SIZE_INFO).
    void ReportSizeInfo(CJob* job, int32_t entryCount, int64_t total);

    int32_t m_offline = 0;                           // 1 while the machine has no connection
    ovSmartPtr m_timer;                              // exists while a job is held
    ovCPtrList m_jobs;                               // CJob*, not owned
    IJobDownloadEventListener* m_manager = nullptr;  // set by the derived constructor
    bool m_retired = false;

  private:
    static void OnTimer(void* self);
};
