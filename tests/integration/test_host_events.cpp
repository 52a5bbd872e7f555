// Events to the host: delivery (window message and callback), the records
// behind them and the queries that fetch them.
#include <atomic>

#include "integration/ApiTestEnv.h"

using namespace apitest;

namespace {

// The host's view of one event: the callback always, the window message too
// on Windows.
void ExpectDelivered(Library& lib, const std::vector<uint32_t>& codes, uint32_t handle) {
    const std::vector<Event> events = lib.Recorder().Events();
    ASSERT_EQ(codes.size(), events.size());
    for (size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(codes[i], events[i].code) << i;
        EXPECT_EQ(handle, events[i].handle) << i;
        EXPECT_EQ(&lib.Recorder(), events[i].user) << i;
    }
    lib.Window().Pump();
    const std::vector<HostWindow::Message>& messages = lib.Window().Messages();
    if (!kWindowsGetMessages) {
        EXPECT_TRUE(messages.empty());
        return;
    }
    ASSERT_EQ(codes.size(), messages.size());
    for (size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ((uintptr_t)codes[i], messages[i].wparam) << i;
        EXPECT_EQ((intptr_t)handle, messages[i].lparam) << i;
    }
}

void Clear(Library& lib) {
    lib.Recorder().Clear();
    lib.Window().Clear();
}

SwarmFetchProgress ProgressWith(int64_t total, int64_t received, int32_t files) {
    SwarmFetchProgress p;
    memset(&p, 0, sizeof p);
    p.total = total;
    p.received = received;
    p.fileCount = files;
    return p;
}

class HostEvents : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(SF_RESULT_OK, m_lib.Result());
        m_job = m_lib.NewJob();
        m_dir = m_folder.Win() + "\\";
        ASSERT_EQ(SF_RESULT_OK,
                  SwarmFetch_AddFile(m_job, "http://h/a.bin", m_dir.c_str(), nullptr, -1, 1));
        ASSERT_EQ(SF_RESULT_OK,
                  SwarmFetch_AddFile(m_job, "http://h/b.bin", m_dir.c_str(), nullptr, -1, 1));
        Clear(m_lib);
    }
    void Job(const std::function<void(CJob&)>& fn) { ASSERT_TRUE(WithJob(m_job, fn)); }

    TempFolder m_folder;
    Library m_lib{true, true};
    uint32_t m_job = 0;
    std::string m_dir;
};

}  // namespace

TEST_F(HostEvents, TwoFileDoneRecordsInOrder) {
    const std::string a = m_dir + "a.bin";
    const std::string b = m_dir + "b.bin";
    Job([&](CJob& j) {
        j.SetState(CJob::kRunning);
        j.SetProgress(ProgressWith(100, 10, 2));
        j.ReportFileDone(a.c_str(), "http://h/a.bin");
        j.ReportFileDone(b.c_str(), "http://h/b.bin|http://m/b.bin");
        // A file is reported once, even in another letter case.
        std::string upper = b;
        for (char& c : upper)
            c = (char)toupper((unsigned char)c);
        j.ReportFileDone(upper.c_str(), "http://h/b.bin");
        EXPECT_EQ(kEntryReported, j.EntryAt(0)->reportState);
        EXPECT_EQ(kEntryReported, j.EntryAt(1)->reportState);
    });
    ExpectDelivered(m_lib, {SF_EVENT_FILE_DONE, SF_EVENT_FILE_DONE}, m_job);

    SwarmFetchFileDone first;
    SwarmFetchFileDone second;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetFileDone(m_job, &first));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetFileDone(m_job, &second));
    EXPECT_EQ(1, first.sequence);
    EXPECT_EQ(2, first.fileCount);
    EXPECT_EQ("http://h/a.bin," + a, std::string(first.text));
    EXPECT_EQ(2, second.sequence);
    EXPECT_EQ("http://h/b.bin|http://m/b.bin," + b, std::string(second.text));
    // The host takes the part after the first comma as the path.
    const std::string text(second.text);
    EXPECT_EQ(b, text.substr(text.find(',') + 1));

    // An empty queue leaves the record untouched.
    SwarmFetchFileDone untouched;
    memset(&untouched, 0xAB, sizeof untouched);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetFileDone(m_job, &untouched));
    EXPECT_EQ((int32_t)0xABABABAB, untouched.sequence);
    EXPECT_EQ((char)0xAB, untouched.text[0]);
}

