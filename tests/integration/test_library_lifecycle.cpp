// Start and stop of the library: the thread, the start-up handshake, the
// forced stop and the service-log lines of both.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "integration/ApiTestEnv.h"
#include "opn/platform/pfThread.h"
#include "sdk/download/engine/Elevation.h"

using namespace apitest;

namespace {

// Finalises on a helper thread so that a finalisation that hangs fails the
// test instead of blocking it. Returns false on a hang (the process is then
// left in an unknown state and ends).
bool FinalizeBounded(int32_t* result, uint32_t timeoutMs = 30000) {
    std::promise<int32_t> done;
    std::future<int32_t> future = done.get_future();
    std::thread worker([&done] { done.set_value(SwarmFetch_Finalize()); });
    if (future.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
        worker.detach();
        ADD_FAILURE() << "SwarmFetch_Finalize did not return";
        fflush(stdout);
        std::_Exit(1);
    }
    worker.join();
    *result = future.get();
    return true;
}

}  // namespace

extern "C" int SwarmFetchHeaderCheckC(void);

TEST(LibraryHeader, UsableFromC) {
    EXPECT_EQ(16 + 160 + 1032 + 12, SwarmFetchHeaderCheckC());
}

// These tests start the library over and over; an engine update run with
// each start would only add its own lines and events.
const bool kPlainOnly = (CJobManager::SetEngineDownloaderEnabledForTesting(false), true);

TEST(LibraryLifecycle, FinalizeBeforeInitializeIsOk) {
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
    EXPECT_EQ(nullptr, SwarmFetch_GetUserData());
    EXPECT_EQ(nullptr, SwarmFetchLibraryThread());
}

TEST(LibraryLifecycle, SecondInitializeAnswers518) {
    int token = 0;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_Initialize(nullptr, nullptr, &token, 1));
    EXPECT_EQ(SF_RESULT_ALREADY_INITIALIZED, SwarmFetch_Initialize(nullptr, nullptr, &token, 1));
    EXPECT_EQ(SF_RESULT_ALREADY_INITIALIZED, SwarmFetch_Init(nullptr, nullptr, nullptr));
    // The user pointer is kept only after a failure.
    EXPECT_EQ(nullptr, SwarmFetch_GetUserData());
    CDownloadLibThread* thread = SwarmFetchLibraryThread();
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(&token, thread->User());
    ASSERT_NE(nullptr, thread->JobManager());
    EXPECT_TRUE(thread->JobManager()->HasNetwork());
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
    EXPECT_EQ(nullptr, SwarmFetchLibraryThread());
}

TEST(LibraryLifecycle, InitializeStoresTheElevationChoice) {
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_Initialize(nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(0, GetElevationFlag());
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_Init(nullptr, nullptr, nullptr));
    EXPECT_EQ(1, GetElevationFlag());
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
}

