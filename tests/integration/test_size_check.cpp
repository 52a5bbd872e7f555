// The host's size check end to end through the flat interface, against the
// fault server and nginx: SwarmFetch_AddSizeCheck, SwarmFetch_StartSizeCheck,
// then event 525 (SwarmFetch_GetSizeCheckTotal) or 526.
//
// Requests in flight are counted at the fault server: its /gate/ answers
// log each arrival and each answer in order.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

// First: it brings winsock2.h, which must come before windows.h.
#include "integration/FileDownloadTestEnv.h"

#include <gtest/gtest.h>

#include "integration/ApiTestEnv.h"
#include "opn/opeerqos/nwRedirect.h"
#include "sdk/download/IContentLengthCheckerEventListener.h"
#include "sdk/download/CContentLengthCheckSession.h"
#include "sdk/download/CContentLengthChecker.h"
#include "sdk/download/SizeMemory.h"
#include "support/Eventually.h"
#include "support/TestServers.h"

namespace {

using netdl::OnLibraryThread;
using netdl::RequestsWith;
using netdl::UniqueKey;

const sftest::TestServers& S() {
    return sftest::Servers();
}

// One gated file: answered after `holdMs` with `length` bytes.
struct Gate {
    int holdMs;
    int length;
};

std::string GateUrl(const std::string& tag, size_t index, const Gate& gate) {
    return S().FaultUrl("/gate/" + tag + "/" + std::to_string(index) + "/" +
                        std::to_string(gate.holdMs) + "/" + std::to_string(gate.length));
}

// What the fault server saw of one tag, in order: +i for the arrival of
// file i, -(i + 1) for its answer.
std::vector<int> GateEvents(const std::string& tag) {
    std::vector<int> events;
    const std::string arrival = "/gate/" + tag + "/";
    const std::string answer = "gate " + tag + "/";
    for (const std::string& line : S().FaultRequestLines()) {
        size_t at = line.find(arrival);
        if (at != std::string::npos) {
            events.push_back(std::stoi(line.substr(at + arrival.size())));
            continue;
        }
        if (line.compare(0, answer.size(), answer) == 0)
            events.push_back(-(std::stoi(line.substr(answer.size())) + 1));
    }
    return events;
}

// The files in the order they arrived; those started together may reach
// the server in any order, so the first `together` are sorted.
std::vector<int> Arrivals(const std::vector<int>& events, size_t together) {
    std::vector<int> arrivals;
    for (int e : events)
        if (e >= 0)
            arrivals.push_back(e);
    std::sort(arrivals.begin(), arrivals.begin() + (ptrdiff_t)std::min(together, arrivals.size()));
    return arrivals;
}

int MaxInFlight(const std::vector<int>& events) {
    int now = 0;
    int most = 0;
    for (int e : events) {
        now += e >= 0 ? 1 : -1;
        most = std::max(most, now);
    }
    return most;
}

size_t Position(const std::vector<int>& events, int event) {
    return (size_t)(std::find(events.begin(), events.end(), event) - events.begin());
}

class SizeCheck : public netdl::LibraryTest {
  protected:
    size_t Ends() {
        return Events().CountOf(SF_EVENT_SIZE_CHECK_DONE) +
               Events().CountOf(SF_EVENT_SIZE_CHECK_FAILED);
    }

    // Adds every URL list, starts the check and waits (bounded) for its end:
    // the end event's code, 0 when none came in time.
    uint32_t Check(const std::vector<std::string>& urls, uint32_t timeoutMs = 30000) {
        for (const std::string& url : urls)
            EXPECT_EQ(SF_RESULT_OK, SwarmFetch_AddSizeCheck(url.c_str()));
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StartSizeCheck());
        sftest::Eventually([&] { return Ends() > 0; }, timeoutMs);
        for (const apitest::Event& e : Events().Events())
            if (e.code == SF_EVENT_SIZE_CHECK_DONE || e.code == SF_EVENT_SIZE_CHECK_FAILED)
                return e.code;
        return 0;
    }

