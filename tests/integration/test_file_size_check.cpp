// The file-size check of a job against nginx and the fault server: sizes
// the host gave, at most kMaxSessions requests at a time, the free-space rule,
// mirrors and bounded redirect chains.
#include <stdint.h>

#include <string>
#include <vector>

// First: it brings winsock2.h, which must come before windows.h.
#include "integration/FileDownloadTestEnv.h"

#include "opn/opeerqos/nwRedirect.h"
#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfVolume.h"
#include "sdk/download/plain/CPlatformFileSizeCheckSession.h"
#include "support/Eventually.h"
#include "sdk/download/SizeMemory.h"
#include "support/FastTimerClock.h"
#include "support/SteppedTimerClock.h"

#ifndef _WIN32
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace {

using filedl::FileDownloadTest;
using filedl::OnLibraryThread;
using filedl::S;
using Outcome = filedl::CheckerRecorder::Outcome;

class FileSizeCheck : public FileDownloadTest {
  protected:
    int32_t Running() {
        int32_t n = -1;
        EXPECT_TRUE(OnLibraryThread([&] { n = m_checker->RunningSessions(); }));
        return n;
    }
};

// The free space the hook answers, and the folder it was asked about.
std::atomic<int64_t> g_free{0};
std::mutex g_askedMutex;
std::string g_asked;

bool FixedFreeSpace(const char* folder, int64_t* freeBytes) {
    std::lock_guard<std::mutex> hold(g_askedMutex);
    g_asked = folder;
    *freeBytes = g_free.load();
    return true;
}

class FreeSpaceHook {
  public:
    explicit FreeSpaceHook(int64_t bytes) {
        g_free = bytes;
        PfSetFreeDiskSpaceHookForTesting(&FixedFreeSpace);
    }
    ~FreeSpaceHook() { PfSetFreeDiskSpaceHookForTesting(nullptr); }
    FreeSpaceHook(const FreeSpaceHook&) = delete;
    FreeSpaceHook& operator=(const FreeSpaceHook&) = delete;
};

TEST_F(FileSizeCheck, SizesTheHostGaveAreNotRequested) {
    const std::string key = filedl::UniqueKey("known-");
    Add(S().FaultUrl("/sized/" + key + "/10"), Win("dl"), "a.bin", 1000);
    Add(S().FaultUrl("/sized/" + key + "/20"), Win("dl"), "b.bin", 2345);
    m_job->EntryAt(1)->received = 45;
    StartChecker();
    // Reported from inside Start: nothing was left to ask.
    const Outcome out = m_checkerEvents.Get();
    EXPECT_EQ(1, out.completed);
    EXPECT_EQ(0, out.failed);
    EXPECT_EQ(3345, out.result.totalSize);
    EXPECT_EQ(45, out.result.presentBytes);
    EXPECT_EQ(2, out.result.entryCount);
    EXPECT_TRUE(out.rightContext);
    EXPECT_EQ(0, Running());
    EXPECT_EQ(0, filedl::RequestsWith(key));
}

// The launcher's size check measured the first URL moments before: its size
// is taken without a request while fresh, on the library's timer clock.
TEST_F(FileSizeCheck, ASizeMeasuredMomentsAgoIsTakenWithoutARequest) {
    struct Case {
        const char* name;
        bool sameUrl;
        uint32_t agoMs;
        int64_t free;
        int requests;
        int completed;
        int32_t code;
    };
    const uint32_t freshMs = (uint32_t)SizeMemory::kFreshSeconds * 1000;
    const Case cases[] = {
        {"fresh", true, 0, 1 << 30, 0, 1, 0},
        {"nearly stale", true, freshMs - 1000, 1 << 30, 0, 1, 0},
        {"stale", true, freshMs, 1 << 30, 1, 1, 0},
        {"another URL", false, 0, 1 << 30, 1, 1, 0},
        {"too large for the drive", true, 0, 4000, 0, 0, 513},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sftest::SteppedTimerClock clock(sftest::SteppedTimerClock::kFrozen);
        m_job.reset(new CJob(10, 0, HostTarget()));
        const std::string key = filedl::UniqueKey("memory-");
        const std::string url = S().FaultUrl("/sized/" + key + "/5000?hold_ms=0");
        SizeMemory::Remember(c.sameUrl ? url.c_str() : (url + "&other").c_str(), 5000);
        clock.Shift(c.agoMs);
        // The second mirror plays no part.
        Add(url + "|" + S().FaultUrl("/sized/" + key + "x/1"), Win("dl"), "a.bin");
        FreeSpaceHook hook(c.free);
        filedl::CheckerRecorder events;
        StartChecker(&events);
        const Outcome out = events.WaitEnd();
        DropAll();
        EXPECT_EQ(c.completed, out.completed);
        if (c.completed)
            EXPECT_EQ(5000, out.result.totalSize);
        else
            EXPECT_EQ(c.code, out.code);
        EXPECT_EQ(c.requests, filedl::RequestsWith("/sized/" + key + "/"));
        EXPECT_EQ(0, filedl::RequestsWith("/sized/" + key + "x/"));
    }
    SizeMemory::Clear();
}

TEST_F(FileSizeCheck, AJobWithoutEntriesCompletesWithZeros) {
    StartChecker();
    const Outcome out = m_checkerEvents.Get();
    EXPECT_EQ(1, out.completed);
    EXPECT_EQ(0, out.result.totalSize);
    EXPECT_EQ(0, out.result.presentBytes);
    EXPECT_EQ(0, out.result.entryCount);
}

TEST_F(FileSizeCheck, TwelveUnknownSizesWithAtMostMaxSessionsRequestsInFlight) {
    const std::string key = filedl::UniqueKey("twelve-");
    int64_t sum = 0;
    for (int i = 0; i < 12; ++i) {
        const int size = 1000 + i;
        sum += size;
        Add(S().FaultUrl("/sized/" + key + "/" + std::to_string(size) + "?hold_ms=1000"), Win("dl"),
            "f" + std::to_string(i) + ".bin");
    }
    // One more whose size is known.
    Add(S().FaultUrl("/sized/" + key + "x/1"), Win("dl"), "known.bin", 77);
    StartChecker();
    EXPECT_EQ(CPlatformFileSizeChecker::kMaxSessions, Running());
    const Outcome out = m_checkerEvents.WaitEnd();
    EXPECT_EQ(1, out.completed);
    EXPECT_EQ(0, out.failed);
    EXPECT_EQ(sum + 77, out.result.totalSize);
    EXPECT_EQ(0, out.result.presentBytes);
    EXPECT_EQ(13, out.result.entryCount);
    EXPECT_EQ("max=" + std::to_string(CPlatformFileSizeChecker::kMaxSessions) + " total=12\n",
              filedl::FaultGet("/inflight/" + key));
    EXPECT_EQ("max=0 total=0\n", filedl::FaultGet("/inflight/" + key + "x"));
    // No session is left that could report again.
    EXPECT_EQ(0, Running());
    EXPECT_EQ(1, m_checkerEvents.Get().completed);
}

// A server that closes an idle kept connection as the next request comes
// costs the check no try: the request goes once more on a new connection.
// More kept connections than tries: spending tries on them would fail the
// file.
TEST_F(FileSizeCheck, AKeptConnectionTheServerClosesCostsNoTry) {
    const int kKept = CPlatformFileSizeCheckSession::kTriesPerUrl + 1;
    struct Case {
        const char* name;
        const char* query;
        int dropped;  // requests the server read and closed unanswered
    };
    const Case cases[] = {
        {"keeps", "", 0},
        // Each connection answers once, then closes under the next request.
        {"drops the next", "?answers=1", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UsePool();
        const std::string key = filedl::UniqueKey("kept-");
        const auto url = [&](int size) {
            return S().FaultUrl("/keep/" + key + "/" + std::to_string(size) + c.query);
        };
        // The first check leaves kKept connections in the pool.
        m_job.reset(new CJob(1, 0, HostTarget()));
        for (int i = 0; i < kKept; ++i)
            Add(url(100 + i), Win("dl"), "f" + std::to_string(i) + ".bin");
        filedl::CheckerRecorder first;
        StartChecker(&first);
        ASSERT_EQ(1, first.WaitEnd().completed);
        int32_t kept = 0;
        ASSERT_TRUE(OnLibraryThread([&] { kept = m_pool->KeptCount(); }));
        ASSERT_EQ(kKept, kept);
        // The second goes out on one of them.
        m_job.reset(new CJob(2, 0, HostTarget()));
        Add(url(500), Win("dl"), "late.bin");
        filedl::CheckerRecorder second;
        StartChecker(&second);
        const Outcome out = second.WaitEnd();
        EXPECT_EQ(1, out.completed);
        EXPECT_EQ(0, out.failed) << out.code;
        EXPECT_EQ(500, out.result.totalSize);
        const filedl::KeepCount count = filedl::CountKeep(key);
        EXPECT_EQ(kKept + 1, count.answers);
        EXPECT_EQ(c.dropped, count.dropped);
        EXPECT_EQ(kKept + c.dropped, count.connections);
        DropAll();
    }
}

TEST_F(FileSizeCheck, TheFreeSpaceMustExceedEachFile) {
    struct Case {
        int64_t free;
        int completed;
        int32_t code;
    };
    // 5000 bytes each: equal space fails with 517, one byte less with 513.
    for (const Case& c : {Case{5001, 1, 0}, Case{5000, 0, 517}, Case{4999, 0, 513}}) {
        SCOPED_TRACE(c.free);
        m_job.reset(new CJob(10, 0, HostTarget()));
        const std::string key = filedl::UniqueKey("space-");
        const std::string url = S().FaultUrl("/sized/" + key + "/5000?hold_ms=0");
        // Each file is compared alone, not their sum.
        Add(url, Win("dl\\new\\deeper"), "a.bin");
        Add(url + "&b", Win("dl"), "b.bin");
        FreeSpaceHook hook(c.free);
        filedl::CheckerRecorder events;
        StartChecker(&events);
        const Outcome out = events.WaitEnd();
        DropAll();
        EXPECT_EQ(c.completed, out.completed);
        EXPECT_EQ(c.completed ? 0 : 1, out.failed);
        if (c.completed) {
            EXPECT_EQ(10000, out.result.totalSize);
        } else {
            EXPECT_EQ(c.code, out.code);
            EXPECT_TRUE(out.text == url || out.text == url + "&b") << out.text;
        }
        // The folder asked is the nearest one that exists.
        std::lock_guard<std::mutex> hold(g_askedMutex);
        EXPECT_TRUE(g_asked.rfind(Win(""), 0) == 0) << g_asked;
    }
}

// A size given by the host or in the URL's fragment is not asked of the
// server, but must fit the free space all the same (before, it skipped the
// refusal); what of the file is on disk already need not fit again.
TEST_F(FileSizeCheck, AKnownSizeMustFitTheFreeSpaceToo) {
    struct Case {
        const char* what;
        bool inFragment;     // "&size=" in the URL, else the host's size
        size_t finalOnDisk;  // bytes of the final file already there
        size_t partOnDisk;   // bytes of the partial file already there
        int64_t free;
        int32_t code;  // 0: completed
    };
    const Case cases[] = {
        {"the host's size, room for it", false, 0, 0, 5001, 0},
        {"the host's size, no room", false, 0, 0, 4999, 513},
        {"the host's size, just no room", false, 0, 0, 5000, 513},
        {"the fragment's size, room for it", true, 0, 0, 5001, 0},
        {"the fragment's size, no room", true, 0, 0, 4999, 513},
        {"the whole file is there", true, 5000, 0, 10, 0},
        {"most is there in the partial file", true, 0, 4000, 1001, 0},
        {"some is there, not enough room", true, 0, 1000, 4000, 513},
    };
    ASSERT_TRUE(FsCreateFolders(Win("dl").c_str()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_job.reset(new CJob(10, 0, HostTarget()));
        const std::string key = filedl::UniqueKey("knownspace-");
        const std::string name = key + ".bin";
        std::string url = S().FaultUrl("/sized/" + key + "/5000");
        if (c.inFragment)
            url += "#sha256=" + std::string(64, 'a') + "&size=5000";
        const std::string finalBytes(c.finalOnDisk, 'x');
        const std::string partBytes(c.partOnDisk, 'x');
        ASSERT_TRUE(c.finalOnDisk == 0 ||
                    FsAppendFile(Win("dl\\" + name).c_str(), finalBytes.data(), finalBytes.size()));
        ASSERT_TRUE(c.partOnDisk == 0 || FsAppendFile(Win("dl\\" + name + ".part").c_str(),
                                                      partBytes.data(), partBytes.size()));
        Add(url, Win("dl"), name, c.inFragment ? -1 : 5000);
        FreeSpaceHook hook(c.free);
        filedl::CheckerRecorder events;
        StartChecker(&events);
        const Outcome out = events.WaitEnd();
        DropAll();
        EXPECT_EQ(c.code == 0 ? 1 : 0, out.completed);
        EXPECT_EQ(c.code, out.code);
        EXPECT_EQ(c.code != 0, out.text.find(key) != std::string::npos) << out.text;
        EXPECT_EQ(0, filedl::RequestsWith(key));
    }
}

TEST_F(FileSizeCheck, SizesThatAddUpPastTheLargestNumberGiveTheLargestTotal) {
    // Sizes from the host and lengths from a server, each fine alone; their
    // sum is held at INT64_MAX instead of wrapping.
    const int64_t half = 5000000000000000000;  // two pass INT64_MAX
    struct Case {
        std::vector<int64_t> sizes;  // -1: asked of the server, which says `half`
        int64_t total;
    };
    const Case cases[] = {
        // Each below the (hooked) free space of INT64_MAX bytes.
        {{INT64_MAX - 1, INT64_MAX - 1}, INT64_MAX},
        {{half, half, 7}, INT64_MAX},
        {{-1, -1}, INT64_MAX},
        {{INT64_MAX - 10, -1}, INT64_MAX},
        {{half, -1}, INT64_MAX},
        {{INT64_MAX - half - 1, -1}, INT64_MAX - 1},
    };
    FreeSpaceHook hook(INT64_MAX);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sizes.size());
        m_job.reset(new CJob(10, 0, HostTarget()));
        const std::string key = filedl::UniqueKey("sum-");
        for (size_t i = 0; i < c.sizes.size(); ++i)
            Add(S().FaultUrl("/announce/" + std::to_string(half) + "?" + key + std::to_string(i)),
                Win("dl"), "f" + std::to_string(i) + ".bin", c.sizes[i]);
        filedl::CheckerRecorder events;
        StartChecker(&events);
        const Outcome out = events.WaitEnd();
        DropAll();
        EXPECT_EQ(1, out.completed);
        EXPECT_EQ(c.total, out.result.totalSize);
        EXPECT_EQ((int32_t)c.sizes.size(), out.result.entryCount);
    }
}

// The timers run eight times as fast as real time: the low-speed window
// passes in a few real seconds while the fault server drips at its own pace.
class FileSizeCheckFastClock : public FileSizeCheck {
  protected:
    void SetUp() override {
        m_clock.reset(new sftest::FastTimerClock(8));
        FileSizeCheck::SetUp();
    }
    void TearDown() override {
        FileSizeCheck::TearDown();
        m_clock.reset();
    }
    std::unique_ptr<sftest::FastTimerClock> m_clock;
};

TEST_F(FileSizeCheckFastClock, AHeadThatDripsIsAFailedAttemptOfEitherSizeCheck) {
    // A head that grows by a byte every 60 ms (half a timer second) is
    // never idle and never ends; without a bound it held a check for the
    // server's whole hold time, three times over.
    struct Case {
        const char* what;
        bool jobCheck;  // the job's file-size check, else the host's size check
    };
    for (const Case& c : {Case{"job", true}, Case{"host", false}}) {
        SCOPED_TRACE(c.what);
        const std::string tag = filedl::UniqueKey("drip-head-");
        const std::string drip = S().FaultUrl("/drip-head/" + tag + "?ms=60");
        const auto started = std::chrono::steady_clock::now();
        if (c.jobCheck) {
            m_job.reset(new CJob(10, 0, HostTarget()));
            // The next mirror answers: the check completes with its size.
            Add(drip + "|" + S().FaultUrl("/sized/" + tag + "/5000?hold_ms=0"), Win("dl"), "a.bin");
            filedl::CheckerRecorder events;
            StartChecker(&events);
            const Outcome out = events.WaitEnd(60000);
            DropAll();
            EXPECT_EQ(1, out.completed);
            EXPECT_EQ(5000, out.result.totalSize);
        } else {
            // One URL per file: the host's check fails once.
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddSizeCheck(drip.c_str()));
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartSizeCheck());
            sftest::Eventually(
                [&] { return m_lib->Recorder().CountOf(SF_EVENT_SIZE_CHECK_FAILED) > 0; }, 60000);
            EXPECT_EQ(1u, m_lib->Recorder().CountOf(SF_EVENT_SIZE_CHECK_FAILED));
            EXPECT_EQ(0u, m_lib->Recorder().CountOf(SF_EVENT_SIZE_CHECK_DONE));
        }
        // Three attempts of one window each (about 12 real seconds), far
        // below the server's hold of a minute per attempt.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(45));
        EXPECT_EQ(3, filedl::RequestsWith("GET /drip-head/" + tag));
        // Each attempt was closed by the library, not left dripping.
        sftest::Eventually(
            [&] { return filedl::RequestsWith("drip-head " + tag + " closed") >= 3; }, 5000);
        EXPECT_EQ(3, filedl::RequestsWith("drip-head " + tag + " closed"));
    }
}

