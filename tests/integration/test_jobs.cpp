// Jobs through the call interface: handles, creation, adding files, the
// downloader hand-over, and the entry points that answer without a library.
#include <algorithm>
#include <atomic>
#include <filesystem>

#include "integration/ApiTestEnv.h"
#include "sdk/download/CJobDownloader.h"
#include "support/Eventually.h"

using namespace apitest;

namespace {

// Every job entry point with `job`, each expected to answer 517.
void ExpectEveryJobCallFails(uint32_t job) {
    SwarmFetchSizeInfo sizeInfo;
    SwarmFetchProgress progress;
    SwarmFetchFileDone fileDone;
    SwarmFetchJobDone jobDone;
    SwarmFetchMessage message = {0, nullptr};
    int32_t length = 0;
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFile(job, "http://h/a.bin", "C:\\x\\", nullptr, -1, 1));
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFileEx(job, "http://h/a.bin", "C:\\x\\", nullptr, -1, 1, 2));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StartJob(job, 1));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_RunJob(job, 0));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StopJob(job));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StopJobEx(job, 7));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_DeleteJob(job));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_SetJobEngineFlag(job));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_ResumeReply(job, 1, 0));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetSizeInfo(job, &sizeInfo));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetProgress(job, &progress));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetFileDone(job, &fileDone));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetJobDone(job, &jobDone));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetMessageLength(job, &length));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_PopMessage(job, &message));
}

class FakeDownloader : public CJobDownloader {
  public:
    int32_t Begin(CJob* job) override {
        (void)job;
        ++begins;
        return beginResult;
    }
    void End(CJob* job) override {
        (void)job;
        ++ends;
    }
    void CheckConnection(CJob* job) override {
        (void)job;
        ++checks;
    }
    int32_t OnResumeReply(CJob* job, uint8_t resume, uint8_t applyToAll) override {
        (void)job;
        lastResume = resume;
        lastApplyToAll = applyToAll;
        ++replies;
        return SF_RESULT_OK;
    }

    std::atomic<int32_t> beginResult{SF_RESULT_OK};
    std::atomic<int> begins{0};
    std::atomic<int> ends{0};
    std::atomic<int> checks{0};
    std::atomic<int> replies{0};
    std::atomic<int> lastResume{-1};
    std::atomic<int> lastApplyToAll{-1};
};

int32_t JobState(uint32_t job) {
    int32_t state = -1;
    WithJob(job, [&](CJob& j) { state = j.State(); });
    return state;
}

void SetJobState(uint32_t job, int32_t state) {
    EXPECT_TRUE(WithJob(job, [&](CJob& j) { j.SetState(state); }));
}

}  // namespace

TEST(JobsWithoutLibrary, EveryEntryPointAnswers517) {
    ASSERT_EQ(nullptr, SwarmFetchLibraryThread());
    ExpectEveryJobCallFails(0);
    ExpectEveryJobCallFails(1);
    uint32_t job = 0;
    int64_t value = 7;
    uint8_t byte = 0;
    SwarmFetchDataBuffer buffer = {&byte, 1};
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_CreateJob(&job, nullptr, "game"));
    EXPECT_EQ(0u, job);
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_DownloadData("http://h/list.txt"));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_RequestData("http://h/list.txt"));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetDataSize(&value));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetData(&buffer));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_AddSizeCheck("http://h/a.bin"));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StartSizeCheck());
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetSizeCheckTotal(&value));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_SetEngineParameter("game"));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetRemainingBytes(0, &value));
    EXPECT_EQ(7, value);
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_Finalize());
    EXPECT_EQ(nullptr, SwarmFetch_GetUserData());
}

TEST(Jobs, HandleZeroAndStaleHandlesAnswer517) {
    Library lib(false, false);
    ASSERT_EQ(SF_RESULT_OK, lib.Result());
    ExpectEveryJobCallFails(0);
    const uint32_t job = lib.NewJob();
    ASSERT_NE(0u, job);
    ExpectEveryJobCallFails(job + 1000);
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(job));
    ExpectEveryJobCallFails(job);
    EXPECT_EQ(0, TheManager().JobCount());
}

TEST(Jobs, HandlesOfAnEarlierLibraryAreStale) {
    uint32_t old = 0;
    {
        Library lib(false, false);
        old = lib.NewJob();
    }
    Library lib(false, false);
    const uint32_t fresh = lib.NewJob();
    EXPECT_NE(old, fresh);
    ExpectEveryJobCallFails(old);
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_SetJobEngineFlag(fresh));
}

TEST(Jobs, CreateJob) {
    Library lib(false, false);
    uint32_t job = 0;
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_CreateJob(&job, "abcdef", "0123456789012345678901234567890123456789"));
    ASSERT_NE(0u, job);
    WithJob(job, [](CJob& j) {
        EXPECT_STREQ("abc", j.Code());
        EXPECT_STREQ("01234567890123456789012345678901", j.Name());
        EXPECT_EQ(CJob::kIdle, j.State());
        EXPECT_EQ(1, j.UseEngine());
        EXPECT_EQ(0, j.EngineFlag());
        EXPECT_EQ(0, j.Number());
    });

    // A live handle in *job: 517 and nothing changes.
    const uint32_t kept = job;
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_CreateJob(&job, "x", "other"));
    EXPECT_EQ(kept, job);
    EXPECT_EQ(1, TheManager().JobCount());
    WithJob(job, [](CJob& j) { EXPECT_STREQ("abc", j.Code()); });

    // A stale value in *job is simply replaced.
    uint32_t second = kept + 12345;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_CreateJob(&second, nullptr, nullptr));
    EXPECT_NE(kept, second);
    WithJob(second, [](CJob& j) {
        EXPECT_STREQ("", j.Code());
        EXPECT_STREQ("", j.Name());
        EXPECT_EQ(1, j.Number());
    });
    uint32_t third = 0;
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_CreateJob(&third, "ab", "exactly-32-characters-long-name!"));
    WithJob(third, [](CJob& j) {
        EXPECT_STREQ("ab", j.Code());
        EXPECT_STREQ("exactly-32-characters-long-name!", j.Name());
        EXPECT_EQ(2, j.Number());
    });
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_CreateJob(nullptr, nullptr, "game"));
    EXPECT_EQ(3, TheManager().JobCount());
}

