// Periodic timer of the network library. A running timer is registered with
// the timer manager (TimerManager.h), whose 100 ms tick fires it on the
// library thread, under the library lock, once its due time has come.
//
// Due times are wall-clock times (seconds since 1970 and milliseconds). The
// k-th firing is due exactly k periods after the schedule began, however late
// the earlier firings ran, so the schedule never drifts.
#pragma once

#include <stdint.h>

#include "opn/core/ovCGarbageCollector.h"
#include "opn/core/ovIUnknown.h"
#include "opn/core/ovSmartPtr.h"

// A wall-clock instant: seconds since 1970-01-01 UTC and milliseconds 0-999.
struct TimerTime {
    int64_t seconds;
    uint32_t milliseconds;
};

// The wall clock the timers run on. Tests install their own so that ticks
// see exact times; null restores the system clock.
typedef TimerTime (*TimerClock)();
void TimerSetClock(TimerClock clock);
TimerTime TimerClockNow();

// Called with the user value handed to Start.
typedef void (*cpTimerCallback)(void* userValue);

class cpCTimer : public ovIUnknown {
    OV_IMPLEMENT_REFCOUNT(cpCTimer)

  public:
    cpCTimer();
    // Drops any registration still held, so a timer released without Stop
    // leaves nothing dangling in the manager.
    ~cpCTimer() override;
    cpCTimer(const cpCTimer&) = delete;
    cpCTimer& operator=(const cpCTimer&) = delete;

    // Stores the callback, user value, period and lock object, schedules the
    // first firing one period from now and registers with the global timer
    // manager under `tag` (not interpreted). A timer already registered gets
    // a second registration. OV_S_PLATFORM; OV_E_PLATFORM when no timer
    // manager exists (the timer is then scheduled but never fires).
    virtual ResultCode Start(uint32_t periodMs, cpTimerCallback callback, void* userValue,
                             uint32_t tag, const ovSmartPtr& lockObject);
    // Removes the first registration of this timer, clears the due time and
    // the callback. OV_S_PLATFORM.
    virtual ResultCode Stop();
    // Schedules from now again. OV_S_PLATFORM.
    virtual ResultCode Restart();

    // Used by the manager's tick.
    // Restart: the schedule begins now; otherwise the next period is counted.
    void Schedule(bool restart);
    // Due when the due second has passed, or in the same second when `now`
    // is at most 10 ms before the due millisecond.
    bool IsDue(const TimerTime& now) const;
    // Schedules the next firing, then calls the callback; nothing when
    // stopped.
    void Fire();

    bool HasCallback() const { return m_callback != nullptr; }
    TimerTime Due() const { return m_due; }
    uint32_t PeriodMs() const { return m_periodMs; }

  private:
    cpTimerCallback m_callback = nullptr;
    void* m_userValue = nullptr;
    TimerTime m_due = {0, 0};
    TimerTime m_start = {0, 0};
    uint32_t m_periodMs = 0;
    ovSmartPtr m_lockObject;
    uint32_t m_fired = 0;  // periods counted since m_start
};

// Tags of the system's timers.
enum : uint32_t {
    kTimerTagGarbageCollector = 0x1000001,
    kTimerTagSocketManager = 0x1000002,
    kTimerTagConnectTimeout = 0x1000003,
};

// The garbage collector's timer driver: a cpCTimer (class id OV_CLSID_TIMER)
// started under kTimerTagGarbageCollector with no lock object. The network
// module installs it (ovCGarbageCollector::SetTimerDriver).
const ovCollectorTimer* TimerCollectorDriver();
