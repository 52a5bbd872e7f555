// The plain downloader end to end through the flat interface: real files
// from nginx and the fault server, the events and records the host reads,
// the statistics report as the stand-in agent receives it, the connectivity
// notices, stopping, and the failures a host must be told about.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "integration/ApiTestEnv.h"
#include "integration/NetDownloadTestEnv.h"
#include <openssl/evp.h>
#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/opeerqos/cpCNameLookup.h"
#include "opn/opeerqos/nwFrame.h"
#include "opn/platform/pfClock.h"
#include "opn/platform/pfConnectivity.h"
#include "opn/platform/pfFile.h"
#include "sdk/download/plain/CPlatFormDownloader.h"
#include "sdk/download/plain/CPlatformReporter.h"
#include "sdk/download/plain/CPlatformSession.h"
#include "sdk/download/Connectivity.h"
#include "sdk/download/plain/FileReportEntry.h"
#include "sdk/download/plain/FilesInFlight.h"
#include "support/Eventually.h"
#include "support/SteppedTimerClock.h"
#include "support/TestPeers.h"
#include "support/TestServers.h"

using namespace apitest;

namespace {

const sftest::TestServers& S() {
    return sftest::Servers();
}

const uint32_t kJobTimeoutMs = 60000;

// A job name no other test program of the run uses: the statistics agent is
// shared, and its log is searched by the name (every record's tag).
std::string UniqueName(const TempFolder& folder, const char* what) {
    static int counter = 0;
    const size_t hash = std::hash<std::string>()(folder.Win()) % 1000000007u;
#ifdef _WIN32
    const char* platform = "w";
#else
    const char* platform = "n";
#endif
    return std::string(what) + "-" + platform + std::to_string(hash) + "-" +
           std::to_string(++counter);
}

// Watches the job's progress record between polls and keeps what breaks
// the rules a host relies on.
class ProgressWatch {
  public:
    explicit ProgressWatch(uint32_t job) : m_job(job) {}
    void Poll() {
        SwarmFetchProgress p;
        memset(&p, 0, sizeof p);
        if (SwarmFetch_GetProgress(m_job, &p) != SF_RESULT_OK)
            return;
        ++m_polls;
        if (p.total > 0 && p.received > p.total)
            Problem("received above total", p);
        if (p.percent < 0 || p.percent > 100)
            Problem("percent out of range", p);
        if (p.currentPercent < 0 || p.currentPercent > 100)
            Problem("file percent out of range", p);
        if (p.currentSize > 0 && p.currentReceived > p.currentSize)
            Problem("file received above its size", p);
        if (p.filesDone < m_last.filesDone || p.elapsed < m_last.elapsed)
            Problem("files done or elapsed went back", p);
        if (p.received < m_last.received)
            ++m_drops;
        if (p.received > 0)
            m_sawBytes = true;
        m_last = p;
    }
    const std::vector<std::string>& Problems() const { return m_problems; }
    // Times the received count went down (a retry re-creates its file).
    int Drops() const { return m_drops; }
    bool SawBytes() const { return m_sawBytes; }
    const SwarmFetchProgress& Last() const { return m_last; }

  private:
    void Problem(const char* what, const SwarmFetchProgress& p) {
        m_problems.push_back(std::string(what) + ": total " + std::to_string(p.total) +
                             " received " + std::to_string(p.received) + " percent " +
                             std::to_string(p.percent));
    }
    uint32_t m_job;
    SwarmFetchProgress m_last{};
    std::vector<std::string> m_problems;
    int m_polls = 0;
    int m_drops = 0;
    bool m_sawBytes = false;
};

struct Message {
    int32_t code;
    std::string text;
};

std::vector<Message> PopAll(uint32_t job) {
    std::vector<Message> all;
    for (int i = 0; i < 100; ++i) {
        int32_t length = 0;
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetMessageLength(job, &length));
        std::vector<char> text((size_t)length + 1, '\0');
        SwarmFetchMessage m = {0, length > 0 ? text.data() : nullptr};
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_PopMessage(job, &m));
        if (m.code == SF_MSG_NONE)
            break;
        all.push_back(Message{m.code, std::string(text.data())});
    }
    return all;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        const uint8_t b = (uint8_t)c;
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

struct ReportRecord {
    std::string urlList;
    int64_t received;
};

// The frame the agent must receive for one job's report.
std::string ExpectedFrame(const std::string& tag, const std::vector<ReportRecord>& rows) {
    std::vector<uint8_t> payload(4 + rows.size() * sizeof(FileReportEntry), 0);
    const uint32_t count = (uint32_t)rows.size();
    for (int i = 0; i < 4; ++i)
        payload[(size_t)i] = (uint8_t)(count >> (8 * i));
    for (size_t r = 0; r < rows.size(); ++r) {
        FileReportEntry entry;
        memset(&entry, 0, sizeof entry);
        memcpy(entry.tag, tag.data(), tag.size() < 32 ? tag.size() : 32);
        const size_t urlLength = rows[r].urlList.size() < 255 ? rows[r].urlList.size() : 255;
        memcpy(entry.urlList, rows[r].urlList.data(), urlLength);
        entry.SetReceived(rows[r].received);
        entry.flag = 1;
        memcpy(&payload[4 + r * sizeof entry], &entry, sizeof entry);
    }
    const int32_t padded = nwFramePaddedPayload((int32_t)payload.size());
    uint8_t header[kFrameHeaderSize];
    nwWriteFrameHeader(header, kFrameCategoryAgent, kAgentMessageReport, (uint32_t)padded);
    std::string frame(reinterpret_cast<const char*>(header), sizeof header);
    frame.append(reinterpret_cast<const char*>(payload.data()), payload.size());
    frame.append((size_t)padded - payload.size(), '\0');
    return frame;
}

