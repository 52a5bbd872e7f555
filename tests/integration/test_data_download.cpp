// The in-memory data download end to end through the flat interface, against
// nginx and the fault server: SwarmFetch_DownloadData, then event 522 or 523,
// SwarmFetch_GetDataSize and SwarmFetch_GetData.
#include <stdint.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

// First: it brings winsock2.h, which must come before windows.h.
#include "integration/NetDownloadTestEnv.h"

#include <gtest/gtest.h>

#include "integration/ApiTestEnv.h"
#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/opeerqos/cpCNameLookup.h"
#include "opn/opeerqos/nwRedirect.h"
#include "sdk/download/CDataDownloadSession.h"
#include "support/Eventually.h"
#include "support/FastTimerClock.h"
#include "support/TestPeers.h"
#include "support/TestServers.h"

namespace {

using netdl::OnLibraryThread;

const sftest::TestServers& S() {
    return sftest::Servers();
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

class DataDownload : public netdl::LibraryTest {
  protected:
    size_t Ends() {
        return Events().CountOf(SF_EVENT_DATA_DONE) + Events().CountOf(SF_EVENT_DATA_FAILED);
    }

    // Waits (bounded) until `count` requests have ended; the code of the
    // last end event, or 0 when none came in time.
    uint32_t WaitEnds(size_t count, uint32_t timeoutMs = 20000) {
        sftest::Eventually([&] { return Ends() >= count; }, timeoutMs);
        uint32_t last = 0;
        for (const apitest::Event& e : Events().Events())
            if (e.code == SF_EVENT_DATA_DONE || e.code == SF_EVENT_DATA_FAILED)
                last = e.code;
        return Ends() >= count ? last : 0;
    }

    // Starts `url` and waits for its end event (522, 523, or 0 on time-out).
    uint32_t Fetch(const std::string& url, uint32_t timeoutMs = 20000) {
        const size_t before = Ends();
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DownloadData(url.c_str()));
        return WaitEnds(before + 1, timeoutMs);
    }

    // The fetched data through the flat interface; empty when there is none.
    std::vector<uint8_t> Data() {
        int64_t size = -1;
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetDataSize(&size));
        if (size <= 0)
            return {};
        std::vector<uint8_t> data((size_t)size, 0);
        SwarmFetchDataBuffer buffer = {data.data(), size};
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetData(&buffer));
        return data;
    }

    // The session's inspection values, read on the library thread.
    struct SessionState {
        bool exists = false;
        bool running = false;
        bool tickTimer = false;
        bool connection = false;
        int32_t failure = -1;
        int32_t redirects = -1;
        std::string redirectUrl;
        int64_t received = 0;
        int64_t contentLength = 0;
    };
    SessionState Session() {
        SessionState state;
        EXPECT_TRUE(OnLibraryThread([&] {
            CDataDownloadSession* session = apitest::TheManager().DataSession();
            if (!session)
                return;
            state.exists = true;
            state.running = session->Running();
            state.tickTimer = session->TickTimerRunning();
            state.connection = session->Connection() != nullptr;
            state.failure = session->LastFailure();
            state.redirects = session->Redirects();
            state.redirectUrl = session->RedirectUrl().CStr();
            state.received = session->Received();
            state.contentLength = session->ContentLength();
        }));
        return state;
    }

    // Fetches a failing URL and answers the session's failure reason.
    int32_t FailureOf(const std::string& url, uint32_t timeoutMs = 20000) {
        if (Fetch(url, timeoutMs) != SF_EVENT_DATA_FAILED) {
            ADD_FAILURE() << url << " did not fail";
            return -1;
        }
        return Session().failure;
    }
};

// --- data that arrives ---------------------------------------------------------

