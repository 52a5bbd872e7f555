// Timers and the timer manager: schedule arithmetic and ticks on a fake wall
// clock, re-entrancy inside callbacks, the library lock, the real 100 ms
// driver, and the garbage collector driven by timer ticks.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "opn/platform/cpCMutex.h"
#include "opn/core/ovCGarbageCollector.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/TimerManager.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/platform/pfMessageLoop.h"
#include "support/Eventually.h"

namespace {

// 2024-06-05 00:00:00 UTC.
const int64_t kDay = 1717545600;

TimerTime At(int h, int m, int s, int ms) {
    TimerTime t;
    t.seconds = kDay + h * 3600 + m * 60 + s;
    t.milliseconds = (uint32_t)ms;
    return t;
}

TimerTime g_now;
TimerTime FakeClock() {
    return g_now;
}
uint32_t FakeSeconds() {
    return (uint32_t)g_now.seconds;
}

bool SameTime(const TimerTime& a, const TimerTime& b) {
    return a.seconds == b.seconds && a.milliseconds == b.milliseconds;
}

struct Probe {
    int fired = 0;
    TimerTime lastAt = {0, 0};
};

void CountFiring(void* user) {
    Probe* probe = static_cast<Probe*>(user);
    ++probe->fired;
    probe->lastAt = g_now;
}

// A timer that reports its own destruction.
class ProbeTimer : public cpCTimer {
  public:
    explicit ProbeTimer(int* deleted) : m_deleted(deleted) {}
    ~ProbeTimer() override { ++*m_deleted; }

  private:
    int* m_deleted;
};

class TimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TimerSetClock(&FakeClock);
        g_now = At(10, 0, 0, 0);
        lock = new cpCMutex();
        manager = new TimerManager(lock);
    }
    void TearDown() override {
        delete manager;
        manager = nullptr;
        lock.Reset();
        TimerSetClock(nullptr);
    }

    void TickAt(const TimerTime& t) {
        g_now = t;
        manager->ManagerTick();
    }
    // Ticks every 100 ms from `from` up to and including `to`.
    void TickEvery100(TimerTime from, const TimerTime& to) {
        for (int guard = 0; guard < 100000; ++guard) {
            TickAt(from);
            from.milliseconds += 100;
            if (from.milliseconds >= 1000) {
                from.milliseconds -= 1000;
                ++from.seconds;
            }
            if (from.seconds > to.seconds ||
                (from.seconds == to.seconds && from.milliseconds > to.milliseconds))
                return;
        }
        FAIL() << "tick range too long";
    }

    ovSmartPtr NewTimer() { return ovSmartPtr(new cpCTimer()); }
    static cpCTimer* T(const ovSmartPtr& p) { return p.As<cpCTimer>(); }

    ovSmartPtr lock;
    TimerManager* manager = nullptr;
};

// --- Objects and registrations ---

TEST_F(TimerTest, ClassIdCreatesTimerAndOperationsAnswerPlatformSuccess) {
    ovSmartPtr p;
    ASSERT_TRUE(p.CreateInstance(OV_CLSID_TIMER));
    cpCTimer* timer = dynamic_cast<cpCTimer*>(p.Get());
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->RefCount(), 1);
    Probe probe;
    EXPECT_EQ(timer->Start(1000, &CountFiring, &probe, 7, ovSmartPtr()), OV_S_PLATFORM);
    EXPECT_EQ(timer->Restart(), OV_S_PLATFORM);
    EXPECT_EQ(timer->Stop(), OV_S_PLATFORM);
    EXPECT_EQ(manager->RegistrationCount(), 0);
}

TEST_F(TimerTest, GlobalManagerFollowsConstructionAndDestruction) {
    EXPECT_EQ(GlobalTimerManager(), manager);
    delete manager;
    manager = nullptr;
    EXPECT_EQ(GlobalTimerManager(), nullptr);

    // Without a manager Start reports failure and Stop is harmless.
    ovSmartPtr t = NewTimer();
    Probe probe;
    EXPECT_EQ(T(t)->Start(1000, &CountFiring, &probe, 1, ovSmartPtr()), OV_E_PLATFORM);
    EXPECT_EQ(T(t)->Stop(), OV_S_PLATFORM);

    manager = new TimerManager(lock);
    EXPECT_EQ(GlobalTimerManager(), manager);
}

