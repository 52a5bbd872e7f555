// The library thread: it owns the job manager and runs the message loop on
// which every socket notification, timer tick and downloader report of the
// library is handled.
//
// Start-up: the thread prepares its loop, creates the library lock, builds
// the job manager under it (which starts the network module on this thread),
// signals the start-up event and only then releases the lock, so SetHost
// cannot run before the job manager is complete.
//
// Shut-down (the destructor, on the host thread): the run flag goes to 0 and
// the quit message is posted; a thread that has not ended 3000 ms later is
// stopped from outside (PfThreadTerminate). Then the job manager is destroyed
// on the host thread. A stopped thread may have owned the library lock at
// that moment; the lock is then given a fresh section before the job manager
// takes it (cpCMutex::ReplaceIfHeldElsewhere), so the destruction cannot
// block on a thread that no longer runs. What differs per platform:
//   Windows: TerminateThread stops the thread where it is. Nothing it holds
//            is released; the windows and the thread timer of a thread go
//            with it.
//   POSIX:   the thread is cancelled and stops at its next cancellation point
//            (a blocking wait or call); its stack unwinds, so locks held by
//            scoped objects are released and its loop is freed on the way
//            out. A handler that never reaches a cancellation point is waited
//            for, because freeing what a running thread still uses would be
//            worse than waiting.
#pragma once

#include <stdint.h>

#include <atomic>

#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfThread.h"
#include "sdk/api/SwarmFetch.h"

class CJobManager;

class CDownloadLibThread {
  public:
    CDownloadLibThread();
    // Stops the thread and destroys the job manager (see above).
    virtual ~CDownloadLibThread();
    CDownloadLibThread(const CDownloadLibThread&) = delete;
    CDownloadLibThread& operator=(const CDownloadLibThread&) = delete;

    // Takes the start-up event (this object closes it) and starts the thread,
    // which signals the event once the job manager exists. False when no
    // thread could be started.
    bool Start(PfEvent* startEvent);
    // Called after the start-up wait. A thread that signalled is done with
    // the event, which is closed now; otherwise it is closed once the thread
    // has ended, since a late thread still signals it.
    void StartWaitOver(bool signalled);

    // SF_RESULT_FAILED without job manager; else keeps `user` and returns the
    // job manager's SetHost.
    int32_t SetHost(HWND window, SwarmFetchEventCallback callback, void* user, uint8_t elevate);

    // Forwarders: SF_RESULT_FAILED without job manager, else the job manager's
    // result.
    int32_t DownloadData(const char* url);
    int32_t GetDataSize(int64_t* size);
    int32_t GetData(SwarmFetchDataBuffer* buffer);
    int32_t AddSizeCheck(const char* url);
    // SF_RESULT_OK whatever the job manager answers.
    int32_t StartSizeCheck();
    int32_t GetSizeCheckTotal(int64_t* total);
    int32_t CreateJob(uint32_t* job, const char* code, const char* name);
    int32_t AddFile(uint32_t job, const char* url, const char* folder, const char* fileName,
                    int64_t size, int32_t value1, int32_t value2);
    int32_t StartJob(uint32_t job, uint8_t useEngine);
    int32_t StopJob(uint32_t job);
    int32_t DeleteJob(uint32_t job);
    int32_t SetJobEngineFlag(uint32_t job);
    int32_t ResumeReply(uint32_t job, uint8_t resume, uint8_t applyToAll);
    int32_t SetEngineParameter(const char* text);
    int32_t GetSizeInfo(uint32_t job, SwarmFetchSizeInfo* out);
    int32_t GetProgress(uint32_t job, SwarmFetchProgress* out);
    int32_t GetFileDone(uint32_t job, SwarmFetchFileDone* out);
    int32_t GetJobDone(uint32_t job, SwarmFetchJobDone* out);
    int32_t GetMessageLength(uint32_t job, int32_t* length);
    int32_t PopMessage(uint32_t job, SwarmFetchMessage* out);
    // Total minus received of the job's progress when its total is not 0,
    // else the size-check total (SF_RESULT_FAILED without size check).
    int32_t GetRemainingBytes(uint32_t job, int64_t* bytes);

    // Null until the thread has built it.
    CJobManager* JobManager() const { return m_jobManager.load(std::memory_order_acquire); }
    uint32_t ThreadId() const { return m_threadId; }
    void* User() const { return m_user; }

    static const uint32_t kStartTimeoutMs = 3000;
    static const uint32_t kStopTimeoutMs = 3000;

    // Test seams, set before SwarmFetch_Initialize.
    // Runs `hook(arg)` on the library thread right after its loop exists and
    // before the lock and the job manager are made (null: none).
    static void SetStartHookForTesting(void (*hook)(void*), void* arg);
    // When on, the thread opens a hidden window through which
    // PostTaskForTesting runs functions on it, from its message loop.
    static void EnableTaskWindowForTesting(bool enable);
    // False when there is no task window or the post failed.
    bool PostTaskForTesting(void (*task)(void*), void* arg);
    // Objects between construction and destruction (each owns at most one
    // thread), so tests can see one left behind.
    static int32_t LiveCount();

  private:
    static unsigned ThreadProc(void* self);
    void Run();

    std::atomic<CJobManager*> m_jobManager{nullptr};
    PfThread* m_thread = nullptr;
    PfEvent* m_startEvent = nullptr;
    uint32_t m_threadId = 0;
    void* m_user = nullptr;
    std::atomic<PfWindowHandle> m_taskWindow{nullptr};
};

// The library thread object of the running library, or null (for the
// library's own tests; the host uses SwarmFetch.h only).
CDownloadLibThread* SwarmFetchLibraryThread();
