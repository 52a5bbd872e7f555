#include "opn/opeerqos/TimerManager.h"

#include <atomic>
#include <stdlib.h>

#include "opn/platform/cpCMutex.h"

namespace {

std::atomic<TimerManager*> g_manager{nullptr};

int64_t DiffMs(const TimerTime& a, const TimerTime& b) {
    return (a.seconds - b.seconds) * 1000 + ((int64_t)a.milliseconds - (int64_t)b.milliseconds);
}

}  // namespace

TimerManager* GlobalTimerManager() {
    return g_manager.load();
}

TimerManager::TimerManager(const ovSmartPtr& lock) : m_lock(lock), m_tickCount(1) {
    m_stamp.seconds = 0;
    m_stamp.milliseconds = 0;
    m_driver.id = 0;
    m_driver.proc = &TimerManager::DriverProc;
    m_driver.user = this;
    g_manager.store(this);
    if (PfThreadTimerStart(kTickMs, m_driver.proc, m_driver.user))
        m_driver.id = kDriverId;
}

TimerManager::~TimerManager() {
    ovLock(m_lock);
    if (m_driver.id != 0) {
        PfThreadTimerStop();
        m_driver.id = 0;
    }
    // A tick still handling an entry holds a use of it and frees it later.
    while (m_entries.Count() > 0) {
        TimerEntry* entry = static_cast<TimerEntry*>(m_entries.RemoveAt(m_entries.Count() - 1));
        if (entry)
            DropUse(entry);
    }
    TimerManager* self = this;
    g_manager.compare_exchange_strong(self, nullptr);
    ovUnlock(m_lock);
    m_lock.Reset();
}

void TimerManager::DropUse(TimerEntry* entry) {
    if (--entry->useCount <= 0)
        free(entry);
}

bool TimerManager::Add(cpCTimer* timer, uint32_t tag) {
    if (!timer)
        return false;
    TimerEntry* entry = static_cast<TimerEntry*>(malloc(sizeof(TimerEntry)));
    if (!entry)
        return false;
    entry->timer = timer;
    entry->tag = tag;
    entry->useCount = 1;
    ovCAutoLock hold(m_lock);
    if (!m_entries.AddTail(entry)) {
        free(entry);
        return false;
    }
    return true;
}

bool TimerManager::Remove(cpCTimer* timer) {
    ovCAutoLock hold(m_lock);
    for (ovCPtrList::Node* node = m_entries.HeadNode(); node; node = node->next) {
        TimerEntry* entry = static_cast<TimerEntry*>(node->element);
        if (entry->timer == timer) {
            m_entries.Remove(entry);
            DropUse(entry);
            return true;
        }
    }
    return false;
}

void TimerManager::ManagerTick() {
    ++m_tickCount;
    ovLock(m_lock);
    int32_t count = m_entries.Count();
    ovUnlock(m_lock);
    if (count == 0)
        return;

    TimerTime now = TimerClockNow();
    bool jumped = (m_stamp.seconds != 0 || m_stamp.milliseconds != 0) &&
                  (DiffMs(now, m_stamp) > kJumpMs || DiffMs(m_stamp, now) > kJumpMs);
    m_stamp = now;

    // The snapshot holds a reference to each timer and a use of each entry,
    // so callbacks may stop timers and drop their last references.
    ovLock(m_lock);
    count = m_entries.Count();
    TimerEntry** snapshot =
        count > 0 ? static_cast<TimerEntry**>(malloc(sizeof(TimerEntry*) * (size_t)count))
                  : nullptr;
    if (!snapshot) {
        ovUnlock(m_lock);
        return;
    }
    int32_t taken = 0;
    for (ovCPtrList::Node* node = m_entries.HeadNode(); node && taken < count; node = node->next) {
        TimerEntry* entry = static_cast<TimerEntry*>(node->element);
        entry->timer->AddRef();
        if (jumped)
            entry->timer->Schedule(true);
        ++entry->useCount;
        snapshot[taken++] = entry;
    }
    ovUnlock(m_lock);

    for (int32_t i = 0; i < taken; ++i) {
        cpCTimer* timer = snapshot[i]->timer;
        if (timer->IsDue(now))
            timer->Fire();
    }

    ovLock(m_lock);
    for (int32_t i = 0; i < taken; ++i) {
        snapshot[i]->timer->Release();
        DropUse(snapshot[i]);
    }
    ovUnlock(m_lock);
    free(snapshot);
}

void TimerManager::DriverProc(void* manager) {
    TimerManager* self = static_cast<TimerManager*>(manager);
    if (!self)
        return;
    ovLock(self->m_lock);
    if (self->m_driver.id != 0)
        self->ManagerTick();
    ovUnlock(self->m_lock);
}

int32_t TimerManager::RegistrationCount() const {
    ovCAutoLock hold(m_lock);
    return m_entries.Count();
}

bool TimerManager::RegistrationAt(int32_t index, cpCTimer** timer, uint32_t* tag) const {
    ovCAutoLock hold(m_lock);
    if (index < 0)
        return false;
    ovCPtrList::Node* node = m_entries.HeadNode();
    for (int32_t i = 0; node && i < index; ++i)
        node = node->next;
    if (!node)
        return false;
    const TimerEntry* entry = static_cast<const TimerEntry*>(node->element);
    if (timer)
        *timer = entry->timer;
    if (tag)
        *tag = entry->tag;
    return true;
}