TEST(Jobs, SetJobEngineFlag) {
    Library lib(false, false);
    const uint32_t job = lib.NewJob();
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_SetJobEngineFlag(job));
    WithJob(job, [](CJob& j) { EXPECT_EQ(1, j.EngineFlag()); });
}

class AddFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_folder.Ok());
        ASSERT_EQ(SF_RESULT_OK, m_lib.Result());
        m_job = m_lib.NewJob();
        m_dir = m_folder.Win() + "\\";
    }
    TempFolder m_folder;
    Library m_lib{false, true};
    uint32_t m_job = 0;
    std::string m_dir;
    FakeDownloader* m_plain = nullptr;  // when a test installs one; owned by the job manager
};

TEST_F(AddFileTest, UrlsWithControlBytesAreNoUrls) {
    const struct {
        const char* url;
        int32_t result;
    } cases[] = {
        {"http://h/a.bin\rhttp://h/b.bin", SF_RESULT_NO_URL},  // a lone CR from a file list
        {"http://h/c.bin\nHost: x", SF_RESULT_NO_URL},
        {"http://h/d\x01.bin", SF_RESULT_NO_URL},
        {"http://h/e\x7f.bin", SF_RESULT_NO_URL},
        {"http://h/f\t.bin", SF_RESULT_NO_URL},
        {" http://h/g.bin\r\n", SF_RESULT_OK},  // white space around is trimmed
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.result, SwarmFetch_AddFile(m_job, c.url, m_dir.c_str(), nullptr, -1, 1))
            << c.url;
    WithJob(m_job, [](CJob& j) { EXPECT_EQ(1, j.EntryCount()); });
}

TEST_F(AddFileTest, AListWithoutAnyUrlIsNoUrlEvenWithAName) {
    // A caller's name stands for every mirror, but there must be a mirror:
    // a list of separators alone would open (and empty) the file for
    // nothing to download.
    const struct {
        const char* urls;
        int32_t result;
    } cases[] = {
        {"|", SF_RESULT_NO_URL},        {"||", SF_RESULT_NO_URL},
        {" | | ", SF_RESULT_NO_URL},    {"|http://h/a", SF_RESULT_OK},  // empty mirrors are skipped
        {"http://h/b||", SF_RESULT_OK},
    };
    int32_t added = 0;
    for (const auto& c : cases) {
        const std::string name = "n" + std::to_string(added) + ".bin";
        EXPECT_EQ(c.result,
                  SwarmFetch_AddFileEx(m_job, c.urls, m_dir.c_str(), name.c_str(), 10, 1, 0))
            << c.urls;
        added += c.result == SF_RESULT_OK ? 1 : 0;
    }
    WithJob(m_job, [&](CJob& j) {
        EXPECT_EQ(added, j.EntryCount());
        EXPECT_TRUE(j.HasRefusedFile());
        EXPECT_STREQ("|", j.RefusedUrl());
    });
}

TEST_F(AddFileTest, ExpectedSizes) {
    const char* url = "http://h/a.bin";
    EXPECT_EQ(SF_RESULT_BAD_SIZE, SwarmFetch_AddFile(m_job, url, m_dir.c_str(), nullptr, 0, 1));
    EXPECT_EQ(SF_RESULT_BAD_SIZE, SwarmFetch_AddFile(m_job, url, m_dir.c_str(), nullptr, -2, 1));
    EXPECT_EQ(SF_RESULT_BAD_SIZE,
              SwarmFetch_AddFile(m_job, url, m_dir.c_str(), nullptr, INT64_MIN, 1));
    // The size is checked before the job is looked up.
    EXPECT_EQ(SF_RESULT_BAD_SIZE,
              SwarmFetch_AddFile(m_job + 99, url, m_dir.c_str(), nullptr, 0, 1));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(m_job, url, m_dir.c_str(), nullptr, -1, 1));
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/b.bin", m_dir.c_str(), nullptr, 1, 1));
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/c.bin", m_dir.c_str(), nullptr, INT64_MAX, 1));
    WithJob(m_job, [](CJob& j) {
        ASSERT_EQ(3, j.EntryCount());
        EXPECT_EQ(-1, j.EntryAt(0)->size);
        EXPECT_EQ(1, j.EntryAt(1)->size);
        EXPECT_EQ(INT64_MAX, j.EntryAt(2)->size);
    });
}

