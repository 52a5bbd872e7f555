// The HTTP downloader (class id 0x2009) on the running library's network
// module, against nginx, the fault server and loopback peers.
// First: it brings winsock2.h, which must come before windows.h.
#include "integration/NetDownloadTestEnv.h"

#include <ctype.h>
#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/ApiTestEnv.h"
#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/opeerqos/nwCHTTPDownloader.h"
#include "support/Eventually.h"
#include "support/TestPeers.h"
#include "support/TestServers.h"

namespace {

using netdl::OnLibraryThread;

const sftest::TestServers& S() {
    return sftest::Servers();
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = (char)tolower((unsigned char)c);
    return text;
}

struct Report {
    std::string kind;  // "downloaded", "failed", "gave-up"
    uint32_t key;
    uint32_t value;
    std::string data;
    uint32_t thread;
};

// Records every report; an optional hook runs inside the report (on the
// library thread, under the lock).
class Recorder : public nwIHTTPDownloaderListener {
  public:
    std::function<void(const Report&)> hook;

    void OnDownloaded(uint32_t key, uint32_t value, const uint8_t* data, int64_t length) override {
        Add(Report{"downloaded", key, value, std::string((const char*)data, (size_t)length),
                   PfCurrentThreadId()});
    }
    void OnDownloadFailed(uint32_t key, uint32_t value) override {
        Add(Report{"failed", key, value, std::string(), PfCurrentThreadId()});
    }
    void OnDownloadGaveUp(uint32_t key, uint32_t value) override {
        Add(Report{"gave-up", key, value, std::string(), PfCurrentThreadId()});
    }

    std::vector<Report> Reports() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_reports;
    }
    size_t Count() { return Reports().size(); }
    bool WaitFor(size_t count, uint32_t timeoutMs = 20000) {
        return sftest::Eventually([&] { return Count() >= count; }, timeoutMs);
    }
    // The only report of `key`; kind "none" when there is none, "several"
    // when there are more.
    Report Of(uint32_t key) {
        Report found{"none", key, 0, std::string(), 0};
        int n = 0;
        for (const Report& r : Reports())
            if (r.key == key && ++n == 1)
                found = r;
        if (n > 1)
            found.kind = "several";
        return found;
    }

  private:
    void Add(const Report& report) {
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_reports.push_back(report);
        }
        if (hook)
            hook(report);
    }

    std::mutex m_mutex;
    std::vector<Report> m_reports;
};

class HttpDownloader : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(S().Ok()) << S().Error();
        m_log.reset(new apitest::LogScope());
        CDownloadLibThread::EnableTaskWindowForTesting(true);
        m_lib.reset(new apitest::Library(false, false));
        CDownloadLibThread::EnableTaskWindowForTesting(false);
        ASSERT_EQ(SF_RESULT_OK, m_lib->Result());
        bool made = false;
        ASSERT_TRUE(OnLibraryThread([&] {
            AddTrustedCertificate("swarmfetch-test", S().CertPem().c_str());
            made = m_holder.CreateInstance(OV_CLSID_HTTP_DOWNLOADER);
            if (made)
                Downloader()->SetListener(&m_recorder);
        }));
        ASSERT_TRUE(made);
    }
    void TearDown() override {
        if (m_lib)
            OnLibraryThread([&] { m_holder.Reset(); });
        m_lib.reset();
        m_log.reset();
    }

    ovIHTTPDownloader* Downloader() { return m_holder.As<ovIHTTPDownloader>(); }
    nwCHTTPDownloader* Object() { return static_cast<nwCHTTPDownloader*>(Downloader()); }
    int32_t Requests() {
        int32_t n = -1;
        EXPECT_TRUE(OnLibraryThread([&] { n = Object()->RequestCount(); }));
        return n;
    }

    std::unique_ptr<apitest::LogScope> m_log;
    std::unique_ptr<apitest::Library> m_lib;
    Recorder m_recorder;
    ovSmartPtr m_holder;
};

std::string FileText(const char* relative) {
    bool ok = false;
    std::vector<unsigned char> bytes = S().DocRootFile(relative, &ok);
    EXPECT_TRUE(ok) << relative;
    return std::string(bytes.begin(), bytes.end());
}

// --- the face -----------------------------------------------------------------