// The agent's log line of the report whose tags are `tag` (bounded wait).
std::string AgentLine(const std::string& tag, uint32_t timeoutMs = 15000) {
    const std::string wanted = " tags=" + tag;
    std::string found;
    sftest::Eventually(
        [&] {
            for (const std::string& line : S().AgentReportLines())
                if (line.find(wanted) != std::string::npos) {
                    found = line;
                    return true;
                }
            return false;
        },
        timeoutMs, 50);
    return found;
}

std::string Field(const std::string& line, const std::string& key) {
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return std::string();
    const size_t start = at + key.size() + 2;
    const size_t end = line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

class PlainDownload : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(S().Ok()) << S().Error();
        ASSERT_TRUE(m_folder.Ok());
        // Set while no library runs; every reporter of this program sends to
        // the stand-in agent of the test servers.
        CPlatformReporter::SetAgentForTesting("127.0.0.1", S().AgentPort());
        SetConnectivityForTesting(kConnectivityConnected);
        m_lib.reset(new Library(false, true));
        ASSERT_EQ(SF_RESULT_OK, m_lib->Result());
        m_dir = m_folder.Win() + "\\";
    }
    void TearDown() override {
        m_lib.reset();
        m_clock.reset();
        CPlatformReporter::SetAgentForTesting(nullptr, 0);
        SetConnectivityForTesting(kConnectivityFromSystem);
    }

    // From now on the library's timers run on a clock the test moves on.
    void UseSteppedClock(sftest::SteppedTimerClock::Mode mode) {
        m_clock.reset(new sftest::SteppedTimerClock(mode));
    }
    // Moves that clock on `count` downloader ticks and returns once they ran:
    // every job held got its connectivity check and its tick that often.
    void DownloaderTicks(int count) {
        ASSERT_TRUE(m_clock);
        ASSERT_TRUE(
            m_clock->StepPeriods(CJobDownloader::kTickPeriodMs, count, TheManager().LockObject()));
    }

    uint32_t NewJob(const std::string& name) { return m_lib->NewJob(name.c_str()); }

    size_t CountFor(uint32_t code, uint32_t job) {
        size_t n = 0;
        for (const Event& e : m_lib->Recorder().Events())
            n += e.code == code && e.handle == job ? 1 : 0;
        return n;
    }

    // Waits (bounded) until `job` got `count` events `code`, polling the
    // watch meanwhile.
    bool WaitFor(uint32_t code, uint32_t job, size_t count = 1, uint32_t timeoutMs = kJobTimeoutMs,
                 ProgressWatch* watch = nullptr) {
        return sftest::Eventually(
            [&] {
                if (watch)
                    watch->Poll();
                return CountFor(code, job) >= count;
            },
            timeoutMs, 20);
    }

    // Replaces the downloader the host set-up made with one the test can
    // look into; owned by the job manager.
    CPlatFormDownloader* OwnDownloader() {
        // The downloader copies the lock's reference, which the library
        // thread counts too: only under the lock.
        ovCAutoLock hold(TheManager().LockObject());
        CPlatFormDownloader* plain =
            new CPlatFormDownloader(&TheManager(), TheManager().LockObject());
        TheManager().SetDownloadersForTesting(plain, nullptr);
        return plain;
    }

    // The job's session's receive budget, 0 while it has no session.
    uint32_t Budget(CPlatFormDownloader* plain, uint32_t job) {
        uint32_t budget = 0;
        WithJob(job, [&](CJob& j) {
            FilesInFlight* session = plain->SessionOf(&j);
            budget = session ? session->ReceiveBudget() : 0;
        });
        return budget;
    }

    std::string Native(const std::string& name) { return m_folder.Native(name); }

    LogScope m_log;  // before the library: its service log lands here
    TempFolder m_folder;
    std::unique_ptr<sftest::SteppedTimerClock> m_clock;  // dropped after the library
    std::unique_ptr<Library> m_lib;
    std::string m_dir;
};

