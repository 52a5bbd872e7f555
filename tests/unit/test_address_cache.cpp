// The host-name address cache, driven by a scripted resolver and clock:
// first resolution, the working flag, failed addresses sinking to the end,
// re-resolution after more than 4 s and the 30 s failure window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/platform/pfSocket.h"

namespace {

const uint32_t kA = 0x0100000Au;  // 10.0.0.1 in network order
const uint32_t kB = 0x0200000Au;
const uint32_t kC = 0x0300000Au;
const uint32_t kStart = 1700000000u;

// The resolver's answer can be changed between calls; every call is counted.
struct ScriptedResolver {
    std::vector<uint32_t> answer;
    bool fail = false;
    bool overrideCount = false;  // hand back `reportedCount` instead
    int32_t reportedCount = 0;
    int calls = 0;
    std::string lastHost;

    static ResultCode Resolve(const char* host, NetAddressList* list, void* user) {
        ScriptedResolver* self = static_cast<ScriptedResolver*>(user);
        ++self->calls;
        self->lastHost = host ? host : "";
        if (self->fail || self->answer.empty())
            return OV_E_PLATFORM;
        list->count = 0;
        for (uint32_t address : self->answer) {
            if (list->count < kNetMaxAddresses)
                list->addresses[list->count++] = address;
        }
        if (self->overrideCount)
            list->count = self->reportedCount;
        return OV_S_PLATFORM;
    }
};

struct ManualClock {
    uint32_t now = kStart;
    static uint32_t Read(void* user) { return static_cast<ManualClock*>(user)->now; }
};

class AddressCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cache.SetResolver(&ScriptedResolver::Resolve, &resolver);
        cache.SetClock(&ManualClock::Read, &clock);
    }

    uint32_t Pick(const char* host = "cdn.example", uint16_t port = 80) {
        uint32_t address = 0xFFFFFFFFu;
        EXPECT_TRUE(cache.PickAddress(host, port, &address)) << host << ":" << port;
        return address;
    }

    std::vector<cpCAddressCache::AddressEntry> Entries(const char* host = "cdn.example",
                                                       uint16_t port = 80) {
        cpCAddressCache::AddressEntry out[cpCAddressCache::kMaxAddresses];
        int32_t n = cache.GetEntries(host, port, out, cpCAddressCache::kMaxAddresses);
        std::vector<cpCAddressCache::AddressEntry> entries;
        for (int32_t i = 0; i < n && i < cpCAddressCache::kMaxAddresses; ++i)
            entries.push_back(out[i]);
        return entries;
    }

    std::vector<uint32_t> Order(const char* host = "cdn.example", uint16_t port = 80) {
        std::vector<uint32_t> order;
        for (const cpCAddressCache::AddressEntry& e : Entries(host, port))
            order.push_back(e.address);
        return order;
    }

    ScriptedResolver resolver;
    ManualClock clock;
    cpCAddressCache cache;
};

// --- First use and plain picks -------------------------------------------------

TEST_F(AddressCacheTest, FirstPickResolvesAtOnceAndReturnsTheFirstAddress) {
    resolver.answer = {kA, kB};
    EXPECT_EQ(kA, Pick());
    EXPECT_EQ(1, resolver.calls);
    EXPECT_EQ("cdn.example", resolver.lastHost);
    EXPECT_EQ(1, cache.HostCount());
    EXPECT_EQ((std::vector<uint32_t>{kA, kB}), Order());
    for (const cpCAddressCache::AddressEntry& e : Entries()) {
        EXPECT_EQ(0, e.working);
        EXPECT_EQ(0u, e.failedAt);
    }
}

TEST_F(AddressCacheTest, ResolvesAgainOnlyAfterMoreThanFourSeconds) {
    resolver.answer = {kA};
    Pick();
    clock.now = kStart + 4;
    Pick();
    EXPECT_EQ(1, resolver.calls);  // exactly 4 s is not "more than"
    clock.now = kStart + 5;
    Pick();
    EXPECT_EQ(2, resolver.calls);
    clock.now = kStart + 9;
    Pick();
    EXPECT_EQ(2, resolver.calls);  // counted from the last resolution
    clock.now = kStart + 10;
    Pick();
    EXPECT_EQ(3, resolver.calls);
}

