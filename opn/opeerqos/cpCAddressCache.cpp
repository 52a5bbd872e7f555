#include "opn/opeerqos/cpCAddressCache.h"

#include <string.h>

#include <new>

#include "opn/opeerqos/cpCNameLookup.h"

namespace {

ResultCode DefaultResolver(const char* host, NetAddressList* list, void* user) {
    (void)user;
    return ResolveAll(host, list);
}

uint32_t DefaultClock(void* user) {
    (void)user;
    return NowSeconds();
}

// Seconds from `then` to `now`; a clock that went back reads as a long time.
uint32_t SecondsSince(uint32_t now, uint32_t then) {
    return now >= then ? now - then : UINT32_MAX;
}

}  // namespace

// The map key is the text "host:port"; host and port are compared directly,
// which is the same thing.
struct cpCAddressCache::HostEntry {
    ovCString host;
    uint16_t port = 0;
    uint32_t resolvedAt = 0;
    int32_t count = 0;
    // A lookup of the host runs on the lookup service.
    bool lookupPending = false;
    AddressEntry addresses[kMaxAddresses];
};

struct cpCAddressCache::Waiter {
    cpIAddressWaiter* waiter;
    ovCString host;
};

cpCAddressCache::cpCAddressCache()
    : m_resolver(&DefaultResolver),
      m_resolverUser(nullptr),
      m_clock(&DefaultClock),
      m_clockUser(nullptr) {}

cpCAddressCache::~cpCAddressCache() {
    Clear();
    SetLookupService(nullptr);
}

void cpCAddressCache::SetResolver(cpAddressResolver resolver, void* user) {
    m_resolver = resolver ? resolver : &DefaultResolver;
    m_resolverUser = resolver ? user : nullptr;
}

void cpCAddressCache::SetClock(cpAddressClock clock, void* user) {
    m_clock = clock ? clock : &DefaultClock;
    m_clockUser = clock ? user : nullptr;
}

void cpCAddressCache::Clear() {
    for (ovCPtrList::Node* node = m_hosts.HeadNode(); node; node = node->next)
        delete static_cast<HostEntry*>(node->element);
    m_hosts.RemoveAll();
}

uint32_t cpCAddressCache::Now() {
    return m_clock(m_clockUser);
}

cpCAddressCache::HostEntry* cpCAddressCache::Find(const char* host, uint16_t port) {
    for (ovCPtrList::Node* node = m_hosts.HeadNode(); node; node = node->next) {
        HostEntry* entry = static_cast<HostEntry*>(node->element);
        if (entry->port == port && entry->host.Equals(host))
            return entry;
    }
    return nullptr;
}

void cpCAddressCache::EvictOldest() {
    HostEntry* oldest = nullptr;
    for (ovCPtrList::Node* node = m_hosts.HeadNode(); node; node = node->next) {
        HostEntry* entry = static_cast<HostEntry*>(node->element);
        if (!oldest || entry->resolvedAt < oldest->resolvedAt)
            oldest = entry;
    }
    if (oldest) {
        m_hosts.Remove(oldest);
        delete oldest;
    }
}

cpCAddressCache::HostEntry* cpCAddressCache::Add(const char* host, uint16_t port) {
    if (m_hosts.Count() >= kMaxHosts)
        EvictOldest();
    HostEntry* entry = new (std::nothrow) HostEntry();
    if (!entry)
        return nullptr;
    if (!entry->host.Assign(host) || !m_hosts.AddTail(entry)) {
        delete entry;
        return nullptr;
    }
    entry->port = port;
    return entry;
}

cpCAddressCache::HostEntry* cpCAddressCache::Create(const char* host, uint16_t port) {
    HostEntry* entry = Add(host, port);
    if (entry)
        Resolve(entry);
    return entry;
}

void cpCAddressCache::Resolve(HostEntry* entry) {
    NetAddressList resolved;
    memset(&resolved, 0, sizeof resolved);
    const ResultCode result = m_resolver(entry->host.CStr(), &resolved, m_resolverUser);
    Apply(entry, result, &resolved);
}