TEST_F(PlainDownload, SeveralFilesFromNginxAndTheFaultServer) {
    const std::string name = UniqueName(m_folder, "several");
    const uint32_t job = NewJob(name);
    bool ok = false;
    const std::vector<unsigned char> oneMiB = S().DocRootFile("files/random-1m.bin", &ok);
    ASSERT_TRUE(ok);
    const std::vector<unsigned char> skin = S().DocRootFile("files/skin.zip", &ok);
    ASSERT_TRUE(ok);
    const std::vector<unsigned char> flaky = sftest::FaultPattern(65536);

    struct File {
        std::string urlList;
        const char* fileName;  // null: the URL's last part
        int64_t size;          // -1: learnt by the size check
        std::string localName;
        const std::vector<unsigned char>* bytes;
    };
    const std::vector<File> files = {
        // The first mirror does not have it (every mirror names the same file).
        {S().HttpUrl("/none-" + name + "/random-1m.bin") + "|" +
             S().HttpUrl("/files/random-1m.bin"),
         nullptr, (int64_t)oneMiB.size(), "random-1m.bin", &oneMiB},
        // A 303 to the archive, its size learnt through the redirect.
        {S().HttpUrl("/redirect-303"), "skin.zip", -1, "skin.zip", &skin},
        // Cut twice, whole on the third request.
        {S().FaultUrl("/cut/" + name + "/2/65536"), "flaky.bin", 65536, "flaky.bin", &flaky},
    };
    int64_t total = 0;
    for (const File& f : files) {
        ASSERT_EQ(SF_RESULT_OK,
                  SwarmFetch_AddFile(job, f.urlList.c_str(), m_dir.c_str(), f.fileName, f.size, 1));
        total += (int64_t)f.bytes->size();
    }
    ProgressWatch watch(job);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    if (!WaitFor(SF_EVENT_JOB_DONE, job, 1, kJobTimeoutMs, &watch)) {
        for (const Message& m : PopAll(job))
            ADD_FAILURE() << "message " << m.code << " " << m.text;
        FAIL() << "the job did not end";
    }
    watch.Poll();
    for (const std::string& problem : watch.Problems())
        ADD_FAILURE() << problem;
    EXPECT_TRUE(watch.SawBytes());

    // The files, byte for byte.
    for (const File& f : files) {
        bool read = false;
        const std::string got = supporttest::ReadWholeFile(Native(f.localName), &read);
        ASSERT_TRUE(read) << f.localName;
        EXPECT_TRUE(got.size() == f.bytes->size() &&
                    memcmp(got.data(), f.bytes->data(), got.size()) == 0)
            << f.localName << ": " << got.size() << " bytes";
    }

    // The size info came once, before the first file.
    SwarmFetchSizeInfo sizeInfo = {0, 0, 0};
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeInfo(job, &sizeInfo));
    EXPECT_EQ(3, sizeInfo.value);
    EXPECT_EQ(total, sizeInfo.total);
    const std::vector<uint32_t> codes = m_lib->Recorder().Codes();
    EXPECT_EQ(1u, CountFor(SF_EVENT_SIZE_INFO, job));
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ((uint32_t)SF_EVENT_SIZE_INFO, codes[0]);
    EXPECT_EQ((uint32_t)SF_EVENT_JOB_DONE, codes.back());

    // One file-done record per file, "URL list,path", in order.
    EXPECT_EQ(3u, CountFor(SF_EVENT_FILE_DONE, job));
    for (size_t i = 0; i < files.size(); ++i) {
        SwarmFetchFileDone done;
        memset(&done, 0, sizeof done);
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetFileDone(job, &done));
        EXPECT_EQ((int32_t)i + 1, done.sequence);
        EXPECT_EQ(files[i].urlList + "," + m_dir + files[i].localName, std::string(done.text));
    }

    SwarmFetchJobDone jobDone = {0, 0, -1};
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetJobDone(job, &jobDone));
    EXPECT_EQ(3, jobDone.fileCount);
    EXPECT_EQ(3, jobDone.filesDone);
    EXPECT_EQ(0, jobDone.extra);
    SwarmFetchProgress last;
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetProgress(job, &last));
    EXPECT_EQ(total, last.total);
    EXPECT_EQ(total, last.received);
    EXPECT_EQ(100, last.percent);
    EXPECT_EQ(3, last.fileCount);
    EXPECT_EQ(3, last.filesDone);
    EXPECT_TRUE(PopAll(job).empty());
    // Done jobs are no longer held: stopping finds no downloader.
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StopJob(job));

    // The statistics report: the exact frame at the agent.
    const std::string line = AgentLine(name);
    ASSERT_FALSE(line.empty()) << "no report for " << name;
    std::vector<ReportRecord> rows;
    for (const File& f : files)
        rows.push_back(ReportRecord{f.urlList, (int64_t)f.bytes->size()});
    EXPECT_EQ(Hex(ExpectedFrame(name, rows)), Field(line, "frame"));
}

TEST_F(PlainDownload, FilesThatNoMirrorHas) {
    struct Case {
        const char* what;
        int64_t size;  // known: the session finds out; unknown: the size check
    };
    const Case cases[] = {{"session", 4096}, {"sizecheck", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = UniqueName(m_folder, c.what);
        const uint32_t job = NewJob(name);
        const std::string first = S().HttpUrl("/files/a-" + name + ".bin");
        const std::string second = S().FaultUrl("/status/404?" + name);
        const std::string urls = first + "|" + second;
        ASSERT_EQ(SF_RESULT_OK,
                  SwarmFetch_AddFile(job, urls.c_str(), m_dir.c_str(), "x.bin", c.size, 1));
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        ASSERT_TRUE(WaitFor(SF_EVENT_MESSAGE, job, 1, 30000));
        const std::vector<Message> messages = PopAll(job);
        ASSERT_EQ(1u, messages.size());
        EXPECT_EQ(SF_MSG_FAILED, messages[0].code);
        EXPECT_EQ(0u, CountFor(SF_EVENT_JOB_DONE, job));
        EXPECT_EQ(0u, CountFor(SF_EVENT_FILE_DONE, job));
        if (c.size > 0) {
            // Each mirror was tried; the text names the last one. The job
            // stays held until the host stops it.
            EXPECT_EQ(second, messages[0].text);
            EXPECT_EQ(SF_RESULT_OK, SwarmFetch_ResumeReply(job, 1, 0));
            EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(job));
            EXPECT_EQ(SF_RESULT_NOT_RUNNING, SwarmFetch_ResumeReply(job, 1, 0));
        } else {
            // The size check fails on the first answer and lets the job go.
            EXPECT_EQ(urls, messages[0].text);
            EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StopJob(job));
        }
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(job));
    }
}