    int64_t Total() {
        int64_t total = -1;
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeCheckTotal(&total));
        return total;
    }

    // The size check's state, read on the library thread.
    struct CheckState {
        bool exists = false;
        bool running = false;
        int32_t sessions = -1;
        int32_t inFlight = -1;
    };
    CheckState State() {
        CheckState state;
        EXPECT_TRUE(OnLibraryThread([&] {
            CContentLengthChecker* check = apitest::TheManager().SizeCheck();
            if (!check)
                return;
            state.exists = true;
            state.running = check->Running();
            state.sessions = check->SessionCount();
            state.inFlight = check->InFlight();
        }));
        return state;
    }

    // Waits (bounded) until the server answered `count` held requests of
    // `tag`, then lets the library thread take two turns of its loop, so
    // whatever those answers could still cause has happened.
    void WaitHeldAnswers(const std::string& tag, int count) {
        EXPECT_TRUE(sftest::Eventually(
            [&] {
                const std::vector<int> events = GateEvents(tag);
                return std::count_if(events.begin(), events.end(), [](int e) { return e < 0; }) >=
                       count;
            },
            20000));
        EXPECT_TRUE(OnLibraryThread([] {}));
        EXPECT_TRUE(OnLibraryThread([] {}));
    }

    // Waits (bounded) until the server has seen `count` events of `tag`.
    std::vector<int> WaitGateEvents(const std::string& tag, size_t count) {
        std::vector<int> events;
        sftest::Eventually([&] { return (events = GateEvents(tag)).size() >= count; }, 20000);
        return events;
    }

    // Every end event came once, from the library thread, with handle 0.
    void ExpectOneEnd(uint32_t code) {
        const uint32_t libraryThread = SwarmFetchLibraryThread()->ThreadId();
        EXPECT_EQ(1u, Ends());
        EXPECT_EQ(1u, Events().CountOf(code));
        for (const apitest::Event& e : Events().Events()) {
            EXPECT_EQ(libraryThread, e.thread);
            EXPECT_EQ(0u, e.handle);
        }
    }
};

// --- at most kMaxInFlight in flight -------------------------------------------

const int kInFlight = CContentLengthChecker::kMaxInFlight;

// 0, 1, ..., n - 1.
std::vector<int> Upto(int n) {
    std::vector<int> v;
    for (int i = 0; i < n; ++i)
        v.push_back(i);
    return v;
}

TEST_F(SizeCheck, AllInFlightAtOnceTheNextWhenTheFirstAnswers) {
    const std::string tag = UniqueKey("next");
    // The first answers well before files 1 to kInFlight - 1 (all within the
    // receive time-out); the two after them answer at once.
    std::vector<Gate> gates = {{400, 10}};
    for (int i = 1; i < kInFlight + 2; ++i)
        gates.push_back({i < kInFlight ? 2200 : 0, 10 * (i + 1)});
    const int files = (int)gates.size();
    std::vector<std::string> urls;
    int64_t sum = 0;
    for (size_t i = 0; i < gates.size(); ++i) {
        urls.push_back(GateUrl(tag, i, gates[i]));
        sum += gates[i].length;
    }
    ASSERT_EQ((uint32_t)SF_EVENT_SIZE_CHECK_DONE, Check(urls));
    ExpectOneEnd(SF_EVENT_SIZE_CHECK_DONE);
    EXPECT_EQ(sum, Total());

    const std::vector<int> events = WaitGateEvents(tag, (size_t)(2 * files));
    ASSERT_EQ((size_t)(2 * files), events.size());
    EXPECT_EQ(kInFlight, MaxInFlight(events));
    // kInFlight start together, then the others in order; each once.
    EXPECT_EQ(Upto(files), Arrivals(events, kInFlight));
    // The next file waits for the first answer, the one after it for the
    // next one.
    const int next = kInFlight;
    EXPECT_LT(Position(events, -1), Position(events, next));
    EXPECT_LT(Position(events, next), Position(events, -2));
    EXPECT_LT(Position(events, -(next + 1)), Position(events, next + 1));
    EXPECT_LT(Position(events, next + 1), Position(events, -2));

    EXPECT_TRUE(
        m_log->Has("[SwarmFetchLib] Start ContentLength Check file:" + std::to_string(files)));
    EXPECT_EQ(1u, m_log->Text().find("ContentLength Check Complete file:" + std::to_string(files) +
                                     " sec:") != std::string::npos
                      ? 1u
                      : 0u);
    const CheckState state = State();
    EXPECT_FALSE(state.running);
    EXPECT_EQ(0, state.sessions);
}