TEST_F(TimerTest, StartingTwiceAddsTwoRegistrationsAndStopRemovesTheFirst) {
    ovSmartPtr t = NewTimer();
    Probe probe;
    T(t)->Start(1000, &CountFiring, &probe, 0xA, ovSmartPtr());
    T(t)->Start(1000, &CountFiring, &probe, 0xB, ovSmartPtr());
    ASSERT_EQ(manager->RegistrationCount(), 2);

    T(t)->Stop();
    ASSERT_EQ(manager->RegistrationCount(), 1);
    cpCTimer* held = nullptr;
    uint32_t tag = 0;
    ASSERT_TRUE(manager->RegistrationAt(0, &held, &tag));
    EXPECT_EQ(held, T(t));
    EXPECT_EQ(tag, 0xBu);
    EXPECT_FALSE(manager->RegistrationAt(1, &held, &tag));

    // The remaining registration belongs to a stopped timer: it never fires.
    TickEvery100(At(10, 0, 0, 0), At(10, 0, 3, 0));
    EXPECT_EQ(probe.fired, 0);

    T(t)->Stop();
    EXPECT_EQ(manager->RegistrationCount(), 0);
}

TEST_F(TimerTest, TimerRegisteredTwiceFiresOncePerTick) {
    ovSmartPtr t = NewTimer();
    Probe probe;
    T(t)->Start(1000, &CountFiring, &probe, 1, ovSmartPtr());
    T(t)->Start(1000, &CountFiring, &probe, 2, ovSmartPtr());
    TickAt(At(10, 0, 1, 0));
    EXPECT_EQ(probe.fired, 1);
    T(t)->Stop();
    T(t)->Stop();
}

TEST_F(TimerTest, DestructionDropsAllRegistrations) {
    ovSmartPtr a = NewTimer(), b = NewTimer(), c = NewTimer();
    Probe probe;
    T(a)->Start(100, &CountFiring, &probe, 1, ovSmartPtr());
    T(b)->Start(100, &CountFiring, &probe, 2, ovSmartPtr());
    T(b)->Start(100, &CountFiring, &probe, 3, ovSmartPtr());
    T(c)->Start(100, &CountFiring, &probe, 4, lock);
    ASSERT_EQ(manager->RegistrationCount(), 4);
    delete manager;
    manager = nullptr;
    // The timers outlive the manager; stopping and releasing them is safe.
    EXPECT_EQ(T(a)->Stop(), OV_S_PLATFORM);
    a.Reset();
    b.Reset();
    c.Reset();
    EXPECT_EQ(probe.fired, 0);
    manager = new TimerManager(lock);
    EXPECT_EQ(manager->RegistrationCount(), 0);
}

TEST_F(TimerTest, TickCounterCountsEveryTick) {
    EXPECT_EQ(manager->TickCount(), 1u);
    TickAt(At(10, 0, 0, 100));
    TickAt(At(10, 0, 0, 200));
    EXPECT_EQ(manager->TickCount(), 3u);
}

// --- Schedule ---

TEST_F(TimerTest, ScheduleDoesNotDriftWhenAFiringRunsLate) {
    g_now = At(10, 0, 0, 950);
    ovSmartPtr t = NewTimer();
    Probe probe;
    T(t)->Start(1000, &CountFiring, &probe, 1, ovSmartPtr());
    EXPECT_TRUE(SameTime(T(t)->Due(), At(10, 0, 1, 950)));

    TickAt(At(10, 0, 1, 900));  // 50 ms early: too early
    EXPECT_EQ(probe.fired, 0);
    TickAt(At(10, 0, 2, 0));  // the first firing runs late
    EXPECT_EQ(probe.fired, 1);
    EXPECT_TRUE(SameTime(T(t)->Due(), At(10, 0, 2, 950)));
    TickAt(At(10, 0, 2, 900));
    EXPECT_EQ(probe.fired, 1);
    TickAt(At(10, 0, 2, 950));
    EXPECT_EQ(probe.fired, 2);
    EXPECT_TRUE(SameTime(T(t)->Due(), At(10, 0, 3, 950)));
    T(t)->Stop();
}

