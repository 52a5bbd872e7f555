// The download commands and the library's notices: start, stop, close, the
// high-speed consent, the resume question, the disk check and the messages
// for disk space, network state and failure.
#include "launcher/ZVTDownloaderDlg.h"

#include <stdio.h>

#include "launcher/DisplayFormat.h"
#include "launcher/Texts.h"
#include "launcher/controls/CResumeDlg.h"
#include "launcher/framework/Prompts.h"
#include "launcher/res/resource.h"

namespace {

const UINT kQuestionStyle = MB_YESNO | MB_ICONINFORMATION;

void Enable(HWND control, bool enable) {
    EnableWindow(control, enable ? TRUE : FALSE);
}

}  // namespace

bool CZVTDownloaderDlg::AskYesNo(const std::string& text) {
    return ShowMessage(m_hWnd, text, m_config.gameName, kQuestionStyle) == IDYES;
}

void CZVTDownloaderDlg::OnStart() {
    HWND consent = GetDlgItem(IDC_CONSENT);
    if (SendMessageA(consent, BM_GETCHECK, 0, 0) == BST_CHECKED) {
        Enable(consent, false);
        StartDownload();
    } else {
        AppMessageBox(texts::kConsentRequired, MB_OK);
    }
}

void CZVTDownloaderDlg::StartDownload() {
    uint8_t useEngine = m_config.consentFlag == "1" ? 0 : 1;
    if (m_completed)
        return;
    if (m_config.fileListUrl.empty()) {
        Message(texts::kNoProtocol);
        return;
    }
    if (!m_job) {
        SwarmFetch_SetEngineParameter(m_config.productName.c_str());
        SwarmFetch_CreateJob(&m_job, nullptr, m_config.productName.c_str());
        if (m_engineFlag)
            SwarmFetch_SetJobEngineFlag(m_job);
        for (const std::string& url : m_urls)
            SwarmFetch_AddFile(m_job, url.c_str(), m_folder.c_str(), nullptr, -1, 1);
        SwarmFetch_RunJob(m_job, useEngine);
        m_percentText = "0%";
        if (m_progress.GetSafeHwnd())
            m_progress.SetPos(0);
        Invalidate();
        StoreDownloadFolder();
    }
    UpdateButtons(0);
}

void CZVTDownloaderDlg::UpdateButtons(int mode) {
    if (mode == 1) {
        Enable(GetDlgItem(IDC_FOLDER), false);
        return;
    }
    Enable(GetDlgItem(IDC_RUN), false);
    Enable(GetDlgItem(IDC_START), m_job == 0);
    Enable(GetDlgItem(IDC_FOLDER), m_job == 0);
    Enable(GetDlgItem(IDC_STOP), m_job != 0);
    static const int kRepaint[] = {IDC_CURRENT_FILE, IDC_ELAPSED, IDC_REMAINING, IDC_TOTAL_SIZE,
                                   IDC_RECEIVED,     IDC_SPEED,   IDC_PERCENT,   IDC_FOLDER_TEXT,
                                   IDC_START,        IDC_STOP,    IDC_RUN,       IDC_CLOSE,
                                   IDC_FOLDER};
    for (int id : kRepaint)
        InvalidateRect(GetDlgItem(id), nullptr, TRUE);
}

void CZVTDownloaderDlg::StopDownload() {
    if (m_completed)
        return;
    if (m_job) {
        SwarmFetch_StopJob(m_job);
        SwarmFetch_DeleteJob(m_job);
        m_job = 0;
        m_filesDone = 0;
        m_fileNumber = 1;
    }
    Enable(GetDlgItem(IDC_STOP), false);
    Enable(GetDlgItem(IDC_START), true);
    m_speedText = FormatSpeed(0);
    Invalidate();
    UpdateButtons(0);
    Refresh();
}

