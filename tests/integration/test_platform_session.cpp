// The ranged file download session against nginx and the fault server:
// files written byte for byte, mirrors, redirects, retries after cut
// connections, the failure ends, write failures and the receive budget.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

// First: it brings winsock2.h, which must come before windows.h.
#include "integration/FileDownloadTestEnv.h"

#include "opn/opeerqos/Lib_SSL/TlsClientContext.h"
#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/opeerqos/cpCContextAction.h"
#include "opn/opeerqos/cpCQoSContext.h"
#include "opn/opeerqos/nwRedirect.h"
#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/download/LowSpeedGuard.h"
#include "support/FastTimerClock.h"
#include "support/TestPeers.h"

#ifndef _WIN32
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace {

using filedl::FileDownloadTest;
using filedl::NginxRequest;
using filedl::NginxRequests;
using filedl::OnLibraryThread;
using filedl::S;
using Kinds = std::vector<std::string>;

std::vector<unsigned char> DocRoot(const std::string& file) {
    bool ok = false;
    std::vector<unsigned char> bytes = S().DocRootFile(file, &ok);
    EXPECT_TRUE(ok) << file;
    return bytes;
}

std::vector<unsigned char> Disk(const std::string& native) {
    bool exists = false;
    std::vector<unsigned char> bytes = filedl::ReadFile(native, &exists);
    EXPECT_TRUE(exists) << native;
    return bytes;
}

class PlatformSession : public FileDownloadTest {
  protected:
    // The entry copies as the session holds them, read on the library thread.
    struct EntryState {
        int64_t size = -1;
        int64_t received = -1;
        int64_t startOffset = -1;
    };
    std::vector<EntryState> Entries() {
        std::vector<EntryState> out;
        EXPECT_TRUE(OnLibraryThread([&] {
            for (int32_t i = 0; i < m_session->EntryCount(); ++i) {
                const DownloadEntry* e = m_session->EntryAt(i);
                out.push_back(EntryState{e->size, e->received, e->startOffset});
            }
        }));
        return out;
    }
    int64_t Total() {
        int64_t total = -1;
        EXPECT_TRUE(OnLibraryThread([&] { total = m_session->GetTotalBytes(); }));
        return total;
    }
    void ExpectCleanEnd() {
        bool ended = false;
        bool idle = false;
        EXPECT_TRUE(OnLibraryThread([&] {
            ended = m_session->Ended();
            idle = m_session->Connection() == nullptr && m_session->CurrentEntry() == nullptr;
        }));
        EXPECT_TRUE(ended);
        EXPECT_TRUE(idle);
        for (const std::string& v : m_sessionEvents.Violations())
            ADD_FAILURE() << v;
    }
};

// --- files that arrive ---------------------------------------------------------

TEST_F(PlatformSession, AJobOfSeveralFilesIsWrittenByteForByteIntoNewFolders) {
    const std::vector<unsigned char> big = DocRoot("files/random-1m.bin");
    const std::vector<unsigned char> zip = DocRoot("files/skin.zip");
    const std::vector<unsigned char> list = DocRoot("files/list.txt");
    // Missing folders written three ways: backslashes, forward slashes, and
    // (on POSIX) a POSIX path. The job keeps the folder as the host wrote it.
    Add(S().HttpUrl("/files/random-1m.bin"), Win("a\\b\\c"), "big.bin");
    Add(S().HttpUrl("/files/skin.zip"), Win("d"), "skin.zip");
    Add(S().HttpUrl("/files/list.txt"), Win("e"), "list.txt");
    std::string slashFolder = Win("d\\e\\f");
    for (char& c : slashFolder)
        if (c == '\\')
            c = '/';
    m_job->EntryAt(1)->folder.Assign((slashFolder + "/").c_str());
#ifndef _WIN32
    m_job->EntryAt(2)->folder.Assign(Native("g/h").c_str());
    const std::string thirdNative = Native("g/h/list.txt");
#else
    const std::string thirdNative = Native("e\\list.txt");
#endif
    const int64_t size = (int64_t)(big.size() + zip.size() + list.size());
    StartSession(1, size);
    ASSERT_TRUE(m_sessionEvents.WaitEnd());

    EXPECT_EQ((Kinds{"opened", "file", "opened", "file", "opened", "file", "all"}),
              m_sessionEvents.Kinds());
    EXPECT_TRUE(Disk(Native("a\\b\\c\\big.bin")) == big);
    EXPECT_TRUE(Disk(Native("d\\e\\f\\skin.zip")) == zip);
    EXPECT_TRUE(Disk(thirdNative) == list);
    const std::vector<filedl::SessionRecorder::Report> reports = m_sessionEvents.Reports();
    std::vector<std::string> opened;
    std::vector<int32_t> indexes;
    for (const auto& r : reports) {
        if (r.kind == "opened")
            opened.push_back(r.text);
        if (r.kind == "file")
            indexes.push_back(r.index);
    }
    ASSERT_EQ(3u, opened.size());
    EXPECT_EQ(Win("a\\b\\c\\big.bin"), opened[0]);
    EXPECT_EQ(slashFolder + "/skin.zip", opened[1]);
    EXPECT_EQ((std::vector<int32_t>{0, 1, 2}), indexes);
    EXPECT_GE(m_sessionEvents.Count("progress"), 3);

    EXPECT_EQ(size, Total());
    const std::vector<EntryState> entries = Entries();
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ((int64_t)big.size(), entries[0].size);
    EXPECT_EQ((int64_t)big.size(), entries[0].received);
    EXPECT_EQ((int64_t)list.size(), entries[2].received);

    // The statistics report: one record per file that received bytes.
    std::vector<FileReportEntry> records(4);
    int32_t counted = -1;
    ASSERT_TRUE(OnLibraryThread([&] {
        counted = m_session->GetReport(nullptr, 0);
        m_session->GetReport(records.data(), 4);
    }));
    ASSERT_EQ(3, counted);
    EXPECT_STREQ("brightwave7", records[0].tag);
    EXPECT_EQ(S().HttpUrl("/files/random-1m.bin"), records[0].urlList);
    EXPECT_EQ((int64_t)big.size(), records[0].Received());
    EXPECT_EQ(1, records[2].flag);
    ExpectCleanEnd();
}

// --- kept connections ----------------------------------------------------------

TEST_F(PlatformSession, KeptConnectionsCarryTheFilesWhateverTheServerDoesAfterAnAnswer) {
    struct Case {
        const char* name;
        const char* query;
        int connections;  // at the server, for four files
        int dropped;      // requests the server read and closed under
    };
    const Case cases[] = {
        // Keep-alive: one connection for every file.
        {"keeps", "", 1, 0},
        // "Connection: close" on every answer: never kept.
        {"says-close", "?close=1", 4, 0},
        // Closes after every answer without saying so.
        {"closes", "?close=2", 4, -1},
        // Keeps the connection idle, then closes it as the next request
        // comes: asked again on a new connection, not a failed attempt.
        {"drops-next", "?answers=1", 4, 3},
    };
    const int kFiles = 4;
    const int64_t kSize = 3000;
    const std::vector<unsigned char> pattern = sftest::FaultPattern((size_t)kSize);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string key = filedl::UniqueKey((std::string(c.name) + "-").c_str());
        m_job.reset(new CJob(1, 0, HostTarget()));
        m_job->SetName("brightwave7");
        filedl::SessionRecorder events;
        for (int i = 0; i < kFiles; ++i)
            Add(S().FaultUrl("/keep/" + key + "/" + std::to_string(kSize) + c.query), Win(key),
                "f" + std::to_string(i) + ".bin", kSize);
        UsePool();
        StartSession(1, kFiles * kSize, &events);
        ASSERT_TRUE(events.WaitEnd());
        EXPECT_EQ(
            (Kinds{"opened", "file", "opened", "file", "opened", "file", "opened", "file", "all"}),
            events.Kinds());
        for (const std::string& v : events.Violations())
            ADD_FAILURE() << v;
        for (int i = 0; i < kFiles; ++i)
            EXPECT_TRUE(Disk(Native(key + "\\f" + std::to_string(i) + ".bin")) == pattern) << i;
        int32_t requests = 0;
        int32_t reuses = 0;
        ASSERT_TRUE(OnLibraryThread([&] {
            requests = m_session->RequestCount();
            reuses = m_pool->ReuseCount();
        }));
        // No try was spent on a connection the server had closed.
        EXPECT_EQ(kFiles, requests);
        const filedl::KeepCount count = filedl::CountKeep(key);
        EXPECT_EQ(kFiles, count.answers);
        EXPECT_EQ(c.connections, count.connections);
        if (c.dropped >= 0) {
            EXPECT_EQ(c.dropped, count.dropped);
        }
        if (c.connections == 1) {
            EXPECT_EQ(kFiles - 1, reuses);
        }
        if (std::string(c.query) == "?close=1") {
            EXPECT_EQ(0, reuses);  // told to close: never parked
        }
        ExpectCleanEnd();
        DropAll();
    }
}

