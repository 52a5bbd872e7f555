// A timer clock (opn/opeerqos/cpCTimer.h) that the test moves on, so that a
// library timer fires when the test says and the test knows it has fired:
// Step moves the clock and returns once a tick of the timer manager has run
// on the new time, so every timer due by then has fired and whatever it
// reported is there. Frozen, the clock moves only by Step and no timer fires
// by itself; running, it follows the system clock plus the steps taken.
//
// One at a time. Install it while the library runs or before it starts, and
// drop it after the library ended (the system clock comes back then).
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>

#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/TimerManager.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/platform/cpCMutex.h"
#include "support/Eventually.h"

namespace sftest {

class SteppedTimerClock {
  public:
    enum Mode { kFrozen, kRunning };

    // The manager takes a larger move between two of its ticks for a clock
    // that jumped, and re-bases every timer instead of firing it.
    static const uint32_t kMaxStepMs = (uint32_t)TimerManager::kJumpMs - 1000;

    explicit SteppedTimerClock(Mode mode) {
        State& s = Shared();
        const TimerTime now = TimerClockNow();
        s.startMs = now.seconds * 1000 + now.milliseconds;
        s.realStart = std::chrono::steady_clock::now();
        s.running = mode == kRunning;
        s.shiftMs = 0;
        TimerSetClock(&SteppedTimerClock::Now);
    }
    ~SteppedTimerClock() { TimerSetClock(nullptr); }
    SteppedTimerClock(const SteppedTimerClock&) = delete;
    SteppedTimerClock& operator=(const SteppedTimerClock&) = delete;

    // Moves the clock on by `ms` (at most kMaxStepMs) and waits, at most
    // `timeoutMs`, for a tick of the timer manager that began afterwards.
    // `lock` is the library lock, which the manager holds through each tick.
    // False when there is no manager or no tick came.
    bool Step(uint32_t ms, const ovSmartPtr& lock, uint32_t timeoutMs = 10000) {
        if (ms > kMaxStepMs)
            return false;
        Shift(ms);
        // Read under the lock, the count belongs to a finished tick; a tick
        // counted later began after this read, on the moved clock.
        bool managed = false;
        auto ticks = [&] {
            ovCAutoLock hold(lock);
            TimerManager* manager = GlobalTimerManager();
            managed = manager != nullptr;
            return managed ? manager->TickCount() : 0u;
        };
        const uint32_t before = ticks();
        return managed && Eventually([&] { return ticks() != before; }, timeoutMs, 5);
    }

    // Moves the clock on by `ms` without waiting for a tick (for a test
    // that runs the manager's ticks itself, one tick's time at a time).
    void Shift(uint32_t ms) { Shared().shiftMs.fetch_add(ms); }

    // `count` steps of `periodMs` plus one manager tick each: a timer of
    // that period fires at least once per step.
    bool StepPeriods(uint32_t periodMs, int count, const ovSmartPtr& lock) {
        for (int i = 0; i < count; ++i)
            if (!Step(periodMs + TimerManager::kTickMs, lock))
                return false;
        return true;
    }

  private:
    struct State {
        int64_t startMs = 0;
        std::chrono::steady_clock::time_point realStart;
        bool running = false;
        std::atomic<int64_t> shiftMs{0};
    };
    static State& Shared() {
        static State state;
        return state;
    }
    static TimerTime Now() {
        const State& s = Shared();
        int64_t ms = s.startMs + s.shiftMs.load();
        if (s.running)
            ms += std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - s.realStart)
                      .count();
        return TimerTime{ms / 1000, (uint32_t)(ms % 1000)};
    }
};

}  // namespace sftest