TEST_F(FileSizeCheck, MirrorsThatFailLeadToTheNextMirror) {
    const std::string key = filedl::UniqueKey("mirror-");
    Add(S().FaultUrl("/close-before-head?m=" + key + "a") + "|" +
            S().FaultUrl("/sized/" + key + "/777?hold_ms=0"),
        Win("dl"), "a.bin");
    Add(S().FaultUrl("/status/404?m=" + key + "b") + "|" + S().HttpUrl("/files/list.txt"),
        Win("dl"), "b.bin");
    StartChecker();
    const Outcome out = m_checkerEvents.WaitEnd();
    EXPECT_EQ(1, out.completed);
    EXPECT_EQ(0, out.failed);
    EXPECT_EQ(777 + (int64_t)S().DocRootFile("files/list.txt").size(), out.result.totalSize);
    EXPECT_EQ(3, filedl::RequestsWith(key + "a"));
    EXPECT_EQ(3, filedl::RequestsWith(key + "b"));
}

TEST_F(FileSizeCheck, EveryMirrorFailingEndsTheCheckOnceWith517) {
    const std::string key = filedl::UniqueKey("allfail-");
    const std::string urls =
        S().FaultUrl("/status/500?m=" + key) + "|" + S().FaultUrl("/zero-length?m=" + key);
    Add(urls, Win("dl"), "a.bin");
    // Held by the server until the test releases it.
    Add(S().FaultUrl("/hold/" + key), Win("dl"), "slow.bin");
    StartChecker();
    const Outcome out = m_checkerEvents.WaitEnd();
    EXPECT_EQ(1, out.failed);
    EXPECT_EQ(517, out.code);
    EXPECT_EQ(urls, out.text);
    EXPECT_EQ(0, out.completed);
    // A 200 without a size ends the entry at once.
    EXPECT_EQ(3, filedl::RequestsWith("/status/500?m=" + key));
    EXPECT_EQ(1, filedl::RequestsWith("/zero-length?m=" + key));
    // The slow one, still running, gets its answer now and reports nothing
    // more. (The failed session stays listed until the checker goes.)
    ASSERT_TRUE(netdl::FaultServerLogged("GET /hold/" + key + " "));
    EXPECT_EQ(2, Running());
    EXPECT_EQ("released\n", filedl::FaultGet("/release/" + key));
    EXPECT_TRUE(sftest::Eventually([&] { return Running() == 1; }, 10000));
    const Outcome later = m_checkerEvents.Get();
    EXPECT_EQ(1, later.failed);
    EXPECT_EQ(0, later.completed);
}