TEST_F(PlatformSession, OverHttpsAKeptConnectionSkipsTheHandshakeAndANewOneResumesTheSession) {
    ResultCode added = OV_E_PLATFORM;
    ASSERT_TRUE(OnLibraryThread(
        [&] { added = AddTrustedCertificate("swarmfetch-test", S().CertPem().c_str()); }));
    ASSERT_TRUE(OV_SUCCEEDED(added));
    const std::vector<unsigned char> list = DocRoot("files/list.txt");
    const int64_t size = (int64_t)list.size();
    const std::string marker = "tls=" + filedl::UniqueKey("tls-");
    // Two files with a pool: one connection, one handshake.
    Add(S().HttpsUrl("/files/list.txt?" + marker + "-a"), Win("tls"), "a.txt", size);
    Add(S().HttpsUrl("/files/list.txt?" + marker + "-b"), Win("tls"), "b.txt", size);
    UsePool();
    StartSession(1, 2 * size);
    ASSERT_TRUE(m_sessionEvents.WaitEnd());
    EXPECT_EQ((Kinds{"opened", "file", "opened", "file", "all"}), m_sessionEvents.Kinds());
    EXPECT_TRUE(Disk(Native("tls\\b.txt")) == list);
    DropAll();
    int32_t keptSessions = 0;
    ASSERT_TRUE(OnLibraryThread([&] { keptSessions = TlsKeptSessionCount(); }));
    EXPECT_EQ(1, keptSessions);

    // A new session without a pool: a new connection, which resumes the
    // session of the first.
    m_job.reset(new CJob(1, 0, HostTarget()));
    m_job->SetName("brightwave7");
    filedl::SessionRecorder events;
    Add(S().HttpsUrl("/files/list.txt?" + marker + "-c"), Win("tls"), "c.txt", size);
    StartSession(1, size, &events);
    ASSERT_TRUE(events.WaitEnd());
    EXPECT_EQ((Kinds{"opened", "file", "all"}), events.Kinds());
    EXPECT_TRUE(Disk(Native("tls\\c.txt")) == list);
    DropAll();

    const std::vector<NginxRequest> requests = NginxRequests(marker, 3);
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ(requests[0].connection, requests[1].connection);
    EXPECT_NE(requests[0].connection, requests[2].connection);
    EXPECT_FALSE(requests[0].resumed);
    EXPECT_TRUE(requests[2].resumed);
}