void cpCAddressCache::Apply(HostEntry* entry, ResultCode result, const NetAddressList* list) {
    const uint32_t now = Now();

    // Keep what worked, and what failed within the window; drop the rest.
    AddressEntry working[kMaxAddresses];
    AddressEntry failed[kMaxAddresses];
    int32_t workingCount = 0;
    int32_t failedCount = 0;
    for (int32_t i = 0; i < entry->count; ++i) {
        const AddressEntry& old = entry->addresses[i];
        if (old.working)
            working[workingCount++] = old;
        else if (old.failedAt != 0 && SecondsSince(now, old.failedAt) <= kFailureWindowSec)
            failed[failedCount++] = old;
    }

    NetAddressList resolved;
    memset(&resolved, 0, sizeof resolved);
    if (list && OV_SUCCEEDED(result))
        resolved = *list;
    if (resolved.count < 0)
        resolved.count = 0;
    if (resolved.count > kNetMaxAddresses)
        resolved.count = kNetMaxAddresses;

    // New order: kept-working, fresh (resolver order), kept-failed.
    int32_t n = 0;
    for (int32_t i = 0; i < workingCount; ++i)
        entry->addresses[n++] = working[i];
    const int32_t freshStart = n;
    const int32_t room = kMaxAddresses - failedCount;
    for (int32_t r = 0; r < resolved.count && n < room; ++r) {
        const uint32_t address = resolved.addresses[r];
        bool known = false;
        for (int32_t i = 0; i < workingCount && !known; ++i)
            known = working[i].address == address;
        for (int32_t i = 0; i < failedCount && !known; ++i)
            known = failed[i].address == address;
        // A resolver may repeat an address; keep it once.
        for (int32_t i = freshStart; i < n && !known; ++i)
            known = entry->addresses[i].address == address;
        if (known)
            continue;
        entry->addresses[n].address = address;
        entry->addresses[n].working = 0;
        entry->addresses[n].failedAt = 0;
        ++n;
    }
    for (int32_t i = 0; i < failedCount; ++i)
        entry->addresses[n++] = failed[i];
    entry->count = n;
    entry->resolvedAt = now;
}

bool cpCAddressCache::PickAddress(const char* host, uint16_t port, uint32_t* address) {
    if (!host || !host[0] || !address)
        return false;
    HostEntry* entry = Find(host, port);
    if (!entry) {
        entry = Create(host, port);
        if (!entry)
            return false;
    } else {
        for (int32_t i = 0; i < entry->count; ++i) {
            if (entry->addresses[i].working) {
                *address = entry->addresses[i].address;
                return true;
            }
        }
        if (SecondsSince(Now(), entry->resolvedAt) > kResolveAfterSec)
            Resolve(entry);
    }
    if (entry->count == 0)
        return false;
    *address = entry->addresses[0].address;
    return true;
}

namespace {

// A dotted IPv4 address ("127.0.0.1"): no name server is asked for it.
bool IsDottedQuad(const char* host) {
    int32_t parts = 0;
    const char* p = host;
    for (;;) {
        int32_t digits = 0;
        uint32_t value = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            value = value * 10 + (uint32_t)(*p - '0');
            ++digits;
            ++p;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        ++parts;
        if (*p == '\0')
            return parts == 4;
        if (*p != '.' || parts == 4)
            return false;
        ++p;
    }
}

}  // namespace

int32_t cpCAddressCache::PickAddressOrWait(const char* host, uint16_t port, uint32_t* address,
                                           cpIAddressWaiter* waiter) {
    if (!host || !host[0] || !address || !waiter)
        return kPickFailed;
    if (!m_lookup || IsDottedQuad(host))
        return PickAddress(host, port, address) ? kPickReady : kPickFailed;
    HostEntry* entry = Find(host, port);
    bool lookup = false;
    if (!entry) {
        entry = Add(host, port);
        if (!entry)
            return kPickFailed;
        lookup = true;
    } else {
        for (int32_t i = 0; i < entry->count; ++i) {
            if (entry->addresses[i].working) {
                *address = entry->addresses[i].address;
                return kPickReady;
            }
        }
        lookup = entry->lookupPending || SecondsSince(Now(), entry->resolvedAt) > kResolveAfterSec;
    }
    if (lookup && !entry->lookupPending) {
        if (m_lookup->Start(host, m_resolver, m_resolverUser))
            entry->lookupPending = true;
        else
            Apply(entry, OV_E_PLATFORM, nullptr);  // no lookup could start
    }
    if (entry->lookupPending) {
        Waiter* record = new (std::nothrow) Waiter;
        if (!record || !record->host.Assign(host) || !m_waiters.AddTail(record)) {
            delete record;
            return kPickFailed;
        }
        record->waiter = waiter;
        return kPickWaiting;
    }
    if (entry->count == 0)
        return kPickFailed;
    *address = entry->addresses[0].address;
    return kPickReady;
}

