// The engine downloader against a scripted engine on 127.0.0.1: what it
// sends for a job, and how each engine report becomes a job event. The update
// run is left out here (the tests play the launcher's "updated" report); the
// whole chain with the stand-in engine is in test_engine_path.cpp.
#include <gtest/gtest.h>

#include <stdint.h>

#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "integration/ApiTestEnv.h"
#include "integration/NetDownloadTestEnv.h"
#include "opn/opeerqos/nwEngineMessages.h"
#include "opn/opeerqos/nwFrame.h"
#include "opn/platform/pfClock.h"
#include "opn/platform/pfFile.h"
#include "sdk/download/CJob.h"
#include "sdk/download/engine/CEngineDownloader.h"
#include "sdk/download/plain/CPlatFormDownloader.h"
#include "sdk/download/Connectivity.h"
#include "sdk/download/FileHashQueue.h"
#include "support/EngineProbe.h"
#include "support/Eventually.h"
#include "support/Sha256Hex.h"
#include "support/SteppedTimerClock.h"
#include "support/TestPeers.h"
#include "support/TestServers.h"

using apitest::Library;
using apitest::TheManager;
using apitest::WithJob;
using engineprobe::EntryReport;
using engineprobe::Fixed;
using engineprobe::ProgressBlock;
using engineprobe::Tail;
using engineprobe::U32;
using engineprobe::U64;
using engineprobe::Z;
using sftest::Eventually;
using sftest::Sha256Hex;
using supporttest::TempFolder;
using testpeers::BuildFrame;
using testpeers::Frame;
using testpeers::FrameAnswer;
using testpeers::FrameAnswerer;

namespace {

std::string Report(uint16_t message, const std::string& payload) {
    return BuildFrame(kFrameCategoryEngine, message, payload);
}

// 256 MiB of zeros in a file that takes no room on disk (sparse), and its
// SHA-256: read fast, hashed for a while.
const int64_t kZerosSize = 256 * 1024 * 1024;
const char kZerosSha256[] = "a6d72ac7690f53be6ae46ba88506bd97302a093f7108472bd9efc3cefda06484";
void WriteZeros(const std::string& native, int64_t size) {
    std::ofstream out(native, std::ios::binary | std::ios::trunc);
    out.seekp(size - 1);
    out.put('\0');
}

// The period of the engine downloader's watch.
const uint32_t kWatchPeriodMs = 1000;

// Turns the library thread's task window (netdl::OnLibraryThread) on or off.
bool TaskWindow(bool on) {
    CDownloadLibThread::EnableTaskWindowForTesting(on);
    return on;
}

std::atomic<int64_t> g_clockOffset{0};
int64_t ShiftedClock() {
    return ClockUnixSeconds() + g_clockOffset.load();
}

// A library whose job manager has a plain and an engine downloader, the
// engine downloader talking to `engine` once told the update is done.
class EngineDownloaderTest : public ::testing::Test {
  protected:
    void Install(uint16_t port) {
        ASSERT_EQ(SF_RESULT_OK, library.Result());
        CEngineDownloader::SetEnginePortForTesting(port);
        const ovSmartPtr& lock = TheManager().LockObject();
        // The downloaders copy the lock's reference, which the library
        // thread counts too (it reaps the ones replaced): only under it.
        ovCAutoLock hold(lock);
        plain = new CPlatFormDownloader(&TheManager(), lock);
        engine = new CEngineDownloader(&TheManager(), lock);
        TheManager().SetDownloadersForTesting(plain, engine);
    }
    // A scripted engine that answers the job message with `answer` (or
    // nothing), installed with fresh downloaders and a cleared recorder;
    // with `updated`, told the update is done. Each case of a table gets
    // its own.
    void StartEngine(const std::string& answer, bool updated = true) {
        fake.reset();
        std::vector<FrameAnswer> answers;
        if (!answer.empty())
            answers.push_back(FrameAnswer{kFrameCategoryEngineEvent, kEngineMsgJob, answer});
        fake.reset(new FrameAnswerer(answers));
        ASSERT_TRUE(fake->Ok());
        Install(fake->Port());
        library.Recorder().Clear();
        if (updated)
            EngineUpdated();
    }
    // Lets `ms` pass on the timer clock: every library timer due by then
    // has fired, and what it reported is there.
    bool Pass(uint32_t ms) {
        return clock.Step(ms + TimerManager::kTickMs, TheManager().LockObject());
    }
    void TearDown() override {
        CEngineDownloader::SetEnginePortForTesting(0);
        CEngineDownloader::SetClockForTesting(nullptr);
        g_clockOffset = 0;
    }

    // What the launcher reports when the engine runs.
    void EngineUpdated() {
        ovCAutoLock hold(TheManager().LockObject());
        engine->OnEngineUpdated();
    }
    // Whether the engine has been sent a `message`.
    bool EngineGot(uint16_t message) {
        for (const Frame& f : fake->Frames())
            if (f.message == message)
                return true;
        return false;
    }
    // The texts of the job's file-done records, at most `most`.
    std::vector<std::string> FileDoneTexts(uint32_t job, int most) {
        std::vector<std::string> texts;
        for (int k = 0; k < most; ++k) {
            SwarmFetchFileDone record{};
            EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetFileDone(job, &record));
            if (record.sequence == 0)
                break;
            texts.push_back(record.text);
        }
        return texts;
    }
    bool Connected() {
        ovCAutoLock hold(TheManager().LockObject());
        return engine->Connected();
    }
    // Entry i is "file<i>.bin" of 1000 + i bytes (unknown with `knownSizes`
    // false).
    uint32_t NewJob(int files, size_t urlLength = 0, bool knownSizes = true) {
        const uint32_t job = library.NewJob("brightwave7");
        for (int i = 0; i < files; ++i) {
            std::string url = "http://127.0.0.1:1/file" + std::to_string(i) + ".bin";
            if (url.size() < urlLength)
                url += "?" + std::string(urlLength - url.size() - 1, 'q');
            const std::string name = "file" + std::to_string(i) + ".bin";
            EXPECT_EQ(SF_RESULT_OK,
                      SwarmFetch_AddFile(job, url.c_str(), folder.Win().c_str(), name.c_str(),
                                         knownSizes ? 1000 + i : -1, 7));
        }
        return job;
    }
    // The first `count` entries' files at their size; `shortIndex` one byte
    // short.
    void WriteFiles(int count, int shortIndex = -1) {
        for (int i = 0; i < count; ++i) {
            std::ofstream out(folder.Native("file" + std::to_string(i) + ".bin"),
                              std::ios::binary | std::ios::trunc);
            out << std::string((size_t)(1000 + i - (i == shortIndex ? 1 : 0)), 'x');
        }
    }
    void RemoveFiles(int count) {
        for (int i = 0; i < count; ++i) {
            std::error_code ec;
            std::filesystem::remove(folder.Native("file" + std::to_string(i) + ".bin"), ec);
        }
    }
    bool HeldBy(CJobDownloader* downloader, uint32_t job) {
        CJob* pointer = nullptr;
        WithJob(job, [&](CJob& j) { pointer = &j; });
        ovCAutoLock hold(TheManager().LockObject());
        return pointer && downloader->Holds(pointer);
    }
    uint32_t Number(uint32_t job) {
        uint32_t number = 0;
        WithJob(job, [&](CJob& j) { number = (uint32_t)j.Number(); });
        return number;
    }
    std::vector<std::string> Messages(uint32_t job) {
        std::vector<std::string> out;
        for (int i = 0; i < 20; ++i) {
            int32_t length = 0;
            SwarmFetch_GetMessageLength(job, &length);
            std::string text((size_t)(length > 0 ? length : 1), '\0');
            SwarmFetchMessage message{};
            message.text = &text[0];
            if (SwarmFetch_PopMessage(job, &message) != SF_RESULT_OK || message.code == SF_MSG_NONE)
                break;
            out.push_back(std::to_string(message.code) + " " + text.c_str());
        }
        return out;
    }