TEST_F(DataDownload, FileListAndBinariesFromNginxAreByteIdentical) {
    for (const char* file : {"files/list.txt", "files/skin.zip", "files/random-1m.bin"}) {
        SCOPED_TRACE(file);
        bool ok = false;
        const std::vector<unsigned char> expected = S().DocRootFile(file, &ok);
        ASSERT_TRUE(ok);
        ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().HttpUrl(std::string("/") + file)));
        EXPECT_TRUE(Data() == std::vector<uint8_t>(expected.begin(), expected.end()));
    }
    // Every event came from the library thread, with handle 0.
    const uint32_t libraryThread = SwarmFetchLibraryThread()->ThreadId();
    for (const apitest::Event& e : Events().Events()) {
        EXPECT_EQ(libraryThread, e.thread);
        EXPECT_EQ(0u, e.handle);
    }
    EXPECT_EQ(3u, Events().CountOf(SF_EVENT_DATA_DONE));
    EXPECT_EQ(0u, Events().CountOf(SF_EVENT_DATA_FAILED));
    SessionState state = Session();
    EXPECT_FALSE(state.running);
    EXPECT_FALSE(state.tickTimer);
    EXPECT_FALSE(state.connection);
}

TEST_F(DataDownload, RedirectsLeadToTheLocationGiven) {
    bool ok = false;
    const std::vector<unsigned char> list = S().DocRootFile("files/list.txt", &ok);
    ASSERT_TRUE(ok);
    const std::vector<unsigned char> zip = S().DocRootFile("files/skin.zip", &ok);
    ASSERT_TRUE(ok);

    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().HttpUrl("/redirect-302")));
    EXPECT_TRUE(Data() == std::vector<uint8_t>(list.begin(), list.end()));
    SessionState state = Session();
    EXPECT_EQ(1, state.redirects);
    EXPECT_EQ(S().HttpUrl("/files/list.txt"), state.redirectUrl);

    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().HttpUrl("/redirect-303")));
    EXPECT_TRUE(Data() == std::vector<uint8_t>(zip.begin(), zip.end()));

    // From http to https and back.
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().HttpUrl("/to-https")));
    EXPECT_TRUE(Data() == std::vector<uint8_t>(list.begin(), list.end()));
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().HttpsUrl("/to-http")));
    EXPECT_TRUE(Data() == std::vector<uint8_t>(list.begin(), list.end()));
}

TEST_F(DataDownload, HttpsWithTheTrustedCertificate) {
    bool ok = false;
    const std::vector<unsigned char> zip = S().DocRootFile("files/skin.zip", &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().HttpsUrl("/files/skin.zip")));
    EXPECT_TRUE(Data() == std::vector<uint8_t>(zip.begin(), zip.end()));
    // A certificate nobody trusts gives no data.
    EXPECT_EQ((uint32_t)SF_EVENT_DATA_FAILED, Fetch(S().HttpsUntrustedUrl("/files/list.txt")));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetData(nullptr));
    int64_t size = 99;
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetDataSize(&size));
    EXPECT_EQ(99, size);
}

TEST_F(DataDownload, BytesBeyondContentLengthAreNotKept) {
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().FaultUrl("/beyond-length")));
    const std::vector<unsigned char> pattern = sftest::FaultPattern(16);
    EXPECT_TRUE(Data() == std::vector<uint8_t>(pattern.begin(), pattern.end()));
}

TEST_F(DataDownload, HeadSplitOverSeveralReads) {
    const std::vector<unsigned char> pattern = sftest::FaultPattern(32);
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().FaultUrl("/split-head")));
    EXPECT_TRUE(Data() == std::vector<uint8_t>(pattern.begin(), pattern.end()));
}

TEST_F(DataDownload, TicksComeWhileTheDownloadRunsAndStopAfterIt) {
    // The body takes about two seconds.
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().FaultUrl("/slow-body")));
    EXPECT_EQ(1000u, Data().size());
    const std::vector<uint32_t> codes = Events().Codes();
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ((uint32_t)SF_EVENT_DATA_DONE, codes.back());
    EXPECT_GE(Events().CountOf(SF_EVENT_DATA_TICK), 1u);
    EXPECT_FALSE(Session().tickTimer);
}

// --- the size and data queries ------------------------------------------------