TEST_F(PlatformSession, AFirstMirrorThat404sIsTriedThreeTimesThenTheNextOneFollowsARedirect) {
    const std::string key = filedl::UniqueKey("m404-");
    const std::vector<unsigned char> list = DocRoot("files/list.txt");
    Add(S().FaultUrl("/status/404?m=" + key) + "|" + S().HttpUrl("/redirect-302"), Win("dl"),
        "list.txt");
    StartSession(1, (int64_t)list.size());
    ASSERT_TRUE(m_sessionEvents.WaitEnd());
    EXPECT_EQ(Kinds({"opened", "opened", "opened", "opened", "opened", "file", "all"}),
              m_sessionEvents.Kinds());
    EXPECT_EQ(3, filedl::RequestsWith(key));
    EXPECT_TRUE(Disk(Native("dl\\list.txt")) == list);
    EXPECT_EQ((int64_t)list.size(), Total());
    ExpectCleanEnd();
}

TEST_F(PlatformSession, AFileCutTwiceIsWrittenWholeAndItsCountsStartAgain) {
    const std::string key = filedl::UniqueKey("cut-");
    const int64_t size = 300000;
    Add(S().FaultUrl("/cut/" + key + "/2/" + std::to_string(size)), Win("dl"), "cut.bin");
    StartSession(1, size);
    ASSERT_TRUE(m_sessionEvents.WaitEnd());
    EXPECT_EQ(Kinds({"opened", "opened", "opened", "file", "all"}), m_sessionEvents.Kinds());
    EXPECT_EQ("3\n", filedl::FaultGet("/count/" + key));
    const std::vector<unsigned char> expected = sftest::FaultPattern((size_t)size);
    EXPECT_TRUE(Disk(Native("dl\\cut.bin")) == expected);
    // The received count restarted with each new file: it and the job total
    // are the file's size, never the sum of all attempts.
    const std::vector<EntryState> entries = Entries();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(size, entries[0].received);
    EXPECT_EQ(size, entries[0].size);
    EXPECT_EQ(size, Total());
    for (const auto& r : m_sessionEvents.Reports()) {
        if (r.kind == "file") {
            EXPECT_EQ(size, r.received);
        }
    }
    int32_t reported = 0;
    FileReportEntry record;
    ASSERT_TRUE(OnLibraryThread([&] { reported = m_session->GetReport(&record, 1); }));
    EXPECT_EQ(1, reported);
    EXPECT_EQ(size, record.Received());
    ExpectCleanEnd();
}

TEST_F(PlatformSession, EmptyRemoteFilesComplete) {
    // nginx answers "bytes=0-" of an empty file with 200 and Content-Length
    // 0; a server that refuses the range answers 416.
    Add(S().HttpUrl("/files/empty.txt"), Win("dl"), "empty.txt");
    Add(S().FaultUrl("/status/416"), Win("dl"), "range.txt");
    Add(S().FaultUrl("/ok"), Win("dl"), "ok.txt");
    StartSession();
    ASSERT_TRUE(m_sessionEvents.WaitEnd());
    EXPECT_EQ(Kinds({"opened", "file", "opened", "file", "opened", "file", "all"}),
              m_sessionEvents.Kinds());
    EXPECT_TRUE(Disk(Native("dl\\empty.txt")).empty());
    EXPECT_TRUE(Disk(Native("dl\\range.txt")).empty());
    const std::string ok = "fault server ok\n";
    EXPECT_TRUE(Disk(Native("dl\\ok.txt")) == std::vector<unsigned char>(ok.begin(), ok.end()));
    EXPECT_EQ(16, Total());
    int32_t reported = -1;
    ASSERT_TRUE(OnLibraryThread([&] { reported = m_session->GetReport(nullptr, 0); }));
    EXPECT_EQ(1, reported);  // the empty ones received nothing
    ExpectCleanEnd();
}