TEST_F(HostEvents, FileDoneTextIsCutTo1023Characters) {
    const std::string url(2000, 'u');
    Job([&](CJob& j) { j.ReportFileDone("C:\\x\\y.bin", url.c_str()); });
    SwarmFetchFileDone record;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetFileDone(m_job, &record));
    EXPECT_EQ(1023u, strlen(record.text));
    EXPECT_EQ(1, record.sequence);
}

TEST_F(HostEvents, TheTextAfterTheFirstCommaIsAlwaysTheWholePath) {
    // The host takes the part after the first comma as the path, so the URL
    // list from the file list may bring no comma of its own, and it is the
    // one cut when the text would be too long.
    const std::string path = m_dir + "setup.exe";
    const std::string korean = "\xC7\xD1\xB1\xDB";  // two double-byte characters
    struct Case {
        const char* what;
        std::string urlList;
        std::string urlPart;  // what stands before the comma
    };
    const std::string longList = "http://h/setup.exe|" + std::string(1500, 'm');
    const size_t room = 1023 - 1 - path.size();
    const std::string beforeCut = "http://h/" + std::string(room - 10, 'x');
    const Case cases[] = {
        {"a comma in the URL", "http://h/a,ms-settings:x/setup.exe",
         "http://h/a%2Cms-settings:x/setup.exe"},
        {"commas in mirrors", "http://h/s,1/setup.exe|http://m/,/setup.exe",
         "http://h/s%2C1/setup.exe|http://m/%2C/setup.exe"},
        {"a list too long", longList, longList.substr(0, room)},
        {"a comma where the cut falls", longList.substr(0, room - 1) + ",abc",
         longList.substr(0, room - 1)},
        // A character is never cut in two: a lone lead byte would take the
        // comma after it as its trail byte.
        {"a double-byte character at the cut", beforeCut + korean + "zz", beforeCut},
        {"a comma after a lead byte", "http://h/\x81,/setup.exe", "http://h/\x81%2C/setup.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Job([&](CJob& j) {
            j.EntryAt(0)->reportState = 0;
            j.ReportFileDone(path.c_str(), c.urlList.c_str());
        });
        SwarmFetchFileDone record;
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetFileDone(m_job, &record));
        const std::string text(record.text);
        EXPECT_LE(text.size(), 1023u);
        const size_t comma = text.find(',');
        ASSERT_NE(std::string::npos, comma);
        EXPECT_EQ(path, text.substr(comma + 1));
        EXPECT_EQ(c.urlPart, text.substr(0, comma));
    }
}

TEST_F(HostEvents, SizeInfoOnlyWhileRunningBeforeTheFirstByte) {
    Job([](CJob& j) { j.ReportSizeInfo(3, 111); });  // idle: not raised
    EXPECT_EQ(0u, m_lib.Recorder().Count());
    Job([](CJob& j) {
        j.SetState(CJob::kRunning);
        j.ReportSizeInfo(2, 1000);
        // A second record replaces the unread first one.
        j.ReportSizeInfo(4, 2000);
    });
    ExpectDelivered(m_lib, {SF_EVENT_SIZE_INFO, SF_EVENT_SIZE_INFO}, m_job);
    SwarmFetchSizeInfo info;
    memset(&info, 0, sizeof info);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeInfo(m_job, &info));
    EXPECT_EQ(4, info.value);
    EXPECT_EQ(2000, info.total);
    // The slot is empty now.
    SwarmFetchSizeInfo untouched = {-7, -7, -7};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeInfo(m_job, &untouched));
    EXPECT_EQ(-7, untouched.value);
    EXPECT_EQ(-7, untouched.total);

    // Once a byte arrived, 513 is never raised again.
    Clear(m_lib);
    Job([](CJob& j) {
        j.SetProgress(ProgressWith(2000, 1, 2));
        j.ReportSizeInfo(9, 9);
    });
    EXPECT_EQ(0u, m_lib.Recorder().Count());
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeInfo(m_job, &untouched));
    EXPECT_EQ(-7, untouched.value);
}