TEST_F(AddFileTest, EntryFields) {
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFileEx(m_job, "  \thttp://h/dir/Setup.exe|http://m/dir/Setup.exe \r\n",
                                   m_dir.c_str(), nullptr, 1234, 5, 6));
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/x", m_dir.c_str(), "named.dat", -1, 7));
    WithJob(m_job, [&](CJob& j) {
        ASSERT_EQ(2, j.EntryCount());
        const DownloadEntry* e = j.EntryAt(0);
        EXPECT_EQ(0, e->index);
        EXPECT_STREQ("http://h/dir/Setup.exe|http://m/dir/Setup.exe", e->urlList.CStr());
        EXPECT_STREQ(m_dir.c_str(), e->folder.CStr());
        EXPECT_STREQ("Setup.exe", e->fileName.CStr());
        EXPECT_STREQ("brightwave7", e->tag);
        EXPECT_EQ(1234, e->size);
        EXPECT_EQ(0, e->received);
        EXPECT_EQ(5, e->value1);
        EXPECT_EQ(6, e->value2);
        EXPECT_EQ(0, e->reportState);
        const DownloadEntry* f = j.EntryAt(1);
        EXPECT_EQ(1, f->index);
        EXPECT_STREQ("named.dat", f->fileName.CStr());
        EXPECT_EQ(7, f->value1);
        EXPECT_EQ(0, f->value2);
        EXPECT_EQ(f, j.FindEntry((m_dir + "NAMED.DAT").c_str()));
        EXPECT_STREQ(m_dir.c_str(), j.Folder());
    });
}

TEST_F(AddFileTest, MissingUrlOrFolder) {
    EXPECT_EQ(SF_RESULT_NO_URL, SwarmFetch_AddFile(m_job, nullptr, m_dir.c_str(), nullptr, -1, 1));
    EXPECT_EQ(SF_RESULT_NO_URL, SwarmFetch_AddFile(m_job, "", m_dir.c_str(), nullptr, -1, 1));
    m_lib.Recorder().Clear();
    EXPECT_EQ(SF_RESULT_BAD_FOLDER,
              SwarmFetch_AddFile(m_job, "http://h/a", nullptr, nullptr, -1, 1));
    EXPECT_EQ(SF_RESULT_BAD_FOLDER, SwarmFetch_AddFile(m_job, "http://h/a", "", nullptr, -1, 1));
    // A folder that cannot be created is reported as event 528 each time.
    EXPECT_EQ(2u, m_lib.Recorder().CountOf(SF_EVENT_DOWNLOAD_PATH_FAILED));
    WithJob(m_job, [](CJob& j) { EXPECT_EQ(0, j.EntryCount()); });
}

TEST_F(AddFileTest, DuplicatesIgnoreLetterCase) {
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/Game.pak", m_dir.c_str(), nullptr, -1, 1));
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFile(m_job, "http://h/Game.pak", m_dir.c_str(), nullptr, -1, 1));
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFile(m_job, "http://OTHER/GAME.PAK", m_dir.c_str(), nullptr, -1, 1));
    std::string upper = m_dir;
    for (char& c : upper)
        c = (char)toupper((unsigned char)c);
#ifdef _WIN32
    // Windows folders ignore letter case, so the upper-case folder exists.
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFile(m_job, "http://h/game.pak", upper.c_str(), nullptr, -1, 1));
#endif
    // Another name in the same folder is another file.
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/Game.pak", m_dir.c_str(), "copy.pak", -1, 1));
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFile(m_job, "http://h/z", m_dir.c_str(), "COPY.PAK", -1, 1));
    WithJob(m_job, [](CJob& j) { EXPECT_EQ(2, j.EntryCount()); });
}

TEST_F(AddFileTest, ForwardSlashesAndMissingSeparator) {
    // An existing folder written with forward slashes and no final separator.
    std::string slashed = m_folder.Win();
    for (char& c : slashed)
        if (c == '\\')
            c = '/';
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", slashed.c_str(), nullptr, -1, 1));
    WithJob(m_job, [&](CJob& j) {
        EXPECT_STREQ(m_dir.c_str(), j.EntryAt(0)->folder.CStr());
        EXPECT_STREQ(m_dir.c_str(), j.Folder());
    });
    // The same file written the other way is a duplicate.
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", m_dir.c_str(), nullptr, -1, 1));
    // Without the final backslash only.
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", m_folder.Win().c_str(), nullptr, -1, 1));
}

TEST_F(AddFileTest, CreatesMissingFolders) {
    const std::string nested = m_folder.Win("one\\two\\three") + "\\";
    ASSERT_FALSE(supporttest::PathExists(m_folder.Native("one")));
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", nested.c_str(), nullptr, -1, 1));
    EXPECT_TRUE(supporttest::PathExists(m_folder.Native("one\\two\\three")));
    // Only components that end in a backslash are made.
    const std::string open = m_folder.Win("alpha\\beta");
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", open.c_str(), nullptr, -1, 1));
    EXPECT_TRUE(supporttest::PathExists(m_folder.Native("alpha")));
    EXPECT_FALSE(supporttest::PathExists(m_folder.Native("alpha\\beta")));
    EXPECT_EQ(0u, m_lib.Recorder().CountOf(SF_EVENT_DOWNLOAD_PATH_FAILED));
}

TEST_F(AddFileTest, FoldersWrittenWithForwardSlashesAreCreated) {
    std::string base = m_folder.Win();
    for (char& c : base)
        if (c == '\\')
            c = '/';
    const std::string nested = base + "/one/two/three/";
    ASSERT_FALSE(supporttest::PathExists(m_folder.Native("one")));
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", nested.c_str(), nullptr, -1, 1));
    EXPECT_TRUE(supporttest::PathExists(m_folder.Native("one\\two\\three")));
    WithJob(m_job, [&](CJob& j) {
        EXPECT_EQ(m_folder.Win("one\\two\\three") + "\\", j.EntryAt(0)->folder.CStr());
    });
    EXPECT_EQ(0u, m_lib.Recorder().CountOf(SF_EVENT_DOWNLOAD_PATH_FAILED));
}