TEST_F(AddressCacheTest, HostAndPortNameSeparateEntries) {
    resolver.answer = {kA, kB};
    Pick("cdn.example", 80);
    Pick("cdn.example", 443);
    Pick("other.example", 80);
    EXPECT_EQ(3, cache.HostCount());
    EXPECT_EQ(3, resolver.calls);

    cache.MarkAddressFailed("cdn.example", 80, kA);
    EXPECT_EQ(kB, Pick("cdn.example", 80));
    EXPECT_EQ(kA, Pick("cdn.example", 443));
    EXPECT_EQ(kA, Pick("other.example", 80));
}

TEST_F(AddressCacheTest, BadArgumentsAnswerFalseWithoutResolving) {
    resolver.answer = {kA};
    uint32_t address = 7;
    EXPECT_FALSE(cache.PickAddress(nullptr, 80, &address));
    EXPECT_FALSE(cache.PickAddress("", 80, &address));
    EXPECT_FALSE(cache.PickAddress("cdn.example", 80, nullptr));
    EXPECT_EQ(7u, address);
    EXPECT_EQ(0, resolver.calls);
    EXPECT_EQ(0, cache.HostCount());
}

// --- The A-then-B example ------------------------------------------------------

// The host first resolves to A only; later the resolver also names B. A fails
// and is kept until more than 4 s after the last resolution; the next
// resolution puts B first with A behind it, until 30 s after A's failure.
TEST_F(AddressCacheTest, HostResolvingToAThenBFollowsTheFailureWindow) {
    resolver.answer = {kA};
    EXPECT_EQ(kA, Pick());
    cache.MarkAddressFailed("cdn.example", 80, kA);  // fails at kStart
    resolver.answer = {kA, kB};

    clock.now = kStart + 4;
    EXPECT_EQ(kA, Pick());
    EXPECT_EQ(1, resolver.calls);

    clock.now = kStart + 5;
    EXPECT_EQ(kB, Pick());
    EXPECT_EQ(2, resolver.calls);
    EXPECT_EQ((std::vector<uint32_t>{kB, kA}), Order());
    std::vector<cpCAddressCache::AddressEntry> entries = Entries();
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(kStart, entries[1].failedAt);  // A keeps its failure time

    // Every further resolution within 30 s of the failure keeps A at the end.
    for (uint32_t t = 10; t <= 30; t += 5) {
        clock.now = kStart + t;
        EXPECT_EQ(kB, Pick()) << "at +" << t;
        EXPECT_EQ((std::vector<uint32_t>{kB, kA}), Order()) << "at +" << t;
    }
    EXPECT_EQ(7, resolver.calls);

    // Past the window A is fresh again, in resolver order.
    clock.now = kStart + 35;
    EXPECT_EQ(kA, Pick());
    EXPECT_EQ((std::vector<uint32_t>{kA, kB}), Order());
    for (const cpCAddressCache::AddressEntry& e : Entries())
        EXPECT_EQ(0u, e.failedAt);
}

TEST_F(AddressCacheTest, FailureOlderThanThirtySecondsIsForgottenAtTheNextResolution) {
    resolver.answer = {kA, kB};
    Pick();
    cache.MarkAddressFailed("cdn.example", 80, kA);
    clock.now = kStart + 31;
    EXPECT_EQ(kA, Pick());
    EXPECT_EQ((std::vector<uint32_t>{kA, kB}), Order());
}

// With two addresses known, a failed one sinks behind the other at once.
TEST_F(AddressCacheTest, FailedAddressMovesToTheEndImmediately) {
    resolver.answer = {kA, kB, kC};
    Pick();
    clock.now = kStart + 2;
    cache.MarkAddressFailed("cdn.example", 80, kA);
    EXPECT_EQ((std::vector<uint32_t>{kB, kC, kA}), Order());
    EXPECT_EQ(kB, Pick());
    EXPECT_EQ(1, resolver.calls);
    std::vector<cpCAddressCache::AddressEntry> entries = Entries();
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ(kStart + 2, entries[2].failedAt);
    EXPECT_EQ(0, entries[2].working);
}

// --- Working addresses -----------------------------------------------------------

