#include "opn/opeerqos/cpCTimer.h"

#include <atomic>
#include <chrono>

#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/TimerManager.h"

namespace {

TimerTime SystemClock() {
    // system_clock is the wall clock on both backends (and may jump, which
    // the manager notices).
    int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    if (ms < 0)
        ms = 0;
    TimerTime t;
    t.seconds = ms / 1000;
    t.milliseconds = (uint32_t)(ms % 1000);
    return t;
}

// Set by tests before any tick runs; atomic so a library thread may read it.
std::atomic<TimerClock> g_clock{nullptr};

}  // namespace

void TimerSetClock(TimerClock clock) {
    g_clock.store(clock);
}

TimerTime TimerClockNow() {
    TimerClock clock = g_clock.load();
    TimerTime t = clock ? clock() : SystemClock();
    if (t.milliseconds > 999) {
        t.seconds += t.milliseconds / 1000;
        t.milliseconds %= 1000;
    }
    return t;
}

cpCTimer::cpCTimer() {}

cpCTimer::~cpCTimer() {
    TimerManager* manager = GlobalTimerManager();
    if (!manager)
        return;
    // Every registration names this timer exactly once, so this ends.
    while (manager->Remove(this)) {
    }
}

ResultCode cpCTimer::Start(uint32_t periodMs, cpTimerCallback callback, void* userValue,
                           uint32_t tag, const ovSmartPtr& lockObject) {
    m_callback = callback;
    m_userValue = userValue;
    m_periodMs = periodMs;
    m_lockObject = lockObject;
    Schedule(true);
    TimerManager* manager = GlobalTimerManager();
    if (!manager || !manager->Add(this, tag))
        return OV_E_PLATFORM;
    return OV_S_PLATFORM;
}

ResultCode cpCTimer::Stop() {
    TimerManager* manager = GlobalTimerManager();
    if (manager)
        manager->Remove(this);
    m_due.seconds = 0;
    m_due.milliseconds = 0;
    m_callback = nullptr;
    return OV_S_PLATFORM;
}

ResultCode cpCTimer::Restart() {
    Schedule(true);
    return OV_S_PLATFORM;
}

void cpCTimer::Schedule(bool restart) {
    if (restart) {
        m_start = TimerClockNow();
        m_fired = 1;
    } else {
        ++m_fired;
    }
    // 64-bit: period times count exceeds 32 bits after a few days of a long
    // period.
    uint64_t m = (uint64_t)m_start.milliseconds + (uint64_t)m_periodMs * m_fired;
    m_due.seconds = m_start.seconds + (int64_t)(m / 1000);
    m_due.milliseconds = (uint32_t)(m % 1000);
}

bool cpCTimer::IsDue(const TimerTime& now) const {
    if (m_due.seconds != now.seconds)
        return m_due.seconds < now.seconds;
    return now.milliseconds + 10 >= m_due.milliseconds;
}

void cpCTimer::Fire() {
    if (!m_callback)
        return;
    Schedule(false);
    // The callback may stop or restart this timer; read nothing afterwards.
    m_callback(m_userValue);
}

namespace {

ovSmartPtr StartCollectorTimer(uint32_t periodMs, void (*run)(void*), void* collector) {
    ovSmartPtr timer;
    // Without a timer manager the timer is started but never fires.
    if (timer.CreateInstance(OV_CLSID_TIMER))
        timer.As<cpCTimer>()->Start(periodMs, run, collector, kTimerTagGarbageCollector,
                                    ovSmartPtr());
    return timer;
}

void StopCollectorTimer(const ovSmartPtr& timer) {
    timer.As<cpCTimer>()->Stop();
}

const ovCollectorTimer kCollectorTimer = {&StartCollectorTimer, &StopCollectorTimer};

}  // namespace

const ovCollectorTimer* TimerCollectorDriver() {
    return &kCollectorTimer;
}