TEST_F(DataDownload, GetDataSizeBeforeAnyDownloadAndAfter) {
    int64_t size = 5;
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetDataSize(&size));
    EXPECT_EQ(5, size);
    uint8_t byte = 0;
    SwarmFetchDataBuffer one = {&byte, 1};
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetData(&one));

    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().FaultUrl("/ok")));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetDataSize(&size));
    EXPECT_EQ(16, size);
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetDataSize(nullptr));
    EXPECT_TRUE(Data() == Bytes("fault server ok\n"));
    // Asking twice gives the same data.
    EXPECT_TRUE(Data() == Bytes("fault server ok\n"));

    // A later request that fails leaves no data behind.
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_FAILED, Fetch(S().FaultUrl("/status/404")));
    size = 5;
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetDataSize(&size));
    EXPECT_EQ(5, size);
}

TEST_F(DataDownload, GetDataWithAWrongSizeCopiesNothing) {
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().FaultUrl("/ok")));
    std::vector<uint8_t> data(17, 0xAB);
    SwarmFetchDataBuffer shorter = {data.data(), 15};
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetData(&shorter));
    EXPECT_TRUE(data == std::vector<uint8_t>(17, 0xAB));
    SwarmFetchDataBuffer longer = {data.data(), 17};
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetData(&longer));
    EXPECT_TRUE(data == std::vector<uint8_t>(17, 0xAB));
    SwarmFetchDataBuffer noPointer = {nullptr, 16};
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetData(&noPointer));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetData(nullptr));
    SwarmFetchDataBuffer exact = {data.data(), 16};
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetData(&exact));
    EXPECT_EQ(0, memcmp(data.data(), "fault server ok\n", 16));
    EXPECT_EQ(0xAB, data[16]);
}

// --- failures -----------------------------------------------------------------

TEST_F(DataDownload, ConnectRefusedAndConnectTimeOutFailWithReasonThree) {
    netdl::HeldTimerClock clock;
    // A refusal needs no time to pass.
    EXPECT_EQ(kDataFailConnectTimeout,
              FailureOf("http://127.0.0.1:" + std::to_string(testpeers::RefusedPort()) + "/a"));
    testpeers::Blackhole blackhole;
    ASSERT_TRUE(blackhole.Ok());
    const size_t before = Ends();
    const std::string url = "http://127.0.0.1:" + std::to_string(blackhole.Port()) + "/a";
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_DownloadData(url.c_str()));
    ASSERT_TRUE(netdl::Drained());
    // A second short of the time-out the connect still waits.
    const uint32_t timeoutMs = CDataDownloadSession::kConnectTimeoutSec * 1000;
    ASSERT_TRUE(clock.Pass(timeoutMs - 1000));
    EXPECT_EQ(before, Ends());
    ASSERT_TRUE(clock.Pass(1000 + CDataDownloadSession::kTickPeriodMs));
    EXPECT_EQ((uint32_t)SF_EVENT_DATA_FAILED, WaitEnds(before + 1));
    EXPECT_EQ(kDataFailConnectTimeout, Session().failure);
}

TEST_F(DataDownload, AStalledServerFailsWithReasonFive) {
    netdl::HeldTimerClock clock;
    // Nothing at all, or part of the body: the receive time-out counts
    // from the last byte.
    for (const std::string path : {"/stall", "/stall-mid-body"}) {
        SCOPED_TRACE(path);
        const std::string request = path + "?k=" + netdl::UniqueKey("stalled-");
        const size_t before = Ends();
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_DownloadData(S().FaultUrl(request).c_str()));
        ASSERT_TRUE(netdl::FaultServerLogged("GET " + request + " "));
        if (path == "/stall-mid-body") {
            ASSERT_TRUE(sftest::Eventually([&] { return Session().received == 100; }));
        }
        ASSERT_TRUE(netdl::Drained());
        const uint32_t timeoutMs = CDataDownloadSession::kReceiveTimeoutSec * 1000;
        ASSERT_TRUE(clock.Pass(timeoutMs - 1000));
        EXPECT_EQ(before, Ends());
        ASSERT_TRUE(clock.Pass(1000 + 2 * CDataDownloadSession::kTickPeriodMs));
        EXPECT_EQ((uint32_t)SF_EVENT_DATA_FAILED, WaitEnds(before + 1));
        EXPECT_EQ(kDataFailReceiveTimeout, Session().failure);
    }
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetData(nullptr));
}

// --- name lookups -------------------------------------------------------------