#ifndef _WIN32
TEST_F(AddFileTest, PosixHostPathsEnterInWindowsForm) {
    const std::string posix = m_folder.Native("games/x") + "/";
    ASSERT_EQ('/', posix[0]);
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", posix.c_str(), nullptr, -1, 1));
    EXPECT_TRUE(supporttest::PathExists(m_folder.Native("games/x")));
    std::string expected = "Z:" + posix;
    for (char& c : expected)
        if (c == '/')
            c = '\\';
    WithJob(m_job, [&](CJob& j) { EXPECT_EQ(expected, j.EntryAt(0)->folder.CStr()); });
    // The same folder in Windows form names the same file.
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", expected.c_str(), nullptr, -1, 1));
}
#endif

TEST_F(AddFileTest, FolderThatCannotBeCreated) {
    FILE* f = fopen(m_folder.Native("plain.file").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fclose(f);
    const std::string blocked = m_folder.Win("plain.file\\sub") + "\\";
    m_lib.Recorder().Clear();
    EXPECT_EQ(SF_RESULT_BAD_FOLDER,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", blocked.c_str(), nullptr, -1, 1));
    const std::vector<Event> events = m_lib.Recorder().Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ((uint32_t)SF_EVENT_DOWNLOAD_PATH_FAILED, events[0].code);
    EXPECT_EQ(TheManager().Handle(), events[0].handle);
    EXPECT_EQ(&m_lib.Recorder(), events[0].user);
    EXPECT_EQ(PfCurrentThreadId(), events[0].thread) << "raised on the calling thread";
    WithJob(m_job, [](CJob& j) { EXPECT_EQ(0, j.EntryCount()); });
}

TEST_F(AddFileTest, PathsTooLongAreRefused) {
    std::string longFolder = m_dir + std::string(300, 'x') + "\\";
    EXPECT_EQ(SF_RESULT_BAD_FOLDER,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", longFolder.c_str(), nullptr, -1, 1));
    // A name that takes folder plus name to the limit is a bad name.
    const std::string name(270, 'n');
    EXPECT_EQ(SF_RESULT_NO_URL,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", m_dir.c_str(), name.c_str(), -1, 1));
    WithJob(m_job, [](CJob& j) { EXPECT_EQ(0, j.EntryCount()); });
}

TEST_F(AddFileTest, StartedOrCompleteJobTakesNoFiles) {
    SetJobState(m_job, CJob::kRunning);
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", m_dir.c_str(), nullptr, -1, 1));
    SetJobState(m_job, CJob::kComplete);
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", m_dir.c_str(), nullptr, -1, 1));
    SetJobState(m_job, CJob::kIdle);
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/a.bin", m_dir.c_str(), nullptr, -1, 1));
}

// Every path below the folder, relative, in Windows form, sorted.
static std::vector<std::string> TreeOf(const std::string& nativeRoot) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(nativeRoot, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string relative = it->path().lexically_relative(nativeRoot).string();
        for (char& c : relative)
            if (c == '/')
                c = '\\';
        found.push_back(relative);
    }
    std::sort(found.begin(), found.end());
    return found;
}

TEST_F(AddFileTest, HostileNamesAreRefusedAndNothingIsCreated) {
    // What "..\x.txt" from the folder below would reach: it must keep its bytes.
    const std::string kept = "bytes that stay";
    {
        FILE* f = fopen(m_folder.Native("x.txt").c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(kept.data(), 1, kept.size(), f);
        fclose(f);
    }
    // The job's folder does not exist yet: a refused file must not make it.
    const std::string game = m_folder.Win("game") + "\\";
    const std::string absolute = m_folder.Win("abs.txt");
    const std::string tooLong(kJobPathSize - game.size(), 'n');
    const std::vector<std::string> names = {
        ".", "..", "..\\x.txt", "..\\..\\x.txt", std::string(20, '.') + "\\x.txt",
        "..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\x.txt", absolute, "sub\\x.txt", "C:x.txt",
        "x.txt:stream", "x<y", "x>y", "x\"y", "x?y", "x*y", "x.", "x ", "x. . ", "CON", "con.txt",
        "Nul", "aux.tar.gz", "PRN", "COM1", "com9.log", "LPT1", "lpt5.txt", "CONIN$", "conout$.x",
        "nul .txt", tooLong,
        // Where a neighbour's download is written until it is complete: a
        // list naming x.txt and x.txt.part would have the second deleted.
        "x.txt.part", "X.TXT.PART", "setup.exe.Part", ".part",
        // Windows takes the superscript digits of its code page for device
        // numbers too: COM¹, LPT³ (CP949 bytes).
        "COM\xA9\xF6", "com\xA9\xF7.txt", "Lpt\xA9\xF8 .log",
        // Half a character at the end: Windows reads the lone lead byte as
        // a space and drops it, so these would be CON, x.txt and "..".
        "CON\x81", "x.txt\xB0", "..\xC7",
        // A lead byte does not hide the separator or the bar after it.
        "\x81\\..\\x.txt", "x\xB0|y",
        // Only the explicit form carries these unchanged.
        "x|y", "a/x.txt", "../x.txt", "x\x01.txt", "x\x7f", "tab\t"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        // As the caller's name, and as what a URL of a file list ends in.
        EXPECT_EQ(SF_RESULT_NO_URL, SwarmFetch_AddFileEx(m_job, "http://h/f.bin", game.c_str(),
                                                         name.c_str(), -1, 1, 0));
        // In a URL these end the URL or the line, or are trimmed away.
        if (name.find_first_of("|/\x01\x7f\t") != std::string::npos || name.back() == ' ')
            continue;
        const std::string url = "http://h/files/" + name;
        EXPECT_EQ(SF_RESULT_NO_URL,
                  SwarmFetch_AddFile(m_job, url.c_str(), game.c_str(), nullptr, -1, 1));
    }
    // Every mirror of a list names the file, and they agree.
    const char* const lists[] = {"http://h/",                              // a URL ending in '/'
                                 "http://h/a.bin|http://m/b.bin",          // mirrors disagree
                                 "http://h/a.bin|http://m/A.BIN",          // only in letter case
                                 "http://h/a.bin|",                        // an empty mirror
                                 "http://h/a.bin||http://m/a.bin",         // one in the middle
                                 "http://h/a.bin|http://m/",               // the second ends in '/'
                                 "http://h/a.bin|no-slash",                // no name at all
                                 "http://h/a.bin|http://m/..\\..\\a.bin",  // the second climbs
                                 "http://h/a.bin|http://m/con",            // the second is a device
                                 "http://h/get?name=a.bin&to=..\\..",      // a query in the name
                                 "host-without-path"};
    for (const char* list : lists)
        EXPECT_EQ(SF_RESULT_NO_URL, SwarmFetch_AddFile(m_job, list, game.c_str(), nullptr, -1, 1))
            << list;

    WithJob(m_job, [](CJob& j) { EXPECT_EQ(0, j.EntryCount()); });
    EXPECT_EQ(std::vector<std::string>{"x.txt"}, TreeOf(m_folder.Native()));
    EXPECT_EQ(kept, supporttest::ReadWholeFile(m_folder.Native("x.txt")));
    EXPECT_EQ(0u, m_lib.Recorder().CountOf(SF_EVENT_DOWNLOAD_PATH_FAILED));
}

TEST_F(AddFileTest, NamesThatWereValidStayValid) {
    // CP949 bytes of "한글 설치.exe": bytes 0x80 and above are names too.
    const std::string korean = "\xC7\xD1\xB1\xDB \xBC\xB3\xC4\xA1.exe";
    // Room is left for the partial file's suffix.
    const std::string fits(kJobPathSize - 1 - kPartFileSuffixLength - m_dir.size(), 'n');
    const std::vector<std::string> names = {
        "Setup.exe",       korean, "con-x.txt",           "console.log", "COM10.txt",
        "lpt.txt",         "nul_",
        "COM\xA9\xF9.txt",  // COM and superscript four: no device
        ".hidden",         "a..b", "name with space.txt", "file.tar.gz", "x.bin#part",
        "100%.dat",        fits};
    for (const std::string& name : names) {
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_AddFileEx(m_job, "http://h/any", m_dir.c_str(),
                                                     name.c_str(), -1, 1, 0))
            << name;
    }
    // The URL's tail, for one URL and for mirrors that agree.
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(m_job, ("http://h/d/" + korean + "x").c_str(),
                                               m_dir.c_str(), nullptr, -1, 1));
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/a/Game.pak|https://m:8080/b/c/Game.pak",
                                 m_dir.c_str(), nullptr, -1, 1));
    // A caller's name stands for every mirror.
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(m_job, "http://h/a/1|http://m/", m_dir.c_str(),
                                               "named.bin", -1, 1));
    WithJob(m_job, [&](CJob& j) {
        ASSERT_EQ((int32_t)names.size() + 3, j.EntryCount());
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(names[i], j.EntryAt((int32_t)i)->fileName.CStr());
        EXPECT_EQ(korean + "x", j.EntryAt((int32_t)names.size())->fileName.CStr());
        EXPECT_STREQ("Game.pak", j.EntryAt((int32_t)names.size() + 1)->fileName.CStr());
        EXPECT_FALSE(j.HasRefusedFile());
    });
}