// Fifty start/stop cycles in each host configuration; each cycle delivers one
// event (528, raised on the calling thread) and checks where it went.
TEST(LibraryLifecycle, FiftyCyclesWithAndWithoutHost) {
    HostWindow window;
    ASSERT_NE(nullptr, window.Handle());
    LogScope log;
    const std::string missing = log.Folder().Win("file.bin") + "\\sub\\";
    ASSERT_TRUE(supporttest::PathExists(log.Folder().Native()));
    {
        FILE* f = fopen(log.Folder().Native("file.bin").c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fclose(f);
    }
    for (int config = 0; config < 4; ++config) {
        const bool withWindow = (config & 1) != 0;
        const bool withCallback = (config & 2) != 0;
        EventRecorder recorder;
        window.Clear();
        for (int cycle = 0; cycle < 50; ++cycle) {
            ASSERT_EQ(SF_RESULT_OK,
                      SwarmFetch_Initialize(withWindow ? window.Handle() : nullptr,
                                            withCallback ? &EventRecorder::Callback : nullptr,
                                            &recorder, 1))
                << "config " << config << " cycle " << cycle;
            uint32_t job = 0;
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_CreateJob(&job, nullptr, "game"));
            EXPECT_EQ(SF_RESULT_BAD_FOLDER,
                      SwarmFetch_AddFile(job, "http://h/a.bin", missing.c_str(), nullptr, -1, 1));
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
            ASSERT_EQ(nullptr, SwarmFetchLibraryThread());
        }
        EXPECT_EQ(withCallback ? 50u : 0u, recorder.CountOf(SF_EVENT_DOWNLOAD_PATH_FAILED))
            << "config " << config;
        EXPECT_EQ(withCallback ? 50u : 0u, recorder.Count());
        EXPECT_EQ(withWindow && kWindowsGetMessages ? 50u : 0u, window.Pump())
            << "config " << config;
        for (const HostWindow::Message& m : window.Messages())
            EXPECT_EQ((uintptr_t)SF_EVENT_DOWNLOAD_PATH_FAILED, m.wparam);
    }
    // No cycle needed the forced stop.
    EXPECT_FALSE(log.Has("[SwarmFetchLib] Force TerminateThread"));
    EXPECT_TRUE(log.Has("[SwarmFetchLib] Exit GetMessage Loop"));
}

TEST(LibraryLifecycle, ServiceLogLinesOfInitializeAndFinalize) {
    LogScope log;
    // A line of an earlier start: the library's start empties the log.
    LogWrite("[SwarmFetchLib] a line of the previous start");
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_Init(nullptr, nullptr, nullptr));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
    // The downloader goes with the network, on the library thread, before the
    // job manager itself.
    const std::vector<std::string> expected = {
        "[SwarmFetchLib] Launch(3.5.0.2)",
        "[SwarmFetchLib] Initialize",
        "[SwarmFetchLib] Finalize Begin",
        "[SwarmFetchLib] Exit GetMessage Loop",
        "[SwarmFetchLib] CPlatFormDownloader Destroy",
        "[SwarmFetchLib] Destroy JobManager",
        "[SwarmFetchLib] Finalize End",
    };
    EXPECT_EQ(expected, log.Lines()) << log.Text();
    // Every line carries the time stamp of the service log.
    const std::string text = log.Text();
    ASSERT_GT(text.size(), 30u);
    EXPECT_EQ('[', text[0]);
    EXPECT_EQ("] ", text.substr(25, 2));
}

TEST(LibraryLifecycle, FinalizeWithoutInitializeLogsOnlyItsOwnLines) {
    LogScope log;
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
    const std::vector<std::string> expected = {"[SwarmFetchLib] Finalize Begin",
                                               "[SwarmFetchLib] Finalize End"};
    EXPECT_EQ(expected, log.Lines());
}

namespace {

struct StartGate {
    PfEvent* entered = PfEventCreate();
    PfEvent* release = PfEventCreate();
    ~StartGate() {
        PfEventClose(entered);
        PfEventClose(release);
    }
};

void HoldStart(void* arg) {
    StartGate* gate = static_cast<StartGate*>(arg);
    PfEventSet(gate->entered);
    PfEventWait(gate->release, 20000);
}

}  // namespace