// A resolver of our own on the address cache's seam: every name is
// 127.0.0.1, except "missing.test", which does not resolve; with `stall` set
// it answers only once the test releases it (or after 20 s, so that a test
// never hangs on it; `gaveUp` says so).
struct TestResolver {
    bool stall = false;
    std::mutex mutex;
    std::condition_variable released;
    bool free = false;
    std::atomic<int> calls{0};
    std::atomic<bool> gaveUp{false};

    static ResultCode Resolve(const char* host, NetAddressList* list, void* user) {
        TestResolver* self = static_cast<TestResolver*>(user);
        ++self->calls;
        if (self->stall) {
            std::unique_lock<std::mutex> hold(self->mutex);
            if (!self->released.wait_for(hold, std::chrono::seconds(20),
                                         [&] { return self->free; }))
                self->gaveUp = true;
        }
        if (strcmp(host, "missing.test") == 0)
            return OV_E_PLATFORM;
        list->count = 1;
        list->addresses[0] = testpeers::LoopbackAddress();
        return OV_S_PLATFORM;
    }
    void Release() {
        std::lock_guard<std::mutex> hold(mutex);
        free = true;
        released.notify_all();
    }
};

class NameLookup : public DataDownload {
  protected:
    void SetUp() override {
        DataDownload::SetUp();
        ASSERT_TRUE(OnLibraryThread([&] {
            AddressCache().Clear();
            AddressCache().SetResolver(&TestResolver::Resolve, &m_resolver);
        }));
    }
    void TearDown() override {
        m_resolver.Release();
        // The lookup threads are done with the resolver before it goes.
        EXPECT_TRUE(sftest::Eventually([] { return cpCNameLookup::LiveThreads() == 0; }, 25000));
        EXPECT_TRUE(OnLibraryThread([] {
            AddressCache().SetResolver(nullptr, nullptr);
            AddressCache().Clear();
        }));
        DataDownload::TearDown();
    }

    TestResolver m_resolver;
};

TEST_F(NameLookup, ANameIsLookedUpOnTheSideAndTheFileArrives) {
    const std::string url =
        "http://named.test:" + std::to_string(S().FaultPort()) + "/ok?k=" + netdl::UniqueKey("n-");
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(url));
    EXPECT_EQ(1, m_resolver.calls.load());
    // A name that gives no address fails the attempt as a connect that
    // never completed does.
    EXPECT_EQ(kDataFailConnectTimeout,
              FailureOf("http://missing.test:" + std::to_string(S().FaultPort()) + "/ok"));
}

TEST_F(NameLookup, AStalledLookupHoldsNoHostCallAndFailsAfterTheConnectTimeOut) {
    netdl::HeldTimerClock clock;
    m_resolver.stall = true;
    const size_t before = Ends();
    // Returns although the lookup never answers.
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_RequestData("http://stalled.test/list.txt"));
    ASSERT_TRUE(sftest::Eventually([&] { return m_resolver.calls.load() == 1; }));
    // Host calls and the library thread go on answering meanwhile.
    int64_t size = -7;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetDataSize(&size));
        ASSERT_TRUE(netdl::Drained());
    }
    EXPECT_EQ(-7, size);
    const uint32_t timeoutMs = CDataDownloadSession::kConnectTimeoutSec * 1000;
    ASSERT_TRUE(clock.Pass(timeoutMs - 1000));
    EXPECT_EQ(before, Ends());
    ASSERT_TRUE(clock.Pass(1000 + CDataDownloadSession::kTickPeriodMs));
    EXPECT_EQ((uint32_t)SF_EVENT_DATA_FAILED, WaitEnds(before + 1));
    EXPECT_EQ(kDataFailConnectTimeout, Session().failure);
    EXPECT_FALSE(m_resolver.gaveUp.load());
    // The late answer is taken by the cache and starts nothing.
    m_resolver.Release();
    ASSERT_TRUE(sftest::Eventually([] { return cpCNameLookup::LiveThreads() == 0; }));
    ASSERT_TRUE(netdl::Drained());
    EXPECT_EQ(before + 1, Ends());
    EXPECT_EQ(1, m_resolver.calls.load());
    int32_t waiters = -1;
    ASSERT_TRUE(OnLibraryThread([&] { waiters = AddressCache().WaiterCount(); }));
    EXPECT_EQ(0, waiters);
}