TEST_F(HttpDownloader, FaceAnswersItsFixedCodes) {
    void* out = nullptr;
    EXPECT_EQ(OV_E_NOINTERFACE, Downloader()->QueryInterface(OV_IID_NETSTACK, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(OV_S_NETWORK, Downloader()->Cancel(12345));
    EXPECT_EQ(OV_S_NETWORK, Downloader()->CancelAll());
    EXPECT_EQ(OV_S_NETWORK, Downloader()->SetListener(&m_recorder));
    EXPECT_EQ(OV_S_NETWORK, Downloader()->Download(1, S().FaultUrl("/ok").c_str(), 2));
    ASSERT_TRUE(m_recorder.WaitFor(1));
    EXPECT_EQ(0, Requests());
}

// --- bodies -------------------------------------------------------------------

TEST_F(HttpDownloader, SeveralDownloadsAtOnceWithDifferentKeys) {
    const std::string list = FileText("files/list.txt");
    const std::string zip = FileText("files/skin.zip");
    const std::string random = FileText("files/random-1m.bin");
    Downloader()->Download(1, S().HttpUrl("/files/list.txt").c_str(), 10);
    Downloader()->Download(2, S().HttpUrl("/files/skin.zip").c_str(), 20);
    Downloader()->Download(3, S().HttpsUrl("/files/random-1m.bin").c_str(), 30);
    Downloader()->Download(4, S().FaultUrl("/slow-body").c_str(), 40);
    // The same key twice: two requests, two reports.
    Downloader()->Download(5, S().FaultUrl("/ok").c_str(), 50);
    Downloader()->Download(5, S().FaultUrl("/beyond-length").c_str(), 51);
    EXPECT_GE(Requests(), 1);
    ASSERT_TRUE(m_recorder.WaitFor(6));

    EXPECT_EQ("downloaded", m_recorder.Of(1).kind);
    EXPECT_EQ(10u, m_recorder.Of(1).value);
    EXPECT_TRUE(m_recorder.Of(1).data == list);
    EXPECT_EQ(20u, m_recorder.Of(2).value);
    EXPECT_TRUE(m_recorder.Of(2).data == zip);
    EXPECT_EQ(30u, m_recorder.Of(3).value);
    EXPECT_TRUE(m_recorder.Of(3).data == random);
    const std::vector<unsigned char> slow = sftest::FaultPattern(1000);
    EXPECT_TRUE(m_recorder.Of(4).data == std::string(slow.begin(), slow.end()));
    // Bytes beyond Content-Length are not kept.
    const std::vector<unsigned char> sixteen = sftest::FaultPattern(16);
    int fives = 0;
    for (const Report& r : m_recorder.Reports()) {
        if (r.key != 5)
            continue;
        ++fives;
        EXPECT_EQ("downloaded", r.kind);
        if (r.value == 50)
            EXPECT_EQ("fault server ok\n", r.data);
        else
            EXPECT_TRUE(r.data == std::string(sixteen.begin(), sixteen.end()));
    }
    EXPECT_EQ(2, fives);
    EXPECT_EQ(6u, m_recorder.Count());
    const uint32_t libraryThread = SwarmFetchLibraryThread()->ThreadId();
    for (const Report& r : m_recorder.Reports())
        EXPECT_EQ(libraryThread, r.thread);
    EXPECT_EQ(0, Requests());
}

TEST_F(HttpDownloader, FollowsRedirectsAndFetchesTheAnsiFormOfAUtf8Location) {
    Downloader()->Download(1, S().HttpUrl("/redirect-302").c_str(), 1);
    Downloader()->Download(2, S().FaultUrl("/hops/9").c_str(), 2);
    Downloader()->Download(3, S().FaultUrl("/redirect-korean?status=303").c_str(), 3);
    ASSERT_TRUE(m_recorder.WaitFor(3));
    EXPECT_TRUE(m_recorder.Of(1).data == FileText("files/list.txt"));
    EXPECT_EQ("fault server ok\n", m_recorder.Of(2).data);
    // The echo holds the request: the Hangul path went out as its UTF-8 form
    // again, percent-encoded.
    const Report korean = m_recorder.Of(3);
    EXPECT_EQ("downloaded", korean.kind);
    EXPECT_NE(std::string::npos,
              Lower(korean.data).find("get /echo/%ed%95%9c%ea%b8%80.txt http/1.1\r\n"))
        << korean.data;
}

TEST_F(HttpDownloader, FollowsEveryRedirectStatusWithRelativeLocations) {
    // 301, 307 and 308 like 302; the Location relative to the request URL.
    Downloader()->Download(1, S().FaultUrl("/redirect-to?status=301&loc=%2Fecho%2Fm301").c_str(),
                           1);
    Downloader()->Download(2, S().FaultUrl("/redirect-to?status=307&loc=echo%2Fm307").c_str(), 2);
    Downloader()->Download(
        3, S().FaultUrl("/redirect-to?status=308&loc=.%2Fecho%2Fa%252Fb").c_str(), 3);
    ASSERT_TRUE(m_recorder.WaitFor(3));
    const char* const lines[] = {"GET /echo/m301 HTTP/1.1\r\n", "GET /echo/m307 HTTP/1.1\r\n",
                                 "GET /echo/a%2Fb HTTP/1.1\r\n"};
    for (uint32_t key = 1; key <= 3; ++key) {
        const Report report = m_recorder.Of(key);
        EXPECT_EQ("downloaded", report.kind) << key;
        EXPECT_EQ(0u, report.data.find(lines[key - 1])) << report.data;
    }
}

TEST_F(HttpDownloader, EveryFailureIsReportedOnce) {
    const std::vector<std::string> urls = {
        S().FaultUrl("/status/404"),
        S().FaultUrl("/status/500"),
        S().FaultUrl("/zero-length"),
        S().FaultUrl("/no-length"),
        S().FaultUrl("/huge-length"),
        S().FaultUrl("/redirect-loop"),
        S().FaultUrl("/hops/10"),
        S().FaultUrl("/redirect-no-location"),
        S().FaultUrl("/redirect-empty-location"),
        S().FaultUrl("/short-body"),
        S().FaultUrl("/reset-mid-body"),
        S().FaultRedirectUrl(302, std::string("/ok\0x", 4)),
        S().FaultRedirectUrl(302, "http://u@127.0.0.1:" + std::to_string(S().FaultPort()) + "/ok"),
        S().FaultRedirectUrl(307, "http://[::1]:" + std::to_string(S().FaultPort()) + "/ok"),
        S().FaultUrl("/close-before-head"),
        S().FaultUrl("/garbage"),
        "http://127.0.0.1:" + std::to_string(testpeers::RefusedPort()) + "/a",
        S().HttpsUntrustedUrl("/files/list.txt"),
    };
    for (size_t i = 0; i < urls.size(); ++i)
        Downloader()->Download((uint32_t)(100 + i), urls[i].c_str(), (uint32_t)i);
    ASSERT_TRUE(m_recorder.WaitFor(urls.size()));
    for (size_t i = 0; i < urls.size(); ++i) {
        SCOPED_TRACE(urls[i]);
        Report r = m_recorder.Of((uint32_t)(100 + i));
        EXPECT_EQ("failed", r.kind);
        EXPECT_EQ((uint32_t)i, r.value);
    }
    EXPECT_EQ(0, Requests());
}

TEST_F(HttpDownloader, AStalledServerFailsAfterTheIdleLimit) {
    Downloader()->Download(1, S().FaultUrl("/stall").c_str(), 7);
    ASSERT_TRUE(m_recorder.WaitFor(1));
    EXPECT_EQ("failed", m_recorder.Of(1).kind);
}

TEST_F(HttpDownloader, UrlsThatCannotBeOpenedFailInsideDownload) {
    Downloader()->Download(1, "ftp://x/y", 1);
    Downloader()->Download(2, nullptr, 2);
    Downloader()->Download(3, "", 3);
    ASSERT_EQ(3u, m_recorder.Count());
    for (const Report& r : m_recorder.Reports()) {
        EXPECT_EQ("failed", r.kind);
        EXPECT_EQ(r.key, r.value);
        EXPECT_EQ(PfCurrentThreadId(), r.thread);
    }
    EXPECT_EQ(0, Requests());
}

// --- unreachable hosts ----------------------------------------------------------

TEST_F(HttpDownloader, ThreeUnreachableAttemptsEndInOneGiveUp) {
    testpeers::Staller staller;
    ASSERT_TRUE(staller.Ok());
    const std::string url = "http://127.0.0.1:" + std::to_string(staller.Port()) + "/x";
    std::vector<int32_t> attempts;
    ASSERT_TRUE(OnLibraryThread([&] {
        Downloader()->Download(7, url.c_str(), 70);
        for (int i = 0; i < nwCHTTPDownloader::kMaxAttempts; ++i) {
            nwCHTTPDownloader::RequestView view;
            if (!Object()->RequestAt(0, &view))
                break;
            attempts.push_back(view.attempt);
            EXPECT_EQ(url, view.url);
            EXPECT_TRUE(netdl::InjectHostUnreachable(view.context));
        }
    }));
    EXPECT_EQ((std::vector<int32_t>{0, 1, 2}), attempts);
    EXPECT_EQ(0, Requests());
    ASSERT_EQ(1u, m_recorder.Count());
    EXPECT_EQ("gave-up", m_recorder.Of(7).kind);
    EXPECT_EQ(70u, m_recorder.Of(7).value);
}

TEST_F(HttpDownloader, TwoUnreachableAttemptsStillTryAThirdTime) {
    const std::string url = S().FaultUrl("/ok");
    ASSERT_TRUE(OnLibraryThread([&] {
        Downloader()->Download(8, url.c_str(), 80);
        for (int i = 0; i < 2; ++i) {
            nwCHTTPDownloader::RequestView view;
            ASSERT_TRUE(Object()->RequestAt(0, &view));
            EXPECT_TRUE(netdl::InjectHostUnreachable(view.context));
        }
    }));
    ASSERT_TRUE(m_recorder.WaitFor(1));
    EXPECT_EQ("downloaded", m_recorder.Of(8).kind);
    EXPECT_EQ("fault server ok\n", m_recorder.Of(8).data);
}

TEST_F(HttpDownloader, ARedirectRestartsTheAttemptCount) {
    // The redirect target never completes a connect, so each of its attempts
    // is still pending when the notice is handed to it.
    testpeers::Blackhole blackhole;
    ASSERT_TRUE(blackhole.Ok());
    const std::string target = "http://127.0.0.1:" + std::to_string(blackhole.Port()) + "/t";
    testpeers::Scripted redirector({testpeers::Step::ExpectText("\r\n\r\n"),
                                    testpeers::Step::Send("HTTP/1.1 302 Found\r\nLocation: " +
                                                          target + "\r\nContent-Length: 0\r\n\r\n"),
                                    testpeers::Step::Close()});
    ASSERT_TRUE(redirector.Ok());
    const std::string source = "http://127.0.0.1:" + std::to_string(redirector.Port()) + "/s";

    // Two unreachable attempts at the source; the third gets the redirect.
    ASSERT_TRUE(OnLibraryThread([&] {
        Downloader()->Download(9, source.c_str(), 90);
        for (int i = 0; i < 2; ++i) {
            nwCHTTPDownloader::RequestView view;
            ASSERT_TRUE(Object()->RequestAt(0, &view));
            EXPECT_EQ(i, view.attempt);
            EXPECT_TRUE(netdl::InjectHostUnreachable(view.context));
        }
    }));

    // Three more at the target: only the last of them gives up.
    int injected = 0;
    std::vector<int32_t> attempts;
    bool reached = true;
    sftest::Eventually(
        [&] {
            reached = OnLibraryThread([&] {
                nwCHTTPDownloader::RequestView view;
                if (!Object()->RequestAt(0, &view) || target != view.url)
                    return;
                EXPECT_EQ(1, view.redirects);
                attempts.push_back(view.attempt);
                if (netdl::InjectHostUnreachable(view.context))
                    ++injected;
            });
            return !reached || injected >= 3 || m_recorder.Count() > 0;
        },
        5000);
    ASSERT_TRUE(reached);
    EXPECT_EQ(3, injected);
    EXPECT_EQ((std::vector<int32_t>{0, 1, 2}), attempts);
    ASSERT_EQ(1u, m_recorder.Count());
    EXPECT_EQ("gave-up", m_recorder.Of(9).kind);
    EXPECT_EQ(90u, m_recorder.Of(9).value);
    EXPECT_EQ(0, Requests());
}

// --- cancelling -----------------------------------------------------------------

// The fault server's /hold/<tag>: holds the request and logs the client's
// close.
std::string HeldUrl(const std::string& tag) {
    return S().FaultUrl("/hold/" + tag);
}
std::string Arrived(const std::string& tag) {
    return "GET /hold/" + tag + " ";
}
std::string Closed(const std::string& tag) {
    return "hold " + tag + " closed";
}
// Lets the server answer the requests it holds for `tag`; its answer.
std::string Release(const std::string& tag) {
    return netdl::FaultGet("/release/" + tag);
}

// Long enough for any request left running to fail on its receive time-out.
const uint32_t kPastTheTimeOutMs = (nwCHTTPDownloader::kIdleLimitSec + 2) * 1000;

TEST_F(HttpDownloader, CancelOfAnUnknownKeyDoesNothing) {
    netdl::HeldTimerClock clock;
    const std::string other = netdl::UniqueKey("cancel-other-");
    const std::string held = netdl::UniqueKey("cancel-");
    Downloader()->Download(1, HeldUrl(other).c_str(), 1);
    Downloader()->Download(2, HeldUrl(held).c_str(), 2);
    EXPECT_EQ(OV_S_NETWORK, Downloader()->Cancel(999));
    EXPECT_EQ(2, Requests());
    // A cancelled request reports nothing; the other one goes on.
    ASSERT_TRUE(netdl::FaultServerLogged(Arrived(other)));
    ASSERT_TRUE(netdl::FaultServerLogged(Arrived(held)));
    EXPECT_EQ(OV_S_NETWORK, Downloader()->Cancel(2));
    EXPECT_EQ(1, Requests());
    EXPECT_EQ("released\n", Release(other));
    ASSERT_TRUE(m_recorder.WaitFor(1));
    EXPECT_EQ("downloaded", m_recorder.Of(1).kind);
    EXPECT_EQ("fault server ok\n", m_recorder.Of(1).data);
    // Its connection is closed, and its time-out passes without a report.
    EXPECT_TRUE(netdl::FaultServerLogged(Closed(held)));
    ASSERT_TRUE(clock.Pass(kPastTheTimeOutMs));
    EXPECT_EQ(1u, m_recorder.Count());
    EXPECT_EQ("none", m_recorder.Of(2).kind);
    EXPECT_EQ(0, netdl::LibrarySockets());
}

TEST_F(HttpDownloader, CancelAllAndReleaseWhileRequestsRun) {
    netdl::HeldTimerClock clock;
    const std::string drip = netdl::UniqueKey("cancel-all-drip-");
    const std::string held = netdl::UniqueKey("cancel-all-");
    const std::string last = netdl::UniqueKey("release-");
    // A body that drips a byte every 50 ms, a request the server holds.
    Downloader()->Download(1, S().FaultUrl("/drip/" + drip + "?ms=50").c_str(), 1);
    Downloader()->Download(2, HeldUrl(held).c_str(), 2);
    // A slow https body (16 s for 1 MiB): still in flight at the cancel.
    Downloader()->Download(3, S().HttpsUrl("/slow/files/random-1m.bin").c_str(), 3);
    ASSERT_TRUE(netdl::FaultServerLogged("GET /drip/" + drip + "?"));
    ASSERT_TRUE(netdl::FaultServerLogged(Arrived(held)));
    EXPECT_EQ(OV_S_NETWORK, Downloader()->CancelAll());
    EXPECT_EQ(0, Requests());
    EXPECT_EQ(0u, m_recorder.Count());
    // Released with a request still running: it goes with it.
    Downloader()->Download(4, HeldUrl(last).c_str(), 4);
    ASSERT_TRUE(netdl::FaultServerLogged(Arrived(last)));
    ASSERT_TRUE(OnLibraryThread([&] { m_holder.Reset(); }));
    // Every connection is closed, and the time-outs pass without a report.
    EXPECT_TRUE(netdl::FaultServerLogged("drip " + drip + " closed"));
    EXPECT_TRUE(netdl::FaultServerLogged(Closed(held)));
    EXPECT_TRUE(netdl::FaultServerLogged(Closed(last)));
    EXPECT_EQ(0, netdl::LibrarySockets());
    ASSERT_TRUE(clock.Pass(kPastTheTimeOutMs));
    EXPECT_EQ(0u, m_recorder.Count());
}

TEST_F(HttpDownloader, AListenerMayStartCancelAndReleaseFromInsideAReport) {
    netdl::HeldTimerClock clock;
    const std::string held = netdl::UniqueKey("cancel-in-report-");
    // A report starts the next download of a chain and cancels another key.
    m_recorder.hook = [this](const Report& r) {
        if (r.key == 1 && r.value < 3)
            Downloader()->Download(1, S().FaultUrl("/ok").c_str(), r.value + 1);
        if (r.key == 1 && r.value == 3) {
            Downloader()->Cancel(2);
            // The last reference goes from inside the report.
            m_holder.Reset();
        }
    };
    Downloader()->Download(2, HeldUrl(held).c_str(), 0);
    ASSERT_TRUE(netdl::FaultServerLogged(Arrived(held)));
    Downloader()->Download(1, S().FaultUrl("/ok").c_str(), 1);
    ASSERT_TRUE(m_recorder.WaitFor(3));
    // The cancelled connection is closed, and its time-out passes without a
    // report.
    EXPECT_TRUE(netdl::FaultServerLogged(Closed(held)));
    EXPECT_EQ(0, netdl::LibrarySockets());
    ASSERT_TRUE(clock.Pass(kPastTheTimeOutMs));
    std::vector<Report> reports = m_recorder.Reports();
    ASSERT_EQ(3u, reports.size());
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(1u, reports[i].key);
        EXPECT_EQ(i + 1, reports[i].value);
        EXPECT_EQ("downloaded", reports[i].kind);
    }
    bool released = false;
    ASSERT_TRUE(OnLibraryThread([&] { released = m_holder.IsEmpty(); }));
    EXPECT_TRUE(released);
}

}  // namespace