TEST_F(TimerTest, FiresUpToTenMillisecondsEarlyWithinTheSecond) {
    g_now = At(10, 0, 4, 300);
    ovSmartPtr t = NewTimer();
    Probe probe;
    T(t)->Start(1000, &CountFiring, &probe, 1, ovSmartPtr());
    ASSERT_TRUE(SameTime(T(t)->Due(), At(10, 0, 5, 300)));
    TickAt(At(10, 0, 5, 280));
    EXPECT_EQ(probe.fired, 0);
    TickAt(At(10, 0, 5, 289));
    EXPECT_EQ(probe.fired, 0);
    TickAt(At(10, 0, 5, 290));
    EXPECT_EQ(probe.fired, 1);
    T(t)->Stop();

    // The same case at 05.295.
    g_now = At(10, 0, 4, 300);
    Probe second;
    T(t)->Start(1000, &CountFiring, &second, 1, ovSmartPtr());
    TickAt(At(10, 0, 5, 295));
    EXPECT_EQ(second.fired, 1);
    T(t)->Stop();
}

TEST_F(TimerTest, EarlyWindowDoesNotReachIntoThePreviousSecond) {
    g_now = At(10, 0, 5, 5);
    ovSmartPtr t = NewTimer();
    Probe probe;
    T(t)->Start(1000, &CountFiring, &probe, 1, ovSmartPtr());
    ASSERT_TRUE(SameTime(T(t)->Due(), At(10, 0, 6, 5)));
    TickAt(At(10, 0, 5, 999));
    EXPECT_EQ(probe.fired, 0);
    TickAt(At(10, 0, 6, 0));
    EXPECT_EQ(probe.fired, 1);
    T(t)->Stop();
}

TEST_F(TimerTest, AtMostOneFiringPerTick) {
    ovSmartPtr t = NewTimer();
    Probe probe;
    T(t)->Start(100, &CountFiring, &probe, 1, ovSmartPtr());
    TickAt(At(10, 0, 0, 100));
    EXPECT_EQ(probe.fired, 1);
    // 2.5 s late (below the jump threshold): many periods are overdue, yet
    // each tick fires once.
    TickAt(At(10, 0, 2, 600));
    EXPECT_EQ(probe.fired, 2);
    TickAt(At(10, 0, 2, 650));
    EXPECT_EQ(probe.fired, 3);
    // The schedule still counts from the start, one period per firing.
    EXPECT_TRUE(SameTime(T(t)->Due(), At(10, 0, 0, 400)));
    T(t)->Stop();
}

TEST_F(TimerTest, RestartSchedulesFromNow) {
    ovSmartPtr t = NewTimer();
    Probe probe;
    T(t)->Start(1000, &CountFiring, &probe, 1, ovSmartPtr());
    g_now = At(10, 0, 0, 700);
    T(t)->Restart();
    EXPECT_TRUE(SameTime(T(t)->Due(), At(10, 0, 1, 700)));
    TickAt(At(10, 0, 1, 0));
    EXPECT_EQ(probe.fired, 0);
    TickAt(At(10, 0, 1, 700));
    EXPECT_EQ(probe.fired, 1);
    T(t)->Stop();
    EXPECT_TRUE(SameTime(T(t)->Due(), TimerTime{0, 0}));
    EXPECT_FALSE(T(t)->HasCallback());
}

// --- Wall-clock jumps ---

TEST_F(TimerTest, ClockSetBackAnHourRebasesEveryTimer) {
    ovSmartPtr a = NewTimer(), b = NewTimer();
    Probe pa, pb;
    T(a)->Start(1000, &CountFiring, &pa, 1, ovSmartPtr());
    T(b)->Start(3000, &CountFiring, &pb, 2, ovSmartPtr());
    TickEvery100(At(10, 0, 0, 100), At(10, 0, 2, 0));
    ASSERT_EQ(pa.fired, 2);
    ASSERT_EQ(pb.fired, 0);

    // An hour back: no firing on the jump tick, then one period later.
    TickAt(At(9, 0, 2, 100));
    EXPECT_EQ(pa.fired, 2);
    EXPECT_TRUE(SameTime(T(a)->Due(), At(9, 0, 3, 100)));
    EXPECT_TRUE(SameTime(T(b)->Due(), At(9, 0, 5, 100)));
    TickEvery100(At(9, 0, 2, 200), At(9, 0, 3, 0));
    EXPECT_EQ(pa.fired, 2);
    TickAt(At(9, 0, 3, 100));
    EXPECT_EQ(pa.fired, 3);
    TickEvery100(At(9, 0, 3, 200), At(9, 0, 5, 100));
    EXPECT_EQ(pb.fired, 1);
    EXPECT_TRUE(SameTime(pb.lastAt, At(9, 0, 5, 100)));
    T(a)->Stop();
    T(b)->Stop();
}

