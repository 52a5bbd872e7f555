// The high-speed path end to end: the library fetches the engine manifest
// and archives from nginx, checks and unpacks them into the application-data
// folder, starts the stand-in engine (tools/engine) and hands it the job; the
// engine downloads the files from nginx. When the engine gives the job back
// or keeps dropping the connection, the plain downloader finishes the job.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "integration/ApiTestEnv.h"
#include "opn/platform/pfClock.h"
#include "opn/platform/pfFileVersion.h"
#include "opn/platform/pfShellFolders.h"
#include "sdk/support/EnginePath.h"
#include "sdk/download/engine/CBinaryExecute_V3.h"
#include "sdk/download/engine/CEngineDownloader.h"
#include "sdk/download/Connectivity.h"
#include "sdk/download/engine/EngineManifestUrl.h"
#include "sdk/download/engine/PartialArchive.h"
#include "support/Eventually.h"
#include "support/TestPeers.h"
#include "support/TestServers.h"

using apitest::Library;
using apitest::TheManager;
using sftest::Eventually;
using supporttest::TempFolder;

namespace {

const char* const kFiles[] = {"files/random-1m.bin", "files/random-16m.bin", "files/list.txt"};

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

bool FaultLogHas(const std::string& text) {
    for (const std::string& line : sftest::Servers().FaultRequestLines())
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

std::atomic<int64_t> g_clockOffset{0};
int64_t ShiftedClock() {
    return ClockUnixSeconds() + g_clockOffset.load();
}

// One library with the engine downloader, its engine folder empty at the
// start: natively a scratch application-data folder, under Wine the
// prefix's own.
class EnginePath : public ::testing::Test {
  protected:
    void SetUp() override {
        const sftest::TestServers& servers = sftest::Servers();
        ASSERT_TRUE(servers.Ok()) << servers.Error();
        ovCString folder;
        GetEngineFolder(folder);
        engineFolder = folder.CStr();
        // An engine of the test before may still be ending, and Windows keeps
        // a running program's file: wait until the folder could go.
        const std::string native = apitest::NativeFromWin(engineFolder);
        ASSERT_TRUE(Eventually(
            [&] {
                std::error_code ec;
                std::filesystem::remove_all(native, ec);
                return !std::filesystem::exists(native, ec);
            },
            15000))
            << "the engine folder stayed: " << native;
        LogReset();
        port = testpeers::RefusedPort();
        ASSERT_NE(0, port);
        CEngineDownloader::SetEnginePortForTesting(port);
        SetEngineManifestUrlForTesting(servers.HttpUrl("/ActiveX/update/KVX_updater.xml").c_str());
        // The engine the library starts inherits these.
        SetEnv("SF_ENGINE_PORT", std::to_string(port));
        SetEnv("SF_ENGINE_IDLE_EXIT_MS", "1500");
        SetEnv("SF_ENGINE_BEHAVIOUR", "");
    }
    void TearDown() override {
        library.reset();
        // The engine ends by itself once no library is connected.
        EXPECT_TRUE(Eventually([&] { return !Listening(); }, 15000)) << "the engine stayed";
        CEngineDownloader::SetEnginePortForTesting(0);
        CEngineDownloader::SetClockForTesting(nullptr);
        CEngineDownloader::SetAcceptWaitForTesting(0);
        SetEngineManifestUrlForTesting(nullptr);
        SetConnectivityForTesting(kConnectivityFromSystem);
        SetEnv("SF_ENGINE_BEHAVIOUR", "");
    }

    bool Listening() {
        testpeers::Client client;
        return client.Connect(port, 500);
    }
    void Start(const std::string& behaviour = "") {
        SetEnv("SF_ENGINE_BEHAVIOUR", behaviour);
        library.reset(new Library(false, true, 1, true));
        ASSERT_EQ(SF_RESULT_OK, library->Result());
    }
    uint32_t StartJob() {
        const sftest::TestServers& servers = sftest::Servers();
        const uint32_t job = library->NewJob("brightwave7");
        for (const char* file : kFiles) {
            std::string urls = servers.HttpUrl(std::string("/") + file);
            // The large file's first mirror is missing: both downloaders go
            // on to the next.
            if (file == kFiles[1])
                urls = servers.HttpUrl("/status/404") + "|" + urls;
            EXPECT_EQ(SF_RESULT_OK,
                      SwarmFetch_AddFile(job, urls.c_str(), target.Win().c_str(), file + 6, -1, 1));
        }
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        return job;
    }
    bool JobDone(uint32_t maxMs = 20000) {
        return Eventually([&] { return library->Recorder().CountOf(SF_EVENT_JOB_DONE) == 1; },
                          maxMs);
    }
    void ExpectFilesAsServed() {
        for (const char* file : kFiles) {
            const std::string name = std::string(file).substr(6);
            bool ok = false;
            const std::vector<unsigned char> served = sftest::Servers().DocRootFile(file, &ok);
            ASSERT_TRUE(ok) << file;
            const std::string got = supporttest::ReadWholeFile(target.Native(name));
            EXPECT_TRUE(got == std::string(served.begin(), served.end()))
                << name << ": " << got.size() << " bytes, served " << served.size();
        }
    }
    std::vector<std::string> Messages(uint32_t job) {
        std::vector<std::string> out;
        for (int i = 0; i < 50; ++i) {
            char text[1024] = {0};
            SwarmFetchMessage message{0, text};
            if (SwarmFetch_PopMessage(job, &message) != SF_RESULT_OK || message.code == SF_MSG_NONE)
                break;
            out.push_back(std::to_string(message.code));
        }
        return out;
    }
    CEngineDownloader* Engine() {
        return static_cast<CEngineDownloader*>(TheManager().EngineDownloader());
    }

    // A tag no earlier run used: `prefix`, the time and this test's port.
    std::string FreshTag(const std::string& prefix) const {
        return prefix + "-" + std::to_string(ClockUnixSeconds()) + "-" +
               std::to_string((long long)port);
    }
    // An engine manifest on nginx offering version 9.9.9.9 in an archive the
    // fault server drips (a byte every 100 ms, 1000 bytes), made the
    // library's manifest. Returns the archive's URL.
    std::string UseDrippingUpdate(const std::string& tag) {
        const sftest::TestServers& servers = sftest::Servers();
        const std::string archiveUrl = servers.FaultUrl("/drip/" + tag + "?ms=100&x=.zip");
        const std::string folder = "engine-path/" + tag;
        std::error_code ec;
        std::filesystem::create_directories(servers.DocRootPath(folder), ec);
        std::ofstream(servers.DocRootPath(folder + "/KVX_updater.xml"))
            << "<u><all><all url=\"" << archiveUrl
            << "\"/></all><file><ldDownload.exe ver=\"9.9.9.9\" url=\"" << archiveUrl
            << "\"/></file></u>";
        SetEngineManifestUrlForTesting(servers.HttpUrl("/" + folder + "/KVX_updater.xml").c_str());
        return archiveUrl;
    }
    // The bytes of the dripping archive kept in the engine folder.
    int64_t KeptArchiveBytes(const std::string& archiveUrl) {
        PartialArchive kept;
        EXPECT_TRUE(LoadPartialArchive(archiveUrl.c_str(), &kept)) << log.Text();
        const int64_t have = kept.have;
        free(kept.data);
        EXPECT_EQ(1000, kept.total);
        EXPECT_GE(have, 1);
        return have;
    }

#ifdef _WIN32
    // Under Wine the engine goes where it goes for a player.
    apitest::LogScope log{false};
#else
    apitest::LogScope log;
#endif
    TempFolder target;
    std::string engineFolder;
    uint16_t port = 0;
    std::unique_ptr<Library> library;
};

TEST_F(EnginePath, AJobRunsThroughTheEngineItInstalledAndStarted) {
    Start();
    // Started before the engine runs: it is registered once connected.
    const uint32_t job = StartJob();
    ASSERT_TRUE(JobDone()) << log.Text();
    ExpectFilesAsServed();
    EXPECT_EQ(1u, library->Recorder().CountOf(SF_EVENT_ENGINE_READY));
    EXPECT_EQ(0u, library->Recorder().CountOf(SF_EVENT_ENGINE_FAILED));
    EXPECT_EQ(3u, library->Recorder().CountOf(SF_EVENT_FILE_DONE));
    EXPECT_EQ(std::vector<std::string>{}, Messages(job));
    // Installed where the library looks for it, with the announced version.
    ovCString path;
    GetEnginePath(path);
    ovCString version;
    ASSERT_TRUE(PfReadFileVersion(path.CStr(), version)) << path.CStr();
    EXPECT_EQ(sftest::Servers().EngineVersion(), version.CStr());
    EXPECT_TRUE(log.Has("[SwarmFetchLib] Patch Success")) << log.Text();
    EXPECT_TRUE(log.Has("[SwarmFetchLib] Execute OK(0)")) << log.Text();
    EXPECT_FALSE(log.Has("[SwarmFetchLib] CPlatFormDownloader Begin")) << log.Text();
    // The engine just started is knocked at again until it listens: no
    // relaunch.
    EXPECT_EQ(0u, log.CountOf("[SwarmFetchLib] localClosed()")) << log.Text();
#ifdef _WIN32
    // The real application-data folder, and an elevated start.
    ovCString appDataFolder;
    ASSERT_TRUE(ShellGetAppDataFolder(appDataFolder));
    EXPECT_EQ(std::string(appDataFolder.CStr()) + "\\Ludra\\ldDownloader\\", engineFolder);
    EXPECT_STREQ("runas", ExecuteVerb());
#endif
}

TEST_F(EnginePath, AJobTheEngineGivesBackIsFinishedByThePlainDownloader) {
    Start("give-up");
    const uint32_t job = StartJob();
    ASSERT_TRUE(JobDone()) << log.Text() << ::testing::PrintToString(Messages(job))
                           << ::testing::PrintToString(library->Recorder().Codes());
    ExpectFilesAsServed();
    const std::vector<std::string> messages = Messages(job);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ("518", messages[0]);
    EXPECT_TRUE(log.Has("[SwarmFetchLib] CPlatFormDownloader Begin")) << log.Text();
}

TEST_F(EnginePath, AnEngineThatKeepsDroppingIsGivenUpAfterSixQuickStarts) {
    Start("drop-after-accept");
    StartJob();
    ASSERT_TRUE(JobDone()) << log.Text();
    ExpectFilesAsServed();
    EXPECT_EQ(6u, log.CountOf("[SwarmFetchLib] localClosed()")) << log.Text();
    EXPECT_EQ(1u, log.CountOf("[SwarmFetchLib] CEngineDownloader MaxTry Over"));
    EXPECT_TRUE(log.Has("[SwarmFetchLib] CPlatFormDownloader Begin"));
}

// The engine's port takes connections (the system queues them) but the
// engine never reads them: the job goes to the plain downloader once it has
// waited kAnswerDeadlineSec for an answer (on the test clock), without a
// relaunch series first.
TEST_F(EnginePath, AnEngineThatNeverAnswersHandsTheJobBack) {
    CEngineDownloader::SetClockForTesting(&ShiftedClock);
    g_clockOffset = 0;
    // Kept up long enough to see the wait (it never counts a library as
    // connected, so it ends this long after its start).
    SetEnv("SF_ENGINE_IDLE_EXIT_MS", "8000");
    Start("no-accept");
    StartJob();
    // Connected means the job went out in the same call.
    ASSERT_TRUE(Eventually(
        [&] {
            ovCAutoLock hold(TheManager().LockObject());
            CEngineDownloader* engine = Engine();
            return engine && engine->Connected();
        },
        20000))
        << log.Text();
    g_clockOffset = CEngineDownloader::kAnswerDeadlineSec;
    ASSERT_TRUE(JobDone(30000)) << log.Text();
    ExpectFilesAsServed();
    EXPECT_EQ(1u, log.CountOf("[SwarmFetchLib] CEngineDownloader job 0 not answered"))
        << log.Text();
    EXPECT_EQ(0u, log.CountOf("[SwarmFetchLib] CEngineDownloader MaxTry Over"));
    EXPECT_EQ(0u, log.CountOf("[SwarmFetchLib] localClosed()"));
    EXPECT_TRUE(log.Has("[SwarmFetchLib] CPlatFormDownloader Begin"));
}

// Nothing listens where the manifest is. Without a network the update waits
// (the job waits with it, held by the engine downloader); with one each
// connect is a failed try, and after three the update has failed: with no
// engine installed the job goes to the plain downloader (event 521) and gets
// its events there.
TEST_F(EnginePath, AManifestHostThatRefusesFailsTheUpdateAfterThreeTries) {
    SetConnectivityForTesting(kConnectivityLost);
    uint16_t refused = testpeers::RefusedPort();
    for (int i = 0; i < 10 && refused == port; ++i)
        refused = testpeers::RefusedPort();
    ASSERT_NE(0, refused);
    const std::string url =
        "http://127.0.0.1:" + std::to_string(refused) + "/ActiveX/update/KVX_updater.xml";
    SetEngineManifestUrlForTesting(url.c_str());
    Start();
    const uint32_t job = StartJob();
    ASSERT_TRUE(Eventually(
        [&] { return log.Has("[SwarmFetchLib] Session Error (URL: " + url + ")(Code: 7)"); },
        10000))
        << log.Text();
    bool heldByEngine = false;
    apitest::WithJob(job, [&](CJob& j) { heldByEngine = Engine() && Engine()->Holds(&j); });
    EXPECT_TRUE(heldByEngine);
    SetConnectivityForTesting(kConnectivityConnected);
    ASSERT_TRUE(JobDone()) << log.Text();
    ExpectFilesAsServed();
    // The refusal that shows the network back was still a free try; three
    // counted ones follow.
    EXPECT_EQ(4u, log.CountOf("[SwarmFetchLib] Session Error (URL: " + url + ")(Code: 3)"))
        << log.Text();
    EXPECT_EQ(1u, library->Recorder().CountOf(SF_EVENT_ENGINE_FAILED));
    EXPECT_EQ(3u, library->Recorder().CountOf(SF_EVENT_FILE_DONE));
    EXPECT_GE(library->Recorder().CountOf(SF_EVENT_PROGRESS), 1u);
    EXPECT_TRUE(log.Has("[SwarmFetchLib] CPlatFormDownloader Begin"));
    // Network lost and back while it waited; no failure.
    const std::vector<std::string> messages = Messages(job);
    EXPECT_TRUE(std::find(messages.begin(), messages.end(), "517") == messages.end())
        << ::testing::PrintToString(messages);
}

// The manifest comes a byte every 500 ms, never faster than the receive
// time-out: the update runs into its deadline (on the test clock), is
// abandoned with its download closed and nothing started, and the job goes
// to the plain downloader with event 521.
TEST_F(EnginePath, AnUpdateThatDripsRunsIntoItsDeadline) {
    SetConnectivityForTesting(kConnectivityConnected);
    CEngineDownloader::SetClockForTesting(&ShiftedClock);
    g_clockOffset = 0;
    const std::string tag = FreshTag("update");
    const std::string url = sftest::Servers().FaultUrl("/drip/" + tag + "?ms=500");
    SetEngineManifestUrlForTesting(url.c_str());
    Start();
    StartJob();
    ASSERT_TRUE(Eventually([&] { return FaultLogHas("/drip/" + tag); }, 10000));
    g_clockOffset = CEngineDownloader::kUpdateDeadlineSec;
    ASSERT_TRUE(JobDone()) << log.Text();
    ExpectFilesAsServed();
    EXPECT_TRUE(log.Has("[SwarmFetchLib] CEngineDownloader update timed out")) << log.Text();
    EXPECT_TRUE(log.Has("[SwarmFetchLib] Finalize Downloader"));
    EXPECT_EQ(1u, library->Recorder().CountOf(SF_EVENT_ENGINE_FAILED));
    EXPECT_FALSE(log.Has("[SwarmFetchLib] Patch Fail"));
    EXPECT_FALSE(log.Has("[SwarmFetchLib] Run Binary (no executable file)"));
    EXPECT_TRUE(log.Has("[SwarmFetchLib] CPlatFormDownloader Begin"));
    // The download was closed, not left dripping.
    EXPECT_TRUE(Eventually([&] { return FaultLogHas("drip " + tag + " closed"); }, 10000));
}

// The archive comes a byte every 100 ms: the update runs into its deadline
// (on the test clock) and the job goes to the plain downloader, but the
// bytes received stay in the engine folder; the library's next run asks the
// host only for the rest.
TEST_F(EnginePath, AnUpdateCutOffAtItsDeadlineResumesOnTheNextRun) {
    SetConnectivityForTesting(kConnectivityConnected);
    CEngineDownloader::SetClockForTesting(&ShiftedClock);
    g_clockOffset = 0;
    const std::string tag = FreshTag("resume");
    const std::string archiveUrl = UseDrippingUpdate(tag);

    Start();
    StartJob();
    ASSERT_TRUE(Eventually(
        [&] { return library->Recorder().CountOf(SF_EVENT_ENGINE_UPDATE_PROGRESS) >= 1; }, 20000))
        << log.Text();
    g_clockOffset = CEngineDownloader::kUpdateDeadlineSec;
    ASSERT_TRUE(JobDone()) << log.Text();
    EXPECT_TRUE(log.Has("[SwarmFetchLib] CEngineDownloader update timed out")) << log.Text();
    EXPECT_EQ(1u, library->Recorder().CountOf(SF_EVENT_ENGINE_FAILED));
    // No engine is installed to take the job meanwhile.
    EXPECT_TRUE(log.Has("[SwarmFetchLib] Installed Engine Unusable")) << log.Text();
    EXPECT_TRUE(log.Has("[SwarmFetchLib] CPlatFormDownloader Begin")) << log.Text();
    const int64_t have = KeptArchiveBytes(archiveUrl);
    ASSERT_FALSE(HasFailure());

    // The library's next run: the archive is asked for from where it ended.
    library.reset();
    g_clockOffset = 0;
    Start();
    StartJob();
    EXPECT_TRUE(Eventually(
        [&] {
            return FaultLogHas("drip " + tag + " range bytes=" + std::to_string((long long)have) +
                               "-");
        },
        20000))
        << log.Text();
    g_clockOffset = CEngineDownloader::kUpdateDeadlineSec;
    ASSERT_TRUE(JobDone()) << log.Text();
}

// With a working engine installed by an earlier run, an update whose archive
// drips past its deadline (on the test clock) is cut off, keeping its bytes,
// and the installed engine does the job: event 520, no 521, no plain
// downloader. The next run asks for the rest of the archive and again uses
// the installed engine while it is slow.
TEST_F(EnginePath, ASlowUpdateLeavesTheJobToTheInstalledEngineAndResumesNextRun) {
    SetConnectivityForTesting(kConnectivityConnected);
    CEngineDownloader::SetClockForTesting(&ShiftedClock);
    g_clockOffset = 0;
    const sftest::TestServers& servers = sftest::Servers();
    auto nextRun = [&] {
        library.reset();
        ASSERT_TRUE(Eventually([&] { return !Listening(); }, 15000)) << "the engine stayed";
        for (const char* file : kFiles)
            std::filesystem::remove(target.Native(std::string(file).substr(6)));
        g_clockOffset = 0;
        Start();
        StartJob();
    };
    // Each run starts its log afresh.
    auto ranByTheInstalledEngine = [&](const std::string& what) {
        ASSERT_TRUE(JobDone()) << what << log.Text();
        ExpectFilesAsServed();
        EXPECT_EQ(1u, library->Recorder().CountOf(SF_EVENT_ENGINE_READY)) << what;
        EXPECT_EQ(0u, library->Recorder().CountOf(SF_EVENT_ENGINE_FAILED)) << what;
        EXPECT_EQ(1u, log.CountOf("[SwarmFetchLib] CEngineDownloader update timed out")) << what;
        EXPECT_EQ(1u, log.CountOf("[SwarmFetchLib] Installed Engine Used (Version: " +
                                  servers.EngineVersion() + ")"))
            << what << log.Text();
        EXPECT_FALSE(log.Has("[SwarmFetchLib] CPlatFormDownloader Begin")) << what << log.Text();
    };

    // The first run installs the engine the server has.
    Start();
    StartJob();
    ASSERT_TRUE(JobDone()) << log.Text();
    ExpectFilesAsServed();

    const std::string tag = FreshTag("installed");
    const std::string archiveUrl = UseDrippingUpdate(tag);

    nextRun();
    ASSERT_TRUE(Eventually(
        [&] { return library->Recorder().CountOf(SF_EVENT_ENGINE_UPDATE_PROGRESS) >= 1; }, 20000))
        << log.Text();
    g_clockOffset = CEngineDownloader::kUpdateDeadlineSec;
    ranByTheInstalledEngine("second run: ");
    const int64_t have = KeptArchiveBytes(archiveUrl);
    ASSERT_FALSE(HasFailure());

    nextRun();
    EXPECT_TRUE(Eventually(
        [&] {
            return FaultLogHas("drip " + tag + " range bytes=" + std::to_string((long long)have) +
                               "-");
        },
        20000))
        << log.Text();
    g_clockOffset = CEngineDownloader::kUpdateDeadlineSec;
    ranByTheInstalledEngine("third run: ");
}

// An installed engine that is a link to the program elsewhere, or has no
// version, is not started while the update is slow, and one that is started
// but ends at once is not waited for: the job goes to the plain downloader
// (event 521), the linked program stays as it was.
TEST_F(EnginePath, ASlowUpdateWithAnUnusableInstalledEngineLeavesTheJobToThePlainDownloader) {
    SetConnectivityForTesting(kConnectivityConnected);
    CEngineDownloader::SetClockForTesting(&ShiftedClock);
    const sftest::TestServers& servers = sftest::Servers();
    int ran = 0;
    for (const char* kind : {"a link", "no version", "exits at once"}) {
        SCOPED_TRACE(kind);
        g_clockOffset = 0;
        library.reset();
        ASSERT_TRUE(Eventually([&] { return !Listening(); }, 15000)) << "the engine stayed";
        // The run installs the engine the server has.
        SetEngineManifestUrlForTesting(servers.HttpUrl("/ActiveX/update/KVX_updater.xml").c_str());
        Start();
        StartJob();
        ASSERT_TRUE(JobDone()) << log.Text();
        library.reset();
        ASSERT_TRUE(Eventually([&] { return !Listening(); }, 15000)) << "the engine stayed";
        ovCString path;
        GetEnginePath(path);
        const std::string program = apitest::NativeFromWin(path.CStr());
        const std::string elsewhere = program + ".elsewhere";
        std::error_code ec;
        std::filesystem::remove(elsewhere, ec);
        std::filesystem::rename(program, elsewhere, ec);
        ASSERT_FALSE(ec) << ec.message();
        const bool exits = std::string(kind) == "exits at once";
        if (exits) {
            std::filesystem::copy_file(elsewhere, program, ec);
            ASSERT_FALSE(ec) << ec.message();
        } else if (std::string(kind) == "a link") {
            std::filesystem::create_symlink(elsewhere, program, ec);
            if (ec || !std::filesystem::is_symlink(program, ec))
                continue;  // Wine by version
        } else {
            std::ofstream(program, std::ios::binary) << "MZ no version here";
        }
        const auto before = std::filesystem::file_size(elsewhere, ec);
        ++ran;

        UseDrippingUpdate(FreshTag("unusable") + (kind[0] == 'a' ? "l" : "v"));
        for (const char* file : kFiles)
            std::filesystem::remove(target.Native(std::string(file).substr(6)));
        Start(exits ? "exit" : "");
        StartJob();
        ASSERT_TRUE(Eventually(
            [&] { return library->Recorder().CountOf(SF_EVENT_ENGINE_UPDATE_PROGRESS) >= 1; },
            20000))
            << log.Text();
        g_clockOffset = CEngineDownloader::kUpdateDeadlineSec;
        // Before, an installed engine that ended at once was followed by the
        // slow update again, and the job waited its whole deadline once more.
        ASSERT_TRUE(JobDone()) << log.Text();
        ExpectFilesAsServed();
        EXPECT_EQ(exits ? 0u : 1u, log.CountOf("[SwarmFetchLib] Installed Engine Unusable"))
            << log.Text();
        EXPECT_EQ(exits ? 1u : 0u, log.CountOf("[SwarmFetchLib] Installed Engine Used (Version: " +
                                               servers.EngineVersion() + ")"))
            << log.Text();
        // The slow update is not started a second time.
        EXPECT_EQ(1u, log.CountOf("[SwarmFetchLib] Begin Update")) << log.Text();
        EXPECT_TRUE(log.Has("[SwarmFetchLib] CPlatFormDownloader Begin")) << log.Text();
        EXPECT_GE(library->Recorder().CountOf(SF_EVENT_ENGINE_FAILED), 1u);
        EXPECT_EQ(before, std::filesystem::file_size(elsewhere, ec));
        std::filesystem::remove(elsewhere, ec);
    }
    EXPECT_GE(ran, 1);
}

TEST_F(EnginePath, AConnectionThatLastedAMinuteStartsTheSeriesAgain) {
    CEngineDownloader::SetClockForTesting(&ShiftedClock);
    g_clockOffset = 0;
    // Slow downloads, so no connection lives long enough to finish the job.
    Start("drop-after-ms=400,rate=500000");
    StartJob();
    // After the third start a connection "lasts" longer than a quick drop
    // before it drops: on the test clock only, so by less than the report
    // deadline, as the engine's reports of that time never come.
    ASSERT_TRUE(Eventually(
        [&] {
            ovCAutoLock hold(TheManager().LockObject());
            CEngineDownloader* engine = Engine();
            return engine && engine->LaunchCount() >= 3 && engine->Connected();
        },
        30000));
    g_clockOffset = CEngineDownloader::kQuickDropSec + 1;
    ASSERT_TRUE(JobDone()) << log.Text();
    ExpectFilesAsServed();
    EXPECT_EQ(1u, log.CountOf("[SwarmFetchLib] CEngineDownloader MaxTry Over"));
    // Six quick drops end a series; the long connection made this one longer.
    EXPECT_GE(log.CountOf("[SwarmFetchLib] localClosed()"), 8u) << log.Text();
}

TEST_F(EnginePath, TheEngineAsksTheHostWhetherToResumeAPartlyWrittenFile) {
    // A third of the first file is there already.
    bool ok = false;
    const std::vector<unsigned char> served = sftest::Servers().DocRootFile(kFiles[0], &ok);
    ASSERT_TRUE(ok);
    {
        std::ofstream part(target.Native("random-1m.bin"), std::ios::binary);
        part.write(reinterpret_cast<const char*>(served.data()),
                   (std::streamsize)served.size() / 3);
    }
    Start();
    const uint32_t job = StartJob();
    ASSERT_TRUE(Eventually(
        [&] { return library->Recorder().CountOf(SF_EVENT_RESUME_QUESTION) >= 1; }, 60000));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_ResumeReply(job, 1, 1));
    ASSERT_TRUE(JobDone()) << log.Text();
    ExpectFilesAsServed();
}

}  // namespace