TEST_F(HostEvents, ProgressStartsWithTheFirstByte) {
    Job([](CJob& j) {
        j.SetState(CJob::kRunning);
        j.Tick();  // nothing received yet
        j.SetProgress(ProgressWith(100, 1, 1));
        j.Tick();
        j.SetState(CJob::kIdle);
        j.Tick();  // not running
    });
    ExpectDelivered(m_lib, {SF_EVENT_PROGRESS}, m_job);
}

TEST_F(HostEvents, ProgressQueryCopiesAllButTheUnusedField) {
    SwarmFetchProgress stored;
    memset(&stored, 0, sizeof stored);
    stored.total = 5000;
    stored.received = 1200;
    stored.fileCount = 3;
    stored.filesDone = 1;
    stored.speed = 400;
    stored.unused28 = 0x11111111;
    stored.elapsed = 3;
    stored.remaining = 9;
    stored.percent = 24;
    stored.currentIndex = 1;
    stored.currentSize = 2000;
    stored.currentReceived = 200;
    stored.currentSpeed = 400;
    stored.currentRemaining = 9;
    stored.currentPercent = 10;
    memcpy(stored.currentName, "b.bin", 6);
    stored.unused158[0] = 'Z';
    Job([&](CJob& j) { j.SetProgress(stored); });

    SwarmFetchProgress out;
    memset(&out, 0xCD, sizeof out);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetProgress(m_job, &out));
    EXPECT_EQ((int32_t)0xCDCDCDCD, out.unused28);
    SwarmFetchProgress expected = stored;
    expected.unused28 = out.unused28;
    EXPECT_EQ(0, memcmp(&expected, &out, sizeof out));
    // Twice between ticks gives the same values.
    SwarmFetchProgress again;
    memset(&again, 0xCD, sizeof again);
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetProgress(m_job, &again));
    EXPECT_EQ(0, memcmp(&out, &again, sizeof out));
    EXPECT_EQ(0u, m_lib.Recorder().Count());
}

TEST_F(HostEvents, JobDoneRaisesTheFinalProgressFirst) {
    Job([](CJob& j) {
        j.SetState(CJob::kRunning);
        j.SetProgress(ProgressWith(10, 10, 2));
        j.ReportJobDone(2, 0);
        EXPECT_EQ(CJob::kComplete, j.State());
        // A second report replaces the unread record.
        j.ReportJobDone(1, 5);
    });
    ExpectDelivered(
        m_lib, {SF_EVENT_PROGRESS, SF_EVENT_JOB_DONE, SF_EVENT_PROGRESS, SF_EVENT_JOB_DONE}, m_job);
    SwarmFetchJobDone done = {0, 0, 0};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetJobDone(m_job, &done));
    EXPECT_EQ(2, done.fileCount) << "files in the job";
    EXPECT_EQ(1, done.filesDone);
    EXPECT_EQ(5, done.extra);
    SwarmFetchJobDone untouched = {-1, -1, -1};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetJobDone(m_job, &untouched));
    EXPECT_EQ(-1, untouched.fileCount);
}

TEST_F(HostEvents, JobDoneWithoutBytesHasNoProgressEvent) {
    Job([](CJob& j) {
        j.SetState(CJob::kRunning);
        j.ReportJobDone(0, 0);
    });
    ExpectDelivered(m_lib, {SF_EVENT_JOB_DONE}, m_job);
}

