#include "sdk/api/CDownloadLibThread.h"

#include <string.h>

#include <atomic>
#include <new>

#include "opn/platform/cpCMutex.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "sdk/api/CJobManager.h"
#include "sdk/support/ServiceLog.h"

namespace {

// The loop stops when it finds this 0 after a message. Written by the host
// thread, read by the loop on the library thread.
volatile int32_t g_runFlag = 0;

void SetRunFlag(int32_t value) {
    __atomic_store_n(&g_runFlag, value, __ATOMIC_SEQ_CST);
}

// Test seams; set on the host thread, read on the library thread.
std::atomic<void (*)(void*)> g_startHook{nullptr};
std::atomic<void*> g_startHookArg{nullptr};
std::atomic<bool> g_taskWindowEnabled{false};
std::atomic<int32_t> g_liveCount{0};

const char kTaskWindowClass[] = "SwarmFetchLibTestTask";
const uint32_t kTaskMessage = PF_WM_USER + 1;

struct TaskRecord {
    void (*task)(void*);
    void* arg;
};

// Frees the record also when the task never returns normally (a cancelled
// thread unwinds through here).
class TaskScope {
  public:
    explicit TaskScope(TaskRecord* record) : m_record(record) {}
    ~TaskScope() { delete m_record; }
    TaskScope(const TaskScope&) = delete;
    TaskScope& operator=(const TaskScope&) = delete;

  private:
    TaskRecord* m_record;
};

intptr_t TaskWindowProc(PfWindowHandle window, uint32_t message, uintptr_t wparam,
                        intptr_t lparam) {
    if (message != kTaskMessage)
        return PfDefWindowProc(window, message, wparam, lparam);
    TaskRecord* record = reinterpret_cast<TaskRecord*>(lparam);
    TaskScope scope(record);
    if (record && record->task)
        record->task(record->arg);
    return 0;
}

// The thread's loop for the life of Run, freed on every way out of it,
// including the unwinding of a cancelled thread.
class LoopScope {
  public:
    LoopScope() : m_ok(OV_SUCCEEDED(PfMessageLoopInit())) {}
    ~LoopScope() {
        if (m_ok)
            PfMessageLoopDone();
    }
    LoopScope(const LoopScope&) = delete;
    LoopScope& operator=(const LoopScope&) = delete;
    bool Ok() const { return m_ok; }

  private:
    bool m_ok;
};

}  // namespace

CDownloadLibThread::CDownloadLibThread() {
    SetRunFlag(0);
    ++g_liveCount;
}

int32_t CDownloadLibThread::LiveCount() {
    return g_liveCount.load();
}

CDownloadLibThread::~CDownloadLibThread() {
    SetRunFlag(0);
    bool terminated = false;
    if (m_thread) {
        PfPostQuit(m_threadId);
        if (!PfThreadWait(m_thread, kStopTimeoutMs)) {
            LogWrite("[SwarmFetchLib] Force TerminateThread");
            PfThreadTerminate(m_thread);
            terminated = true;
        }
        PfThreadClose(m_thread);
        m_thread = nullptr;
    }
    // The thread no longer runs, so nothing signals the event any more.
    PfEventClose(m_startEvent);
    m_startEvent = nullptr;

    LogWrite("[SwarmFetchLib] Destroy JobManager");
    CJobManager* jobManager = m_jobManager.exchange(nullptr);
    if (jobManager) {
        if (terminated && !jobManager->LockObject().IsEmpty())
            jobManager->LockObject().As<cpCMutex>()->ReplaceIfHeldElsewhere();
        delete jobManager;
    }
    --g_liveCount;
}

bool CDownloadLibThread::Start(PfEvent* startEvent) {
    m_startEvent = startEvent;
    if (m_thread || !startEvent)
        return false;
    SetRunFlag(1);
    m_thread = PfThreadStart(&CDownloadLibThread::ThreadProc, this, &m_threadId);
    if (!m_thread)
        SetRunFlag(0);
    return m_thread != nullptr;
}

void CDownloadLibThread::StartWaitOver(bool signalled) {
    if (!signalled && m_thread)
        return;
    PfEventClose(m_startEvent);
    m_startEvent = nullptr;
}

unsigned CDownloadLibThread::ThreadProc(void* self) {
    static_cast<CDownloadLibThread*>(self)->Run();
    return 0;
}

void CDownloadLibThread::Run() {
    LoopScope loop;
    if (!loop.Ok()) {
        // Without a loop there is no library; SetHost then answers 517.
        PfEventSet(m_startEvent);
        return;
    }
    void (*hook)(void*) = g_startHook.load();
    if (hook)
        hook(g_startHookArg.load());
    if (g_taskWindowEnabled.load())
        m_taskWindow.store(PfCreateMessageWindow(kTaskWindowClass, TaskWindowProc));

    ovSmartPtr lock;
    if (lock.CreateInstance(OV_CLSID_MUTEX)) {
        ovLock(lock);
        m_jobManager.store(new (std::nothrow) CJobManager(lock), std::memory_order_release);
        PfEventSet(m_startEvent);
        ovUnlock(lock);
        PfRunMessageLoop(&g_runFlag);
    } else {
        PfEventSet(m_startEvent);
    }

    LogWrite("[SwarmFetchLib] Exit GetMessage Loop");
    CJobManager* jobManager = m_jobManager.load(std::memory_order_acquire);
    if (jobManager)
        jobManager->ShutdownNetwork();
    PfWindowHandle taskWindow = m_taskWindow.exchange(nullptr);
    if (taskWindow)
        PfDestroyMessageWindow(taskWindow);
    lock.Reset();
}

