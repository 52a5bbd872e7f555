#include <gtest/gtest.h>

#include <stdint.h>

#include <vector>

#include "opn/core/ovCGarbageCollector.h"
#include "opn/opeerqos/cpCTimer.h"
#include "unit/TestCountedObject.h"

using counted::CountedObject;

namespace {

// 2024-06-05 12:00:00 UTC.
const uint32_t kNoon = 1717588800u;

// The test clock runs in milliseconds; the collector reads whole seconds.
uint64_t g_nowMs = 0;

uint32_t TestClock() {
    return kNoon + static_cast<uint32_t>(g_nowMs / 1000);
}

// The collector's timer comes from the network stack, as the network module
// installs it.
struct WithCollectorTimer {
    WithCollectorTimer() { ovCGarbageCollector::SetTimerDriver(TimerCollectorDriver()); }
};

class GarbageCollectorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_nowMs = 0;
        gc.SetClock(&TestClock);
    }

    // Hands over a fresh object and drops the caller's own reference, the
    // way connections are given to the collector.
    void HandOver(int tag) {
        ovSmartPtr p(new CountedObject(&deaths, &log, tag));
        gc.DeferRelease(p);
        p.Reset();
    }

    // Declared first: the collector's destructor still reports deaths here.
    WithCollectorTimer timerDriver;
    int deaths = 0;
    std::vector<int> log;
    ovCGarbageCollector gc;
};

// An object whose death hands another object over to the collector.
class HandsOverOnDeath : public ovIUnknown {
    OV_IMPLEMENT_REFCOUNT(HandsOverOnDeath)

  public:
    HandsOverOnDeath(ovCGarbageCollector* gc, ovIUnknown* next) : m_gc(gc), m_next(next) {}
    ~HandsOverOnDeath() override { m_gc->DeferRelease(m_next); }
    HandsOverOnDeath(const HandsOverOnDeath&) = delete;
    HandsOverOnDeath& operator=(const HandsOverOnDeath&) = delete;

  private:
    ovCGarbageCollector* m_gc;
    ovSmartPtr m_next;
};

}  // namespace

TEST_F(GarbageCollectorTest, KeepsItsOwnReference) {
    CountedObject* object = new CountedObject(&deaths);
    ovSmartPtr p(object);
    gc.DeferRelease(p);
    EXPECT_EQ(2, object->RefCount());
    EXPECT_EQ(1, gc.PendingCount());
    p.Reset();
    EXPECT_EQ(0, deaths);
    EXPECT_EQ(1, object->RefCount());
}

TEST_F(GarbageCollectorTest, EmptyPointerIsIgnored) {
    gc.DeferRelease(ovSmartPtr());
    EXPECT_EQ(0, gc.PendingCount());
    g_nowMs = 10000;
    gc.Collect();
    EXPECT_EQ(0, gc.PendingCount());
}

TEST_F(GarbageCollectorTest, SurvivesUpToSecondThreeAndDiesAtSecondFour) {
    g_nowMs = 900;  // 12:00:00.900 reads as 12:00:00
    HandOver(1);
    for (uint64_t second = 0; second <= 3; ++second) {
        g_nowMs = second * 1000 + 999;
        gc.Collect();
        EXPECT_EQ(0, deaths) << "run at 12:00:0" << second;
        EXPECT_EQ(1, gc.PendingCount());
    }
    g_nowMs = 4000;  // 12:00:04
    gc.Collect();
    EXPECT_EQ(1, deaths);
    EXPECT_EQ(0, gc.PendingCount());
    gc.Collect();  // nothing left
    EXPECT_EQ(1, deaths);
}

TEST_F(GarbageCollectorTest, LateFirstRunReleasesAtOnce) {
    HandOver(1);
    g_nowMs = 60000;
    gc.Collect();
    EXPECT_EQ(1, deaths);
}

