// The launcher's main dialog under Wine against the real test nginx: the
// start-up chain, its failures, and the download flows, driven through the
// prompt service and real window messages.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "launcher/AppInstance.h"
#include "launcher/DialogLayout.h"
#include "launcher/DisplayFormat.h"
#include "launcher/FolderRegistry.h"
#include "launcher/ListSerial.h"
#include "launcher/Texts.h"
#include "launcher/VerifiedInstaller.h"
#include "launcher/ZVTDownloaderDlg.h"
#include "launcher/framework/Prompts.h"
#include "launcher/res/resource.h"
#include "opn/platform/pfVolume.h"
#include "sdk/api/CJobManager.h"
#include "sdk/support/EnginePath.h"
#include "sdk/support/ExpectedContent.h"
#include "sdk/download/engine/CEngineDownloader.h"
#include "sdk/download/Connectivity.h"
#include "sdk/download/engine/EngineManifestUrl.h"
#include "sdk/support/PublisherSignature.h"
#include "tests/support/EnginePrograms.h"
#include "tests/support/Eventually.h"
#include "tests/support/Sha256Hex.h"
#include "tests/support/TestPeers.h"
#include "tests/support/TestServers.h"
#include "tests/ui/UiTestSupport.h"

namespace {

// Answers every question from a script and remembers what was asked. The
// installer thread asks too, so it is locked.
class ScriptedPrompts : public IPromptService {
  public:
    std::function<int(const MessageRequest&)> answer;
    std::string folder;  // answer of the folder browser; empty: cancel

    int ShowMessage(const MessageRequest& request) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_asked.push_back(request.text);
        if (answer)
            return answer(request);
        return (request.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
    }
    bool BrowseForFolder(const FolderRequest&, std::string* out) override {
        if (folder.empty())
            return false;
        *out = folder;
        return true;
    }
    std::vector<std::string> Asked() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_asked;
    }
    bool WasAsked(const std::string& text) {
        for (const std::string& asked : Asked())
            if (asked == text)
                return true;
        return false;
    }

  private:
    std::mutex m_lock;
    std::vector<std::string> m_asked;
};

// One step of a script: run `action` once `ready` holds.
struct Step {
    const char* name;
    std::function<bool()> ready;
    std::function<void()> action;
};

// Runs the dialog modally and plays the steps from a 100 ms timer, within
// `limitMs`. Returns the DoModal result; *failed names the step that did not
// come in time.
class Driver {
  public:
    Driver(CZVTDownloaderDlg& dialog, std::vector<Step> steps, DWORD limitMs)
        : m_dialog(dialog), m_steps(std::move(steps)), m_limitMs(limitMs) {}