TEST_F(PlainDownload, AnswersThatDisagreeWithTheSizeCheckFailTheJobAndNeverReportTheFile) {
    // The size check learns 200,000 bytes from a plain GET; the ranged GETs
    // of the download then get the fault server's wrong answers, and the
    // next attempt, asked without a Range, gets the file right.
    const std::string size = "200000";
    bool ok = false;
    const std::vector<unsigned char> list = S().DocRootFile("files/list.txt", &ok);
    ASSERT_TRUE(ok);
    const std::vector<unsigned char> expected = sftest::FaultPattern((size_t)std::stoll(size));
    for (const std::string kind : {"wrong-start", "short-206", "html"}) {
        SCOPED_TRACE(kind);
        const std::string name = UniqueName(m_folder, kind.c_str());
        const uint32_t job = NewJob(name);
        const std::string dir = m_dir + name + "\\";
        const std::string url = S().FaultUrl("/answer/" + kind + "/" + size + "?" + name);
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, url.c_str(), dir.c_str(), "x.bin", -1, 1));
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        ASSERT_TRUE(WaitFor(SF_EVENT_JOB_DONE, job));
        EXPECT_TRUE(PopAll(job).empty());
        const std::string got = supporttest::ReadWholeFile(Native(name + "/x.bin"));
        EXPECT_TRUE(got.size() == expected.size() &&
                    memcmp(got.data(), expected.data(), got.size()) == 0);
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(job));
    }

    // A host whose every answer is wrong, with a Range or without: the job
    // fails with the URL and the file is never reported.
    const std::string name = UniqueName(m_folder, "allwrong");
    const uint32_t job = NewJob(name);
    const std::string dir = m_dir + name + "\\";
    const std::string url = S().FaultUrl("/probe/" + name + "/wrong-total/" + size);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, S().HttpUrl("/files/list.txt").c_str(),
                                               dir.c_str(), nullptr, -1, 1));
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(job, url.c_str(), dir.c_str(), "x.bin", std::stoll(size), 1));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    ASSERT_TRUE(WaitFor(SF_EVENT_MESSAGE, job, 1, 30000));
    const std::vector<Message> messages = PopAll(job);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(SF_MSG_FAILED, messages[0].code);
    EXPECT_EQ(url, messages[0].text);
    // The first file was done and stays whole; the wrong one never is.
    EXPECT_EQ(1u, CountFor(SF_EVENT_FILE_DONE, job));
    EXPECT_EQ(0u, CountFor(SF_EVENT_JOB_DONE, job));
    const std::string first = supporttest::ReadWholeFile(Native(name + "/list.txt"));
    EXPECT_TRUE(first.size() == list.size() && memcmp(first.data(), list.data(), list.size()) == 0);
    EXPECT_EQ("", supporttest::ReadWholeFile(Native(name + "/x.bin")));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(job));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(job));

    // With a good second mirror the job is done and the file whole.
    const std::string mirrorName = UniqueName(m_folder, "mirror");
    const uint32_t mirrorJob = NewJob(mirrorName);
    const std::string urls = S().FaultUrl("/probe/" + mirrorName + "/wrong-total/" + size) + "|" +
                             S().FaultUrl("/cut/" + mirrorName + "/0/" + size);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(mirrorJob, urls.c_str(), m_dir.c_str(),
                                               "mirrored.bin", std::stoll(size), 1));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(mirrorJob, 1));
    ASSERT_TRUE(WaitFor(SF_EVENT_JOB_DONE, mirrorJob));
    EXPECT_TRUE(PopAll(mirrorJob).empty());
    EXPECT_EQ(1u, CountFor(SF_EVENT_FILE_DONE, mirrorJob));
    const std::string got = supporttest::ReadWholeFile(Native("mirrored.bin"));
    EXPECT_TRUE(got.size() == expected.size() &&
                memcmp(got.data(), expected.data(), got.size()) == 0);
}

// The launcher's flow: its size check, then the job. Each file is asked for
// twice in all (its first byte, then the file): the job's own check takes the
// size just measured, and the size check moves one body byte per file.
TEST_F(PlainDownload, TheLauncherFlowAsksForEachFileTwiceAndItsSizeCheckMovesNoBody) {
    const std::string key = UniqueName(m_folder, "flow");
    const int sizes[] = {70000, 300000, 5};
    std::vector<std::string> urls;
    for (size_t i = 0; i < 3; ++i) {
        urls.push_back(S().FaultUrl("/probe/" + key + "/honest/" + std::to_string(sizes[i]) +
                                    "?f=" + std::to_string(i)));
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddSizeCheck(urls.back().c_str()));
    }
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartSizeCheck());
    ASSERT_TRUE(WaitFor(SF_EVENT_SIZE_CHECK_DONE, 0));
    int64_t total = 0;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeCheckTotal(&total));
    EXPECT_EQ(370005, total);
    long requests = 0;
    long body = 0;
    ASSERT_EQ(2, sscanf(netdl::FaultGet("/probe-sent/" + key).c_str(), "requests=%ld body=%ld",
                        &requests, &body));
    EXPECT_EQ(3, requests);
    // At most the byte asked for (the close may beat it).
    EXPECT_LE(body, 3);

    const uint32_t job = NewJob(key);
    for (size_t i = 0; i < 3; ++i)
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, urls[i].c_str(), m_dir.c_str(),
                                                   ("f" + std::to_string(i)).c_str(), -1, 1));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    ASSERT_TRUE(WaitFor(SF_EVENT_JOB_DONE, job));
    EXPECT_TRUE(PopAll(job).empty());
    EXPECT_EQ(3u, CountFor(SF_EVENT_FILE_DONE, job));
    for (size_t i = 0; i < 3; ++i) {
        const std::vector<unsigned char> expected = sftest::FaultPattern((size_t)sizes[i]);
        const std::string got = supporttest::ReadWholeFile(Native("f" + std::to_string(i)));
        EXPECT_TRUE(got.size() == expected.size() &&
                    memcmp(got.data(), expected.data(), got.size()) == 0)
            << i;
    }
    const long checked = body;
    ASSERT_EQ(2, sscanf(netdl::FaultGet("/probe-sent/" + key).c_str(), "requests=%ld body=%ld",
                        &requests, &body));
    EXPECT_EQ(6, requests);
    EXPECT_EQ(370005 + checked, body);
}

