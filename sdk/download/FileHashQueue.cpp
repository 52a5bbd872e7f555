#include "sdk/download/FileHashQueue.h"

#include <new>

#include "opn/platform/pfCriticalSection.h"
#include "opn/platform/pfFile.h"
#include "opn/platform/pfThread.h"
#include "sdk/download/FileDigest.h"

namespace {

const uint32_t kJoinStepMs = 1000;

}  // namespace

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

FileHashQueue::FileHashQueue() {
    if (OV_FAILED(CsCreate(&m_section)))
        m_section = nullptr;
}

FileHashQueue::~FileHashQueue() {
    Lock();
    for (Task* task : m_tasks)
        task->cancel.store(true, std::memory_order_relaxed);
    // The worker ends after the file it reads; none is started any more.
    for (Task* task : m_tasks)
        task->started = true;
    Unlock();
    if (m_thread) {
        while (!PfThreadWait(m_thread, kJoinStepMs)) {
        }
        PfThreadClose(m_thread);
    }
    for (Task* task : m_tasks)
        delete task;
    if (m_section)
        CsDelete(m_section);
}

void FileHashQueue::Lock() {
    if (m_section)
        CsEnter(m_section);
}

void FileHashQueue::Unlock() {
    if (m_section)
        CsLeave(m_section);
}

uint32_t FileHashQueue::Add(const char* path) {
    if (!m_section || !path)
        return 0;
    Task* task = new (std::nothrow) Task;
    if (!task || !task->path.Assign(path) || !task->hash.Reset()) {
        delete task;
        return 0;
    }
    if (++m_nextTicket == 0)
        m_nextTicket = 1;
    task->ticket = m_nextTicket;
    Lock();
    bool ok = true;
    try {
        m_tasks.push_back(task);
    } catch (const std::bad_alloc&) {
        Unlock();
        delete task;
        return 0;
    }
    if (!m_running) {
        // A worker that saw the queue empty is at its very end.
        if (m_thread) {
            while (!PfThreadWait(m_thread, kJoinStepMs)) {
            }
            PfThreadClose(m_thread);
        }
        uint32_t threadId = 0;
        m_thread = PfThreadStart(&FileHashQueue::Run, this, &threadId);
        m_running = m_thread != nullptr;
        if (!m_running) {
            m_tasks.pop_back();
            ok = false;
        }
    }
    Unlock();
    if (!ok) {
        delete task;
        return 0;
    }
    return task->ticket;
}

bool FileHashQueue::Take(uint32_t ticket, Sha256Stream& hash, int64_t* bytes) {
    Lock();
    Task* found = nullptr;
    for (size_t i = 0; i < m_tasks.size(); ++i) {
        if (m_tasks[i]->ticket == ticket && m_tasks[i]->done) {
            found = m_tasks[i];
            m_tasks.erase(m_tasks.begin() + (std::ptrdiff_t)i);
            break;
        }
    }
    Unlock();
    if (!found)
        return false;
    hash.Swap(found->hash);
    if (bytes)
        *bytes = found->bytes;
    delete found;
    return true;
}

void FileHashQueue::Drop(uint32_t ticket) {
    if (ticket == 0)
        return;
    Lock();
    Task* gone = nullptr;
    for (size_t i = 0; i < m_tasks.size(); ++i) {
        Task* task = m_tasks[i];
        if (task->ticket != ticket)
            continue;
        m_tasks.erase(m_tasks.begin() + (std::ptrdiff_t)i);
        if (task->started && !task->done) {
            task->cancel.store(true, std::memory_order_relaxed);
            task->dropped = true;
        } else {
            gone = task;
        }
        break;
    }
    Unlock();
    delete gone;
}

unsigned FileHashQueue::Run(void* self) {
    // Background work: the library thread and the host come first.
    PfThreadLowerPriority();
    static_cast<FileHashQueue*>(self)->Work();
    return 0;
}

void FileHashQueue::Work() {
    for (;;) {
        Task* task = nullptr;
        Lock();
        for (Task* candidate : m_tasks) {
            if (!candidate->started) {
                task = candidate;
                break;
            }
        }
        if (!task) {
            m_running = false;
            Unlock();
            return;
        }
        task->started = true;
        Unlock();
        // Read with no lock held: the owner may drop the task meanwhile.
        int64_t bytes = -1;
        PfFile* file = PfFileOpenForReading(task->path.CStr(), nullptr);
        if (file) {
            bytes = HashRestOfFile(file, task->hash, &task->cancel);
            PfFileClose(file);
        }
        Lock();
        task->bytes = bytes;
        task->done = true;
        const bool dropped = task->dropped;
        Unlock();
        if (dropped)
            delete task;
    }
}
