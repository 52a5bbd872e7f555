#include <gtest/gtest.h>

#include <stdint.h>

#include <chrono>
#include <thread>

#include "opn/platform/cpCMutex.h"
#include "opn/core/ovClassIds.h"
#include "opn/platform/pfCriticalSection.h"

namespace {

ovSmartPtr NewMutex() {
    ovSmartPtr p;
    EXPECT_TRUE(p.CreateInstance(OV_CLSID_MUTEX));
    return p;
}

}  // namespace

TEST(CriticalSection, CreateEnterLeaveDelete) {
    PfCriticalSection* section = nullptr;
    ASSERT_EQ(OV_S_PLATFORM, CsCreate(&section));
    ASSERT_NE(nullptr, section);
    EXPECT_EQ(OV_S_PLATFORM, CsEnter(section));
    EXPECT_EQ(OV_S_PLATFORM, CsEnter(section));
    EXPECT_EQ(OV_S_PLATFORM, CsLeave(section));
    EXPECT_EQ(OV_S_PLATFORM, CsLeave(section));
    EXPECT_EQ(OV_S_PLATFORM, CsDelete(section));
}

TEST(CriticalSection, NullArgumentsAreRefused) {
    EXPECT_EQ(OV_E_PLATFORM, CsCreate(nullptr));
    EXPECT_EQ(OV_E_PLATFORM, CsEnter(nullptr));
    EXPECT_EQ(OV_E_PLATFORM, CsLeave(nullptr));
    EXPECT_EQ(OV_E_PLATFORM, CsTryEnter(nullptr));
    EXPECT_EQ(OV_S_PLATFORM, CsDelete(nullptr));
}

// The owner gets in again without waiting; another thread is turned away
// while it holds the section and gets in once every enter has its leave.
TEST(CriticalSection, TryEnterFailsOnlyWhileAnotherThreadHolds) {
    PfCriticalSection* section = nullptr;
    ASSERT_EQ(OV_S_PLATFORM, CsCreate(&section));
    ASSERT_EQ(OV_S_PLATFORM, CsTryEnter(section));
    ASSERT_EQ(OV_S_PLATFORM, CsTryEnter(section));
    auto tryFromOtherThread = [section] {
        ResultCode rc = OV_S_OK;
        std::thread other([&] {
            rc = CsTryEnter(section);
            if (OV_SUCCEEDED(rc))
                CsLeave(section);
        });
        other.join();
        return rc;
    };
    EXPECT_EQ(OV_E_PLATFORM, tryFromOtherThread());
    EXPECT_EQ(OV_S_PLATFORM, CsLeave(section));
    EXPECT_EQ(OV_E_PLATFORM, tryFromOtherThread());
    EXPECT_EQ(OV_S_PLATFORM, CsLeave(section));
    EXPECT_EQ(OV_S_PLATFORM, tryFromOtherThread());
    EXPECT_EQ(OV_S_PLATFORM, CsDelete(section));
}

TEST(Mutex, LockAndUnlockAnswerPlatformSuccess) {
    ovSmartPtr p = NewMutex();
    cpCMutex* mutex = p.As<cpCMutex>();
    EXPECT_EQ(OV_S_PLATFORM, mutex->Lock());
    EXPECT_EQ(OV_S_PLATFORM, mutex->Unlock());
    void* out = nullptr;
    EXPECT_EQ(OV_E_NOINTERFACE, mutex->QueryInterface(0x1008, &out));
    EXPECT_EQ(nullptr, out);
    mutex->SetValue(77);
    EXPECT_EQ(77, mutex->Value());
}

// The other thread reads `guarded` under the lock; this thread sets it while
// still holding the lock once. A lock freed by the first unlock lets the
// other thread in early to see 0; the pause only widens that window.
TEST(Mutex, ReentrantOnOneThreadThenFreeForAnother) {
    ovSmartPtr p = NewMutex();
    cpCMutex* mutex = p.As<cpCMutex>();
    ASSERT_EQ(OV_S_PLATFORM, mutex->Lock());
    ASSERT_EQ(OV_S_PLATFORM, mutex->Lock());  // would hang if not re-entrant
    ASSERT_EQ(OV_S_PLATFORM, mutex->Unlock());
    int guarded = 0;
    int seen = -1;
    std::thread other([&] {
        mutex->Lock();
        seen = guarded;
        mutex->Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    guarded = 1;
    mutex->Unlock();
    other.join();
    EXPECT_EQ(1, seen);
    // Free again: this thread can take it once more.
    EXPECT_EQ(OV_S_PLATFORM, mutex->Lock());
    EXPECT_EQ(OV_S_PLATFORM, mutex->Unlock());
}

TEST(Mutex, ExcludesAcrossTwoThreads) {
    ovSmartPtr p = NewMutex();
    cpCMutex* mutex = p.As<cpCMutex>();
    const int kRounds = 200000;
    long counter = 0;  // deliberately not atomic
    auto work = [&] {
        for (int i = 0; i < kRounds; ++i) {
            mutex->Lock();
            if (i % 7 == 0) {
                mutex->Lock();  // nested now and then
                ++counter;
                mutex->Unlock();
            } else {
                ++counter;
            }
            mutex->Unlock();
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(2L * kRounds, counter);
}

TEST(MutexHelpers, EmptyPointerReturnsAtOnce) {
    ovSmartPtr empty;
    ovLock(empty);
    ovUnlock(empty);
    ovLock(empty);  // no pairing needed: nothing was taken
    { ovCAutoLock lock(empty); }
    EXPECT_TRUE(empty.IsEmpty());
}

TEST(MutexHelpers, LockHelpersHoldTheMutex) {
    ovSmartPtr p = NewMutex();
    ovLock(p);
    ovLock(p);
    ovUnlock(p);
    int guarded = 0;
    int seen = -1;
    std::thread other([&] {
        ovLock(p);
        seen = guarded;
        ovUnlock(p);
    });
    // No sign tells that the other thread waits; the pause lets a lock
    // freed early show.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    guarded = 1;
    ovUnlock(p);
    other.join();
    EXPECT_EQ(1, seen);
}

TEST(MutexHelpers, AutoLockHoldsForTheScope) {
    ovSmartPtr p = NewMutex();
    int guarded = 0;
    int seen = -1;
    std::thread other;
    {
        ovCAutoLock lock(p);
        other = std::thread([&] {
            ovCAutoLock inner(p);
            seen = guarded;
        });
        // No sign tells that the other thread waits; the pause lets a lock
        // freed early show.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        guarded = 1;
    }
    other.join();
    EXPECT_EQ(1, seen);
}

TEST(MutexHelpers, AutoLockUnlocksWhatItLockedAndTakesNoReference) {
    ovSmartPtr p = NewMutex();
    ovSmartPtr keep(p);
    cpCMutex* mutex = p.As<cpCMutex>();
    {
        ovCAutoLock lock(p);
        // Reference counts are not interlocked, so the lock must not touch it.
        EXPECT_EQ(2, mutex->RefCount());
        p.Reset();
    }
    // Free again for another thread.
    bool taken = false;
    std::thread other([&] {
        ovCAutoLock lock(keep);
        taken = true;
    });
    other.join();
    EXPECT_TRUE(taken);
}