    // Follows the system clock until a test moves it on; made before the
    // library and dropped after it.
    sftest::SteppedTimerClock clock{sftest::SteppedTimerClock::kRunning};
    apitest::LogScope log;
    bool taskWindow = TaskWindow(true);
    Library library{false, true};
    bool taskWindowOff = TaskWindow(false);
    TempFolder folder;
    CPlatFormDownloader* plain = nullptr;
    CEngineDownloader* engine = nullptr;
    std::unique_ptr<FrameAnswerer> fake;
};

TEST_F(EngineDownloaderTest, AJobStartedBeforeTheEngineRunsIsRegisteredAndReported) {
    // Accepted, one progress report naming entry 99 of 3, three files done,
    // job done with result 3: all in answer to the job.
    const uint32_t jobNo = 0;
    std::string answer = Report(kEngineMsgJobAccepted, U32(jobNo) + U32(41) + U32(3) + U64(3003));
    answer += Report(kEngineMsgProgress, ProgressBlock(jobNo, 41, 3, 99, 3003, 2502, 5000, 12, 1) +
                                             EntryReport("file2.bin", 1002, 501, 4000, "x"));
    for (int i = 0; i < 3; ++i)
        answer += Report(kEngineMsgFileDone,
                         U32(jobNo) + U32(41) + std::string(33, '\0') +
                             Fixed(folder.Win("file" + std::to_string(i) + ".bin"), 260) +
                             Z("http://127.0.0.1:1/file" + std::to_string(i) + ".bin"));
    answer += Report(kEngineMsgJobFinished, U32(jobNo) + U32(41) + U32(0) + U32(3) + U32(0));
    ASSERT_NO_FATAL_FAILURE(StartEngine(answer, false));
    // What the engine wrote: done is checked against the files.
    WriteFiles(3);

    const uint32_t job = NewJob(3);
    ASSERT_EQ(jobNo, Number(job));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_SetJobEngineFlag(job));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_SetEngineParameter("brightwave"));
    // Not connected yet: the start succeeds and nothing is sent.
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 0));
    EXPECT_EQ(0u, fake->FrameCount());

    EngineUpdated();
    ASSERT_TRUE(Eventually([&] { return library.Recorder().CountOf(SF_EVENT_JOB_DONE) == 1; }));

    // Parameter, mode 1 (no engine use), the flag, then the whole job.
    std::vector<Frame> frames = fake->Frames();
    std::vector<uint16_t> kinds;
    for (const Frame& f : frames)
        kinds.push_back(f.message);
    EXPECT_EQ((std::vector<uint16_t>{kEngineMsgParameter, kEngineMsgJobMode, kEngineMsgJobFlag,
                                     kEngineMsgJob}),
              kinds);
    ASSERT_EQ(4u, frames.size());
    EXPECT_EQ("brightwave", std::string(frames[0].payload.c_str()));
    EXPECT_EQ(1, frames[1].payload[0]);
    EXPECT_EQ(U32(jobNo), frames[2].payload.substr(0, 4));

    SwarmFetchSizeInfo size{};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeInfo(job, &size));
    EXPECT_EQ(3, size.value);
    EXPECT_EQ(3003, size.total);
    SwarmFetchProgress progress{};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetProgress(job, &progress));
    // The last record: the engine's report, closed as a whole job received.
    EXPECT_EQ(3003, progress.total);
    EXPECT_EQ(3003, progress.received);
    EXPECT_EQ(100, progress.percent);
    EXPECT_EQ(3, progress.fileCount);
    EXPECT_EQ(3, progress.filesDone);
    EXPECT_EQ(5000, progress.speed);
    EXPECT_EQ(12, progress.elapsed);
    EXPECT_EQ(0, progress.remaining);
    // Entry 99 of three shows the last one.
    EXPECT_EQ(2, progress.currentIndex);
    EXPECT_STREQ("file2.bin", progress.currentName);
    EXPECT_EQ(1002, progress.currentSize);
    EXPECT_EQ(501, progress.currentReceived);
    EXPECT_EQ(4000, progress.currentSpeed);
    EXPECT_EQ(50, progress.currentPercent);
    for (int i = 0; i < 3; ++i) {
        SwarmFetchFileDone done{};
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetFileDone(job, &done));
        EXPECT_EQ("http://127.0.0.1:1/file" + std::to_string(i) + ".bin," +
                      folder.Win("file" + std::to_string(i) + ".bin"),
                  std::string(done.text));
    }
    SwarmFetchJobDone done{};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetJobDone(job, &done));
    EXPECT_EQ(3, done.filesDone);
    EXPECT_EQ(1u, library.Recorder().CountOf(SF_EVENT_ENGINE_READY));
}

TEST_F(EngineDownloaderTest, AJobTooBigForOneMessageGoesAsHeaderEntriesAndEnd) {
    ASSERT_NO_FATAL_FAILURE(StartEngine(""));
    ASSERT_TRUE(Eventually([&] { return Connected(); }));
    // 41 + 250 * (531 + 600) bytes would be far above one message's limit.
    const uint32_t job = NewJob(250, 600);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    ASSERT_TRUE(Eventually([&] { return fake->FrameCount() >= 1 + 1 + 1 + 250 + 1; }));
    const std::vector<Frame> frames = fake->Frames();
    ASSERT_EQ(254u, frames.size());
    EXPECT_EQ(kEngineMsgJobMode, frames[1].message);
    EXPECT_EQ(2, frames[1].payload[0]);
    EXPECT_EQ(kEngineMsgJobBegin, frames[2].message);
    EXPECT_EQ(U32(Number(job)) + U32(250), frames[2].payload.substr(0, 8));
    for (uint32_t i = 0; i < 250; ++i) {
        ASSERT_EQ(kEngineMsgJobEntry, frames[3 + i].message);
        EXPECT_EQ(U32(i), frames[3 + i].payload.substr(4, 4)) << i;
    }
    EXPECT_EQ(kEngineMsgJobEnd, frames[253].message);
}