TEST_F(SizeCheck, TwelveFilesNeverMoreThanMaxInFlight) {
    const std::string tag = UniqueKey("twelve");
    std::vector<std::string> urls;
    int64_t sum = 0;
    for (size_t i = 0; i < 12; ++i) {
        // Held long enough that the first kInFlight all arrive before one is
        // answered.
        const Gate gate = {(int)(1 + i % 4) * 300, 1000 + (int)i};
        sum += gate.length;
        urls.push_back(GateUrl(tag, i, gate));
    }
    ASSERT_EQ((uint32_t)SF_EVENT_SIZE_CHECK_DONE, Check(urls));
    ExpectOneEnd(SF_EVENT_SIZE_CHECK_DONE);
    EXPECT_EQ(sum, Total());
    const std::vector<int> events = WaitGateEvents(tag, 24);
    ASSERT_EQ(24u, events.size());
    EXPECT_EQ(kInFlight, MaxInFlight(events));
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(1, (int)std::count(events.begin(), events.end(), i)) << i;
}

// --- kept connections ---------------------------------------------------------

TEST_F(SizeCheck, TwentyFilesOnOneHostGoOverAtMostMaxInFlightConnections) {
    const struct {
        const char* name;
        const char* query;
        int maxConnections;
        bool drops;  // the server drops kept connections as requests come
    } cases[] = {
        {"kept", "", CContentLengthChecker::kMaxInFlight, false},
        {"Connection: close", "?close=1", 20, false},
        {"closed as the second request comes", "?answers=1", 20, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A new library: no connection kept from the case before.
        m_lib.reset();
        StartLibrary();
        const std::string key = UniqueKey("kept");
        std::vector<std::string> urls;
        int64_t sum = 0;
        for (int i = 0; i < 20; ++i) {
            urls.push_back(S().FaultUrl("/keep/" + key + "/" + std::to_string(10 + i) + c.query));
            sum += 10 + i;
        }
        ASSERT_EQ((uint32_t)SF_EVENT_SIZE_CHECK_DONE, Check(urls));
        ExpectOneEnd(SF_EVENT_SIZE_CHECK_DONE);
        EXPECT_EQ(sum, Total());
        // Every size is there for the job's own check.
        EXPECT_TRUE(OnLibraryThread([&] {
            for (int i = 0; i < 20; ++i)
                EXPECT_EQ(10 + i, SizeMemory::Recall(urls[(size_t)i].c_str())) << i;
        }));
        const filedl::KeepCount count = filedl::CountKeep(key);
        EXPECT_EQ(20, count.answers);
        EXPECT_LE(count.connections, c.maxConnections);
        if (c.drops) {
            EXPECT_GT(count.dropped, 0);
        } else {
            EXPECT_EQ(0, count.dropped);
        }
    }
}

// --- ends of a check ----------------------------------------------------------

TEST_F(SizeCheck, TheFirstFailureEndsTheCheckOnce) {
    const std::string tag = UniqueKey("fail");
    // File 1 fails at once, three times; the others are still held then.
    std::vector<std::string> urls;
    for (size_t i = 0; i < 12; ++i)
        urls.push_back(i == 1 ? S().FaultUrl("/status/404?m=" + tag) : GateUrl(tag, i, {1500, 5}));
    ASSERT_EQ((uint32_t)SF_EVENT_SIZE_CHECK_FAILED, Check(urls));
    // Answers of the files still held come after the end and change
    // nothing.
    WaitHeldAnswers(tag, kInFlight - 1);
    ExpectOneEnd(SF_EVENT_SIZE_CHECK_FAILED);
    EXPECT_EQ(3, RequestsWith("m=" + tag));
    std::vector<int> held = Upto(kInFlight);
    held.erase(held.begin() + 1);
    EXPECT_EQ(held, Arrivals(GateEvents(tag), kInFlight)) << "no file after the first ones started";
    EXPECT_TRUE(
        m_log->Has("[SwarmFetchLib] ContentLength Check Failed reason:ResCode:404 file:1 "
                   "url:" +
                   urls[1]));
    const CheckState state = State();
    EXPECT_FALSE(state.running);
    EXPECT_EQ(0, state.sessions);
    EXPECT_EQ(0, state.inFlight);
}

TEST_F(SizeCheck, FailedAttemptsAreTriedThreeTimesThenTheCheckFails) {
    struct Case {
        const char* scenario;
        const char* reason;
    };
    const Case cases[] = {
        {"/status/206", "ResCode:206"},
        {"/status/404", "ResCode:404"},
        {"/redirect-no-location", "ResCode:302"},
        {"/close-before-head", "Closed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        Events().Clear();
        const std::string tag = UniqueKey("tries");
        const std::string url = S().FaultUrl(std::string(c.scenario) + "?m=" + tag);
        ASSERT_EQ((uint32_t)SF_EVENT_SIZE_CHECK_FAILED, Check({url}));
        ExpectOneEnd(SF_EVENT_SIZE_CHECK_FAILED);
        EXPECT_EQ((int)CContentLengthCheckSession::kMaxTries, RequestsWith("m=" + tag));
        EXPECT_TRUE(m_log->Has("[SwarmFetchLib] ContentLength Check Failed reason:" +
                               std::string(c.reason) + " file:0 url:" + url));
    }
}

// --- one byte asked, no body read ---------------------------------------------

// Every answer a server may give to "Range: bytes=0-0": a size is taken from
// an honest 206 (which moves one body byte), from a 200 closed at its head,
// or from a 416 of an empty file; a Content-Range that lies is a failed
// attempt, tried three times.
TEST_F(SizeCheck, OneByteIsAskedAndTheSizeComesFromTheHead) {
    struct Case {
        const char* kind;
        int size;
        uint32_t end;
        int64_t total;
        int requests;
    };
    const Case cases[] = {
        {"honest", 70000, SF_EVENT_SIZE_CHECK_DONE, 70000, 1},
        {"ignore", 70000, SF_EVENT_SIZE_CHECK_DONE, 70000, 1},
        {"body-anyway", 70000, SF_EVENT_SIZE_CHECK_DONE, 70000, 1},
        {"not-satisfiable", 0, SF_EVENT_SIZE_CHECK_DONE, 0, 1},
        {"not-satisfiable", 500, SF_EVENT_SIZE_CHECK_FAILED, 0, 3},
        {"wrong-total", 500, SF_EVENT_SIZE_CHECK_FAILED, 0, 3},
        {"malformed", 500, SF_EVENT_SIZE_CHECK_FAILED, 0, 3},
        {"huge", 500, SF_EVENT_SIZE_CHECK_FAILED, 0, 3},
        {"no-total", 500, SF_EVENT_SIZE_CHECK_FAILED, 0, 3},
        {"other-range", 500, SF_EVENT_SIZE_CHECK_FAILED, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + std::to_string(c.size));
        // A check runs once per library.
        m_lib.reset();
        StartLibrary();
        const std::string key = UniqueKey("probe");
        const std::string url =
            S().FaultUrl("/probe/" + key + "/" + c.kind + "/" + std::to_string(c.size));
        ASSERT_EQ(c.end, Check({url}));
        ExpectOneEnd(c.end);
        if (c.end == SF_EVENT_SIZE_CHECK_DONE)
            EXPECT_EQ(c.total, Total());
        else
            EXPECT_TRUE(m_log->Has(
                "[SwarmFetchLib] ContentLength Check Failed reason:ResCode:" +
                std::string(c.size && !strcmp(c.kind, "not-satisfiable") ? "416" : "206") +
                " file:0 url:" + url));
        EXPECT_EQ(c.requests, RequestsWith("/probe/" + key + "/"));
        if (!strcmp(c.kind, "honest")) {
            // The byte asked for, nothing more.
            const std::string sent = netdl::FaultGet("/probe-sent/" + key);
            EXPECT_TRUE(sent == "requests=1 body=1\n" || sent == "requests=1 body=0\n") << sent;
        }
    }
}

TEST_F(SizeCheck, OnlyTheFirstUrlOfAMirrorListIsChecked) {
    const std::string tag = UniqueKey("mirrors");
    const std::string list = GateUrl(tag, 0, {0, 123}) + "|" + GateUrl(tag, 1, {0, 456});
    ASSERT_EQ((uint32_t)SF_EVENT_SIZE_CHECK_DONE, Check({list, S().HttpUrl("/files/list.txt")}));
    ExpectOneEnd(SF_EVENT_SIZE_CHECK_DONE);
    bool ok = false;
    const std::vector<unsigned char> listFile = S().DocRootFile("files/list.txt", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(123 + (int64_t)listFile.size(), Total());
    EXPECT_EQ((std::vector<int>{0, -1}), GateEvents(tag));
}

TEST_F(SizeCheck, RedirectsLeadToTheLocation) {
    // Every redirect status, absolute and relative Locations, the longest
    // chain allowed, and from http to https.
    const std::string port = std::to_string(S().FaultPort());
    ASSERT_EQ((uint32_t)SF_EVENT_SIZE_CHECK_DONE,
              Check({S().FaultUrl("/redirect-302"), S().FaultUrl("/redirect-303"),
                     S().FaultUrl("/redirect-to?status=301&loc=//127.0.0.1:" + port + "/ok"),
                     S().FaultUrl("/redirect-to?status=307&loc=/ok"),
                     S().FaultUrl("/redirect-to?status=308&loc=ok"), S().FaultUrl("/hops/9"),
                     S().HttpUrl("/to-https")}));
    ExpectOneEnd(SF_EVENT_SIZE_CHECK_DONE);
    bool ok = false;
    const std::vector<unsigned char> listFile = S().DocRootFile("files/list.txt", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(6 * 16 + (int64_t)listFile.size(), Total());
}

TEST_F(SizeCheck, ARedirectLoopEndsAsFailedAttempts) {
    std::random_device random;
    const int start = 200000 + (int)(random() % 7000u) * 100;
    const std::string url = S().FaultUrl("/redirect-chain/" + std::to_string(start));
    const size_t logged = S().FaultRequestLines().size();
    ASSERT_EQ((uint32_t)SF_EVENT_SIZE_CHECK_FAILED, Check({url}));
    ExpectOneEnd(SF_EVENT_SIZE_CHECK_FAILED);
    // Each attempt follows the bound of redirects and no more; the next one
    // goes on from the last Location followed.
    const int perAttempt = kMaxRedirects + 1;
    const std::vector<std::string> lines = S().FaultRequestLines();
    int seen = 0;
    for (size_t i = logged; i < lines.size(); ++i)
        for (int n = start; n <= start + 3 * perAttempt; ++n)
            if (lines[i].find("/redirect-chain/" + std::to_string(n) + " ") != std::string::npos)
                ++seen;
    EXPECT_EQ(CContentLengthCheckSession::kMaxTries * perAttempt, seen);
    // The log names the file's own URL, not a redirect target.
    EXPECT_TRUE(m_log->Has(
        "[SwarmFetchLib] ContentLength Check Failed reason:TooManyRedirects file:0 url:" + url));
}

// A Location that leads nowhere a request can go is a failed try like any
// other answer that is not 200; the third ends the check.
TEST_F(SizeCheck, AHostileLocationUsesUpTheTries) {
    const std::string port = std::to_string(S().FaultPort());
    const std::string tag = UniqueKey("hostile");
    const std::vector<std::string> locations = {
        "",
        "file:///etc/passwd",
        std::string("/ok\0x", 4),
        "http://u@127.0.0.1:" + port + "/ok",
        "http://[::1]:" + port + "/ok",
        "http://127.0.0.1:0/ok",
    };
    for (size_t i = 0; i < locations.size(); ++i) {
        SCOPED_TRACE(locations[i]);
        Events().Clear();
        const std::string marker = tag + "-" + std::to_string(i) + "x";
        const std::string url = S().FaultRedirectUrl(303, locations[i]) + "&m=" + marker;
        ASSERT_EQ((uint32_t)SF_EVENT_SIZE_CHECK_FAILED, Check({url}));
        ExpectOneEnd(SF_EVENT_SIZE_CHECK_FAILED);
        EXPECT_TRUE(m_log->Has(
            "[SwarmFetchLib] ContentLength Check Failed reason:ResCode:303 file:0 url:" + url));
        int requests = 0;
        for (const std::string& line : S().FaultRequestLines())
            requests += line.find("&m=" + marker + " ") != std::string::npos ? 1 : 0;
        EXPECT_EQ(CContentLengthCheckSession::kMaxTries, requests);
    }
}

TEST_F(SizeCheck, AnUnreachableHostStopsEverySessionAndReportsOnce) {
    const std::string tag = UniqueKey("unreach");
    std::vector<std::string> urls;
    for (size_t i = 0; i < (size_t)kInFlight + 2; ++i)
        urls.push_back(GateUrl(tag, i, {1500, 9}));
    for (const std::string& url : urls)
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddSizeCheck(url.c_str()));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartSizeCheck());
    ASSERT_EQ((size_t)kInFlight, WaitGateEvents(tag, kInFlight).size());
    // Loopback never answers "unreachable"; the notice the socket manager
    // would route is handed to the third file's connection.
    bool injected = false;
    ASSERT_TRUE(OnLibraryThread([&] {
        CContentLengthCheckSession* session = apitest::TheManager().SizeCheck()->Session(2);
        injected = session && netdl::InjectHostUnreachable(session->Connection());
    }));
    ASSERT_TRUE(injected);
    sftest::Eventually([&] { return Ends() > 0; });
    // The held answers come after the end and change nothing.
    WaitHeldAnswers(tag, kInFlight);
    ExpectOneEnd(SF_EVENT_SIZE_CHECK_FAILED);
    EXPECT_TRUE(m_log->Has("[SwarmFetchLib] CLCS HU(file:2)"));
    EXPECT_EQ(Upto(kInFlight), Arrivals(GateEvents(tag), kInFlight));
    const CheckState state = State();
    EXPECT_FALSE(state.running);
    EXPECT_EQ(0, state.sessions);
}

TEST_F(SizeCheck, UrlsThatCannotBeOpenedFailTheCheck) {
    for (const char* url : {"", "ftp://x/y", "no url at all"}) {
        SCOPED_TRACE(url);
        Events().Clear();
        ASSERT_EQ((uint32_t)SF_EVENT_SIZE_CHECK_FAILED, Check({url}));
        ExpectOneEnd(SF_EVENT_SIZE_CHECK_FAILED);
        EXPECT_TRUE(m_log->Has(
            std::string(
                "[SwarmFetchLib] ContentLength Check Failed reason:CannotOpen file:0 url:") +
            url));
    }
}

TEST_F(SizeCheck, FinalizeWhileACheckRuns) {
    const std::string tag = UniqueKey("finalize");
    for (size_t i = 0; i < (size_t)kInFlight + 2; ++i)
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddSizeCheck(GateUrl(tag, i, {2000, 1}).c_str()));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartSizeCheck());
    ASSERT_EQ((size_t)kInFlight, WaitGateEvents(tag, kInFlight).size());
    EXPECT_EQ(0u, Ends());
    // The sessions let go of their connections before the network module
    // ends (AddressSanitizer watches).
    m_lib.reset();
    int64_t total = 3;
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetSizeCheckTotal(&total));
    EXPECT_EQ(3, total);
}