TEST_F(PlainDownload, StopInTheMiddleAtNormalSpeedThenFullSpeed) {
    CPlatFormDownloader* plain = OwnDownloader();
    bool ok = false;
    const std::vector<unsigned char> big = S().DocRootFile("files/random-16m.bin", &ok);
    ASSERT_TRUE(ok);
    const std::string url = S().HttpUrl("/files/random-16m.bin");

    // Normal speed: stopped long before the end.
    const std::string name = UniqueName(m_folder, "stop");
    const uint32_t slow = NewJob(name);
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(slow, url.c_str(), (m_dir + "slow\\").c_str(), nullptr, -1, 1));
    ProgressWatch watch(slow);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(slow, 0));
    ASSERT_TRUE(WaitFor(SF_EVENT_PROGRESS, slow, 1, 20000, &watch));
    EXPECT_EQ(CPlatformSession::kNormalSpeedBudget, Budget(plain, slow));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(slow));
    watch.Poll();
    for (const std::string& problem : watch.Problems())
        ADD_FAILURE() << problem;
    EXPECT_EQ(0, watch.Drops()) << "no retry, so the count only grows";
    WithJob(slow, [&](CJob& j) {
        EXPECT_EQ(CJob::kIdle, j.State());
        EXPECT_FALSE(plain->HasContext(&j));
    });
    EXPECT_EQ(0u, CountFor(SF_EVENT_JOB_DONE, slow));
    // Cut short, the file stays a partial file: nothing has the final name.
    const std::string partial = supporttest::ReadWholeFile(Native("slow/random-16m.bin.part"));
    bool finalExists = true;
    supporttest::ReadWholeFile(Native("slow/random-16m.bin"), &finalExists);
    EXPECT_FALSE(finalExists);
    EXPECT_GT(partial.size(), 0u);
    EXPECT_LT(partial.size(), big.size());
    EXPECT_EQ(0, memcmp(partial.data(), big.data(), partial.size())) << "a true prefix";
    // The stopped job is reported with what it received.
    const std::string line = AgentLine(name);
    ASSERT_FALSE(line.empty());
    EXPECT_EQ("1", Field(line, "count"));
    const int64_t received = std::stoll(Field(line, "received"));
    EXPECT_GT(received, 0);
    EXPECT_LE(received, (int64_t)partial.size());

    // Full speed: the same file to the end.
    const uint32_t fast = NewJob(UniqueName(m_folder, "fast"));
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(fast, url.c_str(), (m_dir + "fast\\").c_str(), nullptr, -1, 1));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(fast, 1));
    uint32_t budget = 0;
    sftest::Eventually(
        [&] {
            budget = Budget(plain, fast);
            return budget != 0 || CountFor(SF_EVENT_JOB_DONE, fast) != 0;
        },
        5000);
    if (budget != 0) {
        EXPECT_EQ(CPlatformSession::kFullSpeedBudget, budget);
    }
    ASSERT_TRUE(WaitFor(SF_EVENT_JOB_DONE, fast));
    const std::string whole = supporttest::ReadWholeFile(Native("fast/random-16m.bin"));
    EXPECT_TRUE(whole.size() == big.size() && memcmp(whole.data(), big.data(), big.size()) == 0);
}

TEST_F(PlainDownload, ConnectionLostAndBackWithTwoJobs) {
    const std::string url = S().HttpUrl("/files/random-16m.bin");
    const uint32_t first = NewJob(UniqueName(m_folder, "first"));
    const uint32_t second = NewJob(UniqueName(m_folder, "second"));
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(first, url.c_str(), (m_dir + "1\\").c_str(), nullptr, -1, 1));
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(second, url.c_str(), (m_dir + "2\\").c_str(), nullptr, -1, 1));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(first, 0));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(second, 0));

    // Frozen: the downloader checks only on the ticks the test runs.
    UseSteppedClock(sftest::SteppedTimerClock::kFrozen);
    SetConnectivityForTesting(kConnectivityLost);
    DownloaderTicks(1);
    EXPECT_EQ(1u, CountFor(SF_EVENT_MESSAGE, first));
    EXPECT_EQ(1u, CountFor(SF_EVENT_MESSAGE, second));
    // Later checks while still offline say nothing more.
    DownloaderTicks(2);
    for (uint32_t job : {first, second}) {
        const std::vector<Message> lost = PopAll(job);
        ASSERT_EQ(1u, lost.size());
        EXPECT_EQ(SF_MSG_NETWORK_LOST, lost[0].code);
        EXPECT_EQ("", lost[0].text);
    }

    SetConnectivityForTesting(kConnectivityConnected);
    DownloaderTicks(1);
    EXPECT_EQ(2u, CountFor(SF_EVENT_MESSAGE, first));
    DownloaderTicks(2);
    const std::vector<Message> back = PopAll(first);
    ASSERT_EQ(1u, back.size());
    EXPECT_EQ(SF_MSG_NETWORK_BACK, back[0].code);
    // Only the job checked first hears it.
    EXPECT_TRUE(PopAll(second).empty());
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(first));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(second));
}

TEST_F(PlainDownload, ReportToAnAgentThatRefusesIsDroppedAndLogged) {
    m_lib.reset();
    // Nothing listens on port 1 of the loopback address.
    CPlatformReporter::SetAgentForTesting("127.0.0.1", 1);
    m_lib.reset(new Library(false, true));
    ASSERT_EQ(SF_RESULT_OK, m_lib->Result());
    const uint32_t job = NewJob(UniqueName(m_folder, "refused"));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, S().HttpUrl("/files/skin.zip").c_str(),
                                               m_dir.c_str(), nullptr, -1, 1));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    ASSERT_TRUE(WaitFor(SF_EVENT_JOB_DONE, job));
    const bool dropped = sftest::Eventually(
        [&] {
            for (const std::string& line : m_log.Lines())
                if (line.find("[SwarmFetchLib] Report dropped : ") == 0)
                    return true;
            return false;
        },
        6000, 20);
    EXPECT_TRUE(dropped) << m_log.Text();
    // The job itself succeeded all the same.
    SwarmFetchJobDone done = {0, 0, -1};
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetJobDone(job, &done));
    EXPECT_EQ(1, done.filesDone);
}

// Every name is the loopback address.
ResultCode LoopbackResolver(const char* host, NetAddressList* list, void* user) {
    (void)host;
    (void)user;
    list->count = 1;
    list->addresses[0] = testpeers::LoopbackAddress();
    return OV_S_PLATFORM;
}