// An entry whose URL list is longer than the engine's entry message carries
// (in a job too big for one message) cannot be registered. Started with the
// engine connected, the host hears 517 and the job is idle again; started
// before, the job goes to the plain downloader once the engine connects. In
// both, the engine is told to drop the part it got.
TEST_F(EngineDownloaderTest, AJobTheEngineCannotBeToldOfIsNotLeftWaiting) {
    const size_t kUrlLength = (size_t)kEngineMaxUrlLength + 1000;
    for (const bool connectedFirst : {true, false}) {
        SCOPED_TRACE(connectedFirst ? "connected first" : "started first");
        ASSERT_NO_FATAL_FAILURE(StartEngine("", connectedFirst));
        if (connectedFirst) {
            ASSERT_TRUE(Eventually([&] { return Connected(); }));
        }
        const uint32_t job = NewJob(2, kUrlLength);
        if (connectedFirst) {
            EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StartJob(job, 1));
            EXPECT_FALSE(HeldBy(engine, job));
            EXPECT_FALSE(HeldBy(plain, job));
            EXPECT_EQ(std::vector<std::string>{}, Messages(job));
        } else {
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
            EngineUpdated();
            ASSERT_TRUE(Eventually([&] { return !HeldBy(engine, job); })) << log.Text();
            const std::vector<std::string> messages = Messages(job);
            ASSERT_FALSE(messages.empty());
            EXPECT_EQ("518 ", messages[0]);
        }
        EXPECT_TRUE(log.Has("[SwarmFetchLib] CEngineDownloader job " + std::to_string(Number(job)) +
                            " not registered"))
            << log.Text();
        ASSERT_TRUE(Eventually([&] { return EngineGot(kEngineMsgCancel); }));
        std::vector<uint16_t> kinds;
        for (const Frame& f : fake->Frames())
            kinds.push_back(f.message);
        EXPECT_EQ((std::vector<uint16_t>{kEngineMsgParameter, kEngineMsgJobMode, kEngineMsgJobBegin,
                                         kEngineMsgCancel}),
                  kinds);
        SwarmFetch_DeleteJob(job);
    }
}

// One engine answer each: what the job then shows. Each case has its own
// engine and downloaders; its job is the library's i-th, so its number is i.
TEST_F(EngineDownloaderTest, EngineReportsBecomeJobOutcomes) {
    struct Case {
        const char* name;
        std::function<std::string(uint32_t)> answer;  // to the job with that number
        std::vector<std::string> messages;
        bool heldByEngine;
        bool heldByPlain;
    };
    auto accepted = [](uint32_t n) {
        return Report(kEngineMsgJobAccepted, U32(n) + U32(5) + U32(1) + U64(10));
    };
    const std::string flag1(1, '\1'), flag0(1, '\0');
    const std::vector<Case> cases = {
        {"job failed: the plain downloader tries",
         [&](uint32_t n) {
             return accepted(n) +
                    Report(kEngineMsgJobFailed, U32(n) + U32(9) + Z("no seeds") + Tail('a'));
         },
         {"518 "},
         false,
         true},
        {"disk full",
         [&](uint32_t n) {
             return accepted(n) + Report(kEngineMsgDiskReport,
                                         U32(n) + U32(5) + flag1 + Z("C:\\g\\a.bin") + Tail('b'));
         },
         {"513 C:\\g\\a.bin"},
         true,
         false},
        {"disk report without the flag",
         [&](uint32_t n) {
             return accepted(n) +
                    Report(kEngineMsgDiskReport, U32(n) + U32(5) + flag0 + Z("") + Tail('b'));
         },
         {},
         true,
         false},
        {"network lost and back",
         [&](uint32_t n) {
             return accepted(n) + Report(kEngineMsgNetworkLost, Tail('c')) +
                    Report(kEngineMsgNetworkBack, Tail('d'));
         },
         {"515 ", "516 "},
         true,
         false},
        {"given back",
         [&](uint32_t n) {
             return accepted(n) +
                    Report(kEngineMsgJobFinished, U32(n) + U32(5) + U32(0) + U32(0) + U32(1));
         },
         {"518 "},
         false,
         true},
        {"another job's report",
         [&](uint32_t n) {
             return Report(kEngineMsgJobFailed, U32(n + 77) + U32(9) + Z("not yours") + Tail('e'));
         },
         {},
         true,
         false},
    };
    for (uint32_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        // Reports are handled in order: once the closing engine state is
        // seen, the case's answer has been.
        ASSERT_NO_FATAL_FAILURE(
            StartEngine(c.answer(i) + Report(kEngineMsgEngineState, U32(i + 1))));
        const uint32_t job = NewJob(1);
        ASSERT_EQ(i, Number(job));
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        ASSERT_TRUE(
            Eventually([&] { return library.Recorder().CountOf(SF_EVENT_ENGINE_STATE) == 1; }));
        std::vector<std::string> messages = Messages(job);
        // A job given back goes on in the plain downloader, which reports on
        // its own (here: no server answers).
        if (c.heldByPlain && messages.size() > c.messages.size())
            messages.resize(c.messages.size());
        EXPECT_EQ(c.messages, messages);
        CJob* pointer = nullptr;
        WithJob(job, [&](CJob& j) { pointer = &j; });
        ovCAutoLock hold(TheManager().LockObject());
        EXPECT_EQ(c.heldByEngine, engine->Holds(pointer));
        EXPECT_EQ(c.heldByPlain, plain->Holds(pointer));
    }
}

TEST_F(EngineDownloaderTest, TheResumeQuestionGoesToTheHostAndItsAnswerToTheEngine) {
    const std::string answer = Report(kEngineMsgJobAccepted, U32(0) + U32(5) + U32(1) + U64(10)) +
                               Report(kEngineMsgResumeQuestion, U32(0));
    ASSERT_NO_FATAL_FAILURE(StartEngine(answer));
    const uint32_t job = NewJob(1);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    ASSERT_TRUE(
        Eventually([&] { return library.Recorder().CountOf(SF_EVENT_RESUME_QUESTION) == 1; }));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_ResumeReply(job, 1, 0));
    ASSERT_TRUE(Eventually([&] { return EngineGot(kEngineMsgResumeReply); }));
    for (const Frame& f : fake->Frames()) {
        if (f.message == kEngineMsgResumeReply) {
            EXPECT_EQ(U32(5) + U32(0) + std::string("\1\0", 2), f.payload.substr(0, 10));
        }
    }
    // Stopping the job cancels it in the engine.
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(job));
    ASSERT_TRUE(Eventually([&] { return fake->Frames().back().message == kEngineMsgCancel; }));
    EXPECT_EQ(U32(0) + U32(5), fake->Frames().back().payload.substr(0, 8));
}