// --- answers that do not agree with the request ---------------------------------

// The Range values the fault server's /answer/ paths were asked with under
// `marker` ("none" for a request without one), in order.
std::vector<std::string> AnswerRanges(const std::string& marker) {
    std::vector<std::string> ranges;
    for (const std::string& line : S().FaultRequestLines()) {
        const size_t at = line.find(" range ");
        if (line.compare(0, 7, "answer ") == 0 && line.find(marker) != std::string::npos &&
            at != std::string::npos)
            ranges.push_back(line.substr(at + 7));
    }
    return ranges;
}

TEST_F(PlatformSession, AWrongRangedAnswerIsAFailedAttemptAndTheWholeFileIsAskedNext) {
    // Each job: a file that arrives first, then the fault server's wrong
    // answer to the ranged request of a file whose size is known (as the
    // size check would have learnt it) or not. Asked without a Range, the
    // server sends the file whole and right.
    const int64_t size = 200000;
    struct Case {
        const char* kind;
        bool sizeKnown;
        const char* reason;
    };
    const Case cases[] = {
        {"wrong-start", true, "range starts elsewhere"},
        {"wrong-start", false, "range starts elsewhere"},
        {"short-206", true, "range ends before the file"},
        {"short-206", false, "range ends before the file"},
        {"small-total", true, "range total differs from the known size"},
        {"html", true, "length differs from the known size"},
        {"no-range", false, "no valid Content-Range"},
        {"huge-range", true, "no valid Content-Range"},
        {"zero-in-range", true, "no valid Content-Range"},
        {"range-end", true, "range total differs from the offset"},
    };
    const std::vector<unsigned char> list = DocRoot("files/list.txt");
    uint32_t handle = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + (c.sizeKnown ? " known" : " unknown"));
        const std::string key = filedl::UniqueKey("answer-");
        const std::string url = S().FaultUrl("/answer/" + std::string(c.kind) + "/" +
                                             std::to_string(size) + "?m=" + key);
        const std::string folder = "c" + std::to_string(handle);
        m_job.reset(new CJob(++handle, 0, HostTarget()));
        Add(S().HttpUrl("/files/list.txt"), Win(folder), "first.txt");
        Add(url, Win(folder), "wrong.bin", c.sizeKnown ? size : -1);
        filedl::SessionRecorder events;
        StartSession(1, (int64_t)list.size() + size, &events);
        ASSERT_TRUE(events.WaitEnd());
        EXPECT_EQ(Kinds({"opened", "file", "opened", "opened", "file", "all"}), events.Kinds());
        EXPECT_EQ(2, filedl::GetsWith(key));
        EXPECT_EQ((Kinds{"bytes=0-", "none"}), AnswerRanges(key));
        EXPECT_EQ(1u, m_log->CountOf("[SwarmFetchLib] Answer Refused (" + std::string(c.reason) +
                                     ") : " + url));
        // Nothing of the wrong body was kept: the file is the right one.
        EXPECT_TRUE(Disk(Native(folder + "\\first.txt")) == list);
        EXPECT_TRUE(Disk(Native(folder + "\\wrong.bin")) == sftest::FaultPattern((size_t)size));
        bool exists = true;
        filedl::ReadFile(Native(folder + "\\wrong.bin.part"), &exists);
        EXPECT_FALSE(exists);
        EXPECT_EQ((int64_t)list.size() + size, Total());
        for (const std::string& v : events.Violations())
            ADD_FAILURE() << v;
    }
}