// The agent named by a host name: looked up on the side, the report goes out
// once the answer is there.
TEST_F(PlainDownload, TheAgentsNameIsLookedUpOffTheLibraryLock) {
    m_lib.reset();
    CPlatformReporter::SetAgentForTesting("agent.test", S().AgentPort());
    AddressCache().Clear();
    AddressCache().SetResolver(&LoopbackResolver, nullptr);
    m_lib.reset(new Library(false, true));
    ASSERT_EQ(SF_RESULT_OK, m_lib->Result());
    const std::string name = UniqueName(m_folder, "named-agent");
    const uint32_t job = NewJob(name);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, S().HttpUrl("/files/skin.zip").c_str(),
                                               m_dir.c_str(), nullptr, -1, 1));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    ASSERT_TRUE(WaitFor(SF_EVENT_JOB_DONE, job));
    EXPECT_FALSE(AgentLine(name).empty()) << "no report for " << name;
    EXPECT_TRUE(sftest::Eventually([] { return cpCNameLookup::LiveThreads() == 0; }));
    m_lib.reset();
    AddressCache().SetResolver(nullptr, nullptr);
    AddressCache().Clear();
    m_lib.reset(new Library(false, true));
}

TEST_F(PlainDownload, ServiceLogOfAPlainJob) {
    const uint32_t job = NewJob(UniqueName(m_folder, "log"));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, S().HttpUrl("/files/skin.zip").c_str(),
                                               m_dir.c_str(), nullptr, -1, 1));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    ASSERT_TRUE(WaitFor(SF_EVENT_JOB_DONE, job));
    const size_t launch = m_log.IndexOf("[SwarmFetchLib] Launch(3.5.0.2)");
    const size_t begin = m_log.IndexOf("[SwarmFetchLib] CPlatFormDownloader Begin");
    const size_t checked =
        m_log.IndexOf("[SwarmFetchLib] CPlatFormDownloader FileSizeCheck Completed");
    ASSERT_NE(std::string::npos, launch) << m_log.Text();
    EXPECT_EQ(0u, launch) << "the log starts with the library's start";
    EXPECT_LT(launch, begin);
    EXPECT_LT(begin, checked);
    EXPECT_NE(std::string::npos, checked);
}

TEST_F(PlainDownload, JobWithoutAnyEntryToCopyFailsClearly) {
    // A file list whose second line ends in '/': no file name to write to.
    const std::string name = UniqueName(m_folder, "noname");
    const uint32_t job = NewJob(name);
    const std::string bad = S().HttpUrl("/files/");
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, S().HttpUrl("/files/skin.zip").c_str(),
                                               m_dir.c_str(), nullptr, -1, 1));
    EXPECT_EQ(SF_RESULT_NO_URL,
              SwarmFetch_AddFile(job, bad.c_str(), m_dir.c_str(), nullptr, 100, 1));
    // The job is never started, so it can never report done without the file.
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StartJob(job, 1));
    ASSERT_TRUE(WaitFor(SF_EVENT_MESSAGE, job, 1, 10000));
    const std::vector<Message> messages = PopAll(job);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(SF_MSG_FAILED, messages[0].code);
    EXPECT_EQ(bad, messages[0].text);
    // Never handed to a downloader, so nothing can follow: idle, no file
    // opened, and no downloader to stop it (below).
    EXPECT_TRUE(WithJob(job, [&](CJob& j) {
        EXPECT_EQ(CJob::kIdle, j.State());
        EXPECT_EQ(0, j.OpenedPathCount());
    }));
    EXPECT_EQ(0u, CountFor(SF_EVENT_JOB_DONE, job));
    EXPECT_EQ(0u, CountFor(SF_EVENT_FILE_DONE, job));
    EXPECT_FALSE(supporttest::PathExists(Native("skin.zip")));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StopJob(job));
}

// Starts `job` on a file too large to finish at normal speed and waits
// until it received bytes, so that stopping it leaves a report to send.
void StartSlowJob(uint32_t job, const std::string& folder) {
    const std::string url = S().HttpUrl("/files/random-16m.bin");
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, url.c_str(), folder.c_str(), nullptr, -1, 1));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 0));
    SwarmFetchProgress p;
    memset(&p, 0, sizeof p);
    int32_t asked = SF_RESULT_OK;
    sftest::Eventually(
        [&] {
            asked = SwarmFetch_GetProgress(job, &p);
            return asked != SF_RESULT_OK || p.received > 0;
        },
        20000, 20);
    ASSERT_EQ(SF_RESULT_OK, asked);
    ASSERT_GT(p.received, 0);
}

TEST_F(PlainDownload, StopThenFinalizeAtOnceDeliversEveryReport) {
    const std::string one = UniqueName(m_folder, "last-one");
    const std::string two = UniqueName(m_folder, "last-two");
    const uint32_t first = NewJob(one);
    const uint32_t second = NewJob(two);
    StartSlowJob(first, m_dir + "1\\");
    StartSlowJob(second, m_dir + "2\\");
    // The launcher's shutdown: stop, then finalize, with no pause between.
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(first));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(second));
    const uint64_t start = ClockTickMs();
    m_lib.reset();
    EXPECT_LT(ClockTickMs() - start, 5000u);
    EXPECT_FALSE(AgentLine(one).empty()) << "no report for " << one;
    EXPECT_FALSE(AgentLine(two).empty()) << "no report for " << two;
}

// Signals when the job-done event arrives, then holds the library thread a
// moment, so that the host's finalize is under way before that thread is
// back in its loop to carry the report.
struct DoneSignal {
    PfEvent* event = PfEventCreate();
    PfEvent* hold = PfEventCreate();
    ~DoneSignal() {
        PfEventClose(event);
        PfEventClose(hold);
    }
    static void Callback(uint32_t code, uint32_t handle, void* user) {
        (void)handle;
        if (code != SF_EVENT_JOB_DONE)
            return;
        DoneSignal* self = static_cast<DoneSignal*>(user);
        PfEventSet(self->event);
        PfEventWait(self->hold, 300);
    }
};