TEST_F(HostEvents, MessagesAreFirstInFirstOut) {
    Job([](CJob& j) {
        j.QueueMessage(SF_MSG_FAILED, "http://h/a.bin");
        j.QueueMessage(SF_MSG_NETWORK_LOST, nullptr);
        j.QueueMessage(SF_MSG_DISK_FULL, "");
    });
    ExpectDelivered(m_lib, {SF_EVENT_MESSAGE, SF_EVENT_MESSAGE, SF_EVENT_MESSAGE}, m_job);

    int32_t length = -1;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetMessageLength(m_job, &length));
    EXPECT_EQ(15, length);
    std::vector<char> buffer((size_t)length, '\0');
    SwarmFetchMessage message = {0, buffer.data()};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_PopMessage(m_job, &message));
    EXPECT_EQ(SF_MSG_FAILED, message.code);
    EXPECT_STREQ("http://h/a.bin", buffer.data());

    // No text: length 0, and the host's buffer stays as it is.
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetMessageLength(m_job, &length));
    EXPECT_EQ(0, length);
    char kept[4] = {'k', 'e', 'p', 0};
    message = {0, kept};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_PopMessage(m_job, &message));
    EXPECT_EQ(SF_MSG_NETWORK_LOST, message.code);
    EXPECT_STREQ("kep", kept);

    // An empty text counts 1 and is not copied.
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetMessageLength(m_job, &length));
    EXPECT_EQ(1, length);
    message = {0, kept};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_PopMessage(m_job, &message));
    EXPECT_EQ(SF_MSG_DISK_FULL, message.code);
    EXPECT_STREQ("kep", kept);

    // The empty queue: code 512, which matches no message, and no text.
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetMessageLength(m_job, &length));
    EXPECT_EQ(0, length);
    message = {SF_MSG_FAILED, kept};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_PopMessage(m_job, &message));
    EXPECT_EQ(SF_MSG_NONE, message.code);
    EXPECT_STREQ("kep", kept);
    message = {SF_MSG_FAILED, nullptr};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_PopMessage(m_job, &message));
    EXPECT_EQ(512, message.code);
}

TEST_F(HostEvents, QueriesRejectNullRecords) {
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetSizeInfo(m_job, nullptr));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetProgress(m_job, nullptr));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetFileDone(m_job, nullptr));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetJobDone(m_job, nullptr));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetMessageLength(m_job, nullptr));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_PopMessage(m_job, nullptr));
}

TEST_F(HostEvents, ResumeQuestion) {
    Job([](CJob& j) { j.AskResume(); });
    ExpectDelivered(m_lib, {SF_EVENT_RESUME_QUESTION}, m_job);
}

TEST_F(HostEvents, ManagerEvents) {
    CJobManager* manager = Manager();
    ASSERT_NE(nullptr, manager);
    manager->OnEngineUpdateStarted("update", 1, 2);
    manager->OnEngineUpdateProgress("update", 3, 4);
    manager->OnEngineReady();
    manager->OnEngineFailed();
    manager->OnEngineState(3);
    manager->OnDataComplete(nullptr, 0);
    manager->OnDataFailed(6);
    manager->OnDataTick();
    manager->OnSizeCheckComplete(100);
    manager->OnSizeCheckFailed("x");
    manager->OnSizeCheckAborted();
    ExpectDelivered(
        m_lib,
        {SF_EVENT_ENGINE_UPDATE_STARTED, SF_EVENT_ENGINE_UPDATE_PROGRESS, SF_EVENT_ENGINE_READY,
         SF_EVENT_ENGINE_FAILED, SF_EVENT_ENGINE_STATE, SF_EVENT_DATA_DONE, SF_EVENT_DATA_FAILED,
         SF_EVENT_DATA_TICK, SF_EVENT_SIZE_CHECK_DONE, SF_EVENT_SIZE_CHECK_FAILED,
         SF_EVENT_SIZE_CHECK_FAILED},
        0);
    Clear(m_lib);
    manager->OnPathAccessFailed(IJobDownloadEventListener::kPathEngine);
    manager->OnPathAccessFailed(IJobDownloadEventListener::kPathDownload);
    manager->OnPathAccessFailed(7);  // no such kind: nothing
    ExpectDelivered(m_lib, {SF_EVENT_ENGINE_PATH_FAILED, SF_EVENT_DOWNLOAD_PATH_FAILED},
                    manager->Handle());
}