TEST_F(PlatformSession, AHostWhoseEveryAnswerIsWrongNeverCompletesTheFile) {
    // A 206 of two bytes to any request, with a Range or without: three
    // failed attempts, nothing kept, and a good second mirror ends it well.
    const int64_t size = 200000;
    const std::string key = filedl::UniqueKey("allwrong-");
    const std::string bad = S().FaultUrl("/probe/" + key + "/wrong-total/" + std::to_string(size));
    const std::vector<unsigned char> list = DocRoot("files/list.txt");
    Add(S().HttpUrl("/files/list.txt"), Win("one"), "first.txt");
    Add(bad, Win("one"), "wrong.bin", size);
    filedl::SessionRecorder events;
    StartSession(1, (int64_t)list.size(), &events);
    ASSERT_TRUE(events.WaitEnd());
    EXPECT_EQ(Kinds({"opened", "file", "opened", "opened", "opened", "failed"}), events.Kinds());
    EXPECT_EQ(bad, events.Reports().back().text);
    // Each answer is cut off by the refusal; only the count is sure.
    EXPECT_EQ(0u, filedl::FaultGet("/probe-sent/" + key).find("requests=3 "));
    EXPECT_EQ(
        1u, m_log->CountOf("[SwarmFetchLib] Answer Refused (range ends before the file) : " + bad));
    EXPECT_EQ(2u, m_log->CountOf("[SwarmFetchLib] Answer Refused (not the whole file) : " + bad));
    EXPECT_TRUE(Disk(Native("one\\first.txt")) == list);
    EXPECT_TRUE(Disk(Native("one\\wrong.bin.part")).empty());
    bool exists = true;
    filedl::ReadFile(Native("one\\wrong.bin"), &exists);
    EXPECT_FALSE(exists) << "no file under the final name";
    EXPECT_EQ((int64_t)list.size(), Total());
    for (const std::string& v : events.Violations())
        ADD_FAILURE() << v;

    m_job.reset(new CJob(2, 0, HostTarget()));
    Add(bad + "?m=" + key + "b|" + S().FaultUrl("/cut/" + key + "c/0/" + std::to_string(size)),
        Win("good"), "whole.bin", size);
    filedl::SessionRecorder second;
    StartSession(1, size, &second);
    ASSERT_TRUE(second.WaitEnd());
    EXPECT_EQ(Kinds({"opened", "opened", "opened", "opened", "file", "all"}), second.Kinds());
    EXPECT_EQ(3, filedl::GetsWith(key + "b"));
    EXPECT_TRUE(Disk(Native("good\\whole.bin")) == sftest::FaultPattern((size_t)size));
    EXPECT_EQ(size, Total());
    for (const std::string& v : second.Violations())
        ADD_FAILURE() << v;
}

// The timers run five times as fast as real time: the window of the low-speed
// guard passes in a few real seconds, while the fault server trickles at its
// real pace.
class PlatformSessionFastClock : public PlatformSession {
  protected:
    void SetUp() override {
        m_clock.reset(new sftest::FastTimerClock(5));
        PlatformSession::SetUp();
    }
    void TearDown() override {
        PlatformSession::TearDown();
        m_clock.reset();
    }
    std::unique_ptr<sftest::FastTimerClock> m_clock;
};

TEST_F(PlatformSessionFastClock, ATrickleIsAFailedAttemptAndTheNextMirrorServesTheFile) {
    // Two bytes per (timer) second: far below the floor, yet never idle.
    const std::string trickle = S().FaultUrl("/trickle/100/100000");
    const std::vector<unsigned char> zip = DocRoot("files/skin.zip");
    Add(trickle + "|" + S().HttpUrl("/files/skin.zip"), Win("dl"), "skin.zip");
    StartSession(1, (int64_t)zip.size());
    ASSERT_TRUE(m_sessionEvents.WaitEnd(90000));
    EXPECT_EQ(Kinds({"opened", "opened", "opened", "opened", "file", "all"}),
              m_sessionEvents.Kinds());
    size_t slow = 0;
    for (const std::string& line : m_log->Lines())
        slow += line.find("[SwarmFetchLib] Too Slow (") == 0 &&
                line.find(" bytes in 30 s) : " + trickle) != std::string::npos;
    EXPECT_EQ(3u, slow) << m_log->Text();
    EXPECT_TRUE(Disk(Native("dl\\skin.zip")) == zip);
    EXPECT_EQ((int64_t)zip.size(), Total());
    ExpectCleanEnd();
}

// --- the ends of a failing session ----------------------------------------------

TEST_F(PlatformSession, TwoMirrorsThatCloseEveryConnectionGetThreeRequestsEach) {
    const std::string key = filedl::UniqueKey("trymax-");
    const std::string first = S().FaultUrl("/close-before-head?m=" + key + "a");
    const std::string second = S().FaultUrl("/reset?m=" + key + "b");
    Add(first + "|" + second, Win("dl"), "never.bin");
    Add(S().FaultUrl("/ok?m=" + key + "c"), Win("dl"), "later.bin");
    StartSession();
    ASSERT_TRUE(m_sessionEvents.WaitEnd());
    Kinds expected(6, "opened");
    expected.push_back("failed");
    EXPECT_EQ(expected, m_sessionEvents.Kinds());
    EXPECT_EQ(second, m_sessionEvents.Reports().back().text);
    EXPECT_EQ(3, filedl::RequestsWith(key + "a"));
    EXPECT_EQ(3, filedl::RequestsWith(key + "b"));
    EXPECT_EQ(0, filedl::RequestsWith(key + "c"));
    EXPECT_EQ(1u, m_log->CountOf("[SwarmFetchLib] TryMax Over : " + second));
    ExpectCleanEnd();
}