TEST_F(PlainDownload, JobDoneThenFinalizeAtOnceDeliversTheReport) {
    m_lib.reset();
    DoneSignal done;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_Initialize(nullptr, &DoneSignal::Callback, &done, 1));
    const std::string name = UniqueName(m_folder, "done-last");
    uint32_t job = 0;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_CreateJob(&job, nullptr, name.c_str()));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, S().HttpUrl("/files/skin.zip").c_str(),
                                               m_dir.c_str(), nullptr, -1, 1));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    const bool ended = PfEventWait(done.event, 20000);
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
    ASSERT_TRUE(ended);
    EXPECT_FALSE(AgentLine(name).empty()) << "no report for " << name;
}

TEST_F(PlainDownload, FinalizeDoesNotWaitLongForADeadAgent) {
    testpeers::Staller staller;
    testpeers::Blackhole blackhole;
    ASSERT_TRUE(staller.Ok());
    ASSERT_TRUE(blackhole.Ok());
    const struct {
        const char* what;
        uint16_t port;
    } agents[] = {
        {"nothing listens", testpeers::RefusedPort()},
        {"accepts and never reads", staller.Port()},
        {"never accepts", blackhole.Port()},
    };
    for (const auto& agent : agents) {
        SCOPED_TRACE(agent.what);
        m_lib.reset();
        CPlatformReporter::SetAgentForTesting("127.0.0.1", agent.port);
        m_lib.reset(new Library(false, true));
        ASSERT_EQ(SF_RESULT_OK, m_lib->Result());
        const uint32_t job = NewJob(UniqueName(m_folder, "dead-agent"));
        StartSlowJob(job, m_dir + agent.what + "\\");
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(job));
        const uint64_t start = ClockTickMs();
        m_lib.reset();
        // The wait for reports is bounded at two seconds; this is generous.
        EXPECT_LT(ClockTickMs() - start, 5000u);
        EXPECT_EQ(0, CPlatformReporter::PendingReports());
    }
    // The report did go to the agent that accepts.
    EXPECT_GE(staller.Connections(), 1);
}

// The disk takes the first 100,000 bytes of "full.bin" (written as its
// partial file), then is full.
size_t FullAfter100000(const char* path, int64_t offset, size_t size) {
    const std::string p = path ? path : "";
    if (p.size() < 13 || p.compare(p.size() - 13, 13, "full.bin.part") != 0)
        return size;
    const int64_t room = 100000 - offset;
    return room <= 0 ? 0 : (size_t)room < size ? (size_t)room : size;
}

TEST_F(PlainDownload, FailedWriteIsMessage513NeverJobDone) {
#ifdef _WIN32
    const std::string folder = m_dir;
#else
    // A POSIX host may pass its own paths.
    const std::string folder = m_folder.Native();
#endif
    const std::string url = S().HttpUrl("/files/random-1m.bin");
    CPlatFormDownloader* plain = OwnDownloader();
    UseSteppedClock(sftest::SteppedTimerClock::kRunning);
    const uint32_t job = NewJob(UniqueName(m_folder, "full"));
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(job, url.c_str(), folder.c_str(), "full.bin", -1, 1));
    PfFileSetWriteHookForTesting(&FullAfter100000);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    const bool told = WaitFor(SF_EVENT_MESSAGE, job, 1, 20000);
    if (told) {
        // The session ended with the message: nothing left to write or to
        // report the file with.
        EXPECT_TRUE(WithJob(job, [&](CJob& j) {
            FilesInFlight* session = plain->SessionOf(&j);
            ASSERT_NE(nullptr, session);
            EXPECT_TRUE(session->Ended());
            EXPECT_EQ(nullptr, session->Connection());
        }));
        // Two more ticks: nothing may follow as if the file were done.
        DownloaderTicks(2);
    }
    PfFileSetWriteHookForTesting(nullptr);
    ASSERT_TRUE(told);
    const std::vector<Message> messages = PopAll(job);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(SF_MSG_DISK_FULL, messages[0].code);
    EXPECT_EQ(url, messages[0].text);
    EXPECT_EQ(0u, CountFor(SF_EVENT_FILE_DONE, job));
    EXPECT_EQ(0u, CountFor(SF_EVENT_JOB_DONE, job));
    // What was written stays, in the partial file.
    const std::string kept = supporttest::ReadWholeFile(Native("full.bin.part"));
    EXPECT_EQ(100000u, kept.size());
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(job));
}

std::string Sha256Fragment(const std::vector<unsigned char>& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex = "#sha256=";
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex + "&size=" + std::to_string(bytes.size());
}