// An engine that lies: about which files it wrote, about being done, about
// its counts. Each case has its own engine; the job has two files
// ("file0.bin", 1000 bytes, and "file1.bin", 1001 bytes, unless unknown);
// every answer ends with an engine state report, so once that is seen the
// rest has been handled.
TEST_F(EngineDownloaderTest, ALyingEngineIsHeldToTheJobsOwnFilesAndCounts) {
    struct Case {
        const char* name;
        bool knownSizes;
        int filesWritten;
        int shortFile;  // written one byte short, or -1
        std::function<std::string(uint32_t)> answer;
        std::vector<std::string> fileDone;  // texts of the file-done records
        bool jobDone;
        bool handedBack;  // to the plain downloader, with message 518
        std::function<void(const SwarmFetchProgress&, const SwarmFetchSizeInfo&)> check;
    };
    const std::string url0 = "http://127.0.0.1:1/file0.bin";
    const std::string path0 = folder.Win("file0.bin");
    const std::string path1 = folder.Win("file1.bin");
    const std::string evil = "C:\\Users\\Public\\evil.exe";
    std::string upper0 = path0;
    for (char& c : upper0)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    auto accepted = [](uint32_t n) {
        return Report(kEngineMsgJobAccepted, U32(n) + U32(5) + U32(2) + U64(2001));
    };
    auto fileDone = [](uint32_t n, const std::string& path, const std::string& url) {
        return Report(kEngineMsgFileDone,
                      U32(n) + U32(5) + std::string(33, '\0') + Fixed(path, 260) + Z(url));
    };
    auto fileDoneAs = [](uint32_t n, const std::string& path, const std::string& reported) {
        return Report(kEngineMsgFileDoneAs, U32(n) + U32(5) + std::string(33, '\0') +
                                                Fixed(path, 260) + Fixed(reported, 260) + Z("u"));
    };
    auto finished = [](uint32_t n, uint32_t files) {
        return Report(kEngineMsgJobFinished, U32(n) + U32(5) + U32(0) + U32(files) + U32(0));
    };
    const uint64_t huge = ~(uint64_t)0;
    const std::vector<Case> cases = {
        {"a path outside the job, then done with no file written",
         true,
         0,
         -1,
         [&](uint32_t n) { return accepted(n) + fileDone(n, evil, url0) + finished(n, 2); },
         {},
         false,
         true,
         nullptr},
        {"a second path outside the job, or a first one",
         true,
         2,
         -1,
         [&](uint32_t n) {
             return accepted(n) + fileDoneAs(n, path0, evil) + fileDoneAs(n, evil, path1) +
                    finished(n, 2);
         },
         {},
         true,
         false,
         nullptr},
        {"an entry's path in capitals, with a URL of the engine's",
         true,
         2,
         -1,
         [&](uint32_t n) {
             return accepted(n) + fileDone(n, upper0, "http://x/," + evil) + finished(n, 2);
         },
         {url0 + "," + path0},
         true,
         false,
         nullptr},
        {"near misses",
         true,
         0,
         -1,
         [&](uint32_t n) {
             return accepted(n) + fileDone(n, path0 + ".exe", url0) +
                    fileDone(n, folder.Win("sub\\..\\file0.bin"), url0) +
                    fileDone(n, path0 + " ", url0) + fileDone(n, "", url0) +
                    fileDone(n, "file0.bin", url0);
         },
         {},
         false,
         false,
         nullptr},
        {"done with a file one byte short",
         true,
         2,
         1,
         [&](uint32_t n) {
             return accepted(n) + fileDone(n, path0, url0) + fileDone(n, path1, url0) +
                    finished(n, 2);
         },
         {url0 + "," + path0, "http://127.0.0.1:1/file1.bin," + path1},
         false,
         true,
         nullptr},
        // Too quick for a progress report: the speed is the average of what
        // moved, none when the files were whole before the job was sent...
        {"done at once with both files there before",
         true,
         2,
         -1,
         [&](uint32_t n) {
             return accepted(n) + fileDone(n, path0, url0) +
                    fileDone(n, path1, "http://127.0.0.1:1/file1.bin") + finished(n, 2);
         },
         {url0 + "," + path0, "http://127.0.0.1:1/file1.bin," + path1},
         true,
         false,
         [](const SwarmFetchProgress& p, const SwarmFetchSizeInfo&) {
             EXPECT_EQ(2001, p.received);
             EXPECT_EQ(0, p.speed);
         }},
        // ... and all of it when their sizes were not known.
        {"done at once with both files there, sizes unknown",
         false,
         2,
         -1,
         [&](uint32_t n) {
             return accepted(n) + fileDone(n, path0, url0) +
                    fileDone(n, path1, "http://127.0.0.1:1/file1.bin") + finished(n, 2);
         },
         {url0 + "," + path0, "http://127.0.0.1:1/file1.bin," + path1},
         true,
         false,
         [](const SwarmFetchProgress& p, const SwarmFetchSizeInfo&) {
             EXPECT_EQ(2001, p.received);
             EXPECT_GT(p.speed, 0);
             EXPECT_LE(p.speed, 2001);
         }},
        {"counts far beyond the job",
         true,
         0,
         -1,
         [&](uint32_t n) {
             return Report(kEngineMsgJobAccepted, U32(n) + U32(5) + U32(0xFFFFFFFFu) + U64(huge)) +
                    Report(kEngineMsgProgress, ProgressBlock(n, 5, 0xFFFFFFFFu, 0xFFFFFFFFu, huge,
                                                             huge, 0xFFFFFFFFu, huge, 1) +
                                                   EntryReport("x", huge, huge, 0xFFFFFFFFu, "t"));
         },
         {},
         false,
         false,
         [](const SwarmFetchProgress& p, const SwarmFetchSizeInfo& size) {
             EXPECT_EQ(2, size.value);
             EXPECT_EQ(2001, size.total);
             EXPECT_EQ(2001, p.total);
             EXPECT_EQ(2001, p.received);
             EXPECT_EQ(100, p.percent);
             EXPECT_EQ(2, p.fileCount);
             EXPECT_EQ(2, p.filesDone);
             EXPECT_EQ(INT32_MAX, p.speed);
             EXPECT_EQ(1, p.currentIndex);
             EXPECT_EQ(1001, p.currentSize);
             EXPECT_EQ(1001, p.currentReceived);
             EXPECT_EQ(100, p.currentPercent);
             EXPECT_EQ(0, p.remaining);
         }},
        {"counts far beyond the job, sizes unknown",
         false,
         0,
         -1,
         [&](uint32_t n) {
             // Done * 100 would not fit in 64 bits.
             return Report(kEngineMsgJobAccepted, U32(n) + U32(5) + U32(7) + U64(huge)) +
                    Report(kEngineMsgProgress,
                           ProgressBlock(n, 5, 2, 0, huge, 0x7000000000000000ull, 10, 3, 1) +
                               EntryReport("x", huge, 0x7000000000000000ull, 10, "t"));
         },
         {},
         false,
         false,
         [](const SwarmFetchProgress& p, const SwarmFetchSizeInfo& size) {
             EXPECT_EQ(2, size.value);
             EXPECT_EQ(INT64_MAX, size.total);
             EXPECT_EQ(INT64_MAX, p.total);
             EXPECT_EQ(0x7000000000000000ll, p.received);
             EXPECT_EQ(87, p.percent);
             EXPECT_EQ(INT64_MAX, p.currentSize);
             EXPECT_EQ(0x7000000000000000ll, p.currentReceived);
             EXPECT_EQ(87, p.currentPercent);
         }},
    };
    for (uint32_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        RemoveFiles(2);
        const std::string answer = c.answer(i) + Report(kEngineMsgEngineState, U32(i + 1));
        ASSERT_NO_FATAL_FAILURE(StartEngine(answer));
        WriteFiles(c.filesWritten, c.shortFile);
        const uint32_t job = NewJob(2, 0, c.knownSizes);
        ASSERT_EQ(i, Number(job));
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        ASSERT_TRUE(
            Eventually([&] { return library.Recorder().CountOf(SF_EVENT_ENGINE_STATE) == 1; }));
        const std::vector<std::string> done = FileDoneTexts(job, 5);
        EXPECT_EQ(c.fileDone, done);
        EXPECT_EQ(c.jobDone ? 1u : 0u, library.Recorder().CountOf(SF_EVENT_JOB_DONE));
        // A job done without its files goes on in the plain downloader, as
        // one the engine gave back.
        EXPECT_EQ(c.handedBack, HeldBy(plain, job));
        const std::vector<std::string> messages = Messages(job);
        EXPECT_EQ(c.handedBack, !messages.empty() && messages[0] == "518 ");
        if (c.check) {
            SwarmFetchProgress progress{};
            SwarmFetchSizeInfo size{};
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetProgress(job, &progress));
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeInfo(job, &size));
            c.check(progress, size);
        }
    }
    EXPECT_TRUE(log.Has("[SwarmFetchLib] CEngineDownloader job 0: file outside the job ignored"))
        << log.Text();
    EXPECT_FALSE(log.Text().find("evil") != std::string::npos);
}