TEST_F(AddressCacheTest, WorkingAddressIsReturnedWithoutResolving) {
    resolver.answer = {kA, kB};
    Pick();
    cache.MarkAddressWorking("cdn.example", 80, kB);
    EXPECT_EQ((std::vector<uint32_t>{kA, kB}), Order());
    clock.now = kStart + 100;
    EXPECT_EQ(kB, Pick());
    EXPECT_EQ(1, resolver.calls);
    std::vector<cpCAddressCache::AddressEntry> entries = Entries();
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(1, entries[1].working);
}

TEST_F(AddressCacheTest, FailingAWorkingAddressClearsItsFlag) {
    resolver.answer = {kA, kB};
    Pick();
    cache.MarkAddressWorking("cdn.example", 80, kA);
    EXPECT_EQ(kA, Pick());
    cache.MarkAddressFailed("cdn.example", 80, kA);
    EXPECT_EQ(kB, Pick());
    std::vector<cpCAddressCache::AddressEntry> entries = Entries();
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(kA, entries[1].address);
    EXPECT_EQ(0, entries[1].working);
    EXPECT_EQ(kStart, entries[1].failedAt);
}

TEST_F(AddressCacheTest, MarkingWorkingClearsTheFailureTime) {
    resolver.answer = {kA, kB};
    Pick();
    cache.MarkAddressFailed("cdn.example", 80, kA);
    cache.MarkAddressWorking("cdn.example", 80, kA);
    std::vector<cpCAddressCache::AddressEntry> entries = Entries();
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(kA, entries[1].address);
    EXPECT_EQ(1, entries[1].working);
    EXPECT_EQ(0u, entries[1].failedAt);
    EXPECT_EQ(kA, Pick());
}

// --- Re-resolution order -----------------------------------------------------------

TEST_F(AddressCacheTest, ResolutionKeepsRecentFailuresBehindFreshAddresses) {
    resolver.answer = {kA};
    Pick();
    cache.MarkAddressFailed("cdn.example", 80, kA);
    resolver.answer = {kB, kC};  // A no longer resolves but failed recently
    clock.now = kStart + 5;
    EXPECT_EQ(kB, Pick());
    EXPECT_EQ((std::vector<uint32_t>{kB, kC, kA}), Order());
}

TEST_F(AddressCacheTest, AddressesTheResolverNoLongerNamesAreDropped) {
    resolver.answer = {kA, kB};
    Pick();
    resolver.answer = {kB};
    clock.now = kStart + 5;
    EXPECT_EQ(kB, Pick());
    EXPECT_EQ((std::vector<uint32_t>{kB}), Order());
}

TEST_F(AddressCacheTest, RepeatedResolverAddressesAreKeptOnce) {
    resolver.answer = {kA, kB, kA, kB, kC};
    Pick();
    EXPECT_EQ((std::vector<uint32_t>{kA, kB, kC}), Order());
}

TEST_F(AddressCacheTest, ImplausibleResolverCountIsBounded) {
    resolver.answer = {kA, kB};
    resolver.overrideCount = true;
    resolver.reportedCount = 1000;
    Pick();
    EXPECT_LE(Entries().size(), (size_t)kNetMaxAddresses);
    resolver.reportedCount = -5;
    cpCAddressCache::AddressEntry none[1];
    clock.now = kStart + 5;
    uint32_t address = 0;
    // A negative count is no address at all.
    EXPECT_FALSE(cache.PickAddress("cdn.example", 80, &address));
    EXPECT_EQ(0, cache.GetEntries("cdn.example", 80, none, 1));
}

// --- Resolver failures and the clock --------------------------------------------------

TEST_F(AddressCacheTest, UnresolvableHostAnswersFalseAndRetriesAfterFourSeconds) {
    resolver.fail = true;
    uint32_t address = 0;
    EXPECT_FALSE(cache.PickAddress("nowhere.example", 80, &address));
    EXPECT_EQ(1, resolver.calls);
    EXPECT_EQ(1, cache.HostCount());
    clock.now = kStart + 3;
    EXPECT_FALSE(cache.PickAddress("nowhere.example", 80, &address));
    EXPECT_EQ(1, resolver.calls);

    resolver.fail = false;
    resolver.answer = {kC};
    clock.now = kStart + 5;
    EXPECT_TRUE(cache.PickAddress("nowhere.example", 80, &address));
    EXPECT_EQ(kC, address);
    EXPECT_EQ(2, resolver.calls);
}