TEST_F(TimerTest, ClockJumpingForwardDoesNotFireAtOnce) {
    ovSmartPtr t = NewTimer();
    Probe probe;
    T(t)->Start(1000, &CountFiring, &probe, 1, ovSmartPtr());
    TickAt(At(10, 0, 0, 100));
    TickAt(At(11, 0, 0, 100));  // an hour ahead: overdue, but re-based
    EXPECT_EQ(probe.fired, 0);
    EXPECT_TRUE(SameTime(T(t)->Due(), At(11, 0, 1, 100)));
    TickAt(At(11, 0, 1, 100));
    EXPECT_EQ(probe.fired, 1);
    T(t)->Stop();
}

TEST_F(TimerTest, JumpThresholdIsThreeSecondsEitherWay) {
    ovSmartPtr t = NewTimer();
    Probe probe;
    T(t)->Start(1000, &CountFiring, &probe, 1, ovSmartPtr());
    TickAt(At(10, 0, 0, 100));
    // 2999 ms later is a late tick, not a jump: the overdue timer fires.
    TickAt(At(10, 0, 3, 99));
    EXPECT_EQ(probe.fired, 1);
    EXPECT_TRUE(SameTime(T(t)->Due(), At(10, 0, 2, 0)));
    // 3000 ms later is a jump: re-based, not fired.
    TickAt(At(10, 0, 6, 99));
    EXPECT_EQ(probe.fired, 1);
    EXPECT_TRUE(SameTime(T(t)->Due(), At(10, 0, 7, 99)));
    // 2999 ms back is no jump either (the timer is not due yet).
    TickAt(At(10, 0, 3, 100));
    EXPECT_TRUE(SameTime(T(t)->Due(), At(10, 0, 7, 99)));
    // 3000 ms back is.
    TickAt(At(10, 0, 0, 100));
    EXPECT_TRUE(SameTime(T(t)->Due(), At(10, 0, 1, 100)));
    EXPECT_EQ(probe.fired, 1);
    T(t)->Stop();
}

TEST_F(TimerTest, FirstTickIsNeverAJump) {
    g_now = At(10, 0, 0, 0);
    ovSmartPtr t = NewTimer();
    Probe probe;
    T(t)->Start(1000, &CountFiring, &probe, 1, ovSmartPtr());
    // No previous stamp: even a tick far away only sees an overdue timer.
    TickAt(At(12, 0, 0, 0));
    EXPECT_EQ(probe.fired, 1);
    T(t)->Stop();
}

// --- Callbacks that change timers ---

struct StopOther {
    ovSmartPtr other;
    int fired = 0;
};

void StopOtherTimer(void* user) {
    StopOther* s = static_cast<StopOther*>(user);
    ++s->fired;
    s->other.As<cpCTimer>()->Stop();
}

TEST_F(TimerTest, TimerStoppedByAnEarlierCallbackDoesNotFireInThatTick) {
    ovSmartPtr a = NewTimer(), b = NewTimer();
    StopOther s;
    s.other = b;
    Probe pb;
    T(a)->Start(1000, &StopOtherTimer, &s, 1, ovSmartPtr());
    T(b)->Start(1000, &CountFiring, &pb, 2, ovSmartPtr());
    TickAt(At(10, 0, 1, 0));  // both due
    EXPECT_EQ(s.fired, 1);
    EXPECT_EQ(pb.fired, 0);
    EXPECT_EQ(manager->RegistrationCount(), 1);
    T(a)->Stop();
}

struct StartOther {
    ovSmartPtr other;
    Probe probe;
    int fired = 0;
};

void StartOtherTimer(void* user) {
    StartOther* s = static_cast<StartOther*>(user);
    if (s->fired++ == 0)
        s->other.As<cpCTimer>()->Start(0, &CountFiring, &s->probe, 9, ovSmartPtr());
}

TEST_F(TimerTest, TimerStartedInACallbackWaitsForTheNextTick) {
    ovSmartPtr a = NewTimer(), b = NewTimer();
    StartOther s;
    s.other = b;
    T(a)->Start(1000, &StartOtherTimer, &s, 1, ovSmartPtr());
    TickAt(At(10, 0, 1, 0));
    EXPECT_EQ(s.fired, 1);
    EXPECT_EQ(s.probe.fired, 0);  // period 0 is due at once, but not in this tick
    TickAt(At(10, 0, 1, 100));
    EXPECT_EQ(s.probe.fired, 1);
    T(a)->Stop();
    T(b)->Stop();
}