// The engine takes the connection and the job and never answers: the job is
// handed back kAnswerDeadlineSec after it was sent, well within 20 s.
TEST_F(EngineDownloaderTest, AnEngineThatNeverAnswersHandsTheJobBack) {
    static_assert(CEngineDownloader::kAnswerDeadlineSec < 20, "the bound promised");
    CEngineDownloader::SetClockForTesting(&ShiftedClock);
    ASSERT_NO_FATAL_FAILURE(StartEngine(""));
    ASSERT_TRUE(Eventually([&] { return Connected(); }));
    const uint32_t job = NewJob(1);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    // Parameter, mode, job.
    ASSERT_TRUE(Eventually([&] { return fake->FrameCount() >= 3; }));
    EXPECT_TRUE(HeldBy(engine, job));
    g_clockOffset = CEngineDownloader::kAnswerDeadlineSec;
    // The watch looks once a second.
    ASSERT_TRUE(Eventually([&] { return HeldBy(plain, job); }, 5000)) << log.Text();
    EXPECT_TRUE(log.Has("[SwarmFetchLib] CEngineDownloader job 0 not answered")) << log.Text();
    EXPECT_EQ(0u, log.CountOf("[SwarmFetchLib] localClosed()"));
}

// The engine accepts the job, then says nothing more about it: the job is
// handed back kReportDeadlineSec later (on the test clock), unless the
// engine waits for the host to answer its resume question.
TEST_F(EngineDownloaderTest, AnEngineThatFallsSilentHandsTheJobBack) {
    struct Case {
        const char* name;
        std::function<std::string(uint32_t)> answer;  // to the job with that number
        uint32_t lastEvent;                           // seen before the clock moves
        bool handedBack;
    };
    auto accepted = [](uint32_t n) {
        return Report(kEngineMsgJobAccepted, U32(n) + U32(5) + U32(1) + U64(1000));
    };
    const std::vector<Case> cases = {
        {"accepted, then nothing", accepted, SF_EVENT_SIZE_INFO, true},
        {"accepted, then a resume question the host has not answered",
         [&](uint32_t n) { return accepted(n) + Report(kEngineMsgResumeQuestion, U32(n)); },
         SF_EVENT_RESUME_QUESTION, false},
    };
    CEngineDownloader::SetClockForTesting(&ShiftedClock);
    for (uint32_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        g_clockOffset = 0;
        ASSERT_NO_FATAL_FAILURE(StartEngine(c.answer(i)));
        const uint32_t job = NewJob(1);
        ASSERT_EQ(i, Number(job));
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        ASSERT_TRUE(Eventually([&] { return library.Recorder().CountOf(c.lastEvent) >= 1; }));
        g_clockOffset = CEngineDownloader::kReportDeadlineSec;
        // The watch looks once a second.
        EXPECT_EQ(c.handedBack, Eventually([&] { return HeldBy(plain, job); }, 3000));
        EXPECT_EQ(c.handedBack ? 1u : 0u, log.CountOf("[SwarmFetchLib] CEngineDownloader job " +
                                                      std::to_string(i) + " not reported"));
        SwarmFetch_StopJob(job);
    }
}

// The engine keeps reporting on the job, so it never falls silent, but the
// counts do not move: kStallDeadlineSec later (on the test clock) the job is
// cancelled at the engine and handed back alone, the engine staying
// connected. A count that moves keeps it.
TEST_F(EngineDownloaderTest, AJobThatMovesNothingIsHandedBackAlone) {
    struct Case {
        const char* name;
        uint64_t bytesDone;  // in the late report
        bool handedBack;
    };
    const Case cases[] = {{"empty reports", 0, true}, {"a byte moved", 1, false}};
    CEngineDownloader::SetClockForTesting(&ShiftedClock);
    for (uint32_t i = 0; i < 2; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        g_clockOffset = 0;
        ASSERT_NO_FATAL_FAILURE(
            StartEngine(Report(kEngineMsgJobAccepted, U32(i) + U32(5) + U32(1) + U64(1000)) +
                        Report(kEngineMsgProgress, ProgressBlock(i, 5, 1, 0, 1000, 0, 0, 1, 0))));
        const uint32_t job = NewJob(1);
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        ASSERT_TRUE(
            Eventually([&] { return library.Recorder().CountOf(SF_EVENT_SIZE_INFO) >= 1; }));
        g_clockOffset = CEngineDownloader::kStallDeadlineSec;
        {
            // The engine's latest report, as it would come every second.
            ovCAutoLock hold(TheManager().LockObject());
            nwEngineProgressBlock block{};
            block.jobNumber = i;
            block.engineJobId = 5;
            block.totalBytes = 1000;
            block.bytesDone = c.bytesDone;
            engine->OnJobProgress(0, block, nullptr, 0);
        }
        // The watch looks once a second.
        EXPECT_EQ(c.handedBack, Eventually([&] { return HeldBy(plain, job); }, 3000));
        EXPECT_EQ(c.handedBack ? 1u : 0u, log.CountOf("[SwarmFetchLib] CEngineDownloader job " +
                                                      std::to_string(i) + " stalled"));
        // The cancel went out before the hand-back; the fake engine reads it
        // on its own thread.
        if (c.handedBack)
            EXPECT_TRUE(Eventually([&] { return EngineGot(kEngineMsgCancel); }));
        else
            EXPECT_FALSE(EngineGot(kEngineMsgCancel));
        EXPECT_TRUE(Connected());
        SwarmFetch_StopJob(job);
    }
}