TEST_F(FileSizeCheck, RedirectsAreFollowedWithinTheBound) {
    const std::string key = filedl::UniqueKey("chain-");
    const int start = 100000 + (int)(std::hash<std::string>()(key) % 8000u) * 100;
    // Ten hops are followed; a chain without end fails the mirror after
    // three attempts of eleven requests each.
    Add(S().FaultUrl("/hops/9"), Win("dl"), "hops.txt");
    Add(S().HttpUrl("/redirect-302"), Win("dl"), "list.txt");
    const std::string endless = S().FaultUrl("/redirect-chain/" + std::to_string(start));
    Add(endless, Win("dl"), "endless.bin");
    StartChecker();
    const Outcome out = m_checkerEvents.WaitEnd();
    EXPECT_EQ(1, out.failed);
    EXPECT_EQ(517, out.code);
    EXPECT_EQ(endless, out.text);
    int seen = 0;
    for (const std::string& line : S().FaultRequestLines())
        for (int n = start; n <= start + 2 * kMaxRedirects; ++n)
            if (line.find("/redirect-chain/" + std::to_string(n) + " ") != std::string::npos)
                ++seen;
    EXPECT_EQ(3 * (kMaxRedirects + 1), seen);

    // Without the endless one the check completes.
    m_job.reset(new CJob(11, 0, HostTarget()));
    Add(S().FaultUrl("/hops/9"), Win("dl"), "hops.txt");
    Add(S().HttpUrl("/redirect-302"), Win("dl"), "list.txt");
    filedl::CheckerRecorder events;
    StartChecker(&events);
    const Outcome done = events.WaitEnd();
    DropAll();
    EXPECT_EQ(1, done.completed);
    EXPECT_EQ(16 + (int64_t)S().DocRootFile("files/list.txt").size(), done.result.totalSize);
}