// --- the entry points without and with a check ----------------------------------

TEST_F(SizeCheck, StartWithoutAnyUrlAnswers512AndReportsNothing) {
    netdl::HeldTimerClock clock;
    int64_t total = 41;
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StartSizeCheck());
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeCheckTotal(&total));
    EXPECT_EQ(41, total);
    EXPECT_FALSE(State().exists);
    // Nothing comes later either: a check would start at the next tick.
    EXPECT_EQ(0, netdl::ArmedTimers(CContentLengthChecker::kTimerTagStart));
    ASSERT_TRUE(clock.Pass(1000));
    EXPECT_EQ(0u, Events().Count());
}

// The check itself with no file: complete at once, total 0, on the library
// thread.
TEST_F(SizeCheck, LengthsThatAddUpPastTheLargestNumberGiveTheLargestTotal) {
    // Each length fits; their sum is held at INT64_MAX instead of wrapping.
    const std::string tag = UniqueKey("sum");
    const std::vector<std::string> urls = {S().FaultUrl("/announce/5000000000000000000?" + tag),
                                           S().FaultUrl("/announce/9223372036854775807?" + tag),
                                           S().FaultUrl("/announce/5000000000000000000?" + tag)};
    ASSERT_EQ((uint32_t)SF_EVENT_SIZE_CHECK_DONE, Check(urls));
    ExpectOneEnd(SF_EVENT_SIZE_CHECK_DONE);
    EXPECT_EQ(INT64_MAX, Total());
}