TEST_F(NameLookup, FinalizeDoesNotWaitForAStalledLookup) {
    m_resolver.stall = true;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_RequestData("http://stalled.test/list.txt"));
    ASSERT_TRUE(sftest::Eventually([&] { return m_resolver.calls.load() == 1; }));
    // The thread inside the resolver is left behind; the library ends.
    m_lib.reset();
    EXPECT_EQ(1, cpCNameLookup::LiveThreads());
    EXPECT_FALSE(m_resolver.gaveUp.load());
    m_resolver.Release();
    EXPECT_TRUE(sftest::Eventually([] { return cpCNameLookup::LiveThreads() == 0; }));
    StartLibrary();
}

// The library's timers run five times as fast as real time, the fault
// server trickles at its real pace.
class DataDownloadFastClock : public DataDownload {
  protected:
    void SetUp() override {
        m_clock.reset(new sftest::FastTimerClock(5));
        DataDownload::SetUp();
    }
    void TearDown() override {
        DataDownload::TearDown();
        m_clock.reset();
    }
    std::unique_ptr<sftest::FastTimerClock> m_clock;
};

TEST_F(DataDownloadFastClock, ATrickleFailsAsTooSlowAlsoBehindARedirect) {
    // Two bytes per (timer) second, a byte every 100 ms: never idle for the
    // receive time-out, far below the floor.
    for (const std::string& url :
         {S().FaultUrl("/trickle/100/100000"),
          S().FaultUrl("/redirect-to?status=302&loc=%2Ftrickle%2F100%2F100000")}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(kDataFailTooSlow, FailureOf(url, 60000));
        const SessionState state = Session();
        EXPECT_FALSE(state.running);
        EXPECT_FALSE(state.connection);
        EXPECT_FALSE(state.tickTimer);
    }
    // A file that comes at once is not held up by the guard.
    EXPECT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().HttpUrl("/files/skin.zip")));
}

TEST_F(DataDownload, ACloseBeforeTheDataIsCompleteFailsWithReasonSix) {
    for (const char* scenario :
         {"/close-before-head", "/reset", "/short-body", "/reset-mid-body", "/garbage"}) {
        SCOPED_TRACE(scenario);
        EXPECT_EQ(kDataFailClosed, FailureOf(S().FaultUrl(scenario)));
        int64_t size = 3;
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetDataSize(&size));
        EXPECT_EQ(3, size);
    }
}

TEST_F(DataDownload, AnUnreachableHostFailsWithReasonSeven) {
    // Loopback never answers "unreachable"; the notice the socket manager
    // would route is handed to the pending connect before it completes.
    testpeers::Staller staller;
    ASSERT_TRUE(staller.Ok());
    const std::string url = "http://127.0.0.1:" + std::to_string(staller.Port()) + "/a";
    bool injected = false;
    ASSERT_TRUE(OnLibraryThread([&] {
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DownloadData(url.c_str()));
        injected = netdl::InjectHostUnreachable(apitest::TheManager().DataSession()->Connection());
    }));
    ASSERT_TRUE(injected);
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_FAILED, WaitEnds(1));
    EXPECT_EQ(kDataFailHostUnreachable, Session().failure);
}

TEST_F(DataDownload, AnswersWithoutDataFailInsteadOfEndingSilently) {
    for (const std::string& url :
         {S().FaultUrl("/status/404"), S().FaultUrl("/status/500"), S().HttpUrl("/status/404"),
          S().HttpUrl("/files/missing.txt"), S().FaultUrl("/no-length"),
          S().FaultUrl("/zero-length"), S().HttpUrl("/files/empty.txt"),
          S().FaultUrl("/redirect-no-location"), S().FaultUrl("/redirect-empty-location")}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(kDataFailNoData, FailureOf(url));
    }
    EXPECT_EQ(0u, Events().CountOf(SF_EVENT_DATA_DONE));
}

TEST_F(DataDownload, AHugeContentLengthFailsBeforeAnythingIsAllocated) {
    EXPECT_EQ(kDataFailTooLarge, FailureOf(S().FaultUrl("/huge-length")));
    // The session let go of the connection at once.
    SessionState state = Session();
    EXPECT_FALSE(state.connection);
    EXPECT_FALSE(state.running);
}

