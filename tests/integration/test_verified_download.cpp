// Files with a SHA-256 in their URL's fragment, against nginx and the fault
// server: a file counts only when its hash matches, it is written as a
// partial file until then, a cut or partial file is continued with a Range,
// and a folder already complete is recognised without a request.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

// First: it brings winsock2.h, which must come before windows.h.
#include "integration/FileDownloadTestEnv.h"

#include "opn/platform/pfFileSystem.h"
#include "sdk/download/plain/CPlatFormDownloader.h"
#include "sdk/download/plain/FilesInFlight.h"
#include "support/Eventually.h"
#include "support/Sha256Hex.h"
#include "support/SteppedTimerClock.h"

namespace {

using filedl::OnLibraryThread;
using filedl::S;
using Kinds = std::vector<std::string>;
using Bytes = std::vector<unsigned char>;
using sftest::Sha256Hex;

std::string Fragment(const Bytes& bytes, bool withSize = true) {
    return "#sha256=" + Sha256Hex(bytes) +
           (withSize ? "&size=" + std::to_string(bytes.size()) : "");
}

Bytes Pattern(size_t size) {
    return sftest::FaultPattern(size);
}

bool Exists(const std::string& native) {
    bool exists = false;
    filedl::ReadFile(native, &exists);
    return exists;
}

void WriteBytes(const std::string& native, const Bytes& bytes) {
    FILE* f = fopen(native.c_str(), "wb");
    ASSERT_NE(nullptr, f) << native;
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// The ranges the fault server's /cut/ path was asked for under `key`.
std::vector<std::string> RangesOf(const std::string& key) {
    std::vector<std::string> ranges;
    const std::string marker = "cut " + key + " range ";
    for (const std::string& line : S().FaultRequestLines())
        if (line.compare(0, marker.size(), marker) == 0)
            ranges.push_back(line.substr(marker.size()));
    return ranges;
}

std::string CutUrl(const std::string& key, int cuts, size_t size, const std::string& query = "") {
    return S().FaultUrl("/cut/" + key + "/" + std::to_string(cuts) + "/" + std::to_string(size) +
                        query);
}

class VerifiedDownload : public filedl::FileDownloadTest {
  protected:
    void SetUp() override {
        filedl::FileDownloadTest::SetUp();
        ASSERT_TRUE(FsCreateFolders(Win("dl").c_str()));
    }
    void TearDown() override {
        filedl::FileDownloadTest::TearDown();
        m_clock.reset();
    }
    // A new job and session over the same folder, as a new run makes them.
    void NewJob() {
        DropAll();
        m_job.reset(new CJob(++m_handle, 0, HostTarget()));
        m_job->SetName("brightwave7");
    }
    // Runs the job's session to its end, reporting to `events`.
    void Run(filedl::SessionRecorder& events, int64_t jobSize) {
        StartSession(1, jobSize, &events);
        ASSERT_TRUE(events.WaitEnd());
        for (const std::string& v : events.Violations())
            ADD_FAILURE() << v;
    }
    int64_t Total() {
        int64_t total = -1;
        EXPECT_TRUE(OnLibraryThread([&] { total = m_session->GetTotalBytes(); }));
        return total;
    }
    int64_t Present() {
        int64_t present = -1;
        EXPECT_TRUE(OnLibraryThread([&] { present = m_session->GetPresentBytes(); }));
        return present;
    }
    uint32_t m_handle = 100;
    std::unique_ptr<sftest::SteppedTimerClock> m_clock;  // dropped after the library
};

TEST_F(VerifiedDownload, AFileCountsOnlyWhenItsHashMatches) {
    const Bytes big = S().DocRootFile("files/random-1m.bin");
    ASSERT_EQ(1048576u, big.size());
    Bytes other = big;
    other[4096] ^= 0x01;
    // The digits only: a key in another spelling is refused.
    std::string upper = Fragment(big);
    const size_t digits = upper.find('=') + 1;
    for (size_t i = digits; i < upper.size() && upper[i] != '&'; ++i)
        if (upper[i] >= 'a' && upper[i] <= 'f')
            upper[i] = (char)(upper[i] - 'a' + 'A');
    struct Case {
        const char* what;
        std::string fragment;
        int64_t hostSize;
        bool good;
    };
    const Case cases[] = {
        {"hash and size", Fragment(big), -1, true},
        {"hash only", Fragment(big, false), -1, true},
        {"hash only, the host's size", Fragment(big, false), (int64_t)big.size(), true},
        {"upper-case digits", upper, -1, true},
        {"the hash of other bytes", Fragment(other), -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NewJob();
        const std::string key = filedl::UniqueKey("hash-");
        const std::string url = S().HttpUrl("/files/random-1m.bin?m=" + key) + c.fragment;
        Add(url, Win("dl"), key + ".bin", c.hostSize);
        filedl::SessionRecorder events;
        Run(events, c.good ? (int64_t)big.size() : 0);
        const std::string final = Native("dl\\" + key + ".bin");
        EXPECT_FALSE(Exists(final + ".part")) << "a partial file is never left behind";
        if (c.good) {
            EXPECT_EQ(Kinds({"opened", "file", "all"}), events.Kinds());
            EXPECT_TRUE(filedl::ReadFile(final, nullptr) == big);
            EXPECT_EQ((int64_t)big.size(), Total());
            EXPECT_EQ(0u, m_log->CountOf("[SwarmFetchLib] Hash Mismatch : " + url));
        } else {
            // Each mismatch is a failed attempt; three, and the mirror is
            // given up. Nothing carries the final name.
            EXPECT_EQ(Kinds({"opened", "opened", "opened", "failed"}), events.Kinds());
            EXPECT_EQ(3u, m_log->CountOf("[SwarmFetchLib] Hash Mismatch : " + url));
            EXPECT_FALSE(Exists(final));
        }
    }
}

TEST_F(VerifiedDownload, AMirrorServingOtherBytesOfTheSameLengthIsLeftForTheNext) {
    const size_t size = 200000;
    const Bytes good = Pattern(size);
    const std::string key = filedl::UniqueKey("other-");
    // The first mirror inverts one byte: same length, other content.
    const std::string bad = CutUrl(key + "a", 0, size, "?flip=150000");
    const std::string second = CutUrl(key + "b", 0, size);
    Add(bad + Fragment(good) + "|" + second, Win("dl"), "mirrored.bin");
    filedl::SessionRecorder events;
    Run(events, (int64_t)size);
    EXPECT_EQ(Kinds({"opened", "opened", "opened", "opened", "file", "all"}), events.Kinds());
    EXPECT_EQ("3\n", filedl::FaultGet("/count/" + key + "a"));
    EXPECT_EQ("1\n", filedl::FaultGet("/count/" + key + "b"));
    // Wrong bytes are never continued: every attempt asked from byte 0.
    EXPECT_EQ(std::vector<std::string>(3, "bytes=0-"), RangesOf(key + "a"));
    EXPECT_EQ(3u, m_log->CountOf("[SwarmFetchLib] Hash Mismatch : " + bad + Fragment(good)));
    EXPECT_TRUE(filedl::ReadFile(Native("dl\\mirrored.bin"), nullptr) == good);
    EXPECT_FALSE(Exists(Native("dl\\mirrored.bin.part")));
    EXPECT_EQ((int64_t)size, Total());
}

TEST_F(VerifiedDownload, ACutOrPartialFileIsContinuedWithARange) {
    const size_t size = 300000;
    const Bytes whole = Pattern(size);
    struct Case {
        const char* what;
        size_t onDisk;  // bytes of a partial file left by an earlier run
        int cuts;       // answers the server cuts in half
        std::vector<std::string> ranges;
        int64_t present;  // bytes counted as already there
    };
    const Case cases[] = {
        {"a retry after a cut", 0, 1, {"bytes=0-", "bytes=150000-"}, 0},
        {"two cuts", 0, 2, {"bytes=0-", "bytes=150000-", "bytes=225000-"}, 0},
        {"a new run", 100000, 0, {"bytes=100000-"}, 100000},
        {"a new run, then a cut", 100000, 1, {"bytes=100000-", "bytes=200000-"}, 100000},
        {"a partial file that is whole", size, 0, {}, (int64_t)size},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NewJob();
        const std::string key = filedl::UniqueKey("resume-");
        const std::string name = key + ".bin";
        if (c.onDisk > 0)
            WriteBytes(Native("dl\\" + name + ".part"),
                       Bytes(whole.begin(), whole.begin() + (ptrdiff_t)c.onDisk));
        Add(CutUrl(key, c.cuts, size) + Fragment(whole), Win("dl"), name);
        filedl::SessionRecorder events;
        // The recorder fails a progress report whose total went back.
        Run(events, (int64_t)size);
        EXPECT_EQ("all", events.Kinds().back());
        EXPECT_EQ(c.ranges, RangesOf(key));
        EXPECT_TRUE(filedl::ReadFile(Native("dl\\" + name), nullptr) == whole);
        EXPECT_FALSE(Exists(Native("dl\\" + name + ".part")));
        EXPECT_EQ((int64_t)size, Total());
        EXPECT_EQ(c.present, Present());
    }
}

TEST_F(VerifiedDownload, AServerThatIgnoresTheRangeHasTheFileWrittenFromZero) {
    // The server answers the whole file with 200: the partial file's bytes
    // are dropped and no longer count as there.
    const size_t size = 300000;
    const Bytes whole = Pattern(size);
    const std::string key = filedl::UniqueKey("norange-");
    WriteBytes(Native("dl\\norange.bin.part"), Bytes(whole.begin(), whole.begin() + 100000));
    Add(S().FaultUrl("/sized/" + key + "/" + std::to_string(size) + "?hold_ms=0") + Fragment(whole),
        Win("dl"), "norange.bin");
    filedl::SessionRecorder events;
    Run(events, (int64_t)size);
    EXPECT_EQ(Kinds({"opened", "opened", "file", "all"}), events.Kinds());
    EXPECT_EQ(1, filedl::RequestsWith(key));
    EXPECT_TRUE(filedl::ReadFile(Native("dl\\norange.bin"), nullptr) == whole);
    EXPECT_EQ((int64_t)size, Total());
    EXPECT_EQ(0, Present());
}

TEST_F(VerifiedDownload, APartialFileWithADamagedPrefixStartsOnceMoreFromZero) {
    const size_t size = 200000;
    const Bytes whole = Pattern(size);
    Bytes damaged(whole.begin(), whole.begin() + 120000);
    damaged[5000] ^= 0xFF;
    struct Case {
        const char* what;
        std::string firstQuery;  // of the first mirror
        std::vector<std::string> firstRanges;
        int secondRequests;
    };
    const Case cases[] = {
        // The continued file does not match: once more from 0, and it does.
        {"a good mirror", "", {"bytes=120000-", "bytes=0-"}, 0},
        // The mirror's own bytes are wrong too: from 0 its three tries are
        // spent, then the next mirror serves the file.
        {"a wrong mirror", "?flip=7", {"bytes=120000-", "bytes=0-", "bytes=0-", "bytes=0-"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NewJob();
        const std::string key = filedl::UniqueKey("damaged-");
        const std::string name = key + ".bin";
        WriteBytes(Native("dl\\" + name + ".part"), damaged);
        Add(CutUrl(key + "a", 0, size, c.firstQuery) + Fragment(whole) + "|" +
                CutUrl(key + "b", 0, size),
            Win("dl"), name);
        filedl::SessionRecorder events;
        Run(events, (int64_t)size);
        EXPECT_EQ("all", events.Kinds().back());
        EXPECT_EQ(c.firstRanges, RangesOf(key + "a"));
        EXPECT_EQ(std::to_string(c.secondRequests) + "\n", filedl::FaultGet("/count/" + key + "b"));
        EXPECT_TRUE(filedl::ReadFile(Native("dl\\" + name), nullptr) == whole);
        EXPECT_FALSE(Exists(Native("dl\\" + name + ".part")));
        EXPECT_EQ((int64_t)size, Total());
        // The damaged bytes were counted as there, then taken back.
        EXPECT_EQ(0, Present());
    }
}

// Hostile partial files and ranged answers: a partial file longer than the
// file, one that is whole with no size named, a resume answered with a
// Content-Range that starts elsewhere, names another total, or is right
// over other bytes. No byte of a refused answer is kept, the whole file is
// asked for next (the liar sends it right then), wrong bytes are never
// continued, and the file ends whole under its name.
TEST_F(VerifiedDownload, HostilePartialFilesAndRangedAnswersLeaveTheFileWhole) {
    const size_t size = 300000;
    const Bytes whole = Pattern(size);
    Bytes longer = whole;
    longer.resize(size + 500, 0x5A);
    const Bytes head(whole.begin(), whole.begin() + 100000);
    struct Case {
        const char* what;
        Bytes onDisk;      // the partial file left by an earlier run
        bool sizeNamed;    // "&size=" in the fragment
        std::string lier;  // a first mirror (an /answer/ kind), or none
        int lierRequests;
        std::vector<std::string> ranges;  // asked of the good mirror
        int64_t present;
    };
    const Case cases[] = {
        {"longer than the named size", longer, true, "", 0, {"bytes=0-"}, 0},
        {"longer, no size named", longer, false, "", 0, {"bytes=300500-", "bytes=0-"}, 0},
        {"whole, no size named", whole, false, "", 0, {"bytes=300000-"}, (int64_t)size},
        {"a range that starts elsewhere", head, true, "wrong-start", 2, {}, 0},
        {"a range of a smaller total", head, false, "small-total", 2, {}, 0},
        {"a range one byte longer", head, true, "longer-total", 2, {}, 0},
        // Taken, then the hash fails: once more from 0, then three tries.
        {"one byte longer, no size named", head, false, "longer-total", 4, {"bytes=0-"}, 0},
        // The right range over the file's first bytes: from 0 it is right.
        {"a right range over other bytes", head, true, "body-from-zero", 2, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NewJob();
        const std::string key = filedl::UniqueKey("hostile-");
        const std::string name = key + ".bin";
        WriteBytes(Native("dl\\" + name + ".part"), c.onDisk);
        std::string urls;
        if (!c.lier.empty())
            urls = S().FaultUrl("/answer/" + c.lier + "/" + std::to_string(size) + "?k=" + key) +
                   Fragment(whole, c.sizeNamed) + "|";
        Add(urls + CutUrl(key, 0, size) + Fragment(whole, c.sizeNamed), Win("dl"), name);
        filedl::SessionRecorder events;
        // Without a named size the lier's total is the file's for a while.
        Run(events, c.sizeNamed ? (int64_t)size : 0);
        EXPECT_EQ("all", events.Kinds().back());
        EXPECT_EQ(c.ranges, RangesOf(key));
        EXPECT_EQ(c.lierRequests, filedl::GetsWith("?k=" + key));
        EXPECT_TRUE(filedl::ReadFile(Native("dl\\" + name), nullptr) == whole);
        EXPECT_FALSE(Exists(Native("dl\\" + name + ".part")));
        EXPECT_EQ((int64_t)size, Total());
        EXPECT_EQ(c.present, Present());
    }
}

// A partial file that is a folder is never written into nor taken away:
// the file fails and the folder stays.
TEST_F(VerifiedDownload, APartialFileThatIsAFolderFailsTheFile) {
    const size_t size = 1000;
    const std::string key = filedl::UniqueKey("partdir-");
    ASSERT_TRUE(FsCreateFolders(Win("dl\\" + key + ".bin.part\\inner").c_str()));
    Add(CutUrl(key, 0, size) + Fragment(Pattern(size)), Win("dl"), key + ".bin");
    filedl::SessionRecorder events;
    Run(events, (int64_t)size);
    EXPECT_EQ("failed", events.Kinds().back());
    EXPECT_FALSE(Exists(Native("dl\\" + key + ".bin")));
    EXPECT_TRUE(FsIsFolder(Win("dl\\" + key + ".bin.part\\inner").c_str()));
}

TEST_F(VerifiedDownload, ACompleteFolderNeedsNoRequestAndADamagedFileIsFetchedAlone) {
    const std::string key = filedl::UniqueKey("repair-");
    const size_t sizes[] = {100000, 1, 250000};
    std::vector<std::string> names;
    int64_t sum = 0;
    auto addAll = [&] {
        for (size_t i = 0; i < 3; ++i) {
            const std::string k = key + std::to_string(i);
            Add(CutUrl(k, 0, sizes[i]) + Fragment(Pattern(sizes[i])), Win("dl"), k + ".bin");
        }
    };
    for (size_t i = 0; i < 3; ++i) {
        names.push_back(Native("dl\\" + key + std::to_string(i) + ".bin"));
        sum += (int64_t)sizes[i];
    }
    auto requests = [&](size_t i) { return filedl::FaultGet("/count/" + key + std::to_string(i)); };

    // The first run fetches everything.
    addAll();
    filedl::SessionRecorder first;
    Run(first, sum);
    ASSERT_EQ(Kinds({"opened", "file", "opened", "file", "opened", "file", "all"}), first.Kinds());

    // The second finds every file whole: no request, every file reported,
    // every byte counted, none as received now.
    NewJob();
    addAll();
    filedl::SessionRecorder second;
    Run(second, sum);
    EXPECT_EQ(Kinds({"file", "file", "file", "all"}), second.Kinds());
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ("1\n", requests(i)) << i;
        EXPECT_TRUE(m_log->Has("[SwarmFetchLib] Already Complete : " +
                               Win("dl\\" + key + std::to_string(i) + ".bin")));
    }
    EXPECT_EQ(sum, Total());
    EXPECT_EQ(sum, Present());

    // One byte changed, one file cut short: each of them is fetched again
    // from byte 0, the third is left alone.
    Bytes changed = Pattern(sizes[0]);
    changed[99999] ^= 0x10;
    WriteBytes(names[0], changed);
    WriteBytes(names[2], Pattern(1000));
    NewJob();
    addAll();
    filedl::SessionRecorder third;
    Run(third, sum);
    EXPECT_EQ(Kinds({"opened", "file", "file", "opened", "file", "all"}), third.Kinds());
    EXPECT_EQ("2\n", requests(0));
    EXPECT_EQ("1\n", requests(1));
    EXPECT_EQ("2\n", requests(2));
    EXPECT_EQ(std::vector<std::string>(2, "bytes=0-"), RangesOf(key + "0"));
    for (size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(filedl::ReadFile(names[i], nullptr) == Pattern(sizes[i])) << i;
    EXPECT_EQ(sum, Total());
    EXPECT_EQ(1, Present());
}

TEST_F(VerifiedDownload, WithoutAHashAFileIsRenamedWhenCompleteAndNeverContinued) {
    // Without a hash every attempt starts from byte 0; only the partial
    // file's name is new.
    const size_t size = 300000;
    const std::string key = filedl::UniqueKey("plain-");
    WriteBytes(Native("dl\\plain.bin.part"), Pattern(1000));
    WriteBytes(Native("dl\\plain.bin"), Pattern(size));
    Add(CutUrl(key, 1, size), Win("dl"), "plain.bin");
    filedl::SessionRecorder events;
    Run(events, (int64_t)size);
    EXPECT_EQ(Kinds({"opened", "opened", "file", "all"}), events.Kinds());
    EXPECT_EQ(std::vector<std::string>(2, "bytes=0-"), RangesOf(key));
    EXPECT_TRUE(filedl::ReadFile(Native("dl\\plain.bin"), nullptr) == Pattern(size));
    EXPECT_FALSE(Exists(Native("dl\\plain.bin.part")));
    EXPECT_EQ(0, Present());
}

// A file of 256 MiB already whole in the folder is hashed beside the
// library thread: the host keeps calling in meanwhile and its calls
// end while the hash runs, and the file is reported done without a
// request. A job stopped or removed, or the library finalised, while such
// a hash runs gives it up: no late event.
TEST_F(VerifiedDownload, HostCallsAnswerWhileALargeFileIsHashed) {
    // Sparse: it takes no room on disk and reads fast.
    const int64_t size = 256 * 1024 * 1024;
    const std::string zerosSha256 =
        "a6d72ac7690f53be6ae46ba88506bd97302a093f7108472bd9efc3cefda06484";
    {
        std::ofstream out(Native("dl\\zeros.bin"), std::ios::binary | std::ios::trunc);
        out.seekp(size - 1);
        out.put('\0');
    }
    const std::string url =
        "http://127.0.0.1:1/zeros.bin#sha256=" + zerosSha256 + "&size=" + std::to_string(size);
    apitest::Library& library = *m_lib;
    auto start = [&] {
        const uint32_t job = library.NewJob();
        EXPECT_EQ(SF_RESULT_OK,
                  SwarmFetch_AddFile(job, url.c_str(), Win("dl").c_str(), "zeros.bin", -1, 0));
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        return job;
    };
    int64_t slowestUs = 0;
    int calls = 0;
    const uint32_t job = start();
    // A call every 2 ms until the file is reported: the hash runs meanwhile.
    const bool hashed = sftest::Eventually(
        [&] {
            SwarmFetchProgress progress;
            const auto begin = std::chrono::steady_clock::now();
            EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetProgress(job, &progress));
            const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - begin)
                                   .count();
            slowestUs = std::max(slowestUs, us);
            ++calls;
            return library.Recorder().CountOf(SF_EVENT_FILE_DONE) > 0;
        },
        120000, 2);
    EXPECT_TRUE(hashed);
    sftest::Eventually([&] { return library.Recorder().CountOf(SF_EVENT_JOB_DONE) > 0; }, 5000);
    EXPECT_EQ(1u, library.Recorder().CountOf(SF_EVENT_FILE_DONE));
    EXPECT_EQ(1u, library.Recorder().CountOf(SF_EVENT_JOB_DONE));
    EXPECT_TRUE(m_log->Has("[SwarmFetchLib] Already Complete : " + Win("dl\\zeros.bin")));
    RecordProperty("calls_while_hashing", calls);
    RecordProperty("slowest_call_us", (int)slowestUs);
    // Calls that waited for the hash would end with it: ten and more ended
    // before it. How long the slowest took is recorded, not asserted: a
    // loaded machine stalls any call now and then.
    EXPECT_GE(calls, 10);

    // From here the timer clock stands still unless the test moves it: a
    // session looks for its hash's end only then, so each end below comes
    // while the job waits for its hash.
    m_clock.reset(new sftest::SteppedTimerClock(sftest::SteppedTimerClock::kFrozen));
    const ovSmartPtr& lock = apitest::TheManager().LockObject();
    CPlatFormDownloader* plain = nullptr;
    ASSERT_TRUE(OnLibraryThread([&] {
        plain = new CPlatFormDownloader(&apitest::TheManager(), lock);
        apitest::TheManager().SetDownloadersForTesting(plain, nullptr);
    }));
    enum End { kStop, kDelete, kFinalize };
    for (int end = kStop; end <= kFinalize; ++end) {
        SCOPED_TRACE(end);
        library.Recorder().Clear();
        const uint32_t later = start();
        // The size info comes as the session starts and queues the hash.
        ASSERT_TRUE(sftest::Eventually(
            [&] { return library.Recorder().CountOf(SF_EVENT_SIZE_INFO) > 0; }, 10000));
        EXPECT_TRUE(apitest::WithJob(later, [&](CJob& j) {
            const FilesInFlight* session = plain->SessionOf(&j);
            EXPECT_TRUE(session && !session->Ended());
        }));
        if (end == kStop)
            EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(later));
        else if (end == kDelete)
            EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(later));
        else
            EXPECT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
        if (end != kFinalize) {
            // The session went with the job, its hash and its timer too;
            // the polls that would have taken the hash find nothing.
            {
                ovCAutoLock hold(lock);
                EXPECT_EQ(0, plain->ContextCount());
            }
            EXPECT_TRUE(m_clock->StepPeriods(FileHashQueue::kPollMs, 2, lock));
        }
        // After a finalize no library thread is left to report anything.
        EXPECT_EQ(0u, library.Recorder().CountOf(SF_EVENT_FILE_DONE));
        EXPECT_EQ(0u, library.Recorder().CountOf(SF_EVENT_JOB_DONE));
    }
    // A library again for the fixture's own end.
    m_lib.reset();
    CDownloadLibThread::EnableTaskWindowForTesting(true);
    m_lib.reset(new apitest::Library(false, true));
    CDownloadLibThread::EnableTaskWindowForTesting(false);
}

}  // namespace
