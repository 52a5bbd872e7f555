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
#include "launcher/DisplayFormat.h"
#include "launcher/Texts.h"
#include "launcher/ZVTDownloaderDlg.h"
#include "launcher/framework/Prompts.h"
#include "launcher/res/resource.h"
#include "opn/platform/pfVolume.h"
#include "sdk/api/CJobManager.h"
#include "sdk/download/BinaryExecute.h"
#include "sdk/download/CEngineDownloader.h"
#include "sdk/download/Connectivity.h"
#include "sdk/download/EngineManifestUrl.h"
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
            if (&shown == &m_dialog)
                SetTimer(m_dialog.GetSafeHwnd(), kTimerId, 100, OnTimer);
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
    }
    void TearDown() override {
        CJobManager::SetEngineDownloaderEnabledForTesting(true);
        SetPromptService(nullptr);
        PfSetFreeDiskSpaceHookForTesting(nullptr);
        SetConnectivityForTesting(kConnectivityFromSystem);
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
        uitest::Canvas canvas(640, 380, RGB(0, 0, 0));
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
             EXPECT_EQ(dialog.ConsentFlag(), "2");

             // Pixels: the background picture shows where no control is, and
             // the start button shows its picture, magenta keyed out.
             uitest::Pump();
             RedrawWindow(window, nullptr, nullptr,
                          RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
             uitest::Canvas screen(640, 380, RGB(1, 2, 3));
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
    INT_PTR result = Driver(dialog, steps, 60000).Run(&failed);
    EXPECT_EQ(failed, "");
    EXPECT_TRUE(checked);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_TRUE(m_prompts.Asked().empty());
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
             EXPECT_EQ(dialog.DisplayText(IDC_SPEED), "0 Bytes/Sec");
             // Start again: a new job from the beginning, at full speed.
             Click(dialog, IDC_START);
             EXPECT_NE(dialog.Job(), 0u);
         }},
        {"completed and installer started", [&] { return dialog.Installing(); },
         [&] {
             EXPECT_TRUE(dialog.Completed());
             EXPECT_TRUE(m_prompts.WasAsked(texts::kCompleteQuestion));
             EXPECT_EQ(dialog.RunFilePath(), installer);
             EXPECT_EQ(dialog.DisplayText(IDC_PERCENT), "100%");
             Screenshot(dialog, "launcher-complete");
         }},
    };
    std::string failed;
    INT_PTR result = Driver(dialog, steps, 120000).Run(&failed);
    EXPECT_EQ(failed, "");  // the installer thread's quit ends it
    EXPECT_EQ(result, -1);
    for (const char* name : {"a.bin", "b.bin", "setup.exe"}) {
        EXPECT_EQ(ReadFile(folder + name),
                  ReadFile(m_servers.DocRootPath(std::string("launcher/ok/") + name)))
            << name;
    }
    // The installer really ran: it leaves a marker beside itself.
    bool ran = false;
    for (int i = 0; i < 100 && !ran; ++i) {
        ran = GetFileAttributesA((folder + "demo-installer-ran.txt").c_str()) !=
              INVALID_FILE_ATTRIBUTES;
        if (!ran)
            Sleep(100);
    }
    EXPECT_TRUE(ran);
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
    // A few seconds for 2.3 MB, so the progress is seen on the way.
    SetEnvironmentVariableA("SF_ENGINE_BEHAVIOUR", "rate=600000");
    ovCString engineFolder;
    GetEngineFolder(engineFolder);
    std::string log = std::string(engineFolder.CStr()) + "config\\service.log";
    // Installed afresh: an engine left by an earlier run may be an older
    // build of the same version.
    DeleteFileA((std::string(engineFolder.CStr()) + "ldDownload.exe").c_str());

    std::string folder = Folder("engine");
    bool sawProgress = false;
    std::string failed;
    {  // the library ends with the dialog
        CZVTDownloaderDlg dialog(Config("ok/filelist.txt"));
        m_prompts.folder = Folder("engine");
        m_prompts.answer = [&](const MessageRequest& request) {
            if (request.text == texts::kCompleteQuestion)
                return IDNO;
            return (request.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
        };
        std::vector<Step> steps = {
            {"skin applied", [&] { return dialog.SkinLoaded(); },
             [&] {
                 Click(dialog, IDC_FOLDER);
                 Click(dialog, IDC_START);
             }},
            {"progress", [&] { return dialog.DisplayText(IDC_RECEIVED) != "0 Bytes"; },
             [&] {
                 sawProgress = true;
                 Screenshot(dialog, "launcher-engine-downloading");
             }},
            {"completed", [&] { return dialog.Completed(); },
             [&] {
                 EXPECT_EQ(dialog.DisplayText(IDC_PERCENT), "100%");
                 EXPECT_EQ(dialog.DisplayText(IDC_RECEIVED), dialog.DisplayText(IDC_TOTAL_SIZE));
                 // The engine's time is the job's own, seconds since it began.
                 EXPECT_EQ(dialog.DisplayText(IDC_ELAPSED).compare(0, 4, "00:0"), 0)
                     << dialog.DisplayText(IDC_ELAPSED);
                 Screenshot(dialog, "launcher-engine-complete");
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
    EXPECT_TRUE(sawProgress);
    for (const char* name : {"a.bin", "b.bin", "setup.exe"}) {
        EXPECT_EQ(ReadFile(folder + name),
                  ReadFile(m_servers.DocRootPath(std::string("launcher/ok/") + name)))
            << name;
    }
    // The engine did the work: installed where a player's would be, and the
    // plain downloader never began.
    EXPECT_NE(text.find("[SwarmFetchLib] Patch Success"), std::string::npos) << text;
    EXPECT_EQ(text.find("[SwarmFetchLib] CPlatFormDownloader Begin"), std::string::npos) << text;
    EXPECT_FALSE(ReadFile(std::string(engineFolder.CStr()) + "ldDownload.exe").empty());
    CEngineDownloader::SetEnginePortForTesting(0);
    SetEngineManifestUrlForTesting(nullptr);
    SetEnvironmentVariableA("SF_ENGINE_BEHAVIOUR", nullptr);
    // The engine ends by itself once no library is connected.
    bool gone = false;
    for (int i = 0; i < 150 && !gone; ++i) {
        {  // closed at once: a connection held open keeps the engine up
            testpeers::Client client;
            gone = !client.Connect(port, 200);
        }
        if (!gone)
            Sleep(100);
    }
    EXPECT_TRUE(gone);
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
    std::vector<Step> steps = {
        {"skin applied", [&] { return dialog.SkinLoaded(); },
         [&] {
             Click(dialog, IDC_FOLDER);
             PfSetFreeDiskSpaceHookForTesting(TooLittleSpace);
             Click(dialog, IDC_START);
         }},
        {"completed", [&] { return dialog.Completed(); },
         [&] {
             EXPECT_EQ(retries, 3);
             EXPECT_TRUE(Enabled(dialog, IDC_RUN));
             EXPECT_FALSE(Enabled(dialog, IDC_START));
             EXPECT_FALSE(dialog.Installing());
             // The folder is fixed after completion.
             std::string before = dialog.DownloadFolder();
             m_prompts.folder = Folder("elsewhere");
             Click(dialog, IDC_FOLDER);
             EXPECT_EQ(dialog.DownloadFolder(), before);
             // Run later: the installer starts and the launcher ends.
             Click(dialog, IDC_RUN);
             EXPECT_TRUE(dialog.Installing());
             Click(dialog, IDC_RUN);    // a second press does nothing
             Click(dialog, IDC_CLOSE);  // only the wait message
             EXPECT_TRUE(m_prompts.WasAsked(texts::kInstallerWait));
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
             Click(dialog, IDC_FOLDER);
             Click(dialog, IDC_START);
             SetConnectivityForTesting(kConnectivityLost);
         }},
        {"network lost", [&] { return m_prompts.WasAsked(texts::kNetworkPoor); },
         [&] { SetConnectivityForTesting(kConnectivityConnected); }},
        {"network back", [&] { return m_prompts.WasAsked(texts::kNetworkBack); },
         [&] {
             // The first file is still arriving at normal speed; the second
             // disappears after its size was measured, so its download fails.
             EXPECT_TRUE(DeleteFileA(missing.c_str()));
         }},
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