TEST_F(PlatformSession, ARefusedMirrorAndAStalledMirrorAreLeftForTheNext) {
    // Refused connects, then three receive time-outs, then a mirror that
    // answers: the file is whole and was counted once.
    const std::string refused =
        "http://127.0.0.1:" + std::to_string(testpeers::RefusedPort()) + "/x.bin";
    const std::string key = filedl::UniqueKey("stall-");
    Add(refused + "|" + S().FaultUrl("/stall-mid-body?m=" + key) + "|" +
            S().HttpUrl("/files/skin.zip"),
        Win("dl"), "skin.zip");
    const std::vector<unsigned char> zip = DocRoot("files/skin.zip");
    StartSession(1, (int64_t)zip.size());
    ASSERT_TRUE(m_sessionEvents.WaitEnd(90000));
    Kinds expected(7, "opened");
    expected.push_back("file");
    expected.push_back("all");
    EXPECT_EQ(expected, m_sessionEvents.Kinds());
    EXPECT_EQ(3, filedl::RequestsWith(key));
    EXPECT_TRUE(Disk(Native("dl\\skin.zip")) == zip);
    EXPECT_EQ((int64_t)zip.size(), Total());
    ExpectCleanEnd();
}

TEST_F(PlatformSession, ARedirectLoopIsBoundedAndCountsAsFailedAttempts) {
    // Each attempt follows kMaxRedirects hops, the next one fails the
    // attempt; three attempts end the mirror.
    const std::string key = filedl::UniqueKey("loop-");
    const int start = 100000 + (int)(std::hash<std::string>()(key) % 8000u) * 100;
    const std::string mirror = S().FaultUrl("/redirect-chain/" + std::to_string(start));
    Add(mirror, Win("dl"), "loop.bin");
    StartSession();
    ASSERT_TRUE(m_sessionEvents.WaitEnd());
    EXPECT_EQ("failed", m_sessionEvents.Kinds().back());
    EXPECT_EQ(mirror, m_sessionEvents.Reports().back().text);
    int requests = -1;
    ASSERT_TRUE(OnLibraryThread([&] { requests = m_session->RequestCount(); }));
    EXPECT_EQ(3 * (kMaxRedirects + 1), requests);
    EXPECT_EQ(3u, m_log->CountOf(
                      "[SwarmFetchLib] Redirect Max Over : " +
                      S().FaultUrl("/redirect-chain/" + std::to_string(start + kMaxRedirects))));
    // Ten hops in a row are still followed.
    m_job.reset(new CJob(2, 0, HostTarget()));
    Add(S().FaultUrl("/hops/9"), Win("dl"), "hops.txt");
    filedl::SessionRecorder second;
    StartSession(1, 16, &second);
    ASSERT_TRUE(second.WaitEnd());
    EXPECT_EQ("all", second.Kinds().back());
    const std::string ok = "fault server ok\n";
    EXPECT_TRUE(Disk(Native("dl\\hops.txt")) == std::vector<unsigned char>(ok.begin(), ok.end()));
}

TEST_F(PlatformSession, ARedirectWithoutLocationGivesUp) {
    const std::string url = S().FaultUrl("/redirect-no-location");
    Add(url, Win("dl"), "x.bin");
    StartSession();
    ASSERT_TRUE(m_sessionEvents.WaitEnd());
    EXPECT_EQ(Kinds({"opened", "failed"}), m_sessionEvents.Kinds());
    EXPECT_TRUE(m_log->Has("[SwarmFetchLib] eNWHSC_HTTP_SEEOTHER  : " + url));
    ExpectCleanEnd();
}

// A Location that leads nowhere a request can go ends the session like a
// redirect without one: no request to the target, no byte in the folder.
TEST_F(PlatformSession, AHostileLocationEndsTheSessionLikeAMissingOne) {
    const std::string port = std::to_string(S().FaultPort());
    const std::vector<std::string> locations = {
        "",
        "ftp://127.0.0.1:" + port + "/ok",
        "file:///etc/passwd",
        "javascript:alert(1)",
        "/ok\x01",
        std::string("/ok\0x", 4),
        "http://u:p@127.0.0.1:" + port + "/ok",
        "http://u@127.0.0.1:" + port + "/ok",
        "http://[::1]:" + port + "/ok",
        "http://127.0.0.1:0/ok",
        "http://127.0.0.1:65536/ok",
        "http://127.0.0.1:" + port + "x/ok",
        "http://:" + port + "/ok",
        "/" + std::string(kMaxRedirectUrlLength, 'a'),
    };
    int n = 0;
    for (const std::string& location : locations) {
        SCOPED_TRACE(location.substr(0, 60));
        const std::string name = "x" + std::to_string(n++) + ".bin";
        m_job.reset(new CJob(2, 0, HostTarget()));
        const std::string url = S().FaultRedirectUrl(302, location);
        Add(url, Win("dl"), name, 16);
        filedl::SessionRecorder events;
        StartSession(1, 16, &events);
        ASSERT_TRUE(events.WaitEnd());
        EXPECT_EQ(Kinds({"opened", "failed"}), events.Kinds());
        EXPECT_TRUE(m_log->Has("[SwarmFetchLib] eNWHSC_HTTP_SEEOTHER  : " + url));
        int requests = -1;
        ASSERT_TRUE(OnLibraryThread([&] { requests = m_session->RequestCount(); }));
        EXPECT_EQ(1, requests);
        EXPECT_FALSE(supporttest::PathExists(Native("dl\\" + name)));
        EXPECT_LE(FsFileSize((Win("dl") + "\\" + name + ".part").c_str()), 0);
    }
}

