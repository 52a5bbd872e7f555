// A timer clock (opn/opeerqos/cpCTimer.h) that runs `factor` times as fast as
// real time from the moment it is installed, so that waits of the library
// (time-outs, the low-speed window) pass in a fraction of their real time
// while real servers keep their real pace. One at a time: install it before
// the library starts and drop it after the library ended (the system clock
// comes back then).
#pragma once

#include <stdint.h>

#include <chrono>

#include "opn/opeerqos/cpCTimer.h"

namespace sftest {

class FastTimerClock {
  public:
    explicit FastTimerClock(int32_t factor) {
        State& s = Shared();
        s.start = TimerClockNow();
        s.realStart = std::chrono::steady_clock::now();
        s.factor = factor;
        TimerSetClock(&FastTimerClock::Now);
    }
    ~FastTimerClock() { TimerSetClock(nullptr); }
    FastTimerClock(const FastTimerClock&) = delete;
    FastTimerClock& operator=(const FastTimerClock&) = delete;

  private:
    struct State {
        TimerTime start;
        std::chrono::steady_clock::time_point realStart;
        int32_t factor;
    };
    static State& Shared() {
        static State state;
        return state;
    }
    static TimerTime Now() {
        const State& s = Shared();
        const int64_t real = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - s.realStart)
                                 .count();
        const int64_t ms = s.start.milliseconds + real * s.factor;
        return TimerTime{s.start.seconds + ms / 1000, (uint32_t)(ms % 1000)};
    }
};

}  // namespace sftest
