// Host-name address cache: remembers which resolved IPv4 address of a host
// worked or failed, so the next connect prefers another one.
//
// One entry per "host:port". An entry keeps its addresses in the order they
// are to be tried:
//   - an address marked working is returned as long as it stays so;
//   - otherwise the first address is returned, and the name is resolved
//     again when more than 4 s have passed since its last resolution;
//   - a failed address sinks to the end and stays behind the others until 30 s
//     after its failure; after that a new resolution treats it as fresh.
//
// Lookups off the lock: with a lookup service (cpCNameLookup.h, set by the
// network module) PickAddressOrWait never calls the resolver itself except
// for a dotted IPv4 address, which needs no name server: an entry that needs
// a lookup asks the service and the caller waits for TakeLookup, which
// applies the answer and tells the waiters. Without a service (a cache of
// its own in a test, no network module) the lookup runs at once, as in
// PickAddress, which always resolves on the caller's thread.
//
// Not locked: every caller already holds the library lock (on the library
// thread, or on a host thread that took it). Time and the resolver come
// through seams so that tests drive them exactly (the resolver then runs on
// a lookup thread, so it must not touch library state). A wall clock that
// went back counts as a long time passed (the name is resolved again and
// old failures are forgotten) rather than freezing the entry.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovCString.h"
#include "opn/core/ovResult.h"
#include "opn/platform/pfSocket.h"

// Fills `list` with every IPv4 address of `host` in resolver order; a failure
// code when the name does not resolve. The default is ResolveAll.
typedef ResultCode (*cpAddressResolver)(const char* host, NetAddressList* list, void* user);
// Seconds since 1970. The default is NowSeconds.
typedef uint32_t (*cpAddressClock)(void* user);

class cpCNameLookup;

// A connection waiting for a lookup (PickAddressOrWait).
class cpIAddressWaiter {
  public:
    // The lookup ended (library thread, library lock held); the waiter is
    // forgotten and PickAddressOrWait answers without waiting, unless the
    // entry was dropped meanwhile.
    virtual void OnAddressLookupDone() = 0;

  protected:
    virtual ~cpIAddressWaiter() {}
};

// PickAddressOrWait answers.
enum : int32_t {
    kPickReady = 0,    // *address holds the address to try
    kPickFailed = 1,   // the name gives no address
    kPickWaiting = 2,  // a lookup runs; the waiter hears of its end
};

class cpCAddressCache {
  public:
    struct AddressEntry {
        uint32_t address;   // network byte order
        uint8_t working;    // 1 after MarkAddressWorking
        uint32_t failedAt;  // seconds; 0 when it never failed (or was cleared)
    };

    // Addresses kept per host: the resolver's answer plus those kept from the
    // previous list; resolver answers beyond room are dropped.
    static constexpr int32_t kMaxAddresses = 2 * kNetMaxAddresses;
    // Hosts kept; a new host beyond this evicts the one resolved longest ago.
    static constexpr int32_t kMaxHosts = 256;
    // An entry is resolved again after more than this many seconds.
    static constexpr uint32_t kResolveAfterSec = 4;
    // A failed address is kept behind the others for this many seconds.
    static constexpr uint32_t kFailureWindowSec = 30;

    cpCAddressCache();
    ~cpCAddressCache();
    cpCAddressCache(const cpCAddressCache&) = delete;
    cpCAddressCache& operator=(const cpCAddressCache&) = delete;

    // The address to try for host:port (network byte order). Creates and
    // resolves the entry on first use. False for a null or empty host, a null
    // `address`, or an entry without addresses.
    bool PickAddress(const char* host, uint16_t port, uint32_t* address);
    // PickAddress without a lookup on the caller's thread while a lookup
    // service is set (see above): kPickWaiting when the entry needs one,
    // and `waiter` is told once it ended. A null host, `address` or
    // `waiter` gives kPickFailed.
    int32_t PickAddressOrWait(const char* host, uint16_t port, uint32_t* address,
                              cpIAddressWaiter* waiter);
    // Forgets `waiter` (a connection that closed before its lookup ended).
    void ForgetWaiter(cpIAddressWaiter* waiter);
    // The answer of the lookup of `host`: every entry of the host takes it as
    // a resolution; every waiter for the host is told, one at a time.
    void TakeLookup(const char* host, ResultCode result, const NetAddressList* list);
    // Null: lookups run on the caller's thread again; waiters are dropped
    // untold (the network module is ending).
    void SetLookupService(cpCNameLookup* service);
    int32_t WaiterCount() const { return m_waiters.Count(); }
    // Moves `address` to the end of the list, clears its working flag and
    // stamps its failure time. Unknown host or address: nothing happens.
    void MarkAddressFailed(const char* host, uint16_t port, uint32_t address);
    // Moves `address` to the end of the list, sets its working flag and clears
    // its failure time. Unknown host or address: nothing happens.
    void MarkAddressWorking(const char* host, uint16_t port, uint32_t address);

    // Null restores the default.
    void SetResolver(cpAddressResolver resolver, void* user);
    void SetClock(cpAddressClock clock, void* user);
    // Forgets every host.
    void Clear();

    // Inspection for tests and diagnostics.
    int32_t HostCount() const { return m_hosts.Count(); }
    // Copies up to `max` entries of host:port into `out`; the entry's address
    // count, or -1 for an unknown host.
    int32_t GetEntries(const char* host, uint16_t port, AddressEntry* out, int32_t max);

  private:
    struct HostEntry;

    HostEntry* Find(const char* host, uint16_t port);
    HostEntry* Create(const char* host, uint16_t port);
    void Resolve(HostEntry* entry);
    // Takes a resolver's answer (a failure code: no address) as a resolution.
    void Apply(HostEntry* entry, ResultCode result, const NetAddressList* list);
    // Creates the entry without resolving it.
    HostEntry* Add(const char* host, uint16_t port);
    struct Waiter;
    void MoveToEnd(HostEntry* entry, int32_t index, bool working);
    // Moves `address` of the host's entry to the end, flagged as given.
    void Mark(const char* host, uint16_t port, uint32_t address, bool working);
    uint32_t Now();
    void EvictOldest();

    ovCPtrList m_hosts;  // HostEntry*, owned
    cpAddressResolver m_resolver;
    void* m_resolverUser;
    cpAddressClock m_clock;
    void* m_clockUser;
    cpCNameLookup* m_lookup = nullptr;
    ovCPtrList m_waiters;  // Waiter*, owned
};

// The library's one cache (used under the library lock).
cpCAddressCache& AddressCache();