TEST_F(AddFileTest, DoubleByteNamesAreComparedAsWindowsComparesThem) {
    // The trail byte of a CP949 character may be a Latin letter's byte: it
    // is part of that character, and no letter case applies to it. Only
    // the ASCII letters of a path are compared without their case.
    const std::string kA = "\x81\x41";  // one Hangul syllable
    const std::string ka = "\x81\x61";  // another
    struct Case {
        std::string firstFolder, firstName, secondFolder, secondName;
        bool same;
    };
    const std::string other = m_dir + "dir" + kA + "\\";
    const Case cases[] = {
        {m_dir, kA + ".bin", m_dir, ka + ".bin", false},
        {m_dir, "\x81\x5A", m_dir, "\x81\x7A", false},
        {m_dir + kA + "\\", "x.bin", m_dir + ka + "\\", "x.bin", false},
        // ASCII letters after a double-byte character still ignore case.
        {m_dir, kA + "Setup.EXE", m_dir, kA + "setup.exe", true},
        {other, "Q.bin", m_dir + "DIR" + kA + "\\", "q.BIN", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstName + " / " + c.secondName);
        const uint32_t job = m_lib.NewJob();
        ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, "http://h/a", c.firstFolder.c_str(),
                                                   c.firstName.c_str(), -1, 1));
        EXPECT_EQ(c.same ? SF_RESULT_FAILED : SF_RESULT_OK,
                  SwarmFetch_AddFile(job, "http://h/b", c.secondFolder.c_str(),
                                     c.secondName.c_str(), -1, 1));
        WithJob(job, [&](CJob& j) {
            ASSERT_EQ(c.same ? 1 : 2, j.EntryCount());
            // Reports about a path find the entry of that path.
            EXPECT_EQ(j.EntryAt(0), j.FindEntry((c.firstFolder + c.firstName).c_str()));
            EXPECT_EQ(j.EntryAt(c.same ? 0 : 1),
                      j.FindEntry((c.secondFolder + c.secondName).c_str()));
            EXPECT_FALSE(j.HasRefusedFile());
        });
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(job));
    }
}