struct SelfEnd {
    ovSmartPtr self;
    int* deleted = nullptr;
    bool stop = false;
    int fired = 0;
    int deletedInsideCallback = -1;
};

void EndSelf(void* user) {
    SelfEnd* s = static_cast<SelfEnd*>(user);
    ++s->fired;
    if (s->stop)
        s->self.As<cpCTimer>()->Stop();
    s->self.Reset();  // the last reference
    s->deletedInsideCallback = *s->deleted;
}

TEST_F(TimerTest, TimerThatStopsAndReleasesItselfInItsCallback) {
    int deleted = 0;
    SelfEnd s;
    s.deleted = &deleted;
    s.stop = true;
    s.self = new ProbeTimer(&deleted);
    s.self.As<cpCTimer>()->Start(1000, &EndSelf, &s, 1, lock);
    TickAt(At(10, 0, 1, 0));
    EXPECT_EQ(s.fired, 1);
    EXPECT_EQ(s.deletedInsideCallback, 0);  // the tick's reference keeps it
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(manager->RegistrationCount(), 0);
    TickAt(At(10, 0, 2, 0));
    EXPECT_EQ(s.fired, 1);
}

TEST_F(TimerTest, TimerReleasedWithoutStopInItsCallbackLeavesNoRegistration) {
    int deleted = 0;
    SelfEnd s;
    s.deleted = &deleted;
    s.self = new ProbeTimer(&deleted);
    s.self.As<cpCTimer>()->Start(1000, &EndSelf, &s, 1, ovSmartPtr());
    s.self.As<cpCTimer>()->Start(1000, &EndSelf, &s, 2, ovSmartPtr());
    TickAt(At(10, 0, 1, 0));
    EXPECT_EQ(s.fired, 1);
    EXPECT_EQ(s.deletedInsideCallback, 0);
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(manager->RegistrationCount(), 0);
    TickAt(At(10, 0, 2, 0));
    EXPECT_EQ(s.fired, 1);
}

// --- The library lock ---

TEST_F(TimerTest, TickWaitsForTheLibraryLockHeldByAnotherThread) {
    ovSmartPtr t = NewTimer();
    std::atomic<int> fired{0};
    T(t)->Start(
        1000, [](void* user) { static_cast<std::atomic<int>*>(user)->fetch_add(1); }, &fired, 1,
        ovSmartPtr());
    g_now = At(10, 0, 1, 0);

    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        ovLock(lock);
        held = true;
        sftest::Eventually([&] { return release.load(); });
        ovUnlock(lock);
    });
    sftest::Eventually([&] { return held.load(); });
    ASSERT_TRUE(held);

    std::atomic<bool> tickDone{false};
    std::thread ticker([&] {
        manager->ManagerTick();
        tickDone = true;
    });
    // A thread waiting on a lock gives no sign of it: this pause lets the
    // ticker reach the lock, and a tick that did not wait would fire in it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(fired.load(), 0);  // blocked while the lock is held
    EXPECT_FALSE(tickDone);
    release = true;
    holder.join();
    ticker.join();
    EXPECT_EQ(fired.load(), 1);
    T(t)->Stop();
}

// --- The real 100 ms driver on a library-style thread ---

struct DriverRun {
    ovSmartPtr lock;
    std::atomic<int> fired{0};
    std::atomic<uint32_t> threadId{0};
    std::atomic<bool> ready{false};
    std::atomic<bool> driverRunning{false};
    // Asks the next callback to wait inside until `proceed`.
    std::atomic<bool> holdNext{false}, inCallback{false}, proceed{false};
};

void CountDriverFiring(void* user) {
    DriverRun* run = static_cast<DriverRun*>(user);
    run->fired.fetch_add(1);
    if (run->holdNext.exchange(false)) {
        run->inCallback = true;
        sftest::Eventually([run] { return run->proceed.load(); }, 5000, 20);
    }
}

void RunDriverThread(DriverRun* run) {
    PfMessageLoopInit();
    TimerManager* manager = new TimerManager(run->lock);
    run->driverRunning = manager->DriverRunning();
    ovSmartPtr timer(new cpCTimer());
    timer.As<cpCTimer>()->Start(200, &CountDriverFiring, run, 1, ovSmartPtr());
    run->threadId = PfCurrentThreadId();
    run->ready = true;
    volatile int32_t keepRunning = 1;
    PfRunMessageLoop(&keepRunning);
    ovLock(run->lock);
    timer.As<cpCTimer>()->Stop();
    ovUnlock(run->lock);
    timer.Reset();
    delete manager;
    PfMessageLoopDone();
}