TEST_F(DataDownload, ARedirectChainEndsAfterTheBound) {
    EXPECT_EQ(kDataFailTooManyRedirects, FailureOf(S().FaultUrl("/redirect-loop")));
    EXPECT_EQ(kMaxRedirects, Session().redirects);

    // Exactly the bound of redirects is followed: the request and ten more.
    // The log is shared by every program and run: count only the lines of
    // this request, from a start number nobody else uses.
    std::random_device random;
    const uint64_t seed =
        random() ^ (uint64_t)std::chrono::system_clock::now().time_since_epoch().count();
    const int start = 100000 + (int)(seed % 8000u) * 100;  // the server counts to 10^6
    const size_t logged = S().FaultRequestLines().size();
    EXPECT_EQ(kDataFailTooManyRedirects,
              FailureOf(S().FaultUrl("/redirect-chain/" + std::to_string(start))));
    int seen = 0;
    const std::vector<std::string> lines = S().FaultRequestLines();
    for (size_t i = logged; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        for (int n = start; n <= start + 2 * kMaxRedirects; ++n) {
            if (line.find("/redirect-chain/" + std::to_string(n) + " ") != std::string::npos)
                ++seen;
        }
    }
    EXPECT_EQ(kMaxRedirects + 1, seen);

    // Ten hops are fine, eleven are not.
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().FaultUrl("/hops/9")));
    EXPECT_TRUE(Data() == Bytes("fault server ok\n"));
    EXPECT_EQ(kMaxRedirects, Session().redirects);
    EXPECT_EQ(kDataFailTooManyRedirects, FailureOf(S().FaultUrl("/hops/10")));
}

TEST_F(DataDownload, UrlsThatCannotBeOpenedFailOnTheLibraryThread) {
    for (const char* url : {"ftp://x/y", "http://", "https:///a", "no url at all"}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(kDataFailCannotOpen, FailureOf(url));
    }
    const uint32_t libraryThread = SwarmFetchLibraryThread()->ThreadId();
    for (const apitest::Event& e : Events().Events())
        EXPECT_EQ(libraryThread, e.thread);
    EXPECT_EQ(4u, Events().CountOf(SF_EVENT_DATA_FAILED));
}

TEST_F(DataDownload, AnEmptyUrlStartsNothing) {
    netdl::HeldTimerClock clock;
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DownloadData(""));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_RequestData(nullptr));
    SessionState state = Session();
    EXPECT_TRUE(state.exists);
    EXPECT_FALSE(state.running);
    EXPECT_FALSE(state.tickTimer);
    int64_t size = 8;
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetDataSize(&size));
    EXPECT_EQ(8, size);
    // Nothing comes later either: no failure report, no tick.
    EXPECT_EQ(0, netdl::ArmedTimers(CDataDownloadSession::kTimerTagReport));
    ASSERT_TRUE(clock.Pass(CDataDownloadSession::kTickPeriodMs + 300));
    EXPECT_EQ(0u, Events().Count());
}

// --- one session, many requests -------------------------------------------------

TEST_F(DataDownload, EveryRequestReusesTheSession) {
    CDataDownloadSession* first = nullptr;
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().FaultUrl("/ok")));
    ASSERT_TRUE(OnLibraryThread([&] { first = apitest::TheManager().DataSession(); }));
    ASSERT_NE(nullptr, first);
    bool ok = false;
    const std::vector<unsigned char> zip = S().DocRootFile("files/skin.zip", &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().HttpUrl("/files/skin.zip")));
    EXPECT_TRUE(Data() == std::vector<uint8_t>(zip.begin(), zip.end()));
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_FAILED, Fetch(S().FaultUrl("/status/500")));
    // The second entry point starts requests the same way.
    const size_t before = Ends();
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_RequestData(S().FaultUrl("/ok").c_str()));
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, WaitEnds(before + 1));
    EXPECT_TRUE(Data() == Bytes("fault server ok\n"));
    CDataDownloadSession* last = nullptr;
    ASSERT_TRUE(OnLibraryThread([&] { last = apitest::TheManager().DataSession(); }));
    EXPECT_EQ(first, last);
}