TEST_F(AddFileTest, JobWithARefusedFileNeverStarts) {
    m_plain = new FakeDownloader;
    TheManager().SetDownloadersForTesting(m_plain, nullptr);
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/good.bin", m_dir.c_str(), nullptr, -1, 1));
    // The file list's line ends in '/': no name to write to.
    EXPECT_EQ(SF_RESULT_NO_URL,
              SwarmFetch_AddFile(m_job, " http://h/files/\r\n", m_dir.c_str(), nullptr, -1, 1));
    // A later good line does not make up for it.
    ASSERT_EQ(SF_RESULT_OK,
              SwarmFetch_AddFile(m_job, "http://h/more.bin", m_dir.c_str(), nullptr, -1, 1));
    m_lib.Recorder().Clear();
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StartJob(m_job, 1));
        EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_RunJob(m_job, 0));
    }
    EXPECT_EQ(0, m_plain->begins.load());
    EXPECT_EQ(CJob::kIdle, JobState(m_job));
    EXPECT_EQ(0u, m_lib.Recorder().CountOf(SF_EVENT_JOB_DONE));
    // Each refused start tells the host why, naming the refused line.
    EXPECT_EQ(4u, m_lib.Recorder().CountOf(SF_EVENT_MESSAGE));
    char text[64] = {0};
    SwarmFetchMessage message = {0, text};
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_PopMessage(m_job, &message));
    EXPECT_EQ(SF_MSG_FAILED, message.code);
    EXPECT_STREQ("http://h/files/", text);

    // Every kind of refused input counts; a refusal for the job's state or a
    // duplicate skips nothing.
    struct Case {
        const char* url;
        const char* folder;  // null: the test's folder
        int64_t size;
        int32_t result;
        bool refused;
    };
    const std::string blocked = m_folder.Win("x.file\\sub") + "\\";
    FILE* f = fopen(m_folder.Native("x.file").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fclose(f);
    const Case cases[] = {
        {"http://h/a.bin", nullptr, -1, SF_RESULT_OK, false},
        {"http://h/z.bin", nullptr, -1, SF_RESULT_FAILED, false},  // a duplicate
        {"http://h/b.bin", nullptr, 0, SF_RESULT_BAD_SIZE, true},
        {"", nullptr, -1, SF_RESULT_NO_URL, true},
        {"http://h/c.bin\nX: y", nullptr, -1, SF_RESULT_NO_URL, true},
        {"http://h/d.bin", "", -1, SF_RESULT_BAD_FOLDER, true},
        {"http://h/e.bin", blocked.c_str(), -1, SF_RESULT_BAD_FOLDER, true},
        {"http://h/aux", nullptr, -1, SF_RESULT_NO_URL, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const uint32_t job = m_lib.NewJob();
        ASSERT_EQ(SF_RESULT_OK,
                  SwarmFetch_AddFile(job, "http://h/z.bin", m_dir.c_str(), nullptr, -1, 1));
        EXPECT_EQ(c.result, SwarmFetch_AddFile(job, c.url, c.folder ? c.folder : m_dir.c_str(),
                                               nullptr, c.size, 1));
        EXPECT_EQ(c.refused ? SF_RESULT_FAILED : SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        EXPECT_EQ(c.refused ? CJob::kIdle : CJob::kRunning, JobState(job));
        if (!c.refused) {
            // A file offered to a running job is refused for its state only.
            EXPECT_EQ(SF_RESULT_FAILED,
                      SwarmFetch_AddFile(job, "http://h/late/", m_dir.c_str(), nullptr, -1, 1));
            EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(job));
            EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
        }
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(job));
    }
}

TEST(JobsWithoutDownloaders, StartStopResumeAnswer517) {
    TempFolder folder;
    Library lib(false, false);
    const uint32_t job = lib.NewJob();
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StartJob(job, 1)) << "no entries";
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, "http://h/a.bin", (folder.Win() + "\\").c_str(),
                                               nullptr, -1, 1));
    // The host set-up made the plain downloader; take it away.
    TheManager().SetDownloadersForTesting(nullptr, nullptr);
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StartJob(job, 1)) << "no downloader";
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_RunJob(job, 1));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StopJob(job));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_ResumeReply(job, 1, 1));
    EXPECT_EQ(CJob::kIdle, JobState(job));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(job));
}

TEST(JobsWithoutDownloaders, DataAndSizeCheckEntryPoints) {
    Library lib(false, true);
    int64_t value = 77;
    uint8_t byte = 0;
    SwarmFetchDataBuffer buffer = {&byte, 1};
    // No data download was ever started.
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetDataSize(&value));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetData(&buffer));
    // An empty URL makes the data download and starts nothing.
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DownloadData(""));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_RequestData(nullptr));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetDataSize(&value));
    EXPECT_EQ(77, value);
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetData(&buffer));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetData(nullptr));
    // Without any URL added the start still answers 512, and nothing follows;
    // the total stays untouched while there is no size check.
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StartSizeCheck());
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeCheckTotal(&value));
    EXPECT_EQ(77, value);
    // The first URL creates the check; its total is 0 until it has run.
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_AddSizeCheck("http://h/a.bin"));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_AddSizeCheck(nullptr));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeCheckTotal(&value));
    EXPECT_EQ(0, value);
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetSizeCheckTotal(nullptr));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_SetEngineParameter("brightwave7"));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_SetEngineParameter(nullptr));
    EXPECT_EQ(0u, lib.Recorder().Count());
}