// An engine that repeats one report many times over: what reaches the host
// and the service log stays bounded. Each case floods one job, then sends a
// disk report whose message shows the flood has been read.
TEST_F(EngineDownloaderTest, AFloodOfReportsIsBounded) {
    const int kRepeats = 1000;
    auto events = [&](uint32_t code, uint32_t handle) {
        size_t n = 0;
        for (const apitest::Event& e : library.Recorder().Events())
            n += e.code == code && e.handle == handle;
        return n;
    };
    struct Case {
        const char* name;
        std::string flood;  // one repeat, for the job with the case's number
        // What the case counts, for the job with that handle and number.
        std::function<size_t(uint32_t, uint32_t)> count;
        size_t most;  // however long the flood
    };
    const std::vector<Case> cases = {
        // One at once, the latest at the watch's next looks.
        {"engine state flipping",
         Report(kEngineMsgEngineState, U32(1)) + Report(kEngineMsgEngineState, U32(2)),
         [&](uint32_t, uint32_t) { return events(SF_EVENT_ENGINE_STATE, 0); }, 3},
        {"acceptance repeated with the engine's job id -1",
         Report(kEngineMsgJobAccepted, U32(1) + U32(0xFFFFFFFFu) + U32(1) + U64(10)),
         [&](uint32_t job, uint32_t) { return events(SF_EVENT_SIZE_INFO, job); }, 1},
        {"files outside the job",
         Report(kEngineMsgFileDone, U32(2) + U32(5) + std::string(33, '\0') +
                                        Fixed("C:\\Users\\Public\\x.exe", 260) + Z("u")),
         [&](uint32_t, uint32_t n) {
             return log.CountOf("[SwarmFetchLib] CEngineDownloader job " + std::to_string(n) +
                                ": file outside the job ignored");
         },
         1},
    };
    for (uint32_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        std::string answer;
        for (int k = 0; k < kRepeats; ++k)
            answer += c.flood;
        answer += Report(kEngineMsgDiskReport,
                         U32(i) + U32(5) + std::string(1, '\1') + Z("full") + Tail('f'));
        ASSERT_NO_FATAL_FAILURE(StartEngine(answer));
        const uint32_t job = NewJob(1);
        ASSERT_EQ(i, Number(job));
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        ASSERT_TRUE(Eventually([&] { return events(SF_EVENT_MESSAGE, job) == 1; }));
        // The watch raises what it held back.
        ASSERT_TRUE(Pass(kWatchPeriodMs));
        ASSERT_TRUE(Pass(kWatchPeriodMs));
        const size_t counted = c.count(job, i);
        EXPECT_GE(counted, 1u);
        EXPECT_LE(counted, c.most);
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(job));
    }
}

// The machine lost its network while the engine was being connected: the
// job that was not sent then is sent once the network is back, not left
// waiting for ever.
TEST_F(EngineDownloaderTest, AJobHeldBackWhileOfflineIsSentWhenTheNetworkIsBack) {
    struct ConnectivityReset {
        ~ConnectivityReset() { SetConnectivityForTesting(kConnectivityFromSystem); }
    } reset;
    ASSERT_NO_FATAL_FAILURE(StartEngine("", false));
    SetConnectivityForTesting(kConnectivityLost);
    const uint32_t job = NewJob(1);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    {
        // The job's tick finds the machine offline before the connection is up.
        ovCAutoLock hold(TheManager().LockObject());
        engine->OnEngineUpdated();
        engine->OnUpdateWaiting();
    }
    ASSERT_TRUE(Eventually([&] { return Connected(); }));
    auto jobSent = [&] { return EngineGot(kEngineMsgJob); };
    EXPECT_FALSE(Eventually(jobSent, 1500));
    SetConnectivityForTesting(kConnectivityConnected);
    EXPECT_TRUE(Eventually(jobSent, 5000)) << log.Text();
    EXPECT_TRUE(HeldBy(engine, job));
}

// Letter case is ignored as Windows ignores it: in a CP949 name a letter
// after a lead byte is the second half of one Hangul syllable, so
// "\xB0\x41" and "\xB0\x61" are two files, and a report of one is not the
// other.
TEST_F(EngineDownloaderTest, AReportedPathMatchesItsEntryByWholeCharacters) {
    const std::string nameA = "\xB0\x41.bin", nameB = "\xB0\x61.bin";
    const std::string urlA = "http://127.0.0.1:1/a", urlB = "http://127.0.0.1:1/b";
    auto fileDone = [](const std::string& path) {
        return Report(kEngineMsgFileDone,
                      U32(0) + U32(5) + std::string(33, '\0') + Fixed(path, 260) + Z("u"));
    };
    const std::string answer = Report(kEngineMsgJobAccepted, U32(0) + U32(5) + U32(2) + U64(20)) +
                               fileDone(folder.Win(nameB)) + Report(kEngineMsgEngineState, U32(1));
    ASSERT_NO_FATAL_FAILURE(StartEngine(answer));
    const uint32_t job = library.NewJob("brightwave7");
    ASSERT_EQ(0u, Number(job));
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(job, urlA.c_str(), folder.Win().c_str(), nameA.c_str(), 10, 7));
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(job, urlB.c_str(), folder.Win().c_str(), nameB.c_str(), 10, 7));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    ASSERT_TRUE(Eventually([&] { return library.Recorder().CountOf(SF_EVENT_ENGINE_STATE) == 1; }));
    const std::vector<std::string> done = FileDoneTexts(job, 3);
    EXPECT_EQ(std::vector<std::string>{urlB + "," + folder.Win(nameB)}, done);
}