TEST_F(AddressCacheTest, FailedResolutionKeepsRecentlyFailedAddresses) {
    resolver.answer = {kA, kB};
    Pick();
    cache.MarkAddressFailed("cdn.example", 80, kA);
    resolver.fail = true;
    clock.now = kStart + 5;
    // B never failed and is not named again, so only A is left.
    EXPECT_EQ(kA, Pick());
    EXPECT_EQ((std::vector<uint32_t>{kA}), Order());
}

TEST_F(AddressCacheTest, ClockSetBackResolvesAgainAndForgetsFailures) {
    resolver.answer = {kA, kB};
    Pick();
    cache.MarkAddressFailed("cdn.example", 80, kA);
    clock.now = kStart - 3600;
    EXPECT_EQ(kA, Pick());
    EXPECT_EQ(2, resolver.calls);
    EXPECT_EQ((std::vector<uint32_t>{kA, kB}), Order());
}

// --- Unknown hosts and addresses, bounds ---------------------------------------------------

TEST_F(AddressCacheTest, MarksForUnknownHostsOrAddressesChangeNothing) {
    resolver.answer = {kA, kB};
    Pick();
    cache.MarkAddressFailed("unknown.example", 80, kA);
    cache.MarkAddressWorking("unknown.example", 80, kA);
    cache.MarkAddressFailed("cdn.example", 81, kA);
    cache.MarkAddressFailed("cdn.example", 80, kC);
    cache.MarkAddressWorking("cdn.example", 80, kC);
    cache.MarkAddressFailed(nullptr, 80, kA);
    cache.MarkAddressWorking(nullptr, 80, kA);
    EXPECT_EQ(1, cache.HostCount());
    EXPECT_EQ((std::vector<uint32_t>{kA, kB}), Order());
    for (const cpCAddressCache::AddressEntry& e : Entries()) {
        EXPECT_EQ(0, e.working);
        EXPECT_EQ(0u, e.failedAt);
    }
    EXPECT_EQ(-1, cache.GetEntries("unknown.example", 80, nullptr, 0));
}

TEST_F(AddressCacheTest, HostTableIsBoundedAndEvictsTheOldestResolution) {
    resolver.answer = {kA};
    char host[32];
    for (int i = 0; i < cpCAddressCache::kMaxHosts + 20; ++i) {
        clock.now = kStart + (uint32_t)i;
        snprintf(host, sizeof host, "host%d.example", i);
        Pick(host);
    }
    EXPECT_EQ(cpCAddressCache::kMaxHosts, cache.HostCount());
    EXPECT_EQ(-1, cache.GetEntries("host0.example", 80, nullptr, 0));
    snprintf(host, sizeof host, "host%d.example", cpCAddressCache::kMaxHosts + 19);
    EXPECT_EQ(1, cache.GetEntries(host, 80, nullptr, 0));
}

TEST_F(AddressCacheTest, ClearForgetsEveryHost) {
    resolver.answer = {kA};
    Pick("one.example");
    Pick("two.example");
    cache.Clear();
    EXPECT_EQ(0, cache.HostCount());
    Pick("one.example");
    EXPECT_EQ(3, resolver.calls);
}

// --- The library's cache with the real resolver ---------------------------------------------

TEST(AddressCacheDefaults, LibraryCacheResolvesDottedQuadsWithTheRealResolver) {
    ASSERT_TRUE(OV_SUCCEEDED(NetStartup()));
    cpCAddressCache& cache = AddressCache();
    EXPECT_EQ(&cache, &AddressCache());
    cache.SetResolver(nullptr, nullptr);
    cache.SetClock(nullptr, nullptr);
    cache.Clear();
    uint32_t address = 0;
    EXPECT_TRUE(cache.PickAddress("127.0.0.1", 8080, &address));
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&address);
    EXPECT_EQ(127, bytes[0]);  // network byte order
    EXPECT_EQ(0, bytes[1]);
    EXPECT_EQ(0, bytes[2]);
    EXPECT_EQ(1, bytes[3]);
    EXPECT_EQ(1, cache.HostCount());
    cache.Clear();
    NetCleanup();
}

}  // namespace