TEST_F(DataDownload, ANewRequestReplacesTheOneRunning) {
    netdl::HeldTimerClock clock;
    // The held request would fail after its receive time-out; replaced, it
    // reports nothing at all.
    const std::string held = netdl::UniqueKey("replaced-");
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DownloadData(S().FaultUrl("/hold/" + held).c_str()));
    ASSERT_TRUE(netdl::FaultServerLogged("GET /hold/" + held + " "));
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().FaultUrl("/ok")))
        << "reason " << Session().failure;
    EXPECT_TRUE(Data() == Bytes("fault server ok\n"));
    // Its connection is closed, and its time-out passes without a report.
    EXPECT_TRUE(netdl::FaultServerLogged("hold " + held + " closed"));
    ASSERT_TRUE(clock.Pass((CDataDownloadSession::kReceiveTimeoutSec + 3) * 1000));
    EXPECT_EQ(1u, Ends());
    EXPECT_EQ(0u, Events().CountOf(SF_EVENT_DATA_FAILED));
}

TEST_F(DataDownload, FinalizeWhileADownloadRuns) {
    const std::string held = netdl::UniqueKey("finalize-");
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DownloadData(S().FaultUrl("/hold/" + held).c_str()));
    // Finalized while the server holds the request: the connection goes with
    // the library.
    ASSERT_TRUE(netdl::FaultServerLogged("GET /hold/" + held + " "));
    m_lib.reset();
    EXPECT_EQ(nullptr, SwarmFetchLibraryThread());
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetDataSize(nullptr));
    EXPECT_TRUE(netdl::FaultServerLogged("hold " + held + " closed"));
}

// --- what real servers send: framing, header syntax, redirect forms, URLs ------

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = (uint8_t)(i % 256);
    return bytes;
}

std::string RedirectTo(int status, const std::string& location) {
    return S().FaultRedirectUrl(status, location);
}

TEST_F(DataDownload, BodiesThatAreNotPlainBytesFailAndHeaderSyntaxVariantsWork) {
    struct Case {
        const char* scenario;
        bool succeeds;
    } cases[] = {
        // The encoded bytes must never pass for the data.
        {"chunked", false},
        {"chunked-and-length", false},
        {"gzip", false},
        {"conflicting-length", false},
        {"malformed-length", false},
        // Whole header names, and any optional white space after the colon.
        {"length-hint", true},
        {"no-space", true},
        {"tab", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        const uint32_t end = Fetch(S().FaultUrl(std::string("/framing/") + c.scenario));
        if (c.succeeds) {
            ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, end);
            EXPECT_TRUE(Data() == Pattern(1000));
        } else {
            ASSERT_EQ((uint32_t)SF_EVENT_DATA_FAILED, end);
            EXPECT_EQ(kDataFailClosed, Session().failure);
            EXPECT_TRUE(Data().empty());
        }
    }
}

TEST_F(DataDownload, EveryRedirectStatusAndLocationFormIsFollowed) {
    const std::string port = std::to_string(S().FaultPort());
    struct Case {
        int status;
        std::string location;
        std::string requestLine;  // what the final hop asked for
    } cases[] = {
        {301, "/echo/abs", "GET /echo/abs HTTP/1.1"},
        {307, "echo/rel", "GET /echo/rel HTTP/1.1"},
        {308, "../echo/up", "GET /echo/up HTTP/1.1"},
        {302, "./x/../../echo/dots", "GET /echo/dots HTTP/1.1"},
        {303, "//127.0.0.1:" + port + "/echo/net", "GET /echo/net HTTP/1.1"},
        {301, "http://127.0.0.1:" + port + "/echo/full#frag", "GET /echo/full HTTP/1.1"},
        // Escapes in a Location are sent as they came, never decoded first.
        {302, "/echo/a%2Fb%20c%26d%3De%2Bf?q=%26%3D%2B%20#top",
         "GET /echo/a%2Fb%20c%26d%3De%2Bf?q=%26%3D%2B%20 HTTP/1.1"},
        {307, "/echo/z%00z", "GET /echo/z%00z HTTP/1.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.location);
        ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(RedirectTo(c.status, c.location)))
            << "reason " << Session().failure;
        const std::vector<uint8_t> data = Data();
        const std::string request(data.begin(), data.end());
        EXPECT_EQ(0u, request.find(c.requestLine + "\r\n")) << request;
        // The fault server's port is not 80, so Host names it.
        EXPECT_NE(std::string::npos, request.find("\r\nHost: 127.0.0.1:" + port + "\r\n"))
            << request;
        EXPECT_EQ(1, Session().redirects);
    }
    // Locations that lead nowhere fail as URLs that cannot be opened.
    EXPECT_EQ(kDataFailCannotOpen, FailureOf(RedirectTo(301, "ftp://127.0.0.1/x")));
    EXPECT_EQ(kDataFailCannotOpen, FailureOf(RedirectTo(308, "//")));
    for (const std::string& location :
         {"http://u@127.0.0.1:" + port + "/ok", "http://[::1]:" + port + "/ok",
          std::string("http://127.0.0.1:0/ok"), "http://127.0.0.1:" + port + "0/ok",
          std::string("/ok\x01"), std::string("/ok\0x", 4)}) {
        SCOPED_TRACE(location);
        EXPECT_EQ(kDataFailCannotOpen, FailureOf(RedirectTo(302, location)));
    }
}