void CZVTDownloaderDlg::OnStop() {
    if (!m_job)
        return;
    if (AskYesNo(texts::kStopQuestion)) {
        m_running = 0;
        StopDownload();
    }
}

bool CZVTDownloaderDlg::ConfirmCloseDuringDownload() {
    if (!m_job)
        return true;
    char text[512];
    snprintf(text, sizeof(text), texts::kCloseQuestionFormat, m_config.gameName.c_str());
    if (!AskYesNo(text))
        return false;
    StopDownload();
    return true;
}

bool CZVTDownloaderDlg::RefuseCloseWhileInstalling() {
    if (!m_installing)
        return false;
    Message(texts::kInstallerWait);
    return true;
}

void CZVTDownloaderDlg::OnCloseButton() {
    if (RefuseCloseWhileInstalling())
        return;
    if (ConfirmCloseDuringDownload())
        EndDialog(IDCANCEL);
}

void CZVTDownloaderDlg::OnWindowClose() {
    if (RefuseCloseWhileInstalling())
        return;
    if (ConfirmCloseDuringDownload())
        EndDialog(IDCANCEL);
}

void CZVTDownloaderDlg::OnHighSpeedToggle() {
    if (m_highSpeed.GetCheckValue()) {
        m_config.consentFlag = "2";
        m_highSpeed.SetCheckValue(1, true);
        return;
    }
    if (AppMessageBox(texts::kNormalSpeedQuestion, kQuestionStyle) == IDYES) {
        m_config.consentFlag = "1";
    } else {
        m_config.consentFlag = "2";
        m_highSpeed.SetCheckValue(1, true);
    }
}

void CZVTDownloaderDlg::OnResumeQuestion() {
    if (m_running) {
        SwarmFetch_ResumeReply(m_job, 1, 1);
        return;
    }
    CResumeDlg dialog(m_hWnd);
    dialog.DoModal();
    SwarmFetch_ResumeReply(m_job, dialog.resume, dialog.applyToAll);
}

void CZVTDownloaderDlg::CheckDiskSpaceOnce() {
    int64_t remaining = 0;
    SwarmFetch_GetRemainingBytes(m_job, &remaining);
    if (SwarmFetch_CheckDiskSpace(m_folder.c_str(), remaining) != SF_RESULT_OK)
        OnLibraryMessage(m_job, SF_MSG_DISK_FULL);
    m_running = 1;
}

void CZVTDownloaderDlg::OnLibraryMessage(uint32_t handle, int32_t code) {
    if (!m_job)
        return;
    char text[512];
    switch (code) {
        case SF_MSG_DISK_FULL:
            OnDiskFull(handle);
            break;
        case SF_MSG_NETWORK_LOST:
            Message(texts::kNetworkPoor);
            break;
        case SF_MSG_NETWORK_BACK:
            Message(texts::kNetworkBack);
            break;
        case SF_MSG_FAILED:
            snprintf(text, sizeof(text), texts::kDownloadFailedFormat, m_config.gameName.c_str());
            Message(text);
            break;
    }
}

void CZVTDownloaderDlg::OnDiskFull(uint32_t handle) {
    if (m_diskDialogActive)
        return;
    m_diskDialogActive = 1;
    int64_t remaining = 0;
    SwarmFetch_GetRemainingBytes(handle, &remaining);
    StopDownload();
    char text[1024];
    snprintf(text, sizeof(text), texts::kDiskFullFormat, m_folder.c_str(),
             FormatSize(remaining).c_str());
    for (;;) {
        int answer = ShowMessage(m_hWnd, text, m_config.gameName, MB_RETRYCANCEL);
        if (answer != IDRETRY) {
            m_diskDialogActive = 0;
            m_running = 0;
            return;
        }
        if (SwarmFetch_CheckDiskSpace(m_folder.c_str(), remaining) == SF_RESULT_OK) {
            StartDownload();
            m_diskDialogActive = 0;
            return;
        }
    }
}