int32_t CDownloadLibThread::SetHost(HWND window, SwarmFetchEventCallback callback, void* user,
                                    uint8_t elevate) {
    CJobManager* jobManager = JobManager();
    if (!jobManager)
        return SF_RESULT_FAILED;
    m_user = user;
    return jobManager->SetHost(window, callback, user, elevate);
}

#define SF_FORWARD(call)                        \
    do {                                        \
        CJobManager* jobManager = JobManager(); \
        if (!jobManager)                        \
            return SF_RESULT_FAILED;            \
        return jobManager->call;                \
    } while (0)

int32_t CDownloadLibThread::DownloadData(const char* url) {
    CJobManager* jobManager = JobManager();
    if (!jobManager) {
        LogDebugTrace("[SwarmFetchLib_D] 0x00A1");
        return SF_RESULT_FAILED;
    }
    return jobManager->DownloadData(url);
}

int32_t CDownloadLibThread::GetDataSize(int64_t* size) {
    SF_FORWARD(GetDataSize(size));
}

int32_t CDownloadLibThread::GetData(SwarmFetchDataBuffer* buffer) {
    SF_FORWARD(GetData(buffer));
}

int32_t CDownloadLibThread::AddSizeCheck(const char* url) {
    CJobManager* jobManager = JobManager();
    if (!jobManager) {
        LogDebugTrace("[SwarmFetchLib_D] 0x00B2");
        return SF_RESULT_FAILED;
    }
    return jobManager->AddSizeCheck(url);
}

int32_t CDownloadLibThread::StartSizeCheck() {
    CJobManager* jobManager = JobManager();
    if (!jobManager) {
        LogDebugTrace("[SwarmFetchLib_D] 0x0007");
        return SF_RESULT_FAILED;
    }
    jobManager->StartSizeCheck();
    return SF_RESULT_OK;
}

int32_t CDownloadLibThread::GetSizeCheckTotal(int64_t* total) {
    CJobManager* jobManager = JobManager();
    if (!jobManager)
        return SF_RESULT_FAILED;
    jobManager->GetSizeCheckTotal(total);
    return SF_RESULT_OK;
}

int32_t CDownloadLibThread::CreateJob(uint32_t* job, const char* code, const char* name) {
    SF_FORWARD(CreateJob(job, code, name));
}

int32_t CDownloadLibThread::AddFile(uint32_t job, const char* url, const char* folder,
                                    const char* fileName, int64_t size, int32_t value1,
                                    int32_t value2) {
    SF_FORWARD(AddFile(job, url, folder, fileName, size, value1, value2));
}

int32_t CDownloadLibThread::StartJob(uint32_t job, uint8_t useEngine) {
    SF_FORWARD(StartJob(job, useEngine));
}

int32_t CDownloadLibThread::StopJob(uint32_t job) {
    SF_FORWARD(StopJob(job));
}

int32_t CDownloadLibThread::DeleteJob(uint32_t job) {
    SF_FORWARD(DeleteJob(job));
}

int32_t CDownloadLibThread::SetJobEngineFlag(uint32_t job) {
    SF_FORWARD(SetJobEngineFlag(job));
}

int32_t CDownloadLibThread::ResumeReply(uint32_t job, uint8_t resume, uint8_t applyToAll) {
    SF_FORWARD(ResumeReply(job, resume, applyToAll));
}

int32_t CDownloadLibThread::SetEngineParameter(const char* text) {
    SF_FORWARD(SetEngineParameter(text));
}

int32_t CDownloadLibThread::GetSizeInfo(uint32_t job, SwarmFetchSizeInfo* out) {
    SF_FORWARD(GetSizeInfo(job, out));
}

int32_t CDownloadLibThread::GetProgress(uint32_t job, SwarmFetchProgress* out) {
    SF_FORWARD(GetProgress(job, out));
}

int32_t CDownloadLibThread::GetFileDone(uint32_t job, SwarmFetchFileDone* out) {
    SF_FORWARD(GetFileDone(job, out));
}

int32_t CDownloadLibThread::GetJobDone(uint32_t job, SwarmFetchJobDone* out) {
    SF_FORWARD(GetJobDone(job, out));
}

int32_t CDownloadLibThread::GetMessageLength(uint32_t job, int32_t* length) {
    SF_FORWARD(GetMessageLength(job, length));
}

int32_t CDownloadLibThread::PopMessage(uint32_t job, SwarmFetchMessage* out) {
    SF_FORWARD(PopMessage(job, out));
}

#undef SF_FORWARD

int32_t CDownloadLibThread::GetRemainingBytes(uint32_t job, int64_t* bytes) {
    CJobManager* jobManager = JobManager();
    if (!jobManager || !bytes)
        return SF_RESULT_FAILED;
    SwarmFetchProgress progress;
    memset(&progress, 0, sizeof progress);
    // An unknown job leaves the record zero, which falls through to the
    // size-check total.
    jobManager->GetProgress(job, &progress);
    if (progress.total != 0) {
        *bytes = progress.total - progress.received;
        return SF_RESULT_OK;
    }
    return jobManager->GetSizeCheckTotal(bytes);
}

void CDownloadLibThread::SetStartHookForTesting(void (*hook)(void*), void* arg) {
    g_startHookArg.store(arg);
    g_startHook.store(hook);
}

void CDownloadLibThread::EnableTaskWindowForTesting(bool enable) {
    g_taskWindowEnabled.store(enable);
}

bool CDownloadLibThread::PostTaskForTesting(void (*task)(void*), void* arg) {
    PfWindowHandle window = m_taskWindow.load();
    if (!window || !task)
        return false;
    TaskRecord* record = new (std::nothrow) TaskRecord;
    if (!record)
        return false;
    record->task = task;
    record->arg = arg;
    if (!PfPostMessage(window, kTaskMessage, 0, reinterpret_cast<intptr_t>(record))) {
        delete record;
        return false;
    }
    return true;
}