TEST_F(PlatformSession, AJobWithoutAnyUsableEntryFailsAtOnce) {
    Add(S().FaultUrl("/ok"), Win("dl"), "a.txt");
    Add(S().FaultUrl("/ok"), Win("dl"), "b.txt");
    m_job->EntryAt(0)->fileName.Clear();
    m_job->EntryAt(1)->urlList.Clear();
    StartSession();
    EXPECT_EQ(Kinds{"failed"}, m_sessionEvents.Kinds());
    EXPECT_EQ("", m_sessionEvents.Reports()[0].text);
    int32_t count = -1;
    ASSERT_TRUE(OnLibraryThread([&] { count = m_session->EntryCount(); }));
    EXPECT_EQ(0, count);
    ExpectCleanEnd();
}

TEST_F(PlatformSession, ATargetFileThatCannotBeCreatedFailsTheSession) {
    // A folder stands where the file should be.
    ASSERT_TRUE(FsCreateFolders(Win("dl\\taken.bin").c_str()));
    const std::string url = S().FaultUrl("/ok");
    Add(url, Win("dl"), "taken.bin");
    StartSession();
    ASSERT_TRUE(m_sessionEvents.WaitEnd());
    EXPECT_EQ(Kinds{"failed"}, m_sessionEvents.Kinds());
    EXPECT_TRUE(m_log->Has("[SwarmFetchLib] CreateFile Failed(5) : " + Win("dl\\taken.bin")));
    EXPECT_TRUE(m_log->Has("[SwarmFetchLib] WriteFileOpen Failed : " + url));
    ExpectCleanEnd();
}

// --- files that cannot be written ------------------------------------------------

size_t FullAfter100k(const char* path, int64_t offset, size_t size) {
    if (!strstr(path, "full.bin"))
        return size;
    const int64_t room = 100000 - offset;
    return room <= 0 ? 0 : (size_t)room < size ? (size_t)room : size;
}

TEST_F(PlatformSession, AWriteFailureEndsTheSessionWith513AndKeepsWhatWasWritten) {
    const std::vector<unsigned char> big = DocRoot("files/random-1m.bin");
    const std::string url = S().HttpUrl("/files/random-1m.bin");
    Add(S().FaultUrl("/ok"), Win("dl"), "first.txt");
    Add(url, Win("dl"), "full.bin");
    Add(S().FaultUrl("/ok"), Win("dl"), "third.txt");
    PfFileSetWriteHookForTesting(&FullAfter100k);
    StartSession();
    const bool ended = m_sessionEvents.WaitEnd();
    PfFileSetWriteHookForTesting(nullptr);
    ASSERT_TRUE(ended);
    // The first file completes; the second is neither complete nor is the
    // job; the third is never started.
    EXPECT_EQ(Kinds({"opened", "file", "opened", "error"}), m_sessionEvents.Kinds());
    const filedl::SessionRecorder::Report last = m_sessionEvents.Reports().back();
    EXPECT_EQ(513, last.code);
    EXPECT_EQ(url, last.text);
    // Over: no connection and no file is left that could report.
    ExpectCleanEnd();
    EXPECT_EQ(4u, m_sessionEvents.Kinds().size());
    const std::vector<unsigned char> kept = Disk(Native("dl\\full.bin.part"));
    ASSERT_EQ(100000u, kept.size());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), big.begin()));
    bool exists = true;
    filedl::ReadFile(Native("dl\\third.txt"), &exists);
    EXPECT_FALSE(exists);
    EXPECT_TRUE(m_log->Has("[SwarmFetchLib] WriteFile Failed(112) : " + Win("dl\\full.bin")));
    // The counts hold what reached the disk.
    const std::vector<EntryState> entries = Entries();
    ASSERT_EQ(3u, entries.size());
    EXPECT_LE(entries[1].received, 100000);
    EXPECT_EQ(16 + entries[1].received, Total());
}

