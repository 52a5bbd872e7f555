// The end of the download: completed files are watched for the installer,
// the job's end asks whether to run it, and a thread of its own starts it
// while the installing dialog spins; then the launcher quits.
#include "launcher/ZVTDownloaderDlg.h"

#include <io.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

#include "launcher/DialogLayout.h"
#include "launcher/FileDoneText.h"
#include "launcher/FileList.h"
#include "launcher/Texts.h"
#include "launcher/VerifiedInstaller.h"
#include "launcher/controls/CNowLoading.h"
#include "launcher/framework/Prompts.h"
#include "launcher/res/resource.h"
#include "sdk/support/ExpectedContent.h"

namespace {

// The copy of the path the installer thread works on.
struct RunRequest {
    HWND window;
    std::string path;
    std::string caption;
    bool known;                // what the file must be can be told
    ExpectedContent expected;  // from its list line
};

// Elevation exists from the NT 6 family on.
const char* InstallerVerb() {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    BOOL known = GetVersionExA(&version);
#pragma GCC diagnostic pop
    if (known && version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion > 5)
        return "runas";
    return "open";
}

}  // namespace

void CZVTDownloaderDlg::OnFileDone(const SwarmFetchFileDone& record) {
    if (!m_job)
        return;
    ++m_filesDone;
    ++m_fileNumber;
    UpdateFileLabel();
    // Only a file of the download folder is ever started.
    const std::string path =
        FileDonePath(std::string(record.text, strnlen(record.text, sizeof(record.text))), m_folder);
    if (!path.empty() && IsRunFile(m_urls.size(), path.c_str()))
        m_runFile = path;
    UpdateData(false);
}

void CZVTDownloaderDlg::OnJobDone() {
    // The job's average speed stays on screen beside the time it took.
    const std::string speed = m_speedText;
    StopDownload();
    m_speedText = speed;
    m_completed = 1;
    m_remainingText = "00:00:00";
    ShowWindow(GetDlgItem(IDC_NOTICE), SW_HIDE);
    if (m_progress.GetSafeHwnd())
        m_progress.SetPos(100);
    m_percentText = "100%";
    EnableWindow(GetDlgItem(IDC_RUN), TRUE);
    EnableWindow(GetDlgItem(IDC_START), FALSE);
    EnableWindow(GetDlgItem(IDC_STOP), FALSE);
    EnableWindow(GetDlgItem(IDC_FOLDER), FALSE);
    UpdateData(false);
    Invalidate();
    Refresh();
    if (AppMessageBox(texts::kCompleteQuestion, MB_YESNO | MB_ICONINFORMATION) == IDYES)
        OnRun();
}

void CZVTDownloaderDlg::OnRun() {
    if (!m_completed) {
        Message(texts::kNotComplete);
        return;
    }
    if (m_installing)
        return;
    m_installing = 1;
    HWND notice = GetDlgItem(IDC_NOTICE);
    EnableWindow(GetDlgItem(IDC_RUN), FALSE);
    layout::PlaceWindow(notice, layout::kInstallNotice);
    ShowWindow(notice, SW_SHOW);
    m_noticeText = texts::kInstallerNotice;
    ::SetWindowTextA(notice, m_noticeText.c_str());
    RedrawWindow(notice, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_UPDATENOW);
    PostMessageA(m_hWnd, WM_APP_RUN, 0, 0);
}

bool CZVTDownloaderDlg::OnRunMessage() {
    // The installer starts once, and only after the player asked for it at
    // the end of a complete download; everything else that comes as this
    // message (it is also the dialog manager's DM_SETDEFID) is not a run.
    if (!m_completed || !m_installing || m_runThread)
        return false;
    RunRequest* request = new RunRequest{m_hWnd, m_runFile, m_config.gameName, false, {}};
    request->known = RunFileContent(m_urls, m_runFile, m_keyInForce, &request->expected);
    m_runThread = CreateThread(nullptr, 0, RunThread, request, 0, nullptr);
    if (!m_runThread) {
        delete request;
        PostQuitMessage(0);
        return true;
    }
    CNowLoading loading(m_hWnd);
    loading.DoModal();
    return true;
}

DWORD WINAPI CZVTDownloaderDlg::RunThread(void* param) noexcept {
    RunRequest* request = static_cast<RunRequest*>(param);
    RunCheckedFile(request->path, request->known, request->expected, request->caption);
    PostMessageA(request->window, WM_QUIT, 0, 0);
    delete request;
    return 0;
}

bool CZVTDownloaderDlg::RunCheckedFile(const std::string& path, bool known,
                                       const ExpectedContent& expected,
                                       const std::string& caption) {
    // Nothing to check: RunFile's own start and messages.
    if (path.empty() || (known && !expected.hasSha256))
        return RunFile(path, caption);
    switch (known ? StartVerifiedInstaller(path, expected, kInstallerIdleWaitMs)
                  : InstallerStart::kUnverified) {
        case InstallerStart::kStarted:
            return true;
        case InstallerStart::kMissing: {
            char text[1024];
            snprintf(text, sizeof(text), texts::kRunFileMissingFormat, path.c_str());
            ShowMessage(nullptr, text, caption, MB_OK);
            return false;
        }
        case InstallerStart::kUnverified:
            ShowMessage(nullptr, texts::kInstallerUnverified, caption, MB_OK);
            return false;
        case InstallerStart::kNotStarted:
            break;
    }
    return false;
}

bool CZVTDownloaderDlg::RunFile(const std::string& path, const std::string& caption) {
    if (path.empty()) {
        ShowMessage(nullptr, texts::kRunFileNull, caption, MB_OK);
        return false;
    }
    const char* verb = InstallerVerb();
    if (_access(path.c_str(), 0) != 0) {
        char text[1024];
        snprintf(text, sizeof(text), texts::kRunFileMissingFormat, path.c_str());
        ShowMessage(nullptr, text, caption, MB_OK);
        return false;
    }
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = verb;
    info.lpFile = path.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&info))
        return false;
    if (info.hProcess) {
        WaitForInputIdle(info.hProcess, kInstallerIdleWaitMs);
        CloseHandle(info.hProcess);
    }
    return true;
}
