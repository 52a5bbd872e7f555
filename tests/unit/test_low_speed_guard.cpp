// The low-speed guard on a fake timer clock: the 30-second window, the
// floor and its scaling to a small budget, clock jumps, and the timer that
// calls back once (the callback may delete the guard).
#include <stdint.h>

#include <memory>

#include <gtest/gtest.h>

#include "opn/platform/cpCMutex.h"
#include "opn/opeerqos/TimerManager.h"
#include "opn/opeerqos/cpCTimer.h"
#include "sdk/download/LowSpeedGuard.h"

namespace {

TimerTime g_now;
TimerTime FakeClock() {
    return g_now;
}

void Step(uint32_t ms) {
    g_now.milliseconds += ms % 1000;
    g_now.seconds += ms / 1000 + g_now.milliseconds / 1000;
    g_now.milliseconds %= 1000;
}

struct Calls {
    int count = 0;
    std::unique_ptr<LowSpeedGuard>* owner = nullptr;  // deleted in the callback when set
};

void Count(void* user) {
    Calls* calls = static_cast<Calls*>(user);
    ++calls->count;
    if (calls->owner)
        calls->owner->reset();
}

class Guard : public ::testing::Test {
  protected:
    void SetUp() override {
        g_now = {1717545600, 250};
        TimerSetClock(&FakeClock);
    }
    void TearDown() override { TimerSetClock(nullptr); }
};

TEST_F(Guard, TheWindowDecidesFromBytesPerSecond) {
    struct Case {
        const char* what;
        uint32_t budget;
        int64_t (*bytes)(int second);  // bytes arriving in that second
        int seconds;                   // seconds watched
        int trippedAt;                 // second of the first "too slow", -1 never
    };
    const uint32_t none = LowSpeedGuard::kNoBudget;
    const Case cases[] = {
        {"nothing at all", none, [](int) -> int64_t { return 0; }, 40, 30},
        {"one byte a second", none, [](int) -> int64_t { return 1; }, 40, 30},
        {"just under the floor", none, [](int) -> int64_t { return 1023; }, 40, 30},
        {"at the floor", none, [](int) -> int64_t { return 1024; }, 60, -1},
        {"fast", none, [](int) -> int64_t { return 1 << 20; }, 60, -1},
        {"a burst of 30 KiB, then silence", none,
         [](int s) -> int64_t { return s == 0 ? 30 * 1024 : 0; }, 60, 31},
        {"10 KiB every 10 s", none, [](int s) -> int64_t { return s % 10 == 0 ? 10 * 1024 : 0; },
         90, -1},
        {"a budget below twice the floor halves it", 1200, [](int) -> int64_t { return 600; }, 60,
         -1},
        {"and holds it", 1200, [](int) -> int64_t { return 599; }, 60, 30},
        {"a large budget keeps the floor", 393216, [](int) -> int64_t { return 1023; }, 40, 30},
        {"a budget of 0 is not watched", 0, [](int) -> int64_t { return 0; }, 60, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Calls calls;
        LowSpeedGuard guard(&Count, &calls);
        guard.Begin(c.budget);
        int tripped = -1;
        for (int s = 0; s < c.seconds && tripped < 0; ++s) {
            // Bytes arrive in the middle of each second; the look comes at its end.
            Step(500);
            guard.Add(c.bytes(s));
            Step(500);
            if (guard.TooSlow())
                tripped = s + 1;
        }
        EXPECT_EQ(c.trippedAt, tripped);
        EXPECT_EQ(0, calls.count) << "no timer manager: no callback";
    }
}

// Looks once a second for `seconds` seconds; whether any look found the
// attempt too slow.
bool LookFor(LowSpeedGuard& guard, int seconds) {
    bool slow = false;
    for (int s = 0; s < seconds; ++s) {
        Step(1000);
        slow = guard.TooSlow() || slow;
    }
    return slow;
}

TEST_F(Guard, ClockJumpsStartTheWindowAgainAndEndStopsWatching) {
    Calls calls;
    LowSpeedGuard guard(&Count, &calls);
    guard.Begin();
    EXPECT_EQ(LowSpeedGuard::kFloorBytesPerSecond, guard.Floor());
    EXPECT_FALSE(LookFor(guard, 29));
    // An hour forward: the gap is no silence of the server's.
    Step(3600 * 1000);
    EXPECT_FALSE(guard.TooSlow());
    EXPECT_FALSE(LookFor(guard, 29));
    // Backwards: started again too.
    g_now.seconds -= 600;
    EXPECT_FALSE(guard.TooSlow());
    EXPECT_FALSE(LookFor(guard, 29));
    // A gap just within the bound is silence.
    Step(LowSpeedGuard::kClockJumpSeconds * 1000);
    EXPECT_TRUE(guard.TooSlow());
    guard.End();
    EXPECT_FALSE(guard.Watching());
    EXPECT_FALSE(guard.TooSlow());
    // Bytes after the end are not counted, and a new Begin starts empty.
    guard.Add(1 << 20);
    guard.Begin();
    EXPECT_EQ(0, guard.BytesInWindow());
}

TEST_F(Guard, TheTimerCallsBackOnceAndTheCallbackMayDeleteTheGuard) {
    ovSmartPtr lock(new cpCMutex());
    std::unique_ptr<TimerManager> manager(new TimerManager(lock));
    auto tickFor = [&](int ms) {
        for (int t = 0; t < ms; t += 100) {
            Step(100);
            manager->ManagerTick();
        }
    };
    for (bool deleteInCallback : {false, true}) {
        SCOPED_TRACE(deleteInCallback);
        Calls calls;
        std::unique_ptr<LowSpeedGuard> guard(new LowSpeedGuard(&Count, &calls));
        if (deleteInCallback)
            calls.owner = &guard;
        guard->Begin();
        EXPECT_EQ(1, manager->RegistrationCount());
        tickFor(29000);
        guard->Add(100);  // far below the floor
        tickFor(900);
        EXPECT_EQ(0, calls.count);
        tickFor(1200);
        EXPECT_EQ(1, calls.count);
        EXPECT_EQ(0, manager->RegistrationCount()) << "the timer stopped";
        EXPECT_EQ(deleteInCallback, guard == nullptr);
        if (guard) {
            EXPECT_FALSE(guard->Watching());
            tickFor(5000);
            EXPECT_EQ(1, calls.count);
            // A new attempt is watched again, and its end stops the timer.
            guard->Begin();
            EXPECT_EQ(1, manager->RegistrationCount());
            guard->End();
            EXPECT_EQ(0, manager->RegistrationCount());
        }
    }
    // A guard destroyed while it watches leaves no timer behind.
    Calls calls;
    {
        LowSpeedGuard guard(&Count, &calls);
        guard.Begin();
        EXPECT_EQ(1, manager->RegistrationCount());
    }
    EXPECT_EQ(0, manager->RegistrationCount());
    tickFor(40000);
    EXPECT_EQ(0, calls.count);
    manager.reset();
}

}  // namespace
