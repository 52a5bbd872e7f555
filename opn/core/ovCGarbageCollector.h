// Deferred release: objects that must not die on their own call stack (a
// connection that ends inside its own callback) are handed over here and
// dropped by a collection run about three seconds later (between 3 and 6 s,
// as runs come every 3000 ms and time is taken in whole seconds).
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovSmartPtr.h"

// Wall clock in whole seconds since 1970; tests install their own.
typedef uint32_t (*ovSecondsClock)(void);

// The collection run's timer. Timers belong to the network stack above the
// foundation, so the collector only knows these two calls; the network
// module installs them (TimerCollectorDriver in opn/opeerqos/cpCTimer.h).
struct ovCollectorTimer {
    // Starts a timer that calls `run(collector)` every `periodMs` on the
    // library thread; an empty pointer when none could be made.
    ovSmartPtr (*start)(uint32_t periodMs, void (*run)(void* collector), void* collector);
    // Stops a timer that `start` made.
    void (*stop)(const ovSmartPtr& timer);
};

class ovCGarbageCollector {
  public:
    struct GcEntry {
        ovSmartPtr object;
        uint32_t expiry;  // seconds since 1970
    };

    ovCGarbageCollector();
    ~ovCGarbageCollector();
    ovCGarbageCollector(const ovCGarbageCollector&) = delete;
    ovCGarbageCollector& operator=(const ovCGarbageCollector&) = delete;

    // Starts the 3000 ms collection timer through the installed driver (none
    // installed: no timer, entries wait for Shutdown) and creates the entry
    // list; run by the constructor, harmless to run again.
    void Init();
    // Stops and drops the timer and releases every entry regardless of
    // expiry; run by the destructor, harmless to run again.
    void Shutdown();

    // Takes its own reference, to be dropped by the first Collect that reads
    // a time later than now + 3 s. An empty pointer is ignored.
    void DeferRelease(const ovSmartPtr& ptr);
    // Releases, from the head, every entry whose expiry is earlier than now.
    void Collect();

    int32_t PendingCount() const { return m_entries ? m_entries->Count() : 0; }
    // Null puts the system clock back.
    void SetClock(ovSecondsClock clock);
    // The collection timer (what the driver made); empty after Shutdown, or
    // when there is no driver or it could not make one.
    const ovSmartPtr& Timer() const { return m_timer; }

    // The single collector, created and initialised on first use.
    static ovCGarbageCollector* GlobalCollector();
    // Module start-up and shut-down (the network module calls these).
    static void CreateGlobal();
    static void DestroyGlobal();
    // The timer driver of every collector started from now on, for the whole
    // process; null: none.
    static void SetTimerDriver(const ovCollectorTimer* driver);

  private:
    ovSmartPtr m_timer;
    ovCPtrList* m_entries = nullptr;
    ovSecondsClock m_clock;
};