    INT_PTR Run(std::string* failed) {
        s_driver = this;
        CDialog::SetModalObserver([this](CDialog& shown) {
            if (&shown == &m_dialog) {
                SetTimer(m_dialog.GetSafeHwnd(), kTimerId, 100, OnTimer);
                return;
            }
            shownDialogs.push_back(shown.TemplateId());
            if (shown.TemplateId() == IDD_NOWLOADING)
                loadingWindow = shown.GetSafeHwnd();
            // A resume question no step expects is answered so the run goes on.
            if (shown.TemplateId() == IDD_RESUME)
                PostMessageA(shown.GetSafeHwnd(), WM_CLOSE, 0, 0);
        });
        m_start = GetTickCount();
        INT_PTR result = m_dialog.DoModal();
        CDialog::SetModalObserver(CDialog::ModalObserver());
        s_driver = nullptr;
        // DoModal hands a WM_QUIT on to an outer loop that a test does not have.
        MSG msg;
        while (PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        *failed = m_failed;
        return result;
    }

    // Templates of the other modal dialogs shown meanwhile, in order, and
    // the installing dialog's window once it was shown.
    std::vector<int> shownDialogs;
    HWND loadingWindow = nullptr;

  private:
    static const UINT_PTR kTimerId = 0x5F5F;
    static void CALLBACK OnTimer(HWND window, UINT, UINT_PTR, DWORD) {
        Driver* self = s_driver;
        if (!self)
            return;
        if (GetTickCount() - self->m_start > self->m_limitMs) {
            KillTimer(window, kTimerId);
            self->m_failed = self->m_next < self->m_steps.size() ? self->m_steps[self->m_next].name
                                                                 : "the dialog did not end";
            PostQuitMessage(0);
            return;
        }
        if (self->m_next >= self->m_steps.size() || self->m_busy)
            return;
        Step& step = self->m_steps[self->m_next];
        if (step.ready && !step.ready())
            return;
        ++self->m_next;
        self->m_busy = true;
        if (step.action)
            step.action();
        self->m_busy = false;
    }

    static Driver* s_driver;
    CZVTDownloaderDlg& m_dialog;
    std::vector<Step> m_steps;
    DWORD m_limitMs;
    DWORD m_start = 0;
    size_t m_next = 0;
    bool m_busy = false;
    std::string m_failed;
};
Driver* Driver::s_driver = nullptr;

class LauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_servers.Load();
        ASSERT_TRUE(m_servers.Ok()) << m_servers.Error();
        SetPromptService(&m_prompts);
        SetApplicationName(texts::kGameName);
        // The plain downloader's own behaviour (speed, disk, network notices)
        // is what most of these tests drive; the engine path has its own.
        CJobManager::SetEngineDownloaderEnabledForTesting(false);
        // Every test starts without a folder remembered from an earlier one.
        ClearStoredFolders();
    }
    void TearDown() override {
        CJobManager::SetEngineDownloaderEnabledForTesting(true);
        SetPromptService(nullptr);
        PfSetFreeDiskSpaceHookForTesting(nullptr);
        SetConnectivityForTesting(kConnectivityFromSystem);
        SetRegistryKeyCreatorForTesting(nullptr);
        SetPublisherKeyForTesting(nullptr);
        ClearStoredFolders();
    }

    // Puts the key that signed the test lists in force, as a launcher built
    // with it has.
    void UseTestPublisherKey() {
        std::vector<unsigned char> hex =
            ReadFile(m_servers.DocRootPath("launcher/signed/publisher.hex"));
        hex.push_back(0);
        uint8_t key[kPublisherKeySize];
        ASSERT_TRUE(ParsePublisherKeyHex((const char*)hex.data(), key));
        SetPublisherKeyForTesting(key);
    }

    static void ClearStoredFolders() {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
            RegDeleteKeyValueA(root, kDownloadPathKey, texts::kGameName);
    }
    static void StoreRaw(HKEY root, DWORD type, const std::string& bytes) {
        RegSetKeyValueA(root, kDownloadPathKey, texts::kGameName, type, bytes.data(),
                        (DWORD)bytes.size());
    }
    // The value under `root` as stored, "" when there is none.
    static std::string Stored(HKEY root) { return ReadDownloadFolderValue(root, texts::kGameName); }

    // The library event `code` for `handle`, handled at once.
    static void SendEvent(CZVTDownloaderDlg& dialog, uint32_t code, uint32_t handle) {
        SendMessageA(dialog.GetSafeHwnd(), SWARMFETCH_WM_EVENT, code, handle);
    }
    // Every display text, to see that nothing changed.
    static std::vector<std::string> Texts(CZVTDownloaderDlg& dialog) {
        std::vector<std::string> texts;
        for (int id : {IDC_CURRENT_FILE, IDC_ELAPSED, IDC_REMAINING, IDC_TOTAL_SIZE, IDC_RECEIVED,
                       IDC_SPEED, IDC_PERCENT, IDC_FOLDER_TEXT, IDC_NOTICE})
            texts.push_back(dialog.DisplayText(id));
        return texts;
    }
    static int Count(const std::vector<std::string>& asked, const std::string& text) {
        int count = 0;
        for (const std::string& one : asked)
            count += one == text ? 1 : 0;
        return count;
    }
    // The library's service log, where the launcher notes what it dropped.
    std::string ServiceLog() {
        ovCString engineFolder;
        GetEngineFolder(engineFolder);
        std::vector<unsigned char> bytes =
            ReadFile(std::string(engineFolder.CStr()) + "config\\service.log");
        return std::string(bytes.begin(), bytes.end());
    }
    // The time texts at the end of a job of `wallMs` milliseconds: the
    // job's whole time (at least its first second, at most the time it
    // really took, rounded up, and one more for the clocks' seconds), its
    // average speed, nothing left.
    static void ExpectFinalTimes(CZVTDownloaderDlg& dialog, DWORD wallMs) {
        int h = 0, m = 0, sec = 0;
        const std::string elapsed = dialog.DisplayText(IDC_ELAPSED);
        ASSERT_EQ(sscanf(elapsed.c_str(), "%d:%d:%d", &h, &m, &sec), 3) << elapsed;
        const int seconds = h * 3600 + m * 60 + sec;
        EXPECT_GE(seconds, 1) << elapsed;
        EXPECT_LE(seconds, (int)(wallMs + 999) / 1000 + 1)
            << elapsed << " after " << wallMs << " ms";
        EXPECT_NE(dialog.DisplayText(IDC_SPEED), FormatSpeed(0));
        EXPECT_EQ(dialog.DisplayText(IDC_REMAINING), "00:00:00");
        EXPECT_EQ(dialog.DisplayText(IDC_PERCENT), "100%");
        EXPECT_EQ(dialog.DisplayText(IDC_RECEIVED), dialog.DisplayText(IDC_TOTAL_SIZE));
    }

    LauncherConfig Config(const std::string& list, const std::string& skin = "ok/img.zip") {
        LauncherConfig config = DefaultLauncherConfig();
        config.fileListUrl = m_servers.HttpUrl("/launcher/" + list);
        config.skinUrl = m_servers.HttpUrl("/launcher/" + skin);
        return config;
    }
    // A folder of this test in the Wine prefix, ending in '\'.
    std::string Folder(const std::string& name) {
        std::string folder = "C:\\sftest-launcher\\" + name + "\\";
        return folder;
    }
    static void Click(CZVTDownloaderDlg& dialog, int id) {
        SendMessageA(dialog.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     (LPARAM)dialog.GetDlgItem(id));
    }
    static bool Enabled(CZVTDownloaderDlg& dialog, int id) {
        return IsWindowEnabled(dialog.GetDlgItem(id)) != FALSE;
    }
    static void Screenshot(CZVTDownloaderDlg& dialog, const std::string& name) {
        std::string folder = uitest::ScreenshotFolder();
        if (folder.empty())
            return;
        RedrawWindow(dialog.GetSafeHwnd(), nullptr, nullptr,
                     RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        uitest::Canvas canvas(layout::kWindowWidth, layout::kWindowHeight, RGB(0, 0, 0));
        canvas.CaptureWindow(dialog.GetSafeHwnd());
        canvas.SaveBmp(folder + name + ".bmp");
    }
    std::vector<unsigned char> ReadFile(const std::string& path) {
        std::vector<unsigned char> bytes;
        FILE* file = nullptr;
        if (fopen_s(&file, path.c_str(), "rb") != 0 || !file)
            return bytes;
        unsigned char buffer[65536];
        size_t got;
        while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + got);
        fclose(file);
        return bytes;
    }

    sftest::TestServers m_servers;
    ScriptedPrompts m_prompts;
};