// A thread that does not come up within 3000 ms: 517, the user pointer is
// kept, the object stays published (518) until SwarmFetch_Finalize.
TEST(LibraryLifecycle, StartTimeoutAnswers517AndKeepsTheObject) {
    LogScope log;
    StartGate gate;
    CDownloadLibThread::SetStartHookForTesting(&HoldStart, &gate);
    int token = 0;
    const int32_t result = SwarmFetch_Initialize(nullptr, nullptr, &token, 1);
    CDownloadLibThread::SetStartHookForTesting(nullptr, nullptr);
    EXPECT_EQ(SF_RESULT_FAILED, result);
    EXPECT_TRUE(PfEventWait(gate.entered, 0)) << "the hook ran on the library thread";
    EXPECT_EQ(&token, SwarmFetch_GetUserData());
    EXPECT_NE(nullptr, SwarmFetchLibraryThread());
    EXPECT_EQ(SF_RESULT_ALREADY_INITIALIZED, SwarmFetch_Initialize(nullptr, nullptr, &token, 1));
    EXPECT_TRUE(log.Has("[SwarmFetchLib] Initialize Failed : 517")) << log.Text();

    // Let the thread go on: it builds its job manager and signals the event
    // it was given, which must still exist.
    PfEventSet(gate.release);
    int32_t finalized = 0;
    ASSERT_TRUE(FinalizeBounded(&finalized));
    EXPECT_EQ(SF_RESULT_OK, finalized);
    EXPECT_EQ(nullptr, SwarmFetch_GetUserData());
    EXPECT_EQ(nullptr, SwarmFetchLibraryThread());
    EXPECT_TRUE(log.Has("[SwarmFetchLib] Destroy JobManager"));

    // A normal start works again afterwards.
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_Init(nullptr, nullptr, nullptr));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
}

TEST(LibraryLifecycle, TasksRunOnTheLibraryThread) {
    CDownloadLibThread::EnableTaskWindowForTesting(true);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_Init(nullptr, nullptr, nullptr));
    CDownloadLibThread::EnableTaskWindowForTesting(false);
    CDownloadLibThread* thread = SwarmFetchLibraryThread();
    ASSERT_NE(nullptr, thread);
    struct Probe {
        PfEvent* done = PfEventCreate();
        std::atomic<uint32_t> thread{0};
    } probe;
    ASSERT_TRUE(thread->PostTaskForTesting(
        [](void* arg) {
            Probe* p = static_cast<Probe*>(arg);
            p->thread = PfCurrentThreadId();
            PfEventSet(p->done);
        },
        &probe));
    EXPECT_TRUE(PfEventWait(probe.done, 10000));
    EXPECT_EQ(thread->ThreadId(), probe.thread.load());
    EXPECT_NE(PfCurrentThreadId(), probe.thread.load());
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
    PfEventClose(probe.done);
}

// A lock left owned by a thread that ended is replaced, and only then.
TEST(LibraryLock, ReplaceIfHeldElsewhere) {
    ovSmartPtr lock;
    ASSERT_TRUE(lock.CreateInstance(OV_CLSID_MUTEX));
    cpCMutex* mutex = lock.As<cpCMutex>();
    EXPECT_FALSE(mutex->ReplaceIfHeldElsewhere()) << "free";
    mutex->Lock();
    EXPECT_FALSE(mutex->ReplaceIfHeldElsewhere()) << "held by the caller";
    mutex->Unlock();

    struct Holder {
        cpCMutex* mutex;
        PfEvent* locked = PfEventCreate();
        PfEvent* release = PfEventCreate();
    } holder{mutex};
    uint32_t id = 0;
    PfThread* other = PfThreadStart(
        [](void* arg) -> unsigned {
            Holder* h = static_cast<Holder*>(arg);
            h->mutex->Lock();
            PfEventSet(h->locked);
            PfEventWait(h->release, 20000);
            return 0;
        },
        &holder, &id);
    ASSERT_NE(nullptr, other);
    ASSERT_TRUE(PfEventWait(holder.locked, 10000));
    PfThreadTerminate(other);
    PfThreadClose(other);
    EXPECT_TRUE(mutex->ReplaceIfHeldElsewhere());
    // The fresh section is free and works.
    EXPECT_FALSE(mutex->ReplaceIfHeldElsewhere());
    mutex->Lock();
    mutex->Lock();
    mutex->Unlock();
    mutex->Unlock();
    PfEventClose(holder.locked);
    PfEventClose(holder.release);
}