bool WaitFor(const std::atomic<int>& value, int atLeast) {
    return sftest::Eventually([&] { return value.load() >= atLeast; }, 10000, 20);
}

TEST(TimerDriver, ThreadTimerFiresTimersOnTheLoopThreadUnderTheLock) {
    TimerSetClock(nullptr);
    DriverRun run;
    run.lock = new cpCMutex();
    std::thread loop(&RunDriverThread, &run);
    sftest::Eventually([&] { return run.ready.load(); }, 10000, 20);
    ASSERT_TRUE(run.ready);
    EXPECT_TRUE(run.driverRunning);

    bool firedAtAll = WaitFor(run.fired, 2);
    EXPECT_TRUE(firedAtAll);
    int whileHeld = -1, afterHold = -1;
    if (firedAtAll) {
        // While this thread holds the library lock no tick can run.
        ovLock(run.lock);
        whileHeld = run.fired.load();
        // More than two periods of the timer: a tick that did not wait for
        // the lock would fire in them (a blocked tick gives no sign).
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        afterHold = run.fired.load();
        ovUnlock(run.lock);
        EXPECT_EQ(afterHold, whileHeld);
        EXPECT_TRUE(WaitFor(run.fired, whileHeld + 2));

        // While a callback runs, its thread holds the library lock.
        run.holdNext = true;
        sftest::Eventually([&] { return run.inCallback.load(); }, 10000, 20);
        EXPECT_TRUE(run.inCallback);
        std::atomic<bool> acquired{false};
        std::thread locker([&] {
            ovLock(run.lock);
            acquired = true;
            ovUnlock(run.lock);
        });
        // The locker gives no sign that it waits; a lock free during the
        // callback would be taken in this pause.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        bool acquiredDuringCallback = acquired;
        run.proceed = true;
        locker.join();
        EXPECT_FALSE(acquiredDuringCallback);
        EXPECT_TRUE(acquired);
    }
    EXPECT_TRUE(PfPostQuit(run.threadId));
    loop.join();
    EXPECT_EQ(GlobalTimerManager(), nullptr);
}

// --- The garbage collector on timer ticks ---

struct Collected : public ovIUnknown {
    OV_IMPLEMENT_REFCOUNT(Collected)

  public:
    explicit Collected(TimerTime* releasedAt) : m_releasedAt(releasedAt) {}
    ~Collected() override { *m_releasedAt = g_now; }

  private:
    TimerTime* m_releasedAt;
};

TEST_F(TimerTest, GarbageCollectorRunsEveryThreeSecondsOnTimerTicks) {
    g_now = At(12, 0, 0, 0);
    TimerTime first = {0, 0}, second = {0, 0};
    ovCGarbageCollector::SetTimerDriver(TimerCollectorDriver());
    {
        ovCGarbageCollector gc;
        gc.SetClock(&FakeSeconds);
        ASSERT_EQ(manager->RegistrationCount(), 1) << "the collector starts no timer";
        uint32_t tag = 0;
        ASSERT_TRUE(manager->RegistrationAt(0, nullptr, &tag));
        EXPECT_EQ(tag, 0x1000001u);

        TickAt(At(12, 0, 0, 0));
        g_now = At(12, 0, 0, 900);
        gc.DeferRelease(ovSmartPtr(new Collected(&first)));
        TickEvery100(At(12, 0, 0, 900), At(12, 0, 2, 400));
        g_now = At(12, 0, 2, 500);
        gc.DeferRelease(ovSmartPtr(new Collected(&second)));
        EXPECT_EQ(gc.PendingCount(), 2);

        // The run at 03.000 keeps both (expiry 3 is not earlier than 3).
        TickEvery100(At(12, 0, 2, 500), At(12, 0, 5, 900));
        EXPECT_EQ(first.seconds, 0);
        EXPECT_EQ(gc.PendingCount(), 2);
        // The run at 06.000 releases both: 5.1 s and 3.5 s after hand-over.
        TickEvery100(At(12, 0, 6, 0), At(12, 0, 8, 0));
        EXPECT_TRUE(SameTime(first, At(12, 0, 6, 0)));
        EXPECT_TRUE(SameTime(second, At(12, 0, 6, 0)));
        EXPECT_EQ(gc.PendingCount(), 0);
    }
    EXPECT_EQ(manager->RegistrationCount(), 0);
}

}  // namespace