TEST_F(LauncherTest, StartsUpIntoTheSkinnedWindow) {
    CZVTDownloaderDlg dialog(Config("ok/filelist.txt"));
    bool checked = false;
    std::vector<Step> steps = {
        {"skin applied", [&] { return dialog.SkinLoaded(); },
         [&] {
             HWND window = dialog.GetSafeHwnd();
             RECT rect;
             GetWindowRect(window, &rect);
             EXPECT_EQ(rect.left, 0);
             EXPECT_EQ(rect.top, 0);
             EXPECT_EQ(rect.right - rect.left, 640);
             EXPECT_EQ(rect.bottom - rect.top, 380);
             char title[64] = {0};
             GetWindowTextA(window, title, sizeof(title));
             EXPECT_STREQ(title, "brightwave7");
             EXPECT_EQ(dialog.Urls().size(), 3u);
             int64_t installerSize =
                 (int64_t)ReadFile(m_servers.DocRootPath("launcher/ok/setup.exe")).size();
             // The size check measures first mirrors only.
             EXPECT_EQ(CZVTDownloaderDlg::TotalSize(),
                       2 * 1024 * 1024 + 123 + 70001 + installerSize);
             EXPECT_EQ(dialog.DisplayText(IDC_CURRENT_FILE), "[1/3]a.bin");
             EXPECT_EQ(dialog.DisplayText(IDC_ELAPSED), "00:00:00");
             EXPECT_EQ(dialog.DisplayText(IDC_REMAINING), "00:00:00");
             EXPECT_EQ(dialog.DisplayText(IDC_RECEIVED), "0 Bytes");
             EXPECT_EQ(dialog.DisplayText(IDC_SPEED), "0 Bytes/Sec");
             EXPECT_EQ(dialog.DisplayText(IDC_PERCENT), "0%");
             EXPECT_EQ(dialog.DisplayText(IDC_TOTAL_SIZE),
                       FormatSize(CZVTDownloaderDlg::TotalSize()));
             EXPECT_EQ(dialog.DownloadFolder().substr(1), ":\\Download\\brightwave7\\");
             EXPECT_FALSE(Enabled(dialog, IDC_RUN));
             EXPECT_TRUE(Enabled(dialog, IDC_START));
             EXPECT_FALSE(Enabled(dialog, IDC_STOP));  // nothing to stop yet
             EXPECT_EQ(dialog.ConsentFlag(), "2");

             // The run message before any download starts nothing; as the
             // dialog manager's DM_SETDEFID it still reaches the dialog.
             SendMessageA(window, WM_APP_RUN, 0, 0);
             EXPECT_FALSE(dialog.Installing());
             EXPECT_FALSE(dialog.InstallerStarted());
             SendMessageA(window, DM_SETDEFID, IDOK, 0);
             EXPECT_EQ(SendMessageA(window, DM_GETDEFID, 0, 0), MAKELRESULT(IDOK, DC_HASDEFID));
             EXPECT_FALSE(dialog.InstallerStarted());

             // Pixels: the background picture shows where no control is, and
             // the start button shows its picture, magenta keyed out.
             uitest::Pump();
             RedrawWindow(window, nullptr, nullptr,
                          RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
             uitest::Canvas screen(layout::kWindowWidth, layout::kWindowHeight, RGB(1, 2, 3));
             screen.CaptureWindow(window);
             int w = 0, h = 0;
             std::vector<COLORREF> bk = uitest::ReadBitmap(dialog.Image("bk_main.jpg"), &w, &h);
             ASSERT_EQ(w, 640);
             EXPECT_EQ(screen.Pixel(500, 120), bk[120 * 640 + 500]);
             std::vector<COLORREF> start =
                 uitest::ReadBitmap(dialog.Image("btn_start.jpg"), &w, &h);
             ASSERT_EQ(w, 80);
             // Centre of the start button (184, 332) and a keyed corner.
             EXPECT_EQ(screen.Pixel(184 + 10, 332 + 14), start[14 * 80 + 10]);
             EXPECT_NE(screen.Pixel(184, 332), RGB(255, 0, 255));
             Screenshot(dialog, "launcher-ready");
             checked = true;
         }},
        {"close", nullptr, [&] { Click(dialog, IDC_CLOSE); }},
    };
    std::string failed;
    Driver driver(dialog, steps, 60000);
    INT_PTR result = driver.Run(&failed);
    EXPECT_EQ(failed, "");
    EXPECT_TRUE(checked);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_TRUE(m_prompts.Asked().empty());
    EXPECT_TRUE(driver.shownDialogs.empty());  // no installing dialog
}

TEST_F(LauncherTest, FolderChoiceRefusesSystemFoldersInAnyCase) {
    CZVTDownloaderDlg dialog(Config("ok/filelist.txt"));
    // Wine's Windows folder is C:\windows, its programs' C:\Program Files.
    const struct {
        const char* chosen;
        bool refused;
    } cases[] = {
        {"c:\\", true},
        {"C:\\", true},
        {"C:\\WINDOWS\\Temp", true},
        {"c:\\Windows\\SYSTEM32\\drivers\\", true},
        {"c:\\program files\\orvane\\zvtdownloader", true},
        {"C:\\sftest-launcher\\Mixed Case", false},
        {"C:\\sftest-launcher\\windows", false},
    };
    std::vector<Step> steps = {
        {"skin applied", [&] { return dialog.SkinLoaded(); },
         [&] {
             std::string folder = dialog.DownloadFolder();
             for (const auto& c : cases) {
                 int before = Count(m_prompts.Asked(), texts::kFolderRefused);
                 m_prompts.folder = c.chosen;
                 Click(dialog, IDC_FOLDER);
                 EXPECT_EQ(Count(m_prompts.Asked(), texts::kFolderRefused),
                           before + (c.refused ? 1 : 0))
                     << c.chosen;
                 if (!c.refused)
                     folder = std::string(c.chosen) + "\\";
                 EXPECT_EQ(dialog.DownloadFolder(), folder) << c.chosen;
             }
         }},
        {"close", nullptr, [&] { Click(dialog, IDC_CLOSE); }},
    };
    std::string failed;
    Driver(dialog, steps, 60000).Run(&failed);
    EXPECT_EQ(failed, "");
}

TEST_F(LauncherTest, StartUpFailuresShowTheirMessageAndQuit) {
    const struct {
        const char* list;
        const char* skin;
        const char* message;
    } cases[] = {
        {"missing/filelist.txt", "ok/img.zip", texts::kFileListFailed},
        {"empty/filelist.txt", "ok/img.zip", texts::kFileListFailed},
        {"overlong/filelist.txt", "ok/img.zip", texts::kBadUrl},
        {"badsize/filelist.txt", "ok/img.zip", texts::kSizeCheckFailed},
        {"ok/filelist.txt", "missing/img.zip", texts::kSkinFileFailed},
    };
    for (const auto& c : cases) {
        ScriptedPrompts prompts;
        SetPromptService(&prompts);
        CZVTDownloaderDlg dialog(Config(c.list, c.skin));
        std::string failed;
        INT_PTR result = Driver(dialog, {}, 60000).Run(&failed);
        EXPECT_EQ(failed, "") << c.list;  // ended by its own quit
        EXPECT_EQ(result, -1) << c.list;
        EXPECT_TRUE(prompts.WasAsked(c.message)) << c.list;
        EXPECT_FALSE(dialog.SkinLoaded()) << c.list;
        SetPromptService(&m_prompts);
    }
}

TEST_F(LauncherTest, DownloadsStopsAndRunsTheInstaller) {
    LauncherConfig config = Config("ok/filelist.txt");
    // Normal speed (384 KiB/s) keeps the 2 MiB file busy for seconds.
    config.consentFlag = "1";
    CZVTDownloaderDlg dialog(config);
    m_prompts.folder = Folder("run");
    std::string folder = Folder("run");
    std::string installer = folder + "setup.exe";
    DeleteFileA((folder + "demo-installer-ran.txt").c_str());
    int stopAnswer = IDNO;
    int closeAnswer = IDNO;
    m_prompts.answer = [&](const MessageRequest& request) {
        if (request.text == texts::kStopQuestion)
            return stopAnswer;
        if (request.text.find("창을 닫으시면") == 0)
            return closeAnswer;
        return (request.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
    };
    auto progressing = [&] {
        return dialog.Job() != 0 && dialog.DisplayText(IDC_RECEIVED) != "0 Bytes";
    };
    Driver* driver = nullptr;
    uint32_t firstJob = 0;
    std::vector<Step> steps = {
        {"skin applied", [&] { return dialog.SkinLoaded(); },
         [&] {
             // Without consent nothing starts.
             SendMessageA(dialog.GetDlgItem(IDC_CONSENT), BM_SETCHECK, BST_UNCHECKED, 0);
             Click(dialog, IDC_START);
             EXPECT_TRUE(m_prompts.WasAsked(texts::kConsentRequired));
             EXPECT_EQ(dialog.Job(), 0u);
             SendMessageA(dialog.GetDlgItem(IDC_CONSENT), BM_SETCHECK, BST_CHECKED, 0);
             Click(dialog, IDC_FOLDER);
             EXPECT_EQ(dialog.DownloadFolder(), folder);
             Click(dialog, IDC_START);
             EXPECT_NE(dialog.Job(), 0u);
             EXPECT_FALSE(Enabled(dialog, IDC_START));
             EXPECT_TRUE(Enabled(dialog, IDC_STOP));
             EXPECT_FALSE(Enabled(dialog, IDC_FOLDER));
         }},
        {"progress", progressing,
         [&] {
             Screenshot(dialog, "launcher-downloading");
             const uint32_t job = dialog.Job();
             firstJob = job;
             // Events of this job whose record is not there (nothing is
             // done yet at normal speed, the size report was read) do nothing.
             EXPECT_TRUE(dialog.Running());
             EXPECT_EQ(dialog.FilesDone(), 0);
             const std::vector<std::string> before = Texts(dialog);
             SendEvent(dialog, SF_EVENT_FILE_DONE, job);
             SendEvent(dialog, SF_EVENT_JOB_DONE, job);
             SendEvent(dialog, SF_EVENT_SIZE_INFO, job);
             EXPECT_EQ(dialog.FilesDone(), 0);
             EXPECT_FALSE(dialog.Completed());
             EXPECT_TRUE(dialog.Running());
             EXPECT_EQ(Texts(dialog), before);
             // Stop answered No, close and Escape answered No: it goes on.
             Click(dialog, IDC_STOP);
             Click(dialog, IDC_CLOSE);
             SendMessageA(dialog.GetSafeHwnd(), WM_CLOSE, 0, 0);
             MSG escape = {dialog.GetSafeHwnd(), WM_KEYDOWN, VK_ESCAPE, 0, 0, {0, 0}};
             EXPECT_TRUE(static_cast<CWindow&>(dialog).PreTranslateMessage(&escape));
             EXPECT_NE(dialog.Job(), 0u);
             // Stop answered Yes: the job is gone and Start is back.
             stopAnswer = IDYES;
             Click(dialog, IDC_STOP);
             EXPECT_EQ(dialog.Job(), 0u);
             EXPECT_TRUE(Enabled(dialog, IDC_START));
             EXPECT_FALSE(Enabled(dialog, IDC_STOP));
             EXPECT_EQ(dialog.DisplayText(IDC_SPEED), "0 Bytes/Sec");
             // Events of the stopped job still on their way, and events
             // without a job, are dropped: no zeros on the display, no
             // running flag, no disk check, no resume question.
             const std::vector<std::string> stopped = Texts(dialog);
             const size_t asked = m_prompts.Asked().size();
             for (uint32_t handle : {job, 0u}) {
                 for (uint32_t code :
                      {SF_EVENT_PROGRESS, SF_EVENT_SIZE_INFO, SF_EVENT_FILE_DONE, SF_EVENT_MESSAGE,
                       SF_EVENT_RESUME_QUESTION, SF_EVENT_JOB_DONE})
                     SendEvent(dialog, code, handle);
             }
             EXPECT_EQ(Texts(dialog), stopped);
             EXPECT_FALSE(dialog.Running());
             EXPECT_FALSE(dialog.Completed());
             EXPECT_EQ(dialog.Job(), 0u);
             EXPECT_EQ(m_prompts.Asked().size(), asked);
             // Start again: a new job from the beginning, at full speed.
             Click(dialog, IDC_START);
             EXPECT_NE(dialog.Job(), 0u);
             EXPECT_NE(dialog.Job(), job);
         }},
        {"completed and installer started", [&] { return dialog.Installing(); },
         [&] {
             EXPECT_TRUE(dialog.Completed());
             EXPECT_TRUE(m_prompts.WasAsked(texts::kCompleteQuestion));
             EXPECT_EQ(dialog.RunFilePath(), installer);
             EXPECT_EQ(dialog.DisplayText(IDC_PERCENT), "100%");
             Screenshot(dialog, "launcher-complete");
         }},
        // The installer checks its files for seconds before it waits for
        // input: the installing dialog is up meanwhile and stays whatever
        // the player presses.
        {"installing dialog", [&] { return driver->loadingWindow != nullptr; },
         [&] {
             HWND loading = driver->loadingWindow;
             EXPECT_TRUE(IsWindowVisible(loading));
             PostMessageA(loading, WM_KEYDOWN, VK_RETURN, 0);
             PostMessageA(loading, WM_KEYDOWN, VK_ESCAPE, 0);
             PostMessageA(loading, WM_SYSCOMMAND, SC_CLOSE, 0);
             PostMessageA(loading, WM_CLOSE, 0, 0);
         }},
        {"installing dialog stays", nullptr,
         [&] {
             EXPECT_TRUE(IsWindowVisible(driver->loadingWindow));
             EXPECT_TRUE(dialog.InstallerStarted());
         }},
    };
    std::string failed;
    Driver run(dialog, steps, 120000);
    driver = &run;
    INT_PTR result = run.Run(&failed);
    EXPECT_EQ(failed, "");  // the installer thread's quit ends it
    EXPECT_EQ(result, -1);
    EXPECT_EQ(run.shownDialogs, std::vector<int>{IDD_NOWLOADING});
    // What was dropped is noted in the service log.
    const std::string log = ServiceLog();
    EXPECT_NE(log.find("[ZVTDownloader] event 514 of job " + std::to_string(firstJob) +
                       " dropped: not the current job"),
              std::string::npos);
    EXPECT_NE(log.find("[ZVTDownloader] event 516 of job " + std::to_string(firstJob) +
                       " dropped: no job-done record"),
              std::string::npos);
    for (const char* name : {"a.bin", "b.bin", "setup.exe"}) {
        EXPECT_EQ(ReadFile(folder + name),
                  ReadFile(m_servers.DocRootPath(std::string("launcher/ok/") + name)))
            << name;
    }
    // The installer really ran: it leaves a marker beside itself.
    const bool ran = sftest::Eventually(
        [&] {
            return GetFileAttributesA((folder + "demo-installer-ran.txt").c_str()) !=
                   INVALID_FILE_ATTRIBUTES;
        },
        10000, 100);
    EXPECT_TRUE(ran);
}

// Built with a key: a signed list with a hash on every line is downloaded,
// and its installer runs only with the bytes the list names. Bytes swapped
// after the download are refused, and nothing is started.
TEST_F(LauncherTest, SignedListIsDownloadedAndOnlyItsInstallerRuns) {
    UseTestPublisherKey();
    const struct {
        const char* name;
        bool swap;
    } runs[] = {{"signed", false}, {"swapped", true}};
    for (const auto& r : runs) {
        SCOPED_TRACE(r.name);
        ScriptedPrompts prompts;
        SetPromptService(&prompts);
        const std::string folder = Folder(r.name);
        const std::string installer = folder + "setup.exe";
        const std::string marker = folder + "demo-installer-ran.txt";
        DeleteFileA(marker.c_str());
        CZVTDownloaderDlg dialog(Config("signed/filelist.txt"));
        prompts.folder = folder;
        // The swapped run answers No and runs later, after the swap.
        prompts.answer = [&](const MessageRequest& request) {
            if (request.text == texts::kCompleteQuestion)
                return r.swap ? IDNO : IDYES;
            return (request.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
        };
        std::vector<Step> steps = {
            {"skin applied", [&] { return dialog.SkinLoaded(); },
             [&] {
                 EXPECT_TRUE(dialog.PublisherKeyInForce());
                 EXPECT_EQ(dialog.Urls().size(), 3u);
                 // Every line names its size: the total is theirs, unmeasured.
                 int64_t total = 0;
                 for (const char* name : {"a.bin", "b.bin", "setup.exe"})
                     total += (int64_t)ReadFile(
                                  m_servers.DocRootPath(std::string("launcher/ok/") + name))
                                  .size();
                 EXPECT_EQ(CZVTDownloaderDlg::TotalSize(), total);
                 Click(dialog, IDC_FOLDER);
                 Click(dialog, IDC_START);
             }},
            {"completed", [&] { return dialog.Completed(); },
             [&] {
                 EXPECT_EQ(dialog.RunFilePath(), installer);
                 if (!r.swap)
                     return;
                 std::vector<unsigned char> bytes = ReadFile(installer);
                 ASSERT_GT(bytes.size(), 4096u);
                 bytes[bytes.size() / 2] ^= 0x5A;
                 FILE* out = nullptr;
                 ASSERT_EQ(fopen_s(&out, installer.c_str(), "wb"), 0);
                 fwrite(bytes.data(), 1, bytes.size(), out);
                 fclose(out);
                 Click(dialog, IDC_RUN);
             }},
        };
        std::string failed;
        INT_PTR result = Driver(dialog, steps, 120000).Run(&failed);
        EXPECT_EQ(failed, "");  // ended by the installer thread's quit
        EXPECT_EQ(result, -1);
        EXPECT_FALSE(prompts.WasAsked(texts::kFileListUnverified));
        EXPECT_EQ(prompts.WasAsked(texts::kInstallerUnverified), r.swap);
        for (const char* name : {"a.bin", "b.bin"}) {
            EXPECT_EQ(ReadFile(folder + name),
                      ReadFile(m_servers.DocRootPath(std::string("launcher/ok/") + name)))
                << name;
        }
        // The dialog waited for the installer thread: what it started has
        // begun, what it refused never will.
        const bool ran =
            !r.swap &&
            sftest::Eventually(
                [&] { return GetFileAttributesA(marker.c_str()) != INVALID_FILE_ATTRIBUTES; },
                10000, 100);
        EXPECT_EQ(ran, !r.swap);
        if (r.swap) {
            EXPECT_EQ(GetFileAttributesA(marker.c_str()), INVALID_FILE_ATTRIBUTES);
        }
        SetPromptService(&m_prompts);
    }
}

// Built with a key, a list that is not the publisher's current one for this
// game is refused before anything is measured or downloaded; without a key
// the same list is taken.
TEST_F(LauncherTest, ListsThatAreNotThePublishersAreRefused) {
    const struct {
        const char* list;
        bool key;
        bool refused;
    } cases[] = {
        {"tampered/filelist.txt", true, true},   // signature of other bytes
        {"nosig/filelist.txt", true, true},      // no .sig (404)
        {"plainline/filelist.txt", true, true},  // signed, but a line without a hash
        {"bare/filelist.txt", true, true},       // the raw signature: no product, no serial
        {"foreign/filelist.txt", true, true},    // signed for another game
        {"signed/filelist.txt", true, false},    // serial 1000: kept
        {"replayed/filelist.txt", true, true},   // signed, but serial 999 is older
        {"nosig/filelist.txt", false, false},    // no key: no signature is asked for
    };
    RegDeleteKeyValueA(HKEY_CURRENT_USER, ListSerialKey(texts::kGameName).c_str(),
                       kListSerialValue);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.list) + (c.key ? " with a key" : " without"));
        if (c.key) {
            UseTestPublisherKey();
        } else {
            SetPublisherKeyForTesting(nullptr);
        }
        ScriptedPrompts prompts;
        SetPromptService(&prompts);
        CZVTDownloaderDlg dialog(Config(c.list));
        std::vector<Step> steps;
        if (!c.refused) {
            steps.push_back({"skin applied", [&] { return dialog.SkinLoaded(); },
                             [&] { Click(dialog, IDC_CLOSE); }});
        }
        std::string failed;
        INT_PTR result = Driver(dialog, steps, 60000).Run(&failed);
        EXPECT_EQ(failed, "");
        EXPECT_EQ(dialog.PublisherKeyInForce(), c.key);
        EXPECT_EQ(prompts.WasAsked(texts::kFileListUnverified), c.refused);
        EXPECT_EQ(dialog.FileListLoaded(), !c.refused);
        if (c.refused) {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(prompts.Asked().size(), 1u);  // that message alone
            EXPECT_TRUE(dialog.Urls().empty());
            EXPECT_FALSE(dialog.SkinLoaded());
            EXPECT_EQ(dialog.Job(), 0u);
        }
        SetPromptService(&m_prompts);
    }
    // The newest list taken is remembered for the game, in the launcher's key.
    EXPECT_EQ(SeenListSerial(texts::kGameName), 1000);
}