TEST_F(DataDownload, UrlsKeepTheirEscapesAndLoseTheirFragment) {
    struct Case {
        std::string path;
        std::string requestLine;
    } cases[] = {
        {"/echo/a%2Fb%20c?k=%26%3D%2B", "GET /echo/a%2Fb%20c?k=%26%3D%2B HTTP/1.1"},
        {"/echo/p%00q", "GET /echo/p%00q HTTP/1.1"},
        {"/echo/frag#part?x=1", "GET /echo/frag HTTP/1.1"},
        // Bytes of the code page still go out as escaped UTF-8.
        {"/echo/\xC7\xD1 x", "GET /echo/%ED%95%9C%20x HTTP/1.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().FaultUrl(c.path)));
        const std::vector<uint8_t> data = Data();
        const std::string request(data.begin(), data.end());
        EXPECT_EQ(0u, request.find(c.requestLine + "\r\n")) << request;
    }
}

TEST_F(DataDownload, UrlsWithControlBytesNeverReachTheWire) {
    const size_t logged = S().FaultRequestLines().size();
    for (const char* tail : {"\r\nX-Injected: 1", "\nb", "\rb", "\tb", "\x01", "\x1f", "\x7f"}) {
        SCOPED_TRACE(tail);
        EXPECT_EQ(kDataFailCannotOpen,
                  FailureOf(S().FaultUrl(std::string("/echo/ctl-mend") + tail)));
    }
    const std::vector<std::string> lines = S().FaultRequestLines();
    for (size_t i = logged; i < lines.size(); ++i)
        EXPECT_EQ(std::string::npos, lines[i].find("ctl-mend")) << lines[i];
}

TEST_F(DataDownload, FinalizeDuringAnHttpsTransferLeavesNoTlsObjectBehind) {
    // Every connection must be gone before the TLS clean-up: a TLS layer freed
    // after it would reach a freed BIO method (AddressSanitizer reports it).
    // A slow https body (16 s for 1 MiB): still in flight at the clean-up.
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_DownloadData(S().HttpsUrl("/slow/files/random-1m.bin").c_str()));
    SessionState state;
    sftest::Eventually(
        [&] {
            state = Session();
            return state.received > 0 || Ends() > 0;
        },
        5000, 1);
    ASSERT_EQ(0u, Ends()) << "the transfer ended before the library did";
    ASSERT_GT(state.received, 0);
    EXPECT_LT(state.received, state.contentLength);
    m_lib.reset();
    EXPECT_EQ(nullptr, SwarmFetchLibraryThread());
    EXPECT_EQ(0, TlsSessionsOpenAtLastCleanup());
    EXPECT_EQ(0, TlsOpenSessionCount());
    EXPECT_EQ(nullptr, TlsBioMethod());

    // A new library after that clean-up fetches over TLS again.
    StartLibrary();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ((uint32_t)SF_EVENT_DATA_DONE, Fetch(S().HttpsUrl("/files/list.txt")));
}

}  // namespace