class RecordingCheckListener : public IContentLengthCheckerEventListener {
  public:
    void OnSizeCheckComplete(int64_t total) override {
        calls.push_back("complete " + std::to_string(total));
    }
    void OnSizeCheckFailed(const char* text) override {
        calls.push_back(std::string("failed ") + text);
    }
    void OnSizeCheckAborted() override { calls.push_back("aborted"); }
    std::vector<std::string> calls;
};

TEST_F(SizeCheck, ACheckWithoutFilesCompletesAtOnceWithTotalZero) {
    RecordingCheckListener listener;
    std::unique_ptr<CContentLengthChecker> check;
    ASSERT_TRUE(OnLibraryThread([&] {
        check.reset(new CContentLengthChecker(apitest::TheManager().LockObject()));
        check->SetListener(&listener);
        check->Start();
    }));
    std::vector<std::string> calls;
    bool reached = true;
    sftest::Eventually(
        [&] {
            reached = OnLibraryThread([&] { calls = listener.calls; });
            return !reached || !calls.empty();
        },
        5000);
    ASSERT_TRUE(reached);
    EXPECT_EQ((std::vector<std::string>{"complete 0"}), calls);
    ASSERT_TRUE(OnLibraryThread([&] { check.reset(); }));
}

}  // namespace