TEST(JobsWithoutDownloaders, RemainingBytes) {
    Library lib(false, false);
    const uint32_t job = lib.NewJob();
    int64_t bytes = 5;
    // No progress and no size check.
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetRemainingBytes(job, &bytes));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetRemainingBytes(0, &bytes));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_GetRemainingBytes(job, nullptr));
    EXPECT_EQ(5, bytes);
    WithJob(job, [](CJob& j) {
        SwarmFetchProgress p;
        memset(&p, 0, sizeof p);
        p.total = 1000;
        p.received = 250;
        j.SetProgress(p);
    });
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetRemainingBytes(job, &bytes));
    EXPECT_EQ(750, bytes);
}

class DownloaderHandOver : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(SF_RESULT_OK, m_lib.Result());
        m_plain = new FakeDownloader;
        TheManager().SetDownloadersForTesting(m_plain, nullptr);
        m_dir = m_folder.Win() + "\\";
    }
    uint32_t JobWithFile(const char* name = "a.bin") {
        const uint32_t job = m_lib.NewJob();
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_AddFile(job, "http://h/f", m_dir.c_str(), name, -1, 1));
        return job;
    }
    bool Holds(CJobDownloader* downloader, uint32_t job) {
        bool holds = false;
        WithJob(job, [&](CJob& j) { holds = downloader->Holds(&j); });
        return holds;
    }

    TempFolder m_folder;
    Library m_lib{false, true};
    FakeDownloader* m_plain = nullptr;  // owned by the job manager
    std::string m_dir;
};

TEST_F(DownloaderHandOver, StartStopAndResume) {
    const uint32_t job = JobWithFile();
    EXPECT_EQ(SF_RESULT_NOT_RUNNING, SwarmFetch_ResumeReply(job, 1, 0));
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 0));
    EXPECT_EQ(1, m_plain->begins.load());
    EXPECT_EQ(CJob::kRunning, JobState(job));
    EXPECT_TRUE(Holds(m_plain, job));
    WithJob(job, [](CJob& j) { EXPECT_EQ(0, j.UseEngine()); });
    {
        ovCAutoLock hold(TheManager().LockObject());
        EXPECT_TRUE(m_plain->TimerRunning());
    }
    EXPECT_EQ(SF_RESULT_ALREADY_RUNNING, SwarmFetch_StartJob(job, 1));
    EXPECT_EQ(SF_RESULT_ALREADY_RUNNING, SwarmFetch_RunJob(job, 1));
    EXPECT_EQ(1, m_plain->begins.load());
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_AddFile(job, "http://h/g", m_dir.c_str(), nullptr, -1, 1));

    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_ResumeReply(job, 1, 0));
    EXPECT_EQ(1, m_plain->replies.load());
    EXPECT_EQ(1, m_plain->lastResume.load());
    EXPECT_EQ(0, m_plain->lastApplyToAll.load());

    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StopJobEx(job, 99));
    EXPECT_EQ(1, m_plain->ends.load());
    EXPECT_EQ(CJob::kIdle, JobState(job));
    EXPECT_FALSE(Holds(m_plain, job));
    {
        ovCAutoLock hold(TheManager().LockObject());
        EXPECT_FALSE(m_plain->TimerRunning());
    }
    // Nobody holds it any more.
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_StopJob(job));
    // A stopped job can be started again.
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    EXPECT_EQ(2, m_plain->begins.load());
}

TEST_F(DownloaderHandOver, StartAnswersWhatBeginAnswers) {
    m_plain->beginResult = SF_RESULT_OFFLINE;
    const uint32_t job = JobWithFile();
    EXPECT_EQ(SF_RESULT_OFFLINE, SwarmFetch_StartJob(job, 1));
}

TEST_F(DownloaderHandOver, DeleteStopsAHeldJob) {
    const uint32_t running = JobWithFile("a.bin");
    const uint32_t idle = JobWithFile("b.bin");
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(running, 1));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(running));
    EXPECT_EQ(1, m_plain->ends.load());
    EXPECT_EQ(0, m_plain->JobCount());
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_DeleteJob(idle));
    EXPECT_EQ(1, m_plain->ends.load());
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_DeleteJob(running));
    EXPECT_EQ(0, TheManager().JobCount());
}

TEST_F(DownloaderHandOver, TimerChecksEveryHeldJobOnTheLibraryThread) {
    const uint32_t job = JobWithFile();
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    // The one-second timer fires on the library thread (bounded wait).
    sftest::Eventually([&] { return m_plain->checks.load() > 0; });
    EXPECT_GE(m_plain->checks.load(), 1);
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StopJob(job));
}

// Lets go of the first job it checks, the way a failed check does.
class ReleasingDownloader : public FakeDownloader {
  public:
    void CheckConnection(CJob* job) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_visits.push_back(job);
        if (m_visits.size() == 1)
            Release(job);
    }
    std::vector<CJob*> Visits() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_visits;
    }

  private:
    std::mutex m_mutex;
    std::vector<CJob*> m_visits;
};

TEST_F(DownloaderHandOver, TickVisitsEveryJobWhenACheckLetsOneGo) {
    ReleasingDownloader* plain = new ReleasingDownloader;
    TheManager().SetDownloadersForTesting(plain, nullptr);
    const uint32_t handles[3] = {JobWithFile("a.bin"), JobWithFile("b.bin"), JobWithFile("c.bin")};
    CJob* jobs[3] = {nullptr, nullptr, nullptr};
    {
        // All three are held before the first tick.
        ovCAutoLock hold(TheManager().LockObject());
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(handles[i], 1));
            WithJob(handles[i], [&](CJob& j) { jobs[i] = &j; });
        }
    }
    sftest::Eventually([&] { return plain->Visits().size() >= 3; }, 5000);
    const std::vector<CJob*> visits = plain->Visits();
    ASSERT_GE(visits.size(), 3u);
    // The first tick reaches b and c although a left the list under it.
    EXPECT_EQ(jobs[0], visits[0]);
    EXPECT_EQ(jobs[1], visits[1]);
    EXPECT_EQ(jobs[2], visits[2]);
}