TEST_F(GarbageCollectorTest, ReleasesInHandOverOrderAndOnlyExpiredOnes) {
    HandOver(1);
    HandOver(2);  // same second as 1
    g_nowMs = 1200;
    HandOver(3);
    g_nowMs = 2500;
    HandOver(4);
    EXPECT_EQ(4, gc.PendingCount());

    g_nowMs = 4000;
    gc.Collect();
    EXPECT_EQ((std::vector<int>{1, 2}), log);
    EXPECT_EQ(2, gc.PendingCount());
    g_nowMs = 5000;
    gc.Collect();
    EXPECT_EQ((std::vector<int>{1, 2, 3}), log);
    g_nowMs = 5999;
    gc.Collect();
    EXPECT_EQ(1, gc.PendingCount());
    g_nowMs = 6000;
    gc.Collect();
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), log);
    EXPECT_EQ(0, gc.PendingCount());
}

// With runs every 3000 ms at any phase, an object lives more than 3 s and is
// released at the first run whose clock reading is past hand-over + 3, that is
// 4 to 6 clock seconds (less than 7 s) after it was handed over.
TEST_F(GarbageCollectorTest, ReleaseWindowForEveryHandOverAndRunPhase) {
    for (uint64_t phase = 0; phase < 3000; phase += 250) {
        for (uint64_t handOver = 10000; handOver < 13000; handOver += 100) {
            ovCGarbageCollector local;
            local.SetClock(&TestClock);
            int died = 0;
            g_nowMs = handOver;
            const uint32_t handOverReading = TestClock();
            {
                ovSmartPtr p(new CountedObject(&died));
                local.DeferRelease(p);
            }
            uint64_t run = phase;
            while (run <= handOver)
                run += 3000;
            uint64_t releasedAt = 0;
            for (int i = 0; i < 4 && died == 0; ++i, run += 3000) {
                g_nowMs = run;
                local.Collect();
                if (died)
                    releasedAt = run;
                else
                    EXPECT_LE(TestClock(), handOverReading + 3);
            }
            ASSERT_EQ(1, died) << "hand-over " << handOver << " phase " << phase;
            g_nowMs = releasedAt;
            EXPECT_GT(TestClock(), handOverReading + 3);
            EXPECT_LE(TestClock(), handOverReading + 6);
            EXPECT_GT(releasedAt - handOver, 3000u);
            EXPECT_LT(releasedAt - handOver, 7000u);
        }
    }
}

TEST_F(GarbageCollectorTest, ShutdownReleasesEverythingRegardlessOfExpiry) {
    HandOver(1);
    HandOver(2);
    HandOver(3);
    gc.Shutdown();
    EXPECT_EQ((std::vector<int>{1, 2, 3}), log);
    EXPECT_EQ(0, gc.PendingCount());
    EXPECT_TRUE(gc.Timer().IsEmpty());
    gc.Shutdown();  // again: nothing happens
    gc.Collect();
    EXPECT_EQ(3, deaths);
}

TEST_F(GarbageCollectorTest, DestructorReleasesWhatIsPending) {
    {
        ovCGarbageCollector local;
        local.SetClock(&TestClock);
        ovSmartPtr p(new CountedObject(&deaths));
        local.DeferRelease(p);
        local.DeferRelease(p);  // two entries, two references
        EXPECT_EQ(2, local.PendingCount());
        EXPECT_EQ(3, p.As<CountedObject>()->RefCount());
    }
    EXPECT_EQ(1, deaths);
}

TEST_F(GarbageCollectorTest, HandOverAfterShutdownIsStillKept) {
    gc.Shutdown();
    HandOver(7);
    EXPECT_EQ(0, deaths);
    EXPECT_EQ(1, gc.PendingCount());
    g_nowMs = 4000;
    gc.Collect();
    EXPECT_EQ(1, deaths);
}

TEST_F(GarbageCollectorTest, InitAgainKeepsPendingEntries) {
    HandOver(1);
    gc.Init();
    EXPECT_EQ(1, gc.PendingCount());
    EXPECT_EQ(0, deaths);
}