TEST(HostEventLog, PathFailureLinesOnlyWithAHostWindow) {
    LogScope log;
    for (int withWindow = 0; withWindow < 2; ++withWindow) {
        Library lib(withWindow != 0, true);
        ASSERT_EQ(SF_RESULT_OK, lib.Result());
        TheManager().OnPathAccessFailed(IJobDownloadEventListener::kPathEngine);
        TheManager().OnPathAccessFailed(IJobDownloadEventListener::kPathDownload);
        EXPECT_EQ(2u, lib.Recorder().Count());
    }
    EXPECT_EQ(1u, log.CountOf("[SwarmFetchLib] engine path access failed")) << log.Text();
    EXPECT_EQ(1u, log.CountOf("[SwarmFetchLib] download path access failed"));
}

TEST(HostEventsWithoutHost, RecordsAccumulateUntilTheJobIsDeleted) {
    TempFolder folder;
    Library lib(false, false);
    ASSERT_EQ(SF_RESULT_OK, lib.Result());
    const uint32_t job = lib.NewJob();
    const std::string dir = folder.Win() + "\\";
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, "http://h/a.bin", dir.c_str(), nullptr, -1, 1));
    ASSERT_TRUE(WithJob(job, [&](CJob& j) {
        j.SetState(CJob::kRunning);
        j.ReportSizeInfo(1, 10);
        j.SetProgress(ProgressWith(10, 5, 1));
        j.ReportFileDone((dir + "a.bin").c_str(), "http://h/a.bin");
        j.QueueMessage(SF_MSG_FAILED, "gone");
        j.QueueMessage(SF_MSG_NETWORK_BACK, nullptr);
        j.ReportJobDone(1, 0);
        EXPECT_EQ(1, j.PendingFileDoneCount());
        EXPECT_EQ(2, j.PendingMessageCount());
    }));
    lib.Window().Pump();
    EXPECT_EQ(0u, lib.Window().Messages().size());
    int32_t length = 0;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_GetMessageLength(job, &length));
    EXPECT_EQ(5, length);
    // Deleting the job frees what was never fetched.
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(job));
}

TEST(HostEventsThreads, EventsOfTheLibraryThreadCallBackThere) {
    CDownloadLibThread::EnableTaskWindowForTesting(true);
    Library lib(true, true);
    CDownloadLibThread::EnableTaskWindowForTesting(false);
    ASSERT_EQ(SF_RESULT_OK, lib.Result());
    const uint32_t job = lib.NewJob();
    CDownloadLibThread* thread = SwarmFetchLibraryThread();
    struct Raise {
        uint32_t job;
    } raise{job};
    ASSERT_TRUE(thread->PostTaskForTesting(
        [](void* arg) {
            const uint32_t handle = static_cast<Raise*>(arg)->job;
            WithJob(handle, [](CJob& j) { j.QueueMessage(SF_MSG_NETWORK_LOST, nullptr); });
        },
        &raise));
    ASSERT_TRUE(lib.Recorder().WaitFor(1));
    const std::vector<Event> events = lib.Recorder().Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ((uint32_t)SF_EVENT_MESSAGE, events[0].code);
    EXPECT_EQ(job, events[0].handle);
    EXPECT_EQ(thread->ThreadId(), events[0].thread);
    // The window message is posted to the host's own thread.
    EXPECT_EQ(kWindowsGetMessages, lib.Window().WaitFor(1));
    SwarmFetchMessage message = {0, nullptr};
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_PopMessage(job, &message));
    EXPECT_EQ(SF_MSG_NETWORK_LOST, message.code);
}