TEST_F(DownloaderHandOver, EngineGetsEveryJobAndFallsBackWhenLost) {
    FakeDownloader* engine = new FakeDownloader;
    m_plain = new FakeDownloader;
    TheManager().SetDownloadersForTesting(m_plain, engine);
    const uint32_t running = JobWithFile("a.bin");
    const uint32_t idle = JobWithFile("b.bin");
    const uint32_t complete = JobWithFile("c.bin");
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(running, 1));
    EXPECT_EQ(1, engine->begins.load());
    EXPECT_EQ(0, m_plain->begins.load());
    EXPECT_TRUE(Holds(engine, running));
    SetJobState(complete, CJob::kComplete);

    // The engine is given up: only the running job moves on.
    TheManager().OnEngineLost();
    engine = nullptr;  // destroyed by the job manager
    EXPECT_TRUE(Holds(m_plain, running));
    EXPECT_FALSE(Holds(m_plain, idle));
    EXPECT_FALSE(Holds(m_plain, complete));
    EXPECT_EQ(CJob::kRunning, JobState(running));
    EXPECT_EQ(CJob::kIdle, JobState(idle));
    EXPECT_EQ(CJob::kComplete, JobState(complete));
    EXPECT_EQ(1, m_plain->begins.load());
    // From now on the plain downloader is the current one.
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(idle, 1));
    EXPECT_TRUE(Holds(m_plain, idle));
}

// An engine downloader that gives itself up from inside its own tick and
// then goes on using its members, as a real one does after reporting.
class SelfLosingDownloader : public FakeDownloader {
  public:
    void CheckConnection(CJob* job) override {
        (void)job;
        if (lost.exchange(true))
            return;
        TheManager().OnEngineLost();
        ++checks;  // still alive: the manager must not have deleted it
    }
    std::atomic<bool> lost{false};
};

TEST_F(DownloaderHandOver, EngineLostFromInsideTheEngineDownloaderIsDeletedLater) {
    SelfLosingDownloader* engine = new SelfLosingDownloader;
    m_plain = new FakeDownloader;
    TheManager().SetDownloadersForTesting(m_plain, engine);
    const uint32_t job = JobWithFile();
    ASSERT_EQ(SF_RESULT_OK, SwarmFetch_StartJob(job, 1));
    // The engine's one-second tick reports the loss.
    sftest::Eventually([&] { return Holds(m_plain, job); }, 5000);
    EXPECT_TRUE(Holds(m_plain, job));
    EXPECT_EQ(CJob::kRunning, JobState(job));
    // Deleted on a later turn of the loop, not inside its own call.
    const bool reaped = sftest::Eventually(
        [&] {
            ovCAutoLock hold(TheManager().LockObject());
            return TheManager().RetiredCount() == 0 && !TheManager().EngineDownloader();
        },
        5000);
    EXPECT_TRUE(reaped);
}

TEST_F(DownloaderHandOver, JobFallback) {
    FakeDownloader* engine = new FakeDownloader;
    m_plain = new FakeDownloader;
    TheManager().SetDownloadersForTesting(m_plain, engine);
    const uint32_t job = JobWithFile();
    CJob* pointer = nullptr;
    WithJob(job, [&](CJob& j) { pointer = &j; });
    TheManager().OnJobFallback(pointer);
    EXPECT_TRUE(Holds(m_plain, job));
    EXPECT_EQ(1, m_plain->begins.load());
    // A job that is not in the list is ignored.
    CJob stranger(1, 99, HostTarget());
    TheManager().OnJobFallback(&stranger);
    EXPECT_EQ(1, m_plain->begins.load());
    EXPECT_FALSE(m_plain->Holds(&stranger));
}

TEST(DiskSpace, Rules) {
    // No initialisation is needed.
    ASSERT_EQ(nullptr, SwarmFetchLibraryThread());
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_CheckDiskSpace("?:\\nowhere", 0));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_CheckDiskSpace("?:\\nowhere", -5));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_CheckDiskSpace("?:\\nowhere", 1));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_CheckDiskSpace("", 1));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_CheckDiskSpace(nullptr, 1));
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_CheckDiskSpace(nullptr, 0));

    TempFolder folder;
    const std::string here = folder.Win();
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_CheckDiskSpace(here.c_str(), 1));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_CheckDiskSpace(here.c_str(), INT64_MAX));
    // Only the first character names the drive.
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_CheckDiskSpace(here.substr(0, 1).c_str(), 1));
}

#ifdef _WIN32
TEST(DiskSpace, DriveThatDoesNotExist) {
    const DWORD drives = GetLogicalDrives();
    char letter = 0;
    for (char c = 'Y'; c >= 'D' && !letter; --c)
        if (!(drives & (1u << (c - 'A'))))
            letter = c;
    ASSERT_NE(0, letter);
    const char path[] = {letter, ':', '\\', 'x', '\0'};
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_CheckDiskSpace(path, 0));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_CheckDiskSpace(path, 1));
}
#else
TEST(DiskSpace, EveryDriveLetterMapsToTheRoot) {
    // POSIX has no drives: "Q:\" maps to "/", like every other letter.
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_CheckDiskSpace("Q:\\games", 1));
}

TEST(DiskSpace, PosixHostPaths) {
    TempFolder folder;
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_CheckDiskSpace(folder.Native().c_str(), 1));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_CheckDiskSpace(folder.Native().c_str(), INT64_MAX));
}
#endif