TEST_F(GarbageCollectorTest, ObjectHandedOverDuringCollectWaitsItsTurn) {
    ovSmartPtr first(new HandsOverOnDeath(&gc, new CountedObject(&deaths, &log, 2)));
    gc.DeferRelease(first);
    first.Reset();
    g_nowMs = 4000;
    gc.Collect();  // frees the first, which hands over the second at 12:00:04
    EXPECT_EQ(0, deaths);
    EXPECT_EQ(1, gc.PendingCount());
    g_nowMs = 7999;
    gc.Collect();
    EXPECT_EQ(0, deaths);
    g_nowMs = 8000;
    gc.Collect();
    EXPECT_EQ(1, deaths);
}

TEST_F(GarbageCollectorTest, ObjectHandedOverDuringShutdownIsReleasedToo) {
    ovSmartPtr first(new HandsOverOnDeath(&gc, new CountedObject(&deaths)));
    gc.DeferRelease(first);
    first.Reset();
    gc.Shutdown();
    EXPECT_EQ(1, deaths);
    EXPECT_EQ(0, gc.PendingCount());
}

TEST_F(GarbageCollectorTest, RunsOnItsOwnThreeSecondTimer) {
    ASSERT_FALSE(gc.Timer().IsEmpty());
    cpCTimer* timer = gc.Timer().As<cpCTimer>();
    EXPECT_EQ(3000u, timer->PeriodMs());
    EXPECT_TRUE(timer->HasCallback());
    EXPECT_EQ(1, timer->RefCount());

    HandOver(1);
    g_nowMs = 4000;
    timer->Fire();  // what the timer manager does when it is due
    EXPECT_EQ(1, deaths);

    gc.Shutdown();
    EXPECT_TRUE(gc.Timer().IsEmpty());
    gc.Init();  // a new timer after a new Init
    ASSERT_FALSE(gc.Timer().IsEmpty());
    EXPECT_TRUE(gc.Timer().As<cpCTimer>()->HasCallback());
}

TEST_F(GarbageCollectorTest, NullClockMeansTheSystemClock) {
    gc.SetClock(nullptr);
    HandOver(1);
    gc.Collect();  // the system clock cannot have moved 4 s on
    EXPECT_EQ(0, deaths);
    EXPECT_EQ(1, gc.PendingCount());
}

TEST(GarbageCollectorGlobal, CreatedOnFirstUseAndDestroyedByTheModule) {
    ovCGarbageCollector* first = ovCGarbageCollector::GlobalCollector();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, ovCGarbageCollector::GlobalCollector());
    ovCGarbageCollector::CreateGlobal();  // already there: same collector
    EXPECT_EQ(first, ovCGarbageCollector::GlobalCollector());

    int deaths = 0;
    {
        ovSmartPtr p(new CountedObject(&deaths));
        first->DeferRelease(p);
    }
    ovCGarbageCollector::DestroyGlobal();
    EXPECT_EQ(1, deaths);
    ovCGarbageCollector::DestroyGlobal();  // nothing left to destroy

    ovCGarbageCollector::CreateGlobal();
    ovCGarbageCollector* second = ovCGarbageCollector::GlobalCollector();
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(0, second->PendingCount());
    ovCGarbageCollector::DestroyGlobal();
}

TEST_F(GarbageCollectorTest, WithoutATimerDriverEntriesWaitForShutdown) {
    ovCGarbageCollector::SetTimerDriver(nullptr);
    {
        ovCGarbageCollector local;
        local.SetClock(&TestClock);
        EXPECT_TRUE(local.Timer().IsEmpty());
        local.DeferRelease(ovSmartPtr(new CountedObject(&deaths)));
        EXPECT_EQ(0, deaths);
    }
    EXPECT_EQ(1, deaths);
    ovCGarbageCollector::SetTimerDriver(TimerCollectorDriver());
}