namespace {

struct StuckHandler {
    cpCMutex* mutex = nullptr;
    bool scoped = false;  // ovCAutoLock instead of Lock without Unlock
    const ovSmartPtr* lockObject = nullptr;
    PfEvent* entered = PfEventCreate();
    PfEvent* release = PfEventCreate();
    std::atomic<bool> finished{false};
    ~StuckHandler() {
        PfEventClose(entered);
        PfEventClose(release);
    }
};

// Runs on the library thread, holds the library lock and blocks far longer
// than the 3000 ms the host waits for the thread to end.
void BlockHoldingLock(void* arg) {
    StuckHandler* h = static_cast<StuckHandler*>(arg);
    if (h->scoped) {
        ovCAutoLock hold(*h->lockObject);
        PfEventSet(h->entered);
        PfEventWait(h->release, 60000);
        h->finished = true;
    } else {
        h->mutex->Lock();
        PfEventSet(h->entered);
        PfEventWait(h->release, 60000);
        h->finished = true;
        h->mutex->Unlock();
    }
}

void RunForcedStop(bool scoped) {
    LogScope log;
    EventRecorder recorder;
    CDownloadLibThread::EnableTaskWindowForTesting(true);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_Initialize(nullptr, &EventRecorder::Callback, &recorder, 1));
    CDownloadLibThread::EnableTaskWindowForTesting(false);
    CDownloadLibThread* thread = SwarmFetchLibraryThread();
    ASSERT_NE(nullptr, thread);
    CJobManager* manager = thread->JobManager();
    ASSERT_NE(nullptr, manager);
    uint32_t job = 0;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_CreateJob(&job, nullptr, "game"));

    StuckHandler handler;
    handler.mutex = manager->LockObject().As<cpCMutex>();
    handler.scoped = scoped;
    handler.lockObject = &manager->LockObject();
    ASSERT_TRUE(thread->PostTaskForTesting(&BlockHoldingLock, &handler));
    ASSERT_TRUE(PfEventWait(handler.entered, 10000));

    int32_t result = 0;
    ASSERT_TRUE(FinalizeBounded(&result));
    EXPECT_EQ(SF_RESULT_OK, result);
    EXPECT_FALSE(handler.finished.load()) << "the handler was stopped, not waited for";
    EXPECT_EQ(nullptr, SwarmFetchLibraryThread());

    const size_t force = log.IndexOf("[SwarmFetchLib] Force TerminateThread");
    const size_t destroy = log.IndexOf("[SwarmFetchLib] Destroy JobManager");
    const size_t end = log.IndexOf("[SwarmFetchLib] Finalize End");
    ASSERT_NE(std::string::npos, force) << log.Text();
    ASSERT_NE(std::string::npos, destroy);
    ASSERT_NE(std::string::npos, end);
    EXPECT_LT(log.IndexOf("[SwarmFetchLib] Finalize Begin"), force);
    EXPECT_LT(force, destroy);
    EXPECT_LT(destroy, end);
    // The loop never got back to its end.
    EXPECT_FALSE(log.Has("[SwarmFetchLib] Exit GetMessage Loop"));

    // The library starts and stops normally afterwards.
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_Init(nullptr, nullptr, nullptr));
    uint32_t again = 0;
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_CreateJob(&again, nullptr, "game"));
    ASSERT_TRUE(FinalizeBounded(&result));
    EXPECT_EQ(SF_RESULT_OK, result);
    // The new start emptied the log; its own stop needed no force.
    EXPECT_EQ(0u, log.CountOf("[SwarmFetchLib] Force TerminateThread"));
    EXPECT_TRUE(log.Has("[SwarmFetchLib] Exit GetMessage Loop"));
}

}  // namespace

TEST(LibraryForcedStop, HandlerHoldingTheLockByHand) {
    RunForcedStop(false);
}

TEST(LibraryForcedStop, HandlerHoldingAScopedLock) {
    RunForcedStop(true);
}