TEST_F(PlainDownload, ASecondRunOverAVerifiedFolderRequestsNothingAndShowsEveryByte) {
    const std::string name = UniqueName(m_folder, "verified");
    bool ok = false;
    const std::vector<unsigned char> oneMiB = S().DocRootFile("files/random-1m.bin", &ok);
    ASSERT_TRUE(ok);
    const std::vector<unsigned char> cut = sftest::FaultPattern(65536);
    // As the launcher adds a file-list line: no name, no size.
    const std::vector<std::string> lines = {
        S().HttpUrl("/files/random-1m.bin") + Sha256Fragment(oneMiB),
        S().FaultUrl("/cut/" + name + "/1/65536") + Sha256Fragment(cut)};
    const int64_t total = (int64_t)(oneMiB.size() + cut.size());
    // Mirrors whose hashes differ are bad input; nothing is added.
    const uint32_t refused = NewJob(name + "-refused");
    const std::string disagree =
        lines[0] + "|" + S().HttpUrl("/x/random-1m.bin") + Sha256Fragment(cut);
    EXPECT_EQ(SF_RESULT_NO_URL,
              SwarmFetch_AddFile(refused, disagree.c_str(), m_dir.c_str(), nullptr, -1, 1));
    EXPECT_EQ(SF_RESULT_NO_URL, SwarmFetch_AddFile(refused, lines[0].c_str(), m_dir.c_str(),
                                                   nullptr, (int64_t)oneMiB.size() + 1, 1));

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        const uint32_t job = NewJob(name + std::to_string(run));
        for (const std::string& line : lines)
            ASSERT_EQ(SF_RESULT_OK,
                      SwarmFetch_AddFile(job, line.c_str(), m_dir.c_str(), nullptr, -1, 1));
        ProgressWatch watch(job);
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        ASSERT_TRUE(WaitFor(SF_EVENT_JOB_DONE, job, 1, kJobTimeoutMs, &watch));
        watch.Poll();
        for (const std::string& problem : watch.Problems())
            ADD_FAILURE() << problem;
        // Cut once and continued in the first run; not asked for at all in
        // the second.
        size_t requests = 0;
        for (const std::string& request : S().FaultRequestLines())
            requests += request.find("/cut/" + name + "/") != std::string::npos;
        EXPECT_EQ(2u, requests);
        // The names and the file-done paths carry no fragment.
        EXPECT_EQ(2u, CountFor(SF_EVENT_FILE_DONE, job));
        const char* const local[] = {"random-1m.bin", "65536"};
        for (size_t i = 0; i < lines.size(); ++i) {
            SwarmFetchFileDone done;
            memset(&done, 0, sizeof done);
            EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetFileDone(job, &done));
            EXPECT_EQ(lines[i] + "," + m_dir + local[i], std::string(done.text));
        }
        EXPECT_EQ(supporttest::ReadWholeFile(Native("65536")), std::string(cut.begin(), cut.end()));
        SwarmFetchProgress last;
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetProgress(job, &last));
        EXPECT_EQ(total, last.total);
        EXPECT_EQ(total, last.received);
        EXPECT_EQ(100, last.percent);
        EXPECT_EQ(2, last.filesDone);
        if (run == 1) {
            // Nothing came over the network: no speed.
            EXPECT_EQ(0, last.speed);
        }
        EXPECT_TRUE(PopAll(job).empty());
    }
    EXPECT_EQ(2u, m_log.CountOf("[SwarmFetchLib] Already Complete : " + m_dir + "random-1m.bin") +
                      m_log.CountOf("[SwarmFetchLib] Already Complete : " + m_dir + "65536"));
}

}  // namespace

namespace {

FileReportEntry Record(const std::string& tag, const std::string& urlList, int64_t received) {
    FileReportEntry entry;
    memset(&entry, 0, sizeof entry);
    memcpy(entry.tag, tag.data(), tag.size());
    memcpy(entry.urlList, urlList.data(), urlList.size());
    entry.SetReceived(received);
    entry.flag = 1;
    return entry;
}

TEST(Reporter, TwoBatchesOnOneConnectionEachAsItsOwnFrame) {
    ASSERT_TRUE(S().Ok()) << S().Error();
    TempFolder folder;
    CPlatformReporter::SetAgentForTesting("127.0.0.1", S().AgentPort());
    CDownloadLibThread::EnableTaskWindowForTesting(true);
    {
        Library lib(false, false);
        CDownloadLibThread::EnableTaskWindowForTesting(false);
        ASSERT_EQ(SF_RESULT_OK, lib.Result());
        const std::string one = UniqueName(folder, "batch-one");
        const std::string two = UniqueName(folder, "batch-two");
        const FileReportEntry first[1] = {Record(one, "http://a/1.bin", 5)};
        const FileReportEntry second[2] = {Record(two, "http://b/2.bin|http://c/2.bin", 1),
                                           Record(two, "http://b/3.bin", 0x0102030405060708LL)};
        CPlatformReporter* reporter = nullptr;
        // The second batch goes out while the connection is still coming up.
        ASSERT_TRUE(netdl::OnLibraryThread([&] {
            reporter = new CPlatformReporter();
            reporter->Queue(1, first);
            reporter->Queue(2, second);
        }));
        const std::string lineOne = AgentLine(one);
        const std::string lineTwo = AgentLine(two + "," + two);
        EXPECT_EQ(Hex(ExpectedFrame(one, {{"http://a/1.bin", 5}})), Field(lineOne, "frame"));
        EXPECT_EQ(Hex(ExpectedFrame(two, {{"http://b/2.bin|http://c/2.bin", 1},
                                          {"http://b/3.bin", 0x0102030405060708LL}})),
                  Field(lineTwo, "frame"));
        // Closed once both were answered.
        bool asked = true;
        const bool closed = sftest::Eventually(
            [&] {
                bool connected = true;
                asked = netdl::OnLibraryThread([&] { connected = reporter->Connected(); });
                return !asked || !connected;
            },
            5000, 5);
        ASSERT_TRUE(asked);
        EXPECT_TRUE(closed);
        ASSERT_TRUE(netdl::OnLibraryThread([&] {
            EXPECT_EQ(0, reporter->QueuedBatches());
            EXPECT_EQ(0, reporter->Unanswered());
            // Nothing is left for a finalize to wait for.
            EXPECT_EQ(0, CPlatformReporter::PendingReports());
            delete reporter;
        }));
    }
    CPlatformReporter::SetAgentForTesting(nullptr, 0);
}

TEST(Connectivity, ForcedStatesAndTheSystemsAnswer) {
    SetConnectivityForTesting(kConnectivityLost);
    EXPECT_FALSE(InternetConnected());
    SetConnectivityForTesting(kConnectivityConnected);
    EXPECT_TRUE(InternetConnected());
    SetConnectivityForTesting(kConnectivityFromSystem);
    EXPECT_EQ(PfInternetConnected(), InternetConnected());
#ifdef _WIN32
    // Wine's InternetGetConnectedState answers connected.
    EXPECT_TRUE(PfInternetConnected());
#endif
}

}  // namespace