// A job of two files with a hash, of the fault server's pattern: the engine
// wrote the first ("right.bin") right and the second ("wrong.bin") with other
// bytes of the same size, or right too. A right file counts without a
// request; a wrong one is fetched again, alone, verified and reported once;
// the job is done once, after both are, whatever the engine reports: each
// file, only the job, or (a hostile engine) a wrong file again and again,
// also while it is fetched anew, the job twice, a file after the job.
TEST_F(EngineDownloaderTest, AFileTheEngineGotWrongIsFetchedAgainAloneAndCountedOnce) {
    const sftest::TestServers& servers = sftest::Servers();
    ASSERT_TRUE(servers.Ok()) << servers.Error();
    const size_t size = 3000;
    const std::vector<unsigned char> pattern = sftest::FaultPattern(size);
    const std::string good(pattern.begin(), pattern.end());
    std::string bad = good;
    bad[1234] ^= 0x20;
    const std::string fragment = "#sha256=" + Sha256Hex(good) + "&size=" + std::to_string(size);
    const std::string names[2] = {"right.bin", "wrong.bin"};
    const std::string key =
        "ehash" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    // Requests the fault server logged for one /cut/ key.
    auto requests = [&](const std::string& marker) {
        int n = 0;
        for (const std::string& line : servers.FaultRequestLines())
            n += line.rfind("cut " + marker + " range ", 0) == 0 ? 1 : 0;
        return n;
    };
    struct Case {
        const char* script;  // 'r' / 'w': that file reported done; 'j': the job done
        bool wrong;          // the engine wrote other bytes to wrong.bin
        int cuts;            // the server cuts this many fetches before answering
    };
    const Case cases[] = {{"rwj", true, 0},     {"j", true, 0},    {"rwj", false, 0},
                          {"wwwrjjw", true, 1}, {"jwrj", true, 1}, {"rrwwjwj", true, 1}};
    for (uint32_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::string(c.script) + (c.wrong ? ", wrong" : ", right"));
        std::string answer =
            Report(kEngineMsgJobAccepted, U32(i) + U32(5) + U32(2) + U64(2 * size));
        for (const char* step = c.script; *step; ++step) {
            if (*step == 'j') {
                answer += Report(kEngineMsgJobFinished, U32(i) + U32(5) + U32(0) + U32(2) + U32(0));
                continue;
            }
            const std::string& name = names[*step == 'w' ? 1 : 0];
            answer += Report(kEngineMsgFileDone, U32(i) + U32(5) + std::string(33, '\0') +
                                                     Fixed(folder.Win(name), 260) + Z("u"));
        }
        // Seen once the whole script has been read.
        answer += Report(kEngineMsgEngineState, U32(i + 1));
        ASSERT_NO_FATAL_FAILURE(StartEngine(answer));
        std::ofstream(folder.Native(names[0]), std::ios::binary | std::ios::trunc) << good;
        std::ofstream(folder.Native(names[1]), std::ios::binary | std::ios::trunc)
            << (c.wrong ? bad : good);
        const uint32_t job = library.NewJob();
        ASSERT_EQ(i, Number(job));
        const std::string marker = key + "-" + std::to_string(i);
        for (int k = 0; k < 2; ++k) {
            const std::string url =
                servers.FaultUrl("/cut/" + marker + names[k] + "/" + std::to_string(c.cuts) + "/" +
                                 std::to_string(size)) +
                fragment;
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, url.c_str(), folder.Win().c_str(),
                                                       names[k].c_str(), -1, 7));
        }
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        ASSERT_TRUE(
            Eventually([&] { return library.Recorder().CountOf(SF_EVENT_JOB_DONE) == 1; }, 20000))
            << log.Text();
        ASSERT_TRUE(
            Eventually([&] { return library.Recorder().CountOf(SF_EVENT_ENGINE_STATE) == 1; }));
        // Anything late would come at a hash poll: none is left to come.
        ASSERT_TRUE(Eventually([&] {
            ovCAutoLock hold(TheManager().LockObject());
            return engine->HashesPending() == 0;
        }));
        ASSERT_TRUE(clock.StepPeriods(FileHashQueue::kPollMs, 3, TheManager().LockObject()));
        EXPECT_EQ(1u, library.Recorder().CountOf(SF_EVENT_JOB_DONE));
        EXPECT_EQ(2u, library.Recorder().CountOf(SF_EVENT_FILE_DONE));
        const std::vector<std::string> done = FileDoneTexts(job, 3);
        ASSERT_EQ(2u, done.size());
        for (int k = 0; k < 2; ++k) {
            const std::string path = folder.Win(names[k]);
            EXPECT_EQ(1, std::count_if(done.begin(), done.end(),
                                       [&](const std::string& text) {
                                           return text.size() >= path.size() &&
                                                  text.compare(text.size() - path.size(),
                                                               path.size(), path) == 0;
                                       }))
                << k;
            bool exists = false;
            EXPECT_EQ(good, supporttest::ReadWholeFile(folder.Native(names[k]), &exists)) << k;
        }
        EXPECT_EQ(0, requests(marker + names[0]));
        EXPECT_EQ(c.wrong ? c.cuts + 1 : 0, requests(marker + names[1]));
        EXPECT_FALSE(HeldBy(plain, job));
        EXPECT_TRUE(Messages(job).empty());
        const size_t refetched =
            log.CountOf("[SwarmFetchLib] CEngineDownloader job " + std::to_string(i) +
                        ": file 1 does not match, fetched again");
        EXPECT_EQ(c.wrong, refetched > 0) << log.Text();
    }
}

// A file the engine reports may be a link (symbolic or hard) to a file
// outside the folder that has the right bytes or size: it is never read
// through the link nor counted, but fetched anew, which puts a file of its
// own in place of the link and leaves the outside file alone.
TEST_F(EngineDownloaderTest, AReportedFileThatIsALinkToAFileOutsideIsNeverCounted) {
    const sftest::TestServers& servers = sftest::Servers();
    ASSERT_TRUE(servers.Ok()) << servers.Error();
    const size_t size = 3000;
    const std::vector<unsigned char> pattern = sftest::FaultPattern(size);
    const std::string good(pattern.begin(), pattern.end());
    const std::string hashed = "#sha256=" + Sha256Hex(good) + "&size=" + std::to_string(size);
    const std::string key =
        "elink" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    auto requests = [&](const std::string& marker) {
        int n = 0;
        for (const std::string& line : servers.FaultRequestLines())
            n += line.rfind("cut " + marker + " range ", 0) == 0 ? 1 : 0;
        return n;
    };
    struct Case {
        bool symbolic;
        const char* fragment;  // "" without a hash: counted by its size
    };
    const Case cases[] = {{true, "h"}, {false, "h"}, {true, ""}, {false, ""}};
    uint32_t n = 0;  // the next job's number
    for (uint32_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::string(c.symbolic ? "symbolic" : "hard") + " link" +
                     (c.fragment[0] ? ", hashed" : ""));
        TempFolder elsewhere;
        const std::string outside = elsewhere.Native("outside.bin");
        std::ofstream(outside, std::ios::binary | std::ios::trunc) << good;
        const std::string name = "linked" + std::to_string(i) + ".bin";
        std::error_code ec;
        if (c.symbolic)
            std::filesystem::create_symlink(outside, folder.Native(name), ec);
        else
            std::filesystem::create_hard_link(outside, folder.Native(name), ec);
        // Some Wine versions answer success and make no symbolic link.
        if (!ec && c.symbolic && !std::filesystem::is_symlink(folder.Native(name), ec))
            ec = std::make_error_code(std::errc::not_supported);
        if (ec) {
            // Wine makes symbolic links only in some versions.
            ASSERT_TRUE(c.symbolic) << ec.message();
            continue;
        }
        const std::string answer =
            Report(kEngineMsgJobAccepted, U32(n) + U32(5) + U32(1) + U64(size)) +
            Report(kEngineMsgFileDone, U32(n) + U32(5) + std::string(33, '\0') +
                                           Fixed(folder.Win(name), 260) + Z("u")) +
            Report(kEngineMsgJobFinished, U32(n) + U32(5) + U32(0) + U32(1) + U32(0));
        ASSERT_NO_FATAL_FAILURE(StartEngine(answer));
        const uint32_t job = library.NewJob();
        ASSERT_EQ(n++, Number(job));
        const std::string marker = key + "-" + std::to_string(i);
        const std::string url = servers.FaultUrl("/cut/" + marker + "/0/" + std::to_string(size)) +
                                (c.fragment[0] ? hashed : "");
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, url.c_str(), folder.Win().c_str(),
                                                   name.c_str(), (int64_t)size, 7));
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        ASSERT_TRUE(
            Eventually([&] { return library.Recorder().CountOf(SF_EVENT_JOB_DONE) == 1; }, 20000))
            << log.Text();
        EXPECT_EQ(1, requests(marker)) << log.Text();
        EXPECT_EQ(good, supporttest::ReadWholeFile(outside));
        EXPECT_EQ((int64_t)size, PfFileSoleSize(folder.Win(name).c_str()));
        EXPECT_EQ(good, supporttest::ReadWholeFile(folder.Native(name)));
        SwarmFetch_DeleteJob(job);
        library.Recorder().Clear();
    }
}

