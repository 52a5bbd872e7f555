// The timer manager: every running cpCTimer is registered here, and one
// 100 ms thread timer of the library thread drives ManagerTick, which fires
// the timers that are due.
//
// The network module creates exactly one manager, on the library thread,
// after PfMessageLoopInit; while it exists GlobalTimerManager() returns it and
// cpCTimer::Start registers with it. Create and destroy it on the same thread
// (the thread timer belongs to that thread), and never destroy it from inside
// a timer callback.
//
// The driver takes the library lock around the whole tick, so callbacks run
// under it; the lock is re-entrant, so callbacks may start, stop and restart
// timers (their own included) and drop their last reference to a timer.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/platform/pfMessageLoop.h"

class TimerManager {
  public:
    // Keeps `lock` (a cpCMutex, may be empty) and starts the 100 ms thread
    // timer of the calling thread.
    explicit TimerManager(const ovSmartPtr& lock);
    // Under the lock: stops the thread timer and drops every registration,
    // from the last to the first. Then drops the lock.
    ~TimerManager();
    TimerManager(const TimerManager&) = delete;
    TimerManager& operator=(const TimerManager&) = delete;

    // Appends a registration (use count 1). False when memory runs out.
    bool Add(cpCTimer* timer, uint32_t tag);
    // Unlinks the first registration of `timer`; false when there is none.
    bool Remove(cpCTimer* timer);

    // One tick: notices wall-clock jumps (more than 2999 ms either way since
    // the previous tick) and re-bases every timer then, and fires each
    // registered timer that is due, at most once per tick. Timers stopped by
    // an earlier callback of the same tick are not fired.
    void ManagerTick();

    // The thread-timer procedure: ManagerTick under the library lock while
    // the thread timer runs.
    static void DriverProc(void* manager);

    // For tests and diagnostics.
    int32_t RegistrationCount() const;
    // The timer and tag of registration `index` (list order); false when out
    // of range.
    bool RegistrationAt(int32_t index, cpCTimer** timer, uint32_t* tag) const;
    uint32_t TickCount() const { return m_tickCount; }
    bool DriverRunning() const { return m_driver.id != 0; }

    static const uint32_t kTickMs = 100;
    static const uint32_t kDriverId = 10;
    // A tick further than this from the previous one means the clock jumped.
    static const int64_t kJumpMs = 2999;

  private:
    struct TimerEntry {
        cpCTimer* timer;
        uint32_t tag;
        int32_t useCount;  // 1 while registered, +1 while a tick handles it
    };
    struct DriverRecord {
        uint32_t id;  // 0 while no thread timer runs
        PfThreadTimerProc proc;
        void* user;
    };

    static void DropUse(TimerEntry* entry);

    ovCPtrList m_entries;  // TimerEntry*
    ovSmartPtr m_lock;
    DriverRecord m_driver;
    TimerTime m_stamp;  // previous tick; zero before the first
    uint32_t m_tickCount;
};

// The manager of the running network module, or null.
TimerManager* GlobalTimerManager();
