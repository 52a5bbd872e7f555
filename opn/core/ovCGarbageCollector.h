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

    // Creates and starts the 3000 ms collection timer (class id
    // OV_CLSID_TIMER, no lock object) and the entry list; run by the
    // constructor, harmless to run again.
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
    // The collection timer (a cpCTimer); empty after Shutdown or when it
    // could not be created.
    const ovSmartPtr& Timer() const { return m_timer; }

    // The single collector, created and initialised on first use.
    static ovCGarbageCollector* GlobalCollector();
    // Module start-up and shut-down (the network module calls these).
    static void CreateGlobal();
    static void DestroyGlobal();

  private:
    ovSmartPtr m_timer;
    ovCPtrList* m_entries = nullptr;
    ovSecondsClock m_clock;
};
