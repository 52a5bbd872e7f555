#include "sdk/download/FileHashQueue.h"

#include <atomic>
#include <new>
#include <vector>

#include "opn/core/ovCString.h"
#include "opn/platform/pfCriticalSection.h"
#include "opn/platform/pfFile.h"
#include "opn/platform/pfThread.h"
#include "sdk/download/FileDigest.h"

struct FileHashQueue::Task {
    uint32_t ticket = 0;
    ovCString path;
    Sha256Stream hash;
    int64_t bytes = -1;
    bool started = false;
    bool done = false;
    // Dropped while read: the worker frees it.
    bool dropped = false;
    std::atomic<bool> cancel{false};
};

// What the queue and its workers share. Each holds it (the queue, and every
// worker until its very last step); the last one to let go frees it, so a
// worker that outlives the queue still has what it touches.
struct FileHashQueue::Shared {
    PfCriticalSection* section = nullptr;
    std::atomic<int32_t> holders{1};
    bool running = false;      // a worker has not yet seen the queue empty
    std::vector<Task*> tasks;  // in queue order

    ~Shared() {
        for (Task* task : tasks)
            delete task;
        if (section)
            CsDelete(section);
    }
    void Lock() { CsEnter(section); }
    void Unlock() { CsLeave(section); }
};

FileHashQueue::FileHashQueue() {
    Shared* shared = new (std::nothrow) Shared;
    if (shared && OV_FAILED(CsCreate(&shared->section))) {
        shared->section = nullptr;
        delete shared;
        shared = nullptr;
    }
    m_shared = shared;
}

FileHashQueue::~FileHashQueue() {
    if (!m_shared)
        return;
    m_shared->Lock();
    // The worker ends after the file it reads; none is started any more.
    for (Task* task : m_shared->tasks) {
        task->cancel.store(true, std::memory_order_relaxed);
        task->started = true;
    }
    m_shared->Unlock();
    if (m_thread) {
        // Bounded: a worker still in a system call runs on detached.
        PfThreadWait(m_thread, kJoinMs);
        PfThreadClose(m_thread);
    }
    Release(m_shared);
}

void FileHashQueue::Release(Shared* shared) {
    if (shared->holders.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete shared;
}

int32_t FileHashQueue::Count() const {
    if (!m_shared)
        return 0;
    m_shared->Lock();
    const int32_t count = (int32_t)m_shared->tasks.size();
    m_shared->Unlock();
    return count;
}

uint32_t FileHashQueue::Add(const char* path) {
    // A link, a FIFO or a device is never read (a FIFO would block the open).
    if (!m_shared || !path || PfFileSoleSize(path) < 0)
        return 0;
    Task* task = new (std::nothrow) Task;
    if (!task || !task->path.Assign(path) || !task->hash.Reset()) {
        delete task;
        return 0;
    }
    if (++m_nextTicket == 0)
        m_nextTicket = 1;
    task->ticket = m_nextTicket;
    Shared* shared = m_shared;
    shared->Lock();
    bool ok = true;
    try {
        shared->tasks.push_back(task);
    } catch (const std::bad_alloc&) {
        shared->Unlock();
        delete task;
        return 0;
    }
    if (!shared->running) {
        // A worker that saw the queue empty is at its very end and lets go
        // of the shared state by itself: it runs on detached.
        if (m_thread)
            PfThreadClose(m_thread);
        shared->holders.fetch_add(1, std::memory_order_relaxed);
        uint32_t threadId = 0;
        m_thread = PfThreadStart(&FileHashQueue::Run, shared, &threadId);
        shared->running = m_thread != nullptr;
        if (!shared->running) {
            shared->holders.fetch_sub(1, std::memory_order_relaxed);
            shared->tasks.pop_back();
            ok = false;
        }
    }
    shared->Unlock();
    if (!ok) {
        delete task;
        return 0;
    }
    return task->ticket;
}

bool FileHashQueue::Take(uint32_t ticket, Sha256Stream& hash, int64_t* bytes) {
    if (!m_shared)
        return false;
    m_shared->Lock();
    Task* found = nullptr;
    std::vector<Task*>& tasks = m_shared->tasks;
    for (size_t i = 0; i < tasks.size(); ++i) {
        if (tasks[i]->ticket == ticket && tasks[i]->done) {
            found = tasks[i];
            tasks.erase(tasks.begin() + (std::ptrdiff_t)i);
            break;
        }
    }
    m_shared->Unlock();
    if (!found)
        return false;
    hash.Swap(found->hash);
    if (bytes)
        *bytes = found->bytes;
    delete found;
    return true;
}

void FileHashQueue::Drop(uint32_t ticket) {
    if (ticket == 0 || !m_shared)
        return;
    m_shared->Lock();
    Task* gone = nullptr;
    std::vector<Task*>& tasks = m_shared->tasks;
    for (size_t i = 0; i < tasks.size(); ++i) {
        Task* task = tasks[i];
        if (task->ticket != ticket)
            continue;
        tasks.erase(tasks.begin() + (std::ptrdiff_t)i);
        if (task->started && !task->done) {
            task->cancel.store(true, std::memory_order_relaxed);
            task->dropped = true;
        } else {
            gone = task;
        }
        break;
    }
    m_shared->Unlock();
    delete gone;
}

unsigned FileHashQueue::Run(void* shared) {
    // Background work: the library thread and the host come first.
    PfThreadLowerPriority();
    Shared* state = static_cast<Shared*>(shared);
    Work(state);
    Release(state);
    return 0;
}

void FileHashQueue::Work(Shared* shared) {
    for (;;) {
        Task* task = nullptr;
        shared->Lock();
        for (Task* candidate : shared->tasks) {
            if (!candidate->started) {
                task = candidate;
                break;
            }
        }
        if (!task) {
            shared->running = false;
            shared->Unlock();
            return;
        }
        task->started = true;
        shared->Unlock();
        // Read with no lock held: the owner may drop the task meanwhile. The
        // open neither follows a link nor waits on a FIFO put there since.
        int64_t bytes = -1;
        PfFile* file = PfFileOpenSole(task->path.CStr(), kPfSoleRead, nullptr);
        if (file) {
            bytes = HashRestOfFile(file, task->hash, &task->cancel);
            PfFileClose(file);
        }
        shared->Lock();
        task->bytes = bytes;
        task->done = true;
        const bool dropped = task->dropped;
        shared->Unlock();
        if (dropped)
            delete task;
    }
}
