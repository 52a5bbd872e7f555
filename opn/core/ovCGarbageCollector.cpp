#include "opn/core/ovCGarbageCollector.h"

#include <time.h>

#include <atomic>
#include <new>

namespace {

// Entries live this many whole seconds at least.
const uint32_t kHoldSeconds = 3;
const uint32_t kCollectPeriodMs = 3000;

void CollectFromTimer(void* collector) {
    static_cast<ovCGarbageCollector*>(collector)->Collect();
}

uint32_t SystemSeconds() {
    return static_cast<uint32_t>(time(nullptr));
}

ovCGarbageCollector* g_collector = nullptr;
std::atomic<const ovCollectorTimer*> g_timerDriver{nullptr};

}  // namespace

ovCGarbageCollector::ovCGarbageCollector() : m_clock(&SystemSeconds) {
    Init();
}

ovCGarbageCollector::~ovCGarbageCollector() {
    Shutdown();
}

void ovCGarbageCollector::Init() {
    // Without a driver, or a timer that never fires, entries wait for
    // Shutdown.
    const ovCollectorTimer* driver = g_timerDriver.load();
    if (m_timer.IsEmpty() && driver)
        m_timer = driver->start(kCollectPeriodMs, &CollectFromTimer, this);
    if (!m_entries)
        m_entries = new (std::nothrow) ovCPtrList;
}

void ovCGarbageCollector::Shutdown() {
    if (!m_timer.IsEmpty()) {
        const ovCollectorTimer* driver = g_timerDriver.load();
        if (driver)
            driver->stop(m_timer);
        m_timer.Reset();
    }
    if (!m_entries)
        return;
    // Unlink before releasing: a dying object may hand another one over,
    // which then lands at the tail and is released by this same loop.
    while (m_entries->Count() > 0) {
        GcEntry* entry = static_cast<GcEntry*>(m_entries->RemoveAt(0));
        delete entry;
    }
    delete m_entries;
    m_entries = nullptr;
}

void ovCGarbageCollector::DeferRelease(const ovSmartPtr& ptr) {
    if (ptr.IsEmpty())
        return;
    // After Shutdown the collector still must not drop the object on the
    // caller's stack; a fresh list keeps it until the next Shutdown.
    if (!m_entries)
        m_entries = new (std::nothrow) ovCPtrList;
    GcEntry* entry = new (std::nothrow) GcEntry;
    if (!m_entries || !entry) {
        delete entry;
        return;
    }
    entry->object = ptr;
    entry->expiry = m_clock() + kHoldSeconds;
    if (!m_entries->AddTail(entry))
        delete entry;
}

void ovCGarbageCollector::Collect() {
    if (!m_entries)
        return;
    uint32_t now = m_clock();
    // Entries are appended in expiry order, so only the head needs looking
    // at. Objects handed over while this runs have a later expiry and stop
    // the walk; the count bounds it anyway.
    int32_t budget = m_entries->Count();
    while (budget-- > 0) {
        GcEntry* head = static_cast<GcEntry*>(m_entries->GetHead());
        if (!head || head->expiry >= now)
            break;
        m_entries->RemoveAt(0);
        delete head;
    }
}

void ovCGarbageCollector::SetClock(ovSecondsClock clock) {
    m_clock = clock ? clock : &SystemSeconds;
}

ovCGarbageCollector* ovCGarbageCollector::GlobalCollector() {
    if (!g_collector)
        CreateGlobal();
    return g_collector;
}

void ovCGarbageCollector::CreateGlobal() {
    if (!g_collector)
        g_collector = new (std::nothrow) ovCGarbageCollector;
}

void ovCGarbageCollector::DestroyGlobal() {
    // Still reachable while it shuts down: an object released then may hand
    // another one over, and Shutdown drains that too.
    delete g_collector;
    g_collector = nullptr;
}

void ovCGarbageCollector::SetTimerDriver(const ovCollectorTimer* driver) {
    g_timerDriver.store(driver);
}