#ifndef _WIN32
// A real full disk: a small tmpfs, when this process may mount one.
TEST_F(PlatformSession, ARealFullFileSystemEndsWith513) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string mountPoint = Native("small");
    ASSERT_TRUE(FsCreateFolders(Win("small").c_str()));
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    Add(S().HttpUrl("/files/random-1m.bin"), Win("small\\dl"), "big.bin");
    StartSession();
    const bool ended = m_sessionEvents.WaitEnd();
    const std::vector<unsigned char> kept = Disk(Native("small/dl/big.bin.part"));
    const std::vector<unsigned char> big = DocRoot("files/random-1m.bin");
    DropAll();
    umount(mountPoint.c_str());
    ASSERT_TRUE(ended);
    EXPECT_EQ(Kinds({"opened", "error"}), m_sessionEvents.Kinds());
    EXPECT_EQ(513, m_sessionEvents.Reports().back().code);
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LT(kept.size(), big.size());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), big.begin()));
}
#endif

// --- the receive budget -------------------------------------------------------------

TEST_F(PlatformSession, TheSpeedFlagChoosesTheReceiveBudgetOfTheConnection) {
    for (int32_t full : {0, 1}) {
        SCOPED_TRACE(full);
        m_job.reset(new CJob(3 + (uint32_t)full, 0, HostTarget()));
        Add(S().FaultUrl("/stall"), Win("dl"), "stall.bin");
        filedl::SessionRecorder events;
        int32_t type = -1;
        uint32_t limit = 0;
        // The fault server holds /stall far longer than this look takes.
        StartSession(full, 0, &events);
        ASSERT_TRUE(OnLibraryThread([&] {
            cpCQoSContext* context = static_cast<cpCQoSContext*>(m_session->Connection());
            if (!context || !context->Action())
                return;
            type = context->Action()->GetType();
            limit = static_cast<cpCQoSOwnContextAction*>(context->Action())->ReceiveLimit();
        }));
        EXPECT_EQ(6, type);
        EXPECT_EQ(full ? 104857600u : 393216u, limit);
        DropAll();
    }
}

TEST_F(PlatformSessionFastClock, AConnectionIsNotKeptPastItsIdleTimeOrItsBounds) {
    // Idle connections to one host: at most kMaxIdlePerHost, the oldest
    // goes first; all of them go with the pool.
    UsePool();
    const std::string key = filedl::UniqueKey("bounds-");
    const std::string url = S().FaultUrl("/keep/" + key + "/10");
    std::vector<ovSmartPtr> connections(HttpConnectionPool::kMaxIdlePerHost + 2);
    struct Quiet : nwIHttpClientExEventListener {
        int completes = 0;
        void OnConnected(uint32_t) override {}
        void OnResponse(uint32_t) override {}
        int32_t OnData(uint32_t, const uint8_t*, int32_t length) override { return length; }
        void OnComplete(uint32_t) override { ++completes; }
        void OnSendDrained(uint32_t) override {}
        void OnClosed(uint32_t) override {}
        void OnConnectTimeout(uint32_t) override {}
        void OnReceiveTimeout(uint32_t) override {}
        void OnHostUnreachable(uint32_t) override {}
    } quiet;
    const HttpConnectionOptions options = {kQoSActionHigh, 3, 3, 0, 0, nullptr};
    ASSERT_TRUE(OnLibraryThread([&] {
        for (ovSmartPtr& c : connections)
            ASSERT_TRUE(m_pool->Open(c, options, &quiet, 1, url.c_str(), nullptr, true));
    }));
    ASSERT_TRUE(sftest::Eventually(
        [&] {
            int done = 0;
            EXPECT_TRUE(OnLibraryThread([&] { done = quiet.completes; }));
            return done == (int)connections.size();
        },
        10000));
    int32_t kept = -1;
    ASSERT_TRUE(OnLibraryThread([&] {
        for (ovSmartPtr& c : connections)
            m_pool->Park(c, url.c_str());
        kept = m_pool->KeptCount();
    }));
    EXPECT_EQ(HttpConnectionPool::kMaxIdlePerHost, kept);
    // A URL of another host (by case only: the same) reuses; an https URL
    // of the same host and port does not.
    HttpConnectionPool::PooledRequest pooled;
    ovSmartPtr again;
    std::string upper = url;
    for (size_t i = 0; i < upper.size() && i < 10; ++i)
        upper[i] = (char)toupper((unsigned char)upper[i]);
    ASSERT_TRUE(OnLibraryThread([&] {
        ASSERT_TRUE(m_pool->Open(again, options, &quiet, 2, upper.c_str(), &pooled));
        ReleaseHttpConnection(again);
        kept = m_pool->KeptCount();
    }));
    EXPECT_TRUE(pooled.Reused());
    EXPECT_EQ(HttpConnectionPool::kMaxIdlePerHost - 1, kept);
    // Idle past the time-out (a fast clock): closed by the pool.
    ASSERT_TRUE(sftest::Eventually(
        [&] {
            EXPECT_TRUE(OnLibraryThread([&] { kept = m_pool->KeptCount(); }));
            return kept == 0;
        },
        (HttpConnectionPool::kIdleSeconds + 10) * 1000, 100));
}

}  // namespace
