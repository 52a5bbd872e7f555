// The centre of the library: the jobs, the downloaders that run them, the
// network module, and the events that turn their reports into messages for
// the host.
//
// Created on the library thread (with the library lock held) and destroyed on
// the host thread after the library thread has ended. The operations marked
// locked take the library lock for their whole run; the size-check operations
// and the event-raising reports do not.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "sdk/support/HostEvent.h"
#include "sdk/download/IContentLengthCheckerEventListener.h"
#include "sdk/download/IDataDownloadSessionEventListener.h"
#include "sdk/download/IJobDownloadEventListener.h"
#include "sdk/api/SwarmFetch.h"

class CContentLengthChecker;
class HttpConnectionPool;
class CDataDownloadSession;
class CJob;
class CJobDownloader;
class COpn;

class CJobManager : public IJobDownloadEventListener,
                    public IDataDownloadSessionEventListener,
                    public IContentLengthCheckerEventListener {
  public:
    // Shares `lock` (the library's cpCMutex) and starts the network module on
    // the calling thread.
    explicit CJobManager(const ovSmartPtr& lock);
    // Under the lock: destroys every job (without stopping it), the
    // downloaders and then the network module; then drops the lock.
    ~CJobManager() override;
    CJobManager(const CJobManager&) = delete;
    CJobManager& operator=(const CJobManager&) = delete;

    // Locked: keeps the host's window, callback and user pointer (every job
    // created afterwards copies them) and the elevation choice. SF_RESULT_OK.
    int32_t SetHost(HWND window, SwarmFetchEventCallback callback, void* user, uint8_t elevate);

    // Jobs (locked). Results as in SwarmFetch.h.
    int32_t CreateJob(uint32_t* job, const char* code, const char* name);
    int32_t AddFile(uint32_t job, const char* url, const char* folder, const char* fileName,
                    int64_t size, int32_t value1, int32_t value2);
    int32_t StartJob(uint32_t job, uint8_t useEngine);
    int32_t StopJob(uint32_t job);
    int32_t DeleteJob(uint32_t job);
    int32_t SetJobEngineFlag(uint32_t job);
    int32_t ResumeReply(uint32_t job, uint8_t resume, uint8_t applyToAll);
    int32_t SetEngineParameter(const char* text);

    // Data download (locked). DownloadData creates the session on first use
    // and starts `url` on it: SF_RESULT_OK (SF_RESULT_FAILED only when no
    // session can be made). GetDataSize: SF_RESULT_OK whenever the session
    // exists, writing the size only when completed data is there. GetData:
    // SF_RESULT_OK when the buffer's size equals the data size and the data
    // was copied. Both SF_RESULT_FAILED while there is no session.
    int32_t DownloadData(const char* url);
    int32_t GetDataSize(int64_t* size);
    int32_t GetData(SwarmFetchDataBuffer* buffer);

    // Size check: SF_RESULT_FAILED while there is no size check. The check
    // takes the lock itself and reports (SF_EVENT_SIZE_CHECK_DONE,
    // SF_EVENT_SIZE_CHECK_FAILED) on the library thread.
    int32_t AddSizeCheck(const char* url);
    int32_t StartSizeCheck();
    int32_t GetSizeCheckTotal(int64_t* total);

    // Record queries (locked): SF_RESULT_FAILED for an unknown job or a null
    // `out`.
    int32_t GetSizeInfo(uint32_t job, SwarmFetchSizeInfo* out);
    int32_t GetProgress(uint32_t job, SwarmFetchProgress* out);
    int32_t GetFileDone(uint32_t job, SwarmFetchFileDone* out);
    int32_t GetJobDone(uint32_t job, SwarmFetchJobDone* out);
    int32_t GetMessageLength(uint32_t job, int32_t* length);
    int32_t PopMessage(uint32_t job, SwarmFetchMessage* out);

    // Longest time SwarmFetch_Finalize gives statistics reports to arrive.
    static const uint32_t kReportDeliveryWaitMs = 2000;
    // Called on the host thread before the library thread is asked to
    // stop: waits, at most `limitMs`, while statistics reports are queued or
    // sent without the agent's answer, so that a job stopped (or done) just
    // before shutting down is still reported. The library thread keeps
    // sending meanwhile; the lock is not taken. True when none is left.
    bool DeliverPendingReports(uint32_t limitMs);

    // The network module's clean-up when the library thread's loop has
    // ended: the downloaders, the data session and the network module go
    // (under the lock), then the socket layer and TLS clean-up. Jobs stay
    // until the destructor. SF_RESULT_OK.
    int32_t ShutdownNetwork();

    // IJobDownloadEventListener
    void OnEngineUpdateStarted(const char* text, int32_t a, int32_t b) override;
    void OnEngineUpdateProgress(const char* text, int32_t a, int32_t b) override;
    void OnEngineReady() override;
    void OnEngineFailed() override;
    void OnEngineLost() override;
    void OnJobFallback(CJob* job) override;
    void OnPathAccessFailed(int32_t kind) override;
    void OnEngineState(int32_t state) override;

    // IDataDownloadSessionEventListener
    void OnDataComplete(const void* buffer, int64_t length) override;
    void OnDataFailed(int32_t reason) override;
    void OnDataTick() override;

    // IContentLengthCheckerEventListener
    void OnSizeCheckComplete(int64_t total) override;
    void OnSizeCheckFailed(const char* text) override;
    void OnSizeCheckAborted() override;

    // The handle of the events that name the job manager itself: the low 32
    // bits of its address.
    uint32_t Handle() const;
    const ovSmartPtr& LockObject() const { return m_lock; }
    // Locked lookup by handle; null for 0 or an unknown handle. The job stays
    // valid while the caller holds the lock and does not delete it.
    CJob* FindJob(uint32_t handle);
    int32_t JobCount() const { return m_jobs.Count(); }
    bool HasNetwork() const { return m_network != nullptr; }
    // The data download, null before the first DownloadData (for tests; use
    // under the lock).
    CDataDownloadSession* DataSession() const { return m_data; }
    // The size check, null before the first AddSizeCheck (for tests; use
    // under the lock).
    CContentLengthChecker* SizeCheck() const { return m_sizeCheck; }

    // For tests: installs downloaders (owned from now on; either may be null)
    // in place of those SetHost makes.
    void SetDownloadersForTesting(CJobDownloader* plain, CJobDownloader* engine);
    // For tests of the plain path: SetHost makes no engine downloader while
    // this is off (process-wide; on by default).
    static void SetEngineDownloaderEnabledForTesting(bool enabled);
    // The engine downloader, null once it was given up (under the lock).
    CJobDownloader* EngineDownloader() const { return m_engine; }
    // Given-up downloaders that wait for their deletion.
    int32_t RetiredCount() const { return m_retired.Count(); }

  private:
    CJob* Lookup(uint32_t handle, bool remove);
    // Deletes the downloaders, the data session, the size check and the
    // network module, in that order (under the lock).
    void ReleaseNetwork();
    // The engine downloader when it exists, else the plain one.
    CJobDownloader* CurrentDownloader() const;
    CJobDownloader* Holder(const CJob* job) const;
    void Raise(uint32_t code, uint32_t handle);
    // A downloader that may be on the call stack right now (it reported the
    // loss itself) is deleted by the reaper timer on a later turn.
    void DeferDelete(CJobDownloader* downloader);
    // Lends `pool` (null: none) to the size check.
    void LendConnections(HttpConnectionPool* pool);
    static void OnReap(void* self);
    void ReapRetired();
    bool CreateFolders(const char* folder);

    CJobDownloader* m_plain = nullptr;
    CJobDownloader* m_engine = nullptr;
    ovCPtrList m_retired;  // CJobDownloader*, given up, not yet deleted
    ovSmartPtr m_reaper;   // timer that deletes them
    ovSmartPtr m_lock;
    COpn* m_network = nullptr;
    CDataDownloadSession* m_data = nullptr;
    CContentLengthChecker* m_sizeCheck = nullptr;
    // The plain downloader's kept connections, lent to the size check.
    HttpConnectionPool* m_connections = nullptr;
    ovCPtrList m_jobs;  // CJob*, in creation order
    int32_t m_jobCounter = 0;
    HostTarget m_host;
    // Values of the engine reports; kept, never read back.
    ovCString m_engineText;
    int32_t m_engineA = 0;
    int32_t m_engineB = 0;
    int32_t m_engineState = 0;
};