void cpCAddressCache::ForgetWaiter(cpIAddressWaiter* waiter) {
    ovCPtrList::Node* node = m_waiters.HeadNode();
    while (node) {
        Waiter* record = static_cast<Waiter*>(node->element);
        node = node->next;
        if (record->waiter == waiter) {
            m_waiters.Remove(record);
            delete record;
        }
    }
}

void cpCAddressCache::TakeLookup(const char* host, ResultCode result, const NetAddressList* list) {
    if (!host)
        return;
    for (ovCPtrList::Node* node = m_hosts.HeadNode(); node; node = node->next) {
        HostEntry* entry = static_cast<HostEntry*>(node->element);
        if (entry->lookupPending && entry->host.Equals(host)) {
            entry->lookupPending = false;
            Apply(entry, result, list);
        }
    }
    // One at a time from the front: a waiter told may forget others or wait
    // anew (then it is not told twice for this answer).
    for (int32_t rounds = m_waiters.Count(); rounds > 0; --rounds) {
        Waiter* found = nullptr;
        for (ovCPtrList::Node* node = m_waiters.HeadNode(); node && !found; node = node->next) {
            Waiter* record = static_cast<Waiter*>(node->element);
            if (record->host.Equals(host))
                found = record;
        }
        if (!found)
            return;
        cpIAddressWaiter* waiter = found->waiter;
        m_waiters.Remove(found);
        delete found;
        waiter->OnAddressLookupDone();
    }
}

void cpCAddressCache::SetLookupService(cpCNameLookup* service) {
    m_lookup = service;
    if (service)
        return;
    for (ovCPtrList::Node* node = m_waiters.HeadNode(); node; node = node->next)
        delete static_cast<Waiter*>(node->element);
    m_waiters.RemoveAll();
    for (ovCPtrList::Node* node = m_hosts.HeadNode(); node; node = node->next)
        static_cast<HostEntry*>(node->element)->lookupPending = false;
}

void cpCAddressCache::MoveToEnd(HostEntry* entry, int32_t index, bool working) {
    AddressEntry moved = entry->addresses[index];
    for (int32_t i = index; i + 1 < entry->count; ++i)
        entry->addresses[i] = entry->addresses[i + 1];
    if (working) {
        moved.working = 1;
        moved.failedAt = 0;
    } else {
        moved.working = 0;
        moved.failedAt = Now();
    }
    entry->addresses[entry->count - 1] = moved;
}

void cpCAddressCache::Mark(const char* host, uint16_t port, uint32_t address, bool working) {
    if (!host)
        return;
    HostEntry* entry = Find(host, port);
    if (!entry)
        return;
    for (int32_t i = 0; i < entry->count; ++i) {
        if (entry->addresses[i].address == address) {
            MoveToEnd(entry, i, working);
            return;
        }
    }
}

void cpCAddressCache::MarkAddressFailed(const char* host, uint16_t port, uint32_t address) {
    Mark(host, port, address, false);
}

void cpCAddressCache::MarkAddressWorking(const char* host, uint16_t port, uint32_t address) {
    Mark(host, port, address, true);
}

int32_t cpCAddressCache::GetEntries(const char* host, uint16_t port, AddressEntry* out,
                                    int32_t max) {
    if (!host)
        return -1;
    HostEntry* entry = Find(host, port);
    if (!entry)
        return -1;
    for (int32_t i = 0; out && i < entry->count && i < max; ++i)
        out[i] = entry->addresses[i];
    return entry->count;
}

cpCAddressCache& AddressCache() {
    static cpCAddressCache cache;
    return cache;
}