// A Location that leads nowhere a request can go is a failed attempt of the
// mirror's own URL (three in all), then the next mirror answers.
TEST_F(FileSizeCheck, AHostileLocationFailsTheAttemptsOfItsMirror) {
    const std::string key = filedl::UniqueKey("hostile-");
    const std::string port = std::to_string(S().FaultPort());
    const std::vector<std::string> locations = {
        "",
        "ftp://127.0.0.1:" + port + "/ok",
        "javascript:alert(1)",
        "http://u@127.0.0.1:" + port + "/ok",
        "http://[::1]:" + port + "/ok",
        "http://127.0.0.1:0/ok",
        "http://127.0.0.1:99999/ok",
        "http://127.0.0.1:" + port + "x/ok",
    };
    for (size_t i = 0; i < locations.size(); ++i) {
        const std::string marker = key + "-" + std::to_string(i) + "x";
        Add(S().FaultRedirectUrl(307, locations[i]) + "&m=" + marker + "|" +
                S().FaultUrl("/sized/" + marker + "/100?hold_ms=0"),
            Win("dl"), "f" + std::to_string(i) + ".bin");
    }
    StartChecker();
    const Outcome out = m_checkerEvents.WaitEnd();
    EXPECT_EQ(1, out.completed);
    EXPECT_EQ(0, out.failed);
    EXPECT_EQ(100 * (int64_t)locations.size(), out.result.totalSize);
    for (size_t i = 0; i < locations.size(); ++i) {
        SCOPED_TRACE(locations[i]);
        EXPECT_EQ(3, filedl::RequestsWith("&m=" + key + "-" + std::to_string(i) + "x"));
    }
}

#ifndef _WIN32
// A real small file system, when this process may mount one.
TEST_F(FileSizeCheck, ARealSmallFileSystemIsTooSmallForABigFile) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string mountPoint = Native("small");
    ASSERT_TRUE(FsCreateFolders(Win("small").c_str()));
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    const std::string url = S().HttpUrl("/files/random-16m.bin");
    Add(url, Win("small\\not\\yet"), "big.bin");
    StartChecker();
    const Outcome out = m_checkerEvents.WaitEnd();
    DropAll();
    umount(mountPoint.c_str());
    EXPECT_EQ(1, out.failed);
    EXPECT_EQ(513, out.code);
    EXPECT_EQ(url, out.text);
}
#endif

}  // namespace
