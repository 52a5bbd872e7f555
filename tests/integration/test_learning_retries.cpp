// Retries that learn from what went wrong, against the fault server and
// nginx: a host that refuses ranges gets a request for the whole file, a
// redirect target that expires is not asked again, a link that keeps
// closing after real progress still finishes the file while one that sends
// a byte at a time does not keep it for ever, and a file without a hash is
// continued under the server's validator (If-Range), or started over when
// the validator changed or there is none.
#include <stdint.h>
#include <stdio.h>

#include <mutex>
#include <string>
#include <vector>

// First: it brings winsock2.h, which must come before windows.h.
#include "integration/FileDownloadTestEnv.h"

#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/download/plain/TryBudget.h"
#include "support/Sha256Hex.h"

namespace {

using filedl::OnLibraryThread;
using filedl::S;
using filedl::WriteBytes;
using Kinds = std::vector<std::string>;
using Bytes = std::vector<unsigned char>;

const char kMagic[] = "SwarmFetch If-Range 1\n";

Bytes Pattern(size_t size) {
    return sftest::FaultPattern(size);
}

std::string Fragment(const Bytes& bytes) {
    return "#sha256=" + sftest::Sha256Hex(bytes) + "&size=" + std::to_string(bytes.size());
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

bool Exists(const std::string& native) {
    bool exists = false;
    filedl::ReadFile(native, &exists);
    return exists;
}

// What the fault server noted for a /cut/ key: "range" or "if-range" values.
std::vector<std::string> CutNotes(const std::string& key, const std::string& what) {
    std::vector<std::string> out;
    const std::string marker = "cut " + key + " " + what + " ";
    for (const std::string& line : S().FaultRequestLines())
        if (line.compare(0, marker.size(), marker) == 0)
            out.push_back(line.substr(marker.size()));
    return out;
}

class LearningRetries : public filedl::FileDownloadTest {
  protected:
    void SetUp() override {
        filedl::FileDownloadTest::SetUp();
        ASSERT_TRUE(FsCreateFolders(Win("dl").c_str()));
    }
    // A new job and session over the same folder, as a new run makes them.
    void NewJob() {
        DropAll();
        m_job.reset(new CJob(++m_handle, 0, HostTarget()));
        m_job->SetName("brightwave7");
    }
    void Run(filedl::SessionRecorder& events, int64_t jobSize) {
        StartSession(1, jobSize, &events);
        ASSERT_TRUE(events.WaitEnd(120000));
        for (const std::string& v : events.Violations())
            ADD_FAILURE() << v;
    }
    // Log lines that hold `text` anywhere.
    size_t LogMentions(const std::string& text) {
        size_t n = 0;
        for (const std::string& line : m_log->Lines())
            n += line.find(text) != std::string::npos;
        return n;
    }
    int64_t Present() {
        int64_t present = -1;
        EXPECT_TRUE(OnLibraryThread([&] { present = m_session->GetPresentBytes(); }));
        return present;
    }
    // A new run of one file, "<key>.bin": `size` pattern bytes the fault
    // server sends under ETag "v1", begun with `part` as its partial file
    // (none when null) and `kept` as the validator kept beside it. Returns
    // the key.
    std::string RunBesideKept(const char* prefix, size_t size, const std::string* part,
                              const std::string& kept, filedl::SessionRecorder& events) {
        NewJob();
        const std::string key = filedl::UniqueKey(prefix);
        const std::string name = key + ".bin";
        if (part)
            WriteBytes(Native("dl\\" + name + ".part"), *part);
        WriteBytes(Native("dl\\" + name + ".part.part"), kept);
        Add(S().FaultUrl("/cut/" + key + "/0/" + std::to_string(size) + "?etag=%22v1%22"),
            Win("dl"), name);
        Run(events, (int64_t)size);
        return key;
    }
    // That run fetched its file whole from the first byte, sending no
    // validator.
    void ExpectStartedOver(const std::string& key, size_t size, filedl::SessionRecorder& events) {
        EXPECT_EQ("all", events.Kinds().back());
        EXPECT_EQ(Kinds({"bytes=0-"}), CutNotes(key, "range"));
        EXPECT_EQ(Kinds(), CutNotes(key, "if-range"));
        EXPECT_TRUE(filedl::ReadFile(Native("dl\\" + key + ".bin"), nullptr) == Pattern(size));
        EXPECT_EQ(0, Present());
    }
    uint32_t m_handle = 300;
};

// --- a host that refuses ranges --------------------------------------------------

TEST_F(LearningRetries, AHostThatRefusesRangesGetsTheWholeFileAskedForEveryRun) {
    // A partial file from an earlier run; the host answers its range wrongly
    // but the whole file right. Each run finishes; none is left failing the
    // same way.
    const size_t size = 300000;
    const Bytes whole = Pattern(size);
    const char* kinds[] = {"wrong-start", "range-end", "small-total"};
    for (const char* kind : kinds) {
        SCOPED_TRACE(kind);
        const std::string key = filedl::UniqueKey("refuse-");
        const std::string url =
            S().FaultUrl("/answer/" + std::string(kind) + "/" + std::to_string(size) + "?m=" + key);
        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(run);
            NewJob();
            FsDeleteFile(Win("dl\\" + key + ".bin").c_str());
            WriteBytes(Native("dl\\" + key + ".bin.part"),
                       Text(Bytes(whole.begin(), whole.begin() + 100000)));
            Add(url + Fragment(whole), Win("dl"), key + ".bin");
            filedl::SessionRecorder events;
            Run(events, (int64_t)size);
            // The whole file's answer opens it again, from byte 0.
            EXPECT_EQ(Kinds({"opened", "opened", "opened", "file", "all"}), events.Kinds());
            EXPECT_TRUE(filedl::ReadFile(Native("dl\\" + key + ".bin"), nullptr) == whole);
            EXPECT_FALSE(Exists(Native("dl\\" + key + ".bin.part")));
        }
        // Each run: the range once, then the whole file without one.
        EXPECT_EQ(4, filedl::GetsWith(key));
        size_t refused = 0;
        for (const std::string& line : m_log->Lines())
            refused += line.find("[SwarmFetchLib] Answer Refused (") == 0 &&
                       line.find(url) != std::string::npos;
        EXPECT_EQ(2u, refused);
        EXPECT_EQ(0u, LogMentions("TryMax Over"));
    }
}

// --- redirects ---------------------------------------------------------------------

TEST_F(LearningRetries, EveryAttemptStartsFromTheMirrorsOwnUrl) {
    // The mirror signs a target that serves once; the first target is cut
    // halfway and has expired by the next attempt, which asks the mirror
    // again and gets a new one.
    const size_t size = 300000;
    const std::string key = filedl::UniqueKey("sign-");
    const std::string mirror = S().FaultUrl("/sign/" + key + "/" + std::to_string(size));
    Add(mirror, Win("dl"), "signed.bin");
    filedl::SessionRecorder events;
    Run(events, (int64_t)size);
    EXPECT_EQ(Kinds({"opened", "opened", "opened", "opened", "file", "all"}), events.Kinds());
    EXPECT_EQ(2, filedl::GetsWith("/sign/" + key + "/"));
    EXPECT_EQ(1, filedl::GetsWith("/signed/" + key + "/1/"));
    EXPECT_EQ(1, filedl::GetsWith("/signed/" + key + "/2/"));
    EXPECT_TRUE(filedl::ReadFile(Native("dl\\signed.bin"), nullptr) == Pattern(size));

    // A mirror whose every target has expired: three attempts, each from
    // the mirror, and the failure names the mirror.
    NewJob();
    const std::string key2 = filedl::UniqueKey("expired-");
    const std::string dead =
        S().FaultUrl("/redirect-to?status=302&loc=%2Fstatus%2F403%3Fm%3D" + key2);
    Add(dead, Win("dl"), "dead.bin");
    filedl::SessionRecorder second;
    Run(second, 0);
    EXPECT_EQ("failed", second.Kinds().back());
    EXPECT_EQ(dead, second.Reports().back().text);
    EXPECT_EQ(3, filedl::GetsWith("/redirect-to?status=302&loc=%2Fstatus%2F403%3Fm%3D" + key2));
    EXPECT_EQ(3, filedl::GetsWith("/status/403?m=" + key2));
    EXPECT_EQ(1u, m_log->CountOf("[SwarmFetchLib] TryMax Over : " + dead));
}

// --- progress and the bound on attempts ------------------------------------------

TEST_F(LearningRetries, ALinkThatClosesAfterRealProgressEachTimeStillFinishesTheFile) {
    // Every answer is cut after half of what was missing: six closes in a
    // row, each keeping a real amount, then the rest.
    const size_t size = 400000;
    const Bytes whole = Pattern(size);
    struct Case {
        const char* what;
        std::string query;
        std::string fragment;
        bool ifRange;
    };
    const Case cases[] = {
        {"with a hash", "", Fragment(whole), false},
        {"without a hash, an ETag", "?etag=%22v1%22", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NewJob();
        const std::string key = filedl::UniqueKey("slow-");
        Add(S().FaultUrl("/cut/" + key + "/6/" + std::to_string(size) + c.query) + c.fragment,
            Win("dl"), key + ".bin");
        filedl::SessionRecorder events;
        Run(events, (int64_t)size);
        EXPECT_EQ("all", events.Kinds().back());
        EXPECT_EQ("7\n", filedl::FaultGet("/count/" + key));
        const Kinds ranges = {"bytes=0-",      "bytes=200000-", "bytes=300000-", "bytes=350000-",
                              "bytes=375000-", "bytes=387500-", "bytes=393750-"};
        EXPECT_EQ(ranges, CutNotes(key, "range"));
        EXPECT_EQ(c.ifRange ? Kinds(6, "\"v1\"") : Kinds(), CutNotes(key, "if-range"));
        EXPECT_TRUE(filedl::ReadFile(Native("dl\\" + key + ".bin"), nullptr) == whole);
        EXPECT_FALSE(Exists(Native("dl\\" + key + ".bin.part")));
        EXPECT_FALSE(Exists(Native("dl\\" + key + ".bin.part.part")));
        EXPECT_EQ(0u, LogMentions("TryMax Over"));
    }
}

TEST_F(LearningRetries, AHostThatSendsOneByteAndClosesUsesUpItsTries) {
    const size_t size = 100000;
    const Bytes whole = Pattern(size);
    const std::string key = filedl::UniqueKey("byte-");
    const std::string url = S().FaultUrl("/byte/" + key + "/" + std::to_string(size));
    Add(url + Fragment(whole), Win("dl"), "byte.bin");
    filedl::SessionRecorder events;
    Run(events, (int64_t)size);
    EXPECT_EQ(Kinds({"opened", "opened", "opened", "failed"}), events.Kinds());
    EXPECT_EQ(CPlatformSession::kTriesPerUrl, filedl::GetsWith("/byte/" + key + "/"));
    EXPECT_EQ(1u, m_log->CountOf("[SwarmFetchLib] TryMax Over : " + url + Fragment(whole)));
    EXPECT_FALSE(Exists(Native("dl\\byte.bin")));
}

TEST_F(LearningRetries, AFileThatGrowsWithEveryAnswerEndsAtTheBoundOnAttempts) {
    // Each answer keeps half of a total that is larger every time: always a
    // real amount, never the end of the file.
    const std::string key = filedl::UniqueKey("grow-");
    const std::string url = S().FaultUrl("/grow/" + key + "/4096");
    Add(url, Win("dl"), "grow.bin");
    filedl::SessionRecorder events;
    Run(events, 0);
    EXPECT_EQ("failed", events.Kinds().back());
    EXPECT_EQ(url, events.Reports().back().text);
    EXPECT_EQ(TryBudget::kMaxAttempts, filedl::GetsWith("/grow/" + key + "/"));
    EXPECT_EQ(1u, m_log->CountOf("[SwarmFetchLib] Attempt Max Over (" +
                                 std::to_string(TryBudget::kMaxAttempts) + ") : " + url));
    EXPECT_FALSE(Exists(Native("dl\\grow.bin")));
}

// --- files without a hash -----------------------------------------------------------

TEST_F(LearningRetries, AFileWithoutAHashIsContinuedUnderItsValidatorOnly) {
    // A first run is cut halfway, then the host fails: its partial file
    // stays with what the host named it by. The next run asks the rest with
    // If-Range; a host whose file changed sends it whole, written from 0.
    const size_t size = 300000;
    const Bytes whole = Pattern(size);
    const std::string date = "Tue,%2001%20Dec%202026%2010:00:00%20GMT";
    struct Case {
        const char* what;
        std::string first;   // the first run's validator query
        std::string second;  // the second run's
        size_t kept;         // bytes the first run left
        Kinds ranges;        // the second run asked for
        Kinds ifRange;       // and sent
        int64_t present;
    };
    const Case cases[] = {
        {"the same ETag",
         "etag=%22v1%22",
         "etag=%22v1%22",
         150000,
         {"bytes=150000-"},
         {"\"v1\""},
         150000},
        {"a changed ETag",
         "etag=%22v1%22",
         "etag=%22v2%22",
         150000,
         {"bytes=150000-"},
         {"\"v1\""},
         0},
        {"the same date",
         "lm=" + date,
         "lm=" + date,
         150000,
         {"bytes=150000-"},
         {"Tue, 01 Dec 2026 10:00:00 GMT"},
         150000},
        // Without a validator each attempt empties the file first.
        {"no validator", "x=1", "etag=%22v1%22", 0, {"bytes=0-"}, {}, 0},
        {"a weak ETag", "etag=W/%22v1%22", "etag=W/%22v1%22", 0, {"bytes=0-"}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string key = filedl::UniqueKey("plain-");
        const std::string name = key + ".bin";
        NewJob();
        Add(S().FaultUrl("/cut/" + key + "a/1/" + std::to_string(size) + "?after=503&" + c.first),
            Win("dl"), name);
        filedl::SessionRecorder first;
        Run(first, (int64_t)size);
        EXPECT_EQ("failed", first.Kinds().back());
        bool exists = false;
        EXPECT_EQ(c.kept, filedl::ReadFile(Native("dl\\" + name + ".part"), &exists).size());

        NewJob();
        Add(S().FaultUrl("/cut/" + key + "b/0/" + std::to_string(size) + "?" + c.second), Win("dl"),
            name);
        filedl::SessionRecorder second;
        Run(second, (int64_t)size);
        EXPECT_EQ("all", second.Kinds().back());
        EXPECT_EQ(c.ranges, CutNotes(key + "b", "range"));
        EXPECT_EQ(c.ifRange, CutNotes(key + "b", "if-range"));
        // Never appended to: the file is the host's, byte for byte.
        EXPECT_TRUE(filedl::ReadFile(Native("dl\\" + name), nullptr) == whole);
        EXPECT_FALSE(Exists(Native("dl\\" + name + ".part")));
        EXPECT_FALSE(Exists(Native("dl\\" + name + ".part.part")));
        EXPECT_EQ(c.present, Present());
    }
}

// Every file write of the process, in order: the file's path and offset.
struct WriteRecord {
    std::string path;
    int64_t offset;
};
std::mutex g_writesMutex;
std::vector<WriteRecord> g_writes;

size_t RecordWrite(const char* path, int64_t offset, size_t size) {
    std::lock_guard<std::mutex> guard(g_writesMutex);
    g_writes.push_back({path ? path : "", offset});
    return size;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST_F(LearningRetries, TheValidatorIsKeptBeforeTheFirstByteThatLeavesTheFileShort) {
    // A body that completes the file in one write never needs its
    // validator beside it; one that is cut short must find it there before
    // its first byte, or a run killed meanwhile could not continue it.
    struct Case {
        const char* what;
        int cuts;     // first requests that send half the body and close
        size_t size;  // sent with its head in one piece
        bool kept;    // the validator was written
    };
    const Case cases[] = {
        {"a small file in one piece", 0, 2000, false},
        {"a file cut halfway", 1, 300000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string key = filedl::UniqueKey("order-");
        const std::string name = key + ".bin";
        NewJob();
        Add(S().FaultUrl("/cut/" + key + "/" + std::to_string(c.cuts) + "/" +
                         std::to_string(c.size) + "?etag=%22v1%22"),
            Win("dl"), name);
        {
            std::lock_guard<std::mutex> guard(g_writesMutex);
            g_writes.clear();
        }
        PfFileSetWriteHookForTesting(&RecordWrite);
        filedl::SessionRecorder events;
        Run(events, (int64_t)c.size);
        PfFileSetWriteHookForTesting(nullptr);
        EXPECT_EQ("all", events.Kinds().back());
        EXPECT_TRUE(filedl::ReadFile(Native("dl\\" + name), nullptr) == Pattern(c.size));
        EXPECT_FALSE(Exists(Native("dl\\" + name + ".part.part")));
        EXPECT_EQ(c.cuts > 0 ? Kinds({"\"v1\""}) : Kinds(), CutNotes(key, "if-range"));
        std::lock_guard<std::mutex> guard(g_writesMutex);
        size_t firstBody = g_writes.size();
        size_t firstValidator = g_writes.size();
        for (size_t i = g_writes.size(); i-- > 0;) {
            if (EndsWith(g_writes[i].path, name + ".part"))
                firstBody = i;
            if (EndsWith(g_writes[i].path, name + ".part.part"))
                firstValidator = i;
        }
        ASSERT_LT(firstBody, g_writes.size());
        EXPECT_EQ(0, g_writes[firstBody].offset);
        if (c.kept)
            EXPECT_LT(firstValidator, firstBody);
        else
            EXPECT_EQ(g_writes.size(), firstValidator);
    }
}

TEST_F(LearningRetries, AHostWhoseETagChangesEveryRequestUsesUpItsTries) {
    // Each answer is another version, cut halfway: the first keeps a real
    // amount, every later one starts the file again at 0 and keeps nothing
    // new. The file fails after the mirror's tries, never appended to.
    const size_t size = 200000;
    const Bytes whole = Pattern(size);
    const std::string key = filedl::UniqueKey("alternate-");
    const std::string url =
        S().FaultUrl("/cut/" + key + "/100/" + std::to_string(size) + "?alternate=1");
    Add(url, Win("dl"), "alternate.bin");
    filedl::SessionRecorder events;
    Run(events, (int64_t)size);
    EXPECT_EQ("failed", events.Kinds().back());
    EXPECT_EQ(1 + CPlatformSession::kTriesPerUrl, filedl::GetsWith("/cut/" + key + "/"));
    EXPECT_EQ(Kinds({"bytes=0-", "bytes=100000-", "bytes=100000-", "bytes=100000-"}),
              CutNotes(key, "range"));
    EXPECT_EQ(Kinds({"\"v1\"", "\"v0\"", "\"v1\""}), CutNotes(key, "if-range"));
    EXPECT_EQ(1u, m_log->CountOf("[SwarmFetchLib] TryMax Over : " + url));
    // What is left is the last version's first half, under its validator.
    EXPECT_TRUE(filedl::ReadFile(Native("dl\\alternate.bin.part"), nullptr) ==
                Bytes(whole.begin(), whole.begin() + size / 2));
    EXPECT_TRUE(filedl::ReadFile(Native("dl\\alternate.bin.part.part"), nullptr) == [] {
        const std::string kept = std::string(kMagic) + "\"v0\"\n";
        return Bytes(kept.begin(), kept.end());
    }());
    EXPECT_FALSE(Exists(Native("dl\\alternate.bin")));
}

TEST_F(LearningRetries, AKeptValidatorThatIsNotSaneStartsTheFileOver) {
    const size_t size = 300000;
    const Bytes whole = Pattern(size);
    const std::string sane = std::string(kMagic) + "\"v1\"\n";
    struct Case {
        const char* what;
        std::string kept;
    };
    const Case cases[] = {
        {"a header smuggled", std::string(kMagic) + "\"v1\"\r\nX-Evil: 1\n"},
        {"another magic", "SwarmFetch If-Range 9\n\"v1\"\n"},
        {"too large", std::string(kMagic) + std::string(4096, 'a') + "\n"},
        {"empty", ""},
    };
    const std::string part = Text(Bytes(whole.begin(), whole.begin() + 1000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        filedl::SessionRecorder events;
        ExpectStartedOver(RunBesideKept("kept-", size, &part, c.kept, events), size, events);
    }
    // The sane one, for contrast, is continued.
    filedl::SessionRecorder events;
    const std::string key = RunBesideKept("kept-", size, &part, sane, events);
    EXPECT_EQ(Kinds({"bytes=1000-"}), CutNotes(key, "range"));
    EXPECT_EQ(Kinds({"\"v1\""}), CutNotes(key, "if-range"));
    EXPECT_TRUE(filedl::ReadFile(Native("dl\\" + key + ".bin"), nullptr) == whole);
    EXPECT_EQ(1000, Present());
}

TEST_F(LearningRetries, AValidatorBesideNoBytesIsNeitherSentNorKept) {
    // A run that died before its first byte, or a partial file removed by
    // hand: the validator left beside it speaks for nothing.
    const size_t size = 5000;
    struct Case {
        const char* what;
        bool part;  // an empty partial file is there
    };
    const Case cases[] = {{"no partial file", false}, {"an empty partial file", true}};
    const std::string empty;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        filedl::SessionRecorder events;
        const std::string key = RunBesideKept("stale-", size, c.part ? &empty : nullptr,
                                              std::string(kMagic) + "\"v1\"\n", events);
        ExpectStartedOver(key, size, events);
        EXPECT_FALSE(Exists(Native("dl\\" + key + ".bin.part.part")));
    }
}

TEST_F(LearningRetries, NginxContinuesAFileWithoutAHashUnderItsETag) {
    // A first run at the slow budget, stopped once bytes arrived; the next
    // run continues it with nginx's own validator.
    bool ok = false;
    const Bytes big = S().DocRootFile("files/random-1m.bin", &ok);
    ASSERT_TRUE(ok);
    Add(S().HttpUrl("/files/random-1m.bin"), Win("dl"), "nginx.bin");
    StartSession(0, (int64_t)big.size());
    ASSERT_TRUE(sftest::Eventually([&] { return m_sessionEvents.Count("progress") > 0; }, 30000));
    ASSERT_TRUE(OnLibraryThread([&] { m_session->Stop(); }));
    bool exists = false;
    const size_t kept = filedl::ReadFile(Native("dl\\nginx.bin.part"), &exists).size();
    ASSERT_TRUE(exists);
    ASSERT_GT(kept, 0u);
    ASSERT_LT(kept, big.size()) << "the first run was to stop halfway";
    EXPECT_TRUE(Exists(Native("dl\\nginx.bin.part.part")));

    NewJob();
    Add(S().HttpUrl("/files/random-1m.bin"), Win("dl"), "nginx.bin");
    filedl::SessionRecorder events;
    Run(events, (int64_t)big.size());
    EXPECT_EQ(Kinds({"opened", "file", "all"}), events.Kinds());
    EXPECT_TRUE(filedl::ReadFile(Native("dl\\nginx.bin"), nullptr) == big);
    EXPECT_EQ((int64_t)kept, Present());
    EXPECT_TRUE(m_log->Has("[SwarmFetchLib] Resume From " + std::to_string(kept) +
                           " (If-Range) : " + Win("dl\\nginx.bin.part")));
    EXPECT_FALSE(Exists(Native("dl\\nginx.bin.part.part")));
}

}  // namespace