// A file the engine got wrong is being fetched anew (slowly) when the job
// is stopped or removed: from then on nothing more is written to its
// partial file, and no event comes.
TEST_F(EngineDownloaderTest, AJobEndedWhileAFileIsFetchedAnewWritesNoMore) {
    const sftest::TestServers& servers = sftest::Servers();
    ASSERT_TRUE(servers.Ok()) << servers.Error();
    const size_t size = 1000;
    const std::vector<unsigned char> pattern = sftest::FaultPattern(size);
    const std::string good(pattern.begin(), pattern.end());
    const std::string fragment = "#sha256=" + Sha256Hex(good) + "&size=" + std::to_string(size);
    const std::string key =
        "erefetch" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    for (uint32_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "stopped" : "removed");
        const std::string answer =
            Report(kEngineMsgJobAccepted, U32(i) + U32(5) + U32(1) + U64(size)) +
            Report(kEngineMsgFileDone, U32(i) + U32(5) + std::string(33, '\0') +
                                           Fixed(folder.Win("slow.bin"), 260) + Z("u"));
        ASSERT_NO_FATAL_FAILURE(StartEngine(answer));
        std::ofstream(folder.Native("slow.bin"), std::ios::binary | std::ios::trunc)
            << std::string(size, 'x');
        const uint32_t job = library.NewJob();
        ASSERT_EQ(i, Number(job));
        const std::string url =
            servers.FaultUrl("/drip/" + key + std::to_string(i) + "?ms=10") + fragment;
        ASSERT_EQ(SF_RESULT_OK,
                  SwarmFetch_AddFile(job, url.c_str(), folder.Win().c_str(), "slow.bin", -1, 7));
        // The case before left its partial file.
        const std::string part = folder.Native("slow.bin.part");
        std::error_code removed;
        std::filesystem::remove(part, removed);
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        auto partSize = [&] {
            std::error_code ec;
            const auto n = std::filesystem::file_size(part, ec);
            return ec ? -1 : (int64_t)n;
        };
        ASSERT_TRUE(Eventually([&] { return partSize() >= 5; }, 10000)) << log.Text();
        // The engine's connection and the fetch's.
        const int32_t sockets = netdl::LibrarySockets();
        ASSERT_GE(sockets, 2);
        ASSERT_EQ(SF_RESULT_OK, i == 0 ? SwarmFetch_StopJob(job) : SwarmFetch_DeleteJob(job));
        const int64_t atEnd = partSize();
        // Once the fetch's connection is gone nothing can come in for it.
        EXPECT_TRUE(Eventually([&] { return netdl::LibrarySockets() < sockets; }));
        ASSERT_TRUE(netdl::Drained());
        EXPECT_EQ(atEnd, partSize());
        EXPECT_EQ(0u, library.Recorder().CountOf(SF_EVENT_FILE_DONE));
        EXPECT_EQ(0u, library.Recorder().CountOf(SF_EVENT_JOB_DONE));
    }
}

// The engine reports a file done whose hash takes a while (256 MiB), and
// the job is stopped, removed, or the library finalised meanwhile: the
// hash is given up at once and no file-done or job-done event comes later.
TEST_F(EngineDownloaderTest, AJobEndedWhileItsFileIsHashedHasNoLateEvent) {
    const std::string url = "http://127.0.0.1:1/big.bin#sha256=" + std::string(kZerosSha256) +
                            "&size=" + std::to_string(kZerosSize);
    WriteZeros(folder.Native("big.bin"), kZerosSize);
    enum End { kStop, kDelete, kFinalize };
    for (uint32_t i = kStop; i <= kFinalize; ++i) {
        SCOPED_TRACE(i);
        const std::string answer =
            Report(kEngineMsgJobAccepted, U32(i) + U32(5) + U32(1) + U64(kZerosSize)) +
            Report(kEngineMsgFileDone, U32(i) + U32(5) + std::string(33, '\0') +
                                           Fixed(folder.Win("big.bin"), 260) + Z("u")) +
            Report(kEngineMsgJobFinished, U32(i) + U32(5) + U32(0) + U32(1) + U32(0)) +
            Report(kEngineMsgEngineState, U32(i + 1));
        ASSERT_NO_FATAL_FAILURE(StartEngine(answer));
        const uint32_t job = library.NewJob();
        ASSERT_EQ(i, Number(job));
        ASSERT_EQ(SF_RESULT_OK,
                  SwarmFetch_AddFile(job, url.c_str(), folder.Win().c_str(), "big.bin", -1, 7));
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        // Once the state is seen, the file report and the job done were read.
        ASSERT_TRUE(
            Eventually([&] { return library.Recorder().CountOf(SF_EVENT_ENGINE_STATE) == 1; }));
        const size_t before = library.Recorder().CountOf(SF_EVENT_FILE_DONE);
        if (i == kStop) {
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(job));
        } else if (i == kDelete) {
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(job));
        } else {
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
        }
        if (i != kFinalize) {
            ovCAutoLock hold(TheManager().LockObject());
            EXPECT_EQ(0, engine->HashesPending());
        }
        // A finalised library has no thread left to report from; a running
        // one would report at a hash poll or its watch.
        if (i != kFinalize) {
            ASSERT_TRUE(clock.StepPeriods(FileHashQueue::kPollMs, 3, TheManager().LockObject()));
            ASSERT_TRUE(Pass(kWatchPeriodMs));
        }
        EXPECT_EQ(before, library.Recorder().CountOf(SF_EVENT_FILE_DONE));
        EXPECT_EQ(0u, library.Recorder().CountOf(SF_EVENT_JOB_DONE));
    }
}

}  // namespace
