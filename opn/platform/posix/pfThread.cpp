#include "opn/platform/pfThread.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "opn/platform/pfMessageLoop.h"

namespace {

// Holds a pthread mutex for a scope. Also released when a cancelled thread
// unwinds out of a condition wait (which re-acquires the mutex first).
class ScopedMutex {
  public:
    explicit ScopedMutex(pthread_mutex_t* mutex) : m_mutex(mutex) { pthread_mutex_lock(m_mutex); }
    ~ScopedMutex() { pthread_mutex_unlock(m_mutex); }
    ScopedMutex(const ScopedMutex&) = delete;
    ScopedMutex& operator=(const ScopedMutex&) = delete;

  private:
    pthread_mutex_t* m_mutex;
};

// A condition variable on the monotonic clock, so that a change of the wall
// clock does not stretch or cut a wait.
bool InitMonotonicCond(pthread_cond_t* cond) {
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return false;
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    const bool ok = pthread_cond_init(cond, &attr) == 0;
    pthread_condattr_destroy(&attr);
    return ok;
}

timespec DeadlineAfter(uint32_t timeoutMs) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += (time_t)(timeoutMs / 1000);
    ts.tv_nsec += (long)(timeoutMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

}  // namespace

// Shared by the starting side and the thread itself; freed by whichever lets
// go of it last, so that a detached thread never touches freed memory.
struct PfThread {
    pthread_t thread;
    PfThreadProc proc;
    void* arg;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    uint32_t id;
    bool idKnown;
    bool finished;
    bool joined;
    int refs;
};

namespace {

void FreeThread(PfThread* t) {
    pthread_cond_destroy(&t->cond);
    pthread_mutex_destroy(&t->mutex);
    free(t);
}

void ReleaseThread(PfThread* t) {
    bool last;
    {
        ScopedMutex hold(&t->mutex);
        last = --t->refs == 0;
    }
    if (last)
        FreeThread(t);
}

// Marks the thread finished when it leaves its procedure, by returning or by
// being cancelled (the destructor runs while a cancelled thread unwinds).
class FinishMark {
  public:
    explicit FinishMark(PfThread* t) : m_t(t) {}
    ~FinishMark() {
        {
            ScopedMutex hold(&m_t->mutex);
            m_t->finished = true;
            pthread_cond_broadcast(&m_t->cond);
        }
        ReleaseThread(m_t);
    }
    FinishMark(const FinishMark&) = delete;
    FinishMark& operator=(const FinishMark&) = delete;

  private:
    PfThread* m_t;
};

// Not noexcept: a cancelled thread (PfThreadTerminate) unwinds through here,
// and noexcept would turn that into std::terminate. Any other exception finds
// no handler above this frame and ends the process all the same.
void* Trampoline(void* param) {
    PfThread* t = static_cast<PfThread*>(param);
    FinishMark mark(t);
    {
        ScopedMutex hold(&t->mutex);
        t->id = PfCurrentThreadId();
        t->idKnown = true;
        pthread_cond_broadcast(&t->cond);
    }
    t->proc(t->arg);
    return nullptr;
}

}  // namespace

PfThread* PfThreadStart(PfThreadProc proc, void* arg, uint32_t* threadId) {
    if (!proc)
        return nullptr;
    PfThread* t = static_cast<PfThread*>(calloc(1, sizeof(PfThread)));
    if (!t)
        return nullptr;
    t->proc = proc;
    t->arg = arg;
    t->refs = 2;
    if (pthread_mutex_init(&t->mutex, nullptr) != 0) {
        free(t);
        return nullptr;
    }
    if (!InitMonotonicCond(&t->cond)) {
        pthread_mutex_destroy(&t->mutex);
        free(t);
        return nullptr;
    }
    if (pthread_create(&t->thread, nullptr, Trampoline, t) != 0) {
        FreeThread(t);
        return nullptr;
    }
    {
        // The thread reports its identifier as its first action.
        ScopedMutex hold(&t->mutex);
        while (!t->idKnown)
            pthread_cond_wait(&t->cond, &t->mutex);
        if (threadId)
            *threadId = t->id;
    }
    return t;
}

bool PfThreadWait(PfThread* thread, uint32_t timeoutMs) {
    if (!thread)
        return false;
    bool finished;
    {
        const timespec deadline = DeadlineAfter(timeoutMs);
        ScopedMutex hold(&thread->mutex);
        while (!thread->finished) {
            if (pthread_cond_timedwait(&thread->cond, &thread->mutex, &deadline) == ETIMEDOUT)
                break;
        }
        finished = thread->finished;
    }
    if (finished && !thread->joined) {
        // Only the last few instructions of the thread are left.
        pthread_join(thread->thread, nullptr);
        thread->joined = true;
    }
    return finished;
}

void PfThreadTerminate(PfThread* thread) {
    if (!thread || thread->joined)
        return;
    pthread_cancel(thread->thread);
    pthread_join(thread->thread, nullptr);
    thread->joined = true;
}

void PfThreadClose(PfThread* thread) {
    if (!thread)
        return;
    if (!thread->joined)
        pthread_detach(thread->thread);
    ReleaseThread(thread);
}

struct PfEvent {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool signalled;
};

PfEvent* PfEventCreate() {
    PfEvent* e = static_cast<PfEvent*>(calloc(1, sizeof(PfEvent)));
    if (!e)
        return nullptr;
    if (pthread_mutex_init(&e->mutex, nullptr) != 0) {
        free(e);
        return nullptr;
    }
    if (!InitMonotonicCond(&e->cond)) {
        pthread_mutex_destroy(&e->mutex);
        free(e);
        return nullptr;
    }
    return e;
}

void PfEventSet(PfEvent* event) {
    if (!event)
        return;
    ScopedMutex hold(&event->mutex);
    event->signalled = true;
    pthread_cond_signal(&event->cond);
}

bool PfEventWait(PfEvent* event, uint32_t timeoutMs) {
    if (!event)
        return false;
    const timespec deadline = DeadlineAfter(timeoutMs);
    ScopedMutex hold(&event->mutex);
    while (!event->signalled) {
        if (pthread_cond_timedwait(&event->cond, &event->mutex, &deadline) == ETIMEDOUT)
            break;
    }
    const bool signalled = event->signalled;
    event->signalled = false;
    return signalled;
}

void PfEventClose(PfEvent* event) {
    if (!event)
        return;
    pthread_cond_destroy(&event->cond);
    pthread_mutex_destroy(&event->mutex);
    free(event);
}

void PfThreadLowerPriority() {
#ifdef __linux__
    // Linux keeps a nice value per thread, named by its kernel thread id.
    const pid_t tid = (pid_t)syscall(SYS_gettid);
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, (id_t)tid);
    if (errno == 0)
        setpriority(PRIO_PROCESS, (id_t)tid, nice + 10 > 19 ? 19 : nice + 10);
#endif
}
