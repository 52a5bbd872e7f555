// Name lookups off the library lock. A resolver call (getaddrinfo) stalls
// for seconds when a name server does not answer; neither the library thread
// nor a host call waiting for the library lock may stall with it. So each
// lookup runs on a thread of its own, and its answer comes back to the
// library thread through a hidden message window, whose procedure takes the
// library lock and hands the answer to the address cache (cpCAddressCache.h),
// which tells the connections waiting for that name.
//
// - One lookup per host name at a time: a Start for a name in flight joins
//   it. At most kMaxThreads run at once; a Start beyond that fails, and the
//   caller fails its attempt at once as for a name that does not resolve.
// - Nobody waits for a lookup that never ends: each connection waiting for
//   a name fails its attempt after its connect time-out
//   (nwCHttpClientExLayer.h), and the thread is left to end when its
//   resolver does.
// - Every lookup thread is detached when it starts and owns its record with
//   the service. Stop (the network module's end) stops taking answers,
//   destroys the window and waits at most kStopWaitMs in all for the
//   threads still running; one still inside its resolver after that (a
//   stalled getaddrinfo cannot be cancelled) ends on its own later: it finds
//   the service gone, posts nothing and frees its record.
//
// Start runs on the library thread under the library lock.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/platform/pfMessageLoop.h"

class cpCNameLookup {
  public:
    static constexpr int32_t kMaxThreads = 8;
    static constexpr uint32_t kStopWaitMs = 100;

    // Creates the window on the calling thread (the library thread, whose
    // loop must exist); `lock` is the library lock.
    explicit cpCNameLookup(const ovSmartPtr& lock);
    // Stop.
    ~cpCNameLookup();
    cpCNameLookup(const cpCNameLookup&) = delete;
    cpCNameLookup& operator=(const cpCNameLookup&) = delete;

    // Looks `host` up with `resolver` on a thread of its own; its answer
    // goes to the address cache's TakeLookup. False when no window exists,
    // kMaxThreads lookups run already or no thread could be started.
    bool Start(const char* host, cpAddressResolver resolver, void* user);
    void Stop();

    // Lookups started and not yet answered.
    int32_t Pending() const { return m_pending.Count(); }
    // Lookup threads of the process still running, also those left behind
    // by a stopped service.
    static int32_t LiveThreads();

  private:
    struct Record;
    static intptr_t WindowProc(PfWindowHandle window, uint32_t message, uintptr_t wparam,
                               intptr_t lparam);
    static unsigned ThreadProc(void* arg);
    static void ReleaseRecord(Record* record);
    // Hands every answered lookup to the address cache (library lock held).
    void Deliver();

    ovSmartPtr m_lock;
    PfWindowHandle m_window = nullptr;
    ovCPtrList m_pending;  // Record*, one reference each
};