// The high-speed path as a player meets it: the library brings the engine
// from the content host into the application-data folder, starts it, and the
// engine downloads the game; the launcher shows the same progress and ends in
// the same completion question.
TEST_F(LauncherTest, DownloadsThroughTheLocalEngine) {
    CJobManager::SetEngineDownloaderEnabledForTesting(true);
    const uint16_t port = testpeers::RefusedPort();
    ASSERT_NE(port, 0);
    CEngineDownloader::SetEnginePortForTesting(port);
    SetEngineManifestUrlForTesting(m_servers.HttpUrl("/ActiveX/update/KVX_updater.xml").c_str());
    SetEnvironmentVariableA("SF_ENGINE_PORT", std::to_string(port).c_str());
    SetEnvironmentVariableA("SF_ENGINE_IDLE_EXIT_MS", "1500");
    ovCString engineFolder;
    GetEngineFolder(engineFolder);
    std::string log = std::string(engineFolder.CStr()) + "config\\service.log";
    // Installed afresh: an engine left by an earlier run may be an older
    // build of the same version.
    DeleteFileA((std::string(engineFolder.CStr()) + "ldDownload.exe").c_str());

    // Slowed down, so the progress is seen on the way; then at full speed,
    // a job shorter than the engine's first report.
    const struct {
        const char* name;
        const char* behaviour;
        bool slow;
    } runs[] = {{"engine", "rate=600000", true}, {"engine-short", nullptr, false}};
    for (const auto& r : runs) {
        SCOPED_TRACE(r.name);
        SetEnvironmentVariableA("SF_ENGINE_BEHAVIOUR", r.behaviour);
        std::string folder = Folder(r.name);
        bool sawProgress = false;
        std::string failed;
        DWORD startedAt = 0;
        {  // the library ends with the dialog
            CZVTDownloaderDlg dialog(Config("ok/filelist.txt"));
            m_prompts.folder = folder;
            m_prompts.answer = [&](const MessageRequest& request) {
                if (request.text == texts::kCompleteQuestion)
                    return IDNO;
                return (request.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
            };
            std::vector<Step> steps = {
                {"skin applied", [&] { return dialog.SkinLoaded(); },
                 [&] {
                     Click(dialog, IDC_FOLDER);
                     startedAt = GetTickCount();
                     Click(dialog, IDC_START);
                 }},
                {"completed",
                 [&] {
                     if (r.slow && !sawProgress && !dialog.Completed() &&
                         dialog.DisplayText(IDC_RECEIVED) != "0 Bytes") {
                         sawProgress = true;
                         Screenshot(dialog, "launcher-engine-downloading");
                     }
                     return dialog.Completed();
                 },
                 [&] {
                     // The job's own time from start to end, its speed.
                     ExpectFinalTimes(dialog, GetTickCount() - startedAt);
                     Screenshot(dialog, std::string("launcher-") + r.name + "-complete");
                     Click(dialog, IDC_CLOSE);
                 }},
            };
            Driver(dialog, steps, 120000).Run(&failed);
        }
        std::vector<unsigned char> bytes = ReadFile(log);
        std::string text(bytes.begin(), bytes.end());
        std::string asked;
        for (const std::string& question : m_prompts.Asked())
            asked += question + "\n";
        EXPECT_EQ(failed, "") << text << asked;
        EXPECT_TRUE(sawProgress || !r.slow);
        for (const char* name : {"a.bin", "b.bin", "setup.exe"}) {
            EXPECT_EQ(ReadFile(folder + name),
                      ReadFile(m_servers.DocRootPath(std::string("launcher/ok/") + name)))
                << name;
        }
        // The engine did the work: installed where a player's would be, and
        // the plain downloader never began.
        EXPECT_NE(text.find("[SwarmFetchLib] Patch Success"), std::string::npos) << text;
        EXPECT_EQ(text.find("[SwarmFetchLib] CPlatFormDownloader Begin"), std::string::npos)
            << text;
        EXPECT_FALSE(ReadFile(std::string(engineFolder.CStr()) + "ldDownload.exe").empty());
        // The engine ends by itself once no library is connected (and the
        // next run starts it with its own behaviour).
        const bool gone = sftest::Eventually(
            [&] {
                // Closed at once: a connection held open keeps the engine up.
                testpeers::Client client;
                return !client.Connect(port, 200);
            },
            15000, 100);
        EXPECT_TRUE(gone);
    }
    CEngineDownloader::SetEnginePortForTesting(0);
    SetEngineManifestUrlForTesting(nullptr);
    SetEnvironmentVariableA("SF_ENGINE_BEHAVIOUR", nullptr);
}

bool TooLittleSpace(const char*, int64_t* freeBytes) {
    *freeBytes = 1000;
    return true;
}

TEST_F(LauncherTest, DiskFullStopsAndRetriesAndNoLeavesRunForLater) {
    CZVTDownloaderDlg dialog(Config("ok/filelist.txt"));
    m_prompts.folder = Folder("disk");
    int retries = 0;
    m_prompts.answer = [&](const MessageRequest& request) {
        if ((request.style & MB_TYPEMASK) == MB_RETRYCANCEL) {
            // Retry twice with too little space, then with enough.
            if (++retries == 3)
                PfSetFreeDiskSpaceHookForTesting(nullptr);
            return IDRETRY;
        }
        if (request.text == texts::kCompleteQuestion)
            return IDNO;
        return (request.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
    };
    DWORD startedAt = 0;
    std::vector<Step> steps = {
        {"skin applied", [&] { return dialog.SkinLoaded(); },
         [&] {
             Click(dialog, IDC_FOLDER);
             PfSetFreeDiskSpaceHookForTesting(TooLittleSpace);
             startedAt = GetTickCount();
             Click(dialog, IDC_START);
         }},
        {"completed", [&] { return dialog.Completed(); },
         [&] {
             // A job of about a second at full speed still shows its time
             // and its speed.
             ExpectFinalTimes(dialog, GetTickCount() - startedAt);
             EXPECT_EQ(retries, 3);
             EXPECT_TRUE(Enabled(dialog, IDC_RUN));
             EXPECT_FALSE(Enabled(dialog, IDC_START));
             EXPECT_FALSE(dialog.Installing());
             // The folder is fixed after completion.
             std::string before = dialog.DownloadFolder();
             m_prompts.folder = Folder("elsewhere");
             Click(dialog, IDC_FOLDER);
             EXPECT_EQ(dialog.DownloadFolder(), before);
             // Complete, but the player said No: the run message alone
             // starts nothing.
             SendMessageA(dialog.GetSafeHwnd(), WM_APP_RUN, 0, 0);
             EXPECT_FALSE(dialog.Installing());
             EXPECT_FALSE(dialog.InstallerStarted());
             // Run later: the installer starts and the launcher ends.
             Click(dialog, IDC_RUN);
             EXPECT_TRUE(dialog.Installing());
             Click(dialog, IDC_RUN);  // a second press does nothing
             // Every way of closing only shows the wait message.
             Click(dialog, IDC_CLOSE);
             SendMessageA(dialog.GetSafeHwnd(), WM_CLOSE, 0, 0);
             SendMessageA(dialog.GetSafeHwnd(), WM_COMMAND, IDOK, 0);
             SendMessageA(dialog.GetSafeHwnd(), WM_COMMAND, IDCANCEL, 0);
             MSG escape = {dialog.GetSafeHwnd(), WM_KEYDOWN, VK_ESCAPE, 0, 0, {0, 0}};
             EXPECT_TRUE(static_cast<CWindow&>(dialog).PreTranslateMessage(&escape));
             EXPECT_EQ(Count(m_prompts.Asked(), texts::kInstallerWait), 5);
             EXPECT_TRUE(IsWindow(dialog.GetSafeHwnd()));
             EXPECT_TRUE(dialog.Installing());
         }},
    };
    std::string failed;
    INT_PTR result = Driver(dialog, steps, 120000).Run(&failed);
    EXPECT_EQ(failed, "");
    EXPECT_EQ(result, -1);
    bool askedDisk = false;
    for (const std::string& text : m_prompts.Asked())
        askedDisk |= text.find("해당 디스크(") == 0;
    EXPECT_TRUE(askedDisk);
}

// Commas in the URLs, in the file names and in the folder: the installer is
// still the file the library wrote, found from the end of the file-done text.
TEST_F(LauncherTest, InstallerPathKeepsItsCommas) {
    const std::string dir = "launcher/comma,list/";
    CreateDirectoryA(m_servers.DocRootPath("launcher/comma,list").c_str(), nullptr);
    const std::string base = m_servers.HttpUrl("/" + dir);
    const struct {
        std::string name;
        std::string bytes;
    } files[] = {
        {"a,1.bin", std::string(5000, 'a')},
        {"se,tup.exe", std::string(3000, 'x')},
        {"filelist.txt", base + "a,1.bin\r\n" + base + "se,tup.exe\r\n"},
    };
    for (const auto& f : files) {
        FILE* out = nullptr;
        ASSERT_EQ(fopen_s(&out, m_servers.DocRootPath(dir + f.name).c_str(), "wb"), 0);
        fwrite(f.bytes.data(), 1, f.bytes.size(), out);
        fclose(out);
    }
    const std::string folder = Folder("x,y");
    CZVTDownloaderDlg dialog(Config("comma,list/filelist.txt"));
    m_prompts.folder = folder;
    m_prompts.answer = [&](const MessageRequest& request) {
        if (request.text == texts::kCompleteQuestion)
            return IDNO;
        return (request.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
    };
    DWORD startedAt = 0;
    std::vector<Step> steps = {
        {"skin applied", [&] { return dialog.SkinLoaded(); },
         [&] {
             Click(dialog, IDC_FOLDER);
             startedAt = GetTickCount();
             Click(dialog, IDC_START);
         }},
        {"completed", [&] { return dialog.Completed(); },
         [&] {
             EXPECT_EQ(dialog.RunFilePath(), folder + "se,tup.exe");
             // 8 KB at full speed: the job's own time, at least a second,
             // and its speed.
             ExpectFinalTimes(dialog, GetTickCount() - startedAt);
             Click(dialog, IDC_CLOSE);
         }},
    };
    std::string failed;
    Driver(dialog, steps, 60000).Run(&failed);
    EXPECT_EQ(failed, "");
    for (const auto& f : files) {
        if (f.name == "filelist.txt")
            continue;
        std::vector<unsigned char> got = ReadFile(folder + f.name);
        EXPECT_EQ(std::string(got.begin(), got.end()), f.bytes) << f.name;
    }
}

// The checked installer is the one that runs: a folder moved away after the
// check, with another program put under the same name, ends that program
// before it ran; a file that is not there is refused and never started.
TEST_F(LauncherTest, OnlyTheCheckedInstallerRuns) {
    const std::vector<unsigned char> genuine =
        ReadFile(m_servers.DocRootPath("launcher/ok/setup.exe"));
    ASSERT_GT(genuine.size(), 4096u);
    ExpectedContent expected;
    const std::string line = "http://h/setup.exe#sha256=" + sftest::Sha256Hex(genuine) +
                             "&size=" + std::to_string(genuine.size());
    ASSERT_TRUE(ReadUrlContent(line.data(), line.size(), &expected));
    const std::string other = sftest::BuildTreeProgram(SF_MARKER_PROGRAM);
    const struct {
        const char* name;
        bool swap;    // the folder is moved away after the check
        bool exists;  // the installer is there at all
    } cases[] = {{"checked", false, true}, {"moved", true, true}, {"missing", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = Folder(std::string("run-") + c.name);
        const std::string moved = folder.substr(0, folder.size() - 1) + ".moved";
        const std::string installer = folder + "setup.exe";
        for (const std::string& dir : {folder, moved + "\\"}) {
            for (const char* name : {"setup.exe", "setup.exe.ran", "demo-installer-ran.txt"})
                DeleteFileA((dir + name).c_str());
            RemoveDirectoryA(dir.c_str());
        }
        CreateDirectoryA("C:\\sftest-launcher", nullptr);
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        if (c.exists) {
            FILE* out = nullptr;
            ASSERT_EQ(fopen_s(&out, installer.c_str(), "wb"), 0);
            fwrite(genuine.data(), 1, genuine.size(), out);
            fclose(out);
        }
        bool swapped = false;
        SetInstallerCheckedHookForTesting([&] {
            if (!c.swap)
                return;
            swapped = MoveFileA(folder.c_str(), moved.c_str()) &&
                      CreateDirectoryA(folder.c_str(), nullptr) &&
                      CopyFileA(other.c_str(), installer.c_str(), FALSE);
        });
        ScriptedPrompts prompts;
        SetPromptService(&prompts);
        const bool ran =
            CZVTDownloaderDlg::RunCheckedFile(installer, true, expected, texts::kGameName);
        SetInstallerCheckedHookForTesting(nullptr);
        SetPromptService(&m_prompts);
        EXPECT_EQ(ran, !c.swap && c.exists);
        EXPECT_EQ(swapped, c.swap) << "the folder could not be swapped";
        EXPECT_EQ(prompts.WasAsked(texts::kInstallerUnverified), c.swap);
        char missing[1024];
        snprintf(missing, sizeof missing, texts::kRunFileMissingFormat, installer.c_str());
        EXPECT_EQ(prompts.WasAsked(missing), !c.exists);
        // The other program was ended before it ran: it never wrote its
        // marker; the genuine installer, started, writes its own.
        EXPECT_EQ(GetFileAttributesA((installer + ".ran").c_str()), INVALID_FILE_ATTRIBUTES);
        if (ran) {
            EXPECT_TRUE(sftest::Eventually(
                [&] {
                    return GetFileAttributesA((folder + "demo-installer-ran.txt").c_str()) !=
                           INVALID_FILE_ATTRIBUTES;
                },
                10000, 100));
        }
    }
}

// Unelevated under UAC the machine-wide value cannot be written: the folder
// is remembered for the player instead, and the next start offers it.
TEST_F(LauncherTest, TheFolderIsRememberedWhereThePlayerMayWrite) {
    SetRegistryKeyCreatorForTesting([](HKEY root, const char* path, HKEY* key) -> LONG {
        if (root == HKEY_LOCAL_MACHINE)
            return ERROR_ACCESS_DENIED;
        return RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_WRITE, nullptr, key, nullptr);
    });
    const struct {
        const char* name;
        bool machineWritable;
        HKEY expectedRoot;
    } runs[] = {
        {"player", false, HKEY_CURRENT_USER},
        {"machine", true, HKEY_LOCAL_MACHINE},
    };
    std::string remembered;
    for (const auto& r : runs) {
        SCOPED_TRACE(r.name);
        if (r.machineWritable)
            SetRegistryKeyCreatorForTesting(nullptr);
        CZVTDownloaderDlg dialog(Config("ok/filelist.txt"));
        m_prompts.folder = Folder(std::string("remembered-") + r.name);
        m_prompts.answer = [&](const MessageRequest& request) {
            return (request.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
        };
        std::vector<Step> steps = {
            {"skin applied", [&] { return dialog.SkinLoaded(); },
             [&] {
                 // What the run before stored is offered.
                 if (!remembered.empty()) {
                     EXPECT_EQ(dialog.DownloadFolder(), remembered);
                 }
                 Click(dialog, IDC_FOLDER);
                 Click(dialog, IDC_START);
                 remembered = m_prompts.folder;
                 EXPECT_EQ(Stored(r.expectedRoot), remembered);
                 Click(dialog, IDC_CLOSE);  // answered Yes: stop and close
             }},
        };
        std::string failed;
        Driver(dialog, steps, 60000).Run(&failed);
        EXPECT_EQ(failed, "");
    }
    // The machine-wide value comes first, then the player's.
    EXPECT_EQ(Stored(HKEY_LOCAL_MACHINE), Folder("remembered-machine"));
    EXPECT_EQ(Stored(HKEY_CURRENT_USER), Folder("remembered-player"));
}

// What is read back is checked like a choice: either root may hold anything.
TEST_F(LauncherTest, StoredFoldersAreReadMachineFirstAndChecked) {
    RefusedFolders refused;
    refused.windows = "C:\\windows";
    refused.engine = "C:\\Program Files\\Orvane\\ZVTDownloader\\";
    // A string value as Windows stores it: terminated.
    auto sz = [](const std::string& text) { return text + std::string(1, '\0'); };
    const struct {
        const char* what;
        DWORD machineType;  // REG_NONE: no value
        std::string machine;
        DWORD userType;
        std::string user;
        std::string expected;
    } cases[] = {
        {"none", REG_NONE, "", REG_NONE, "", ""},
        {"player only", REG_NONE, "", REG_SZ, sz("D:\\u\\"), "D:\\u\\"},
        {"machine first", REG_SZ, sz("E:\\m"), REG_SZ, sz("D:\\u"), "E:\\m\\"},
        {"machine refused", REG_SZ, sz("c:\\WINDOWS\\x"), REG_SZ, sz("D:\\u"), "D:\\u\\"},
        {"machine not a string", REG_DWORD, std::string("\1\0\0\0", 4), REG_SZ, sz("D:\\u"),
         "D:\\u\\"},
        {"unterminated; expandable", REG_SZ, "D:\\m", REG_EXPAND_SZ, sz("%TEMP%\\x"), "D:\\m\\"},
        {"relative; climbing", REG_SZ, sz("games\\x"), REG_SZ, sz("D:\\a\\..\\windows"), ""},
        {"overlong", REG_SZ, sz("D:\\" + std::string(600, 'x')), REG_SZ,
         sz("D:\\" + std::string(230, 'y')), ""},
        {"control and name characters", REG_SZ, sz("D:\\a\nb"), REG_SZ, sz("D:\\a|b"), ""},
        {"cut at a zero", REG_SZ, std::string("D:\\a\0C:\\windows\0", 16), REG_NONE, "", "D:\\a\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ClearStoredFolders();
        if (c.machineType != REG_NONE)
            StoreRaw(HKEY_LOCAL_MACHINE, c.machineType, c.machine);
        if (c.userType != REG_NONE)
            StoreRaw(HKEY_CURRENT_USER, c.userType, c.user);
        EXPECT_EQ(StoredDownloadFolder(texts::kGameName, 10, refused), c.expected);
    }
}

TEST_F(LauncherTest, NetworkNoticesAndTheFailureNotice) {
    LauncherConfig config = Config("ok/filelist.txt");
    config.consentFlag = "1";  // slow enough to see the notices while it runs
    CZVTDownloaderDlg dialog(config);
    m_prompts.folder = Folder("notices");
    std::string missing = m_servers.DocRootPath("launcher/ok/b.bin");
    std::vector<unsigned char> saved = ReadFile(missing);
    ASSERT_FALSE(saved.empty());
    std::vector<Step> steps = {
        {"skin applied", [&] { return dialog.SkinLoaded(); },
         [&] {
             // The second file disappears after its size was measured, so
             // its download fails while the first arrives at normal speed
             // (files in flight: gone before the job starts, not while it
             // is served).
             EXPECT_TRUE(DeleteFileA(missing.c_str()));
             Click(dialog, IDC_FOLDER);
             Click(dialog, IDC_START);
             SetConnectivityForTesting(kConnectivityLost);
         }},
        {"network lost", [&] { return m_prompts.WasAsked(texts::kNetworkPoor); },
         [&] { SetConnectivityForTesting(kConnectivityConnected); }},
        {"network back", [&] { return m_prompts.WasAsked(texts::kNetworkBack); }, [] {}},
        {"failure notice",
         [&] {
             for (const std::string& text : m_prompts.Asked())
                 if (text.find(" 다운로드를 실패 했습니다.") != std::string::npos)
                     return true;
             return false;
         },
         [&] {
             EXPECT_FALSE(dialog.Completed());
             EXPECT_NE(dialog.Job(), 0u);  // the job stays until the player stops it
             Click(dialog, IDC_CLOSE);     // answered Yes: stop and close
         }},
    };
    std::string failed;
    INT_PTR result = Driver(dialog, steps, 120000).Run(&failed);
    FILE* restore = nullptr;
    if (fopen_s(&restore, missing.c_str(), "wb") == 0 && restore) {
        fwrite(saved.data(), 1, saved.size(), restore);
        fclose(restore);
    }
    EXPECT_EQ(failed, "");
    EXPECT_EQ(result, IDCANCEL);
}

TEST_F(LauncherTest, SecondLauncherSaysSoAndRestoresTheFirst) {
    LauncherConfig config = Config("single/filelist.txt");
    HWND first = CreateWindowExA(0, "STATIC", "brightwave7", WS_OVERLAPPEDWINDOW, 10, 10, 200, 100,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_TRUE(first);
    ShowWindow(first, SW_MINIMIZE);
    uitest::Pump();
    EXPECT_FALSE(AnotherLauncherRuns(config));
    EXPECT_TRUE(m_prompts.Asked().empty());
    EXPECT_TRUE(AnotherLauncherRuns(config));
    EXPECT_TRUE(m_prompts.WasAsked(texts::kAlreadyRunning));
    uitest::Pump();
    EXPECT_FALSE(IsIconic(first));
    // Another file list is another launcher.
    EXPECT_FALSE(AnotherLauncherRuns(Config("other/filelist.txt")));
    DestroyWindow(first);
}

}  // namespace
