// CZVTDownloaderDlg: the launcher's only window, a borderless 640 x 380
// dialog skinned at run time. It fetches the file list, has the library
// measure the files, fetches and applies its skin, lets the player choose
// the folder and start or stop the download, shows the progress and finally
// starts the downloaded installer.
//
// The class is one object spread over the launcher's modules, one concern
// each:
//   ZVTDownloaderDlg.cpp   start-up, file list, library events, window
//                          behaviour (dragging, drawing, the terms scroll)
//   DlgSkin.cpp            the skin: unpacking, pictures, layout
//   DlgFolder.cpp          the download folder and its refusals
//   DlgProgress.cpp        the progress texts
//   DlgControl.cpp         start, stop, close, the library's messages
//   DlgCompletion.cpp      file done, job done and the installer
//
// Everything runs on the user-interface thread; the library's events arrive
// as SWARMFETCH_WM_EVENT messages. Message boxes and the folder browser go
// through the prompt service (framework/Prompts.h).
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "launcher/FolderRules.h"
#include "launcher/LauncherConfig.h"
#include "launcher/controls/CScrollImage.h"
#include "launcher/controls/CSkinButton.h"
#include "launcher/controls/CSkinProgress.h"
#include "launcher/controls/CSkinToolTip.h"
#include "launcher/controls/CTransparentStatic.h"
#include "launcher/framework/Dialog.h"
#include "sdk/api/SwarmFetch.h"

struct SwarmFetchProgress;
struct ExpectedContent;

// Posted to push the display texts to their controls.
const UINT WM_APP_REFRESH = 0x2B11;
// Posted to start the installer thread. The same number is the dialog
// manager's DM_SETDEFID: honoured as a run only once the player asked to run
// a complete download, otherwise left to the dialog manager.
const UINT WM_APP_RUN = 0x401;

class CZVTDownloaderDlg : public CDialog {
  public:
    explicit CZVTDownloaderDlg(const LauncherConfig& config, HWND parent = nullptr);
    ~CZVTDownloaderDlg() override;

    // The total size of the download found by the size check.
    static int64_t TotalSize();

    // State, for the tests that drive the dialog.
    uint32_t Job() const { return m_job; }
    bool Completed() const { return m_completed != 0; }
    bool Installing() const { return m_installing != 0; }
    bool FileListLoaded() const { return m_fileListLoaded != 0; }
    // Whether the library holds a publisher key: the file list must then be
    // signed and every line hashed, and the installer is checked.
    bool PublisherKeyInForce() const { return m_keyInForce; }
    bool SkinLoaded() const { return m_skinLoaded != 0; }
    bool Running() const { return m_running != 0; }
    bool InstallerStarted() const { return m_runThread != nullptr; }
    int32_t FilesDone() const { return m_filesDone; }
    const std::vector<std::string>& Urls() const { return m_urls; }
    const std::string& DownloadFolder() const { return m_folder; }
    const std::string& RunFilePath() const { return m_runFile; }
    const std::string& ConsentFlag() const { return m_config.consentFlag; }
    HBITMAP Image(const std::string& name) const;
    // The display text bound to static `id` (empty for other ids).
    std::string DisplayText(int id) const;

    // The installer start of the end; `path` may be empty. Shows its own
    // messages. Waits at most kInstallerIdleWaitMs for the started program
    // to become idle, so the launcher always ends.
    static bool RunFile(const std::string& path, const std::string& caption);
    // RunFile after the file was checked against `expected` (a sha256 and
    // maybe a size), holding it so that it cannot change before it starts,
    // and starting only that file (VerifiedInstaller.h); `known` false: what
    // it must be cannot be told. Without a hash and with `known`, RunFile
    // alone. Shows "설치 파일을 확인할 수 없습니다." for a file that does not
    // match or a process of another image, and RunFile's missing-file message
    // for a file that is not there (it never runs unchecked).
    static bool RunCheckedFile(const std::string& path, bool known, const ExpectedContent& expected,
                               const std::string& caption);
    static const DWORD kInstallerIdleWaitMs = 30000;

  protected:
    bool OnInitDialog() override;
    bool OnCommand(int id, int code, HWND control) override;
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;
    bool PreTranslateMessage(MSG* msg) override;
    void DoDataExchange(CDataExchange& dx) override;

  private:
    // Start-up and events (ZVTDownloaderDlg.cpp).
    void OnLibraryEvent(uint32_t code, uint32_t handle);
    // True for an event of the job running now; anything else is dropped.
    bool IsCurrentJob(uint32_t code, uint32_t handle) const;
    // Writes why an event was dropped to the service log.
    void DropEvent(uint32_t code, uint32_t handle, const char* why) const;
    void OnDataArrived();
    void OnDataFailed();
    void ParseFileList(const char* data, size_t size);
    // Under a publisher key: keeps the list and fetches its signature (the
    // list's URL plus ".sig"), then takes the list only when it is signed
    // and every line carries a hash.
    void RequestListSignature(const char* data, size_t size);
    void TakeSignedList(const char* sig, size_t sigSize);
    void RefuseFileList(const char* why);
    void StartSizeCheck();
    void OnSizeCheckDone();
    void Message(const std::string& text, UINT style = MB_OK);
    void Quit();
    void Refresh();
    void OnMouseDown(LPARAM lp);
    void OnMouseMove(LPARAM lp);
    void OnTermsScroll(int position);
    LRESULT OnCtlColor(HDC dc, HWND control);
    void EraseBackground(HDC dc);
    void Paint();

    // Skin (DlgSkin.cpp).
    void ApplySkin(const void* data, int64_t size);
    void LayOut();
    // False (and the button left plain) when one of its four pictures is missing.
    bool SkinButton(CSkinButton& button, const char* base);
    HBITMAP LoadImageFile(const std::string& path);

    // Folder (DlgFolder.cpp).
    void OnChooseFolder();
    void StoreDownloadFolder();
    // The stored folder (machine-wide first, then the player's) when it is
    // still acceptable, else the default.
    std::string InitialDownloadFolder() const;
    static RefusedFolders SystemFolders();
    static int64_t FreeBytes(const std::string& path);

    // Progress (DlgProgress.cpp).
    void ShowProgress(const SwarmFetchProgress& progress);
    void ShowIdleTexts();
    void UpdateFileLabel();

    // Download control (DlgControl.cpp).
    void OnStart();
    void StartDownload();
    void OnStop();
    void StopDownload();
    void OnCloseButton();
    void OnWindowClose();
    // Asks whether to stop a running download for closing; stops it on Yes.
    // True when the window may close.
    bool ConfirmCloseDuringDownload();
    // While the installer is being started the window stays: shows the wait
    // message and returns true.
    bool RefuseCloseWhileInstalling();
    void OnHighSpeedToggle();
    void UpdateButtons(int mode);
    void OnResumeQuestion();
    void CheckDiskSpaceOnce();
    void OnLibraryMessage(uint32_t handle, int32_t code);
    void OnDiskFull(uint32_t handle);
    bool AskYesNo(const std::string& text);

    // Completion (DlgCompletion.cpp).
    void OnFileDone(const SwarmFetchFileDone& record);
    void OnJobDone();
    void OnRun();
    // False when the message is no run request (see WM_APP_RUN).
    bool OnRunMessage();
    static DWORD WINAPI RunThread(void* self) noexcept;

    LauncherConfig m_config;

    uint32_t m_job = 0;
    int32_t m_completed = 0;
    int32_t m_installing = 0;
    int32_t m_fileListLoaded = 0;
    int32_t m_skinLoaded = 0;
    int32_t m_running = 0;
    int32_t m_filesDone = 0;
    int32_t m_fileNumber = 1;
    int32_t m_diskDialogActive = 0;
    int32_t m_engineFlag = 1;
    std::vector<std::string> m_urls;
    bool m_keyInForce = false;
    bool m_signatureRequested = false;
    std::string m_signedList;   // the list's bytes while its signature is fetched
    int64_t m_listedBytes = 0;  // sizes the list names, not measured
    std::map<std::string, HBITMAP> m_images;
    std::string m_runFile;
    HANDLE m_runThread = nullptr;
    std::string m_folder;  // ends in '\'

    // Display texts.
    std::string m_fileLabel;
    std::string m_receivedText;
    std::string m_totalText;
    std::string m_remainingText;
    std::string m_elapsedText;
    std::string m_speedText;
    std::string m_percentText;
    std::string m_noticeText;

    CSkinButton m_folderButton;
    CSkinButton m_startButton;
    CSkinButton m_stopButton;
    CSkinButton m_closeButton;
    CSkinButton m_runButton;
    CSkinButton m_highSpeed;
    CTransparentStatic m_labels[8];
    CSkinProgress m_progress;
    CScrollImage m_terms;
    CSkinToolTip m_toolTip;
    HWND m_termsScroll = nullptr;
    HWND m_background = nullptr;
    int m_termsPosition = 0;

    HFONT m_fontA = nullptr;
    HFONT m_fontB = nullptr;
    HICON m_icon = nullptr;

    bool m_dragging = false;
    POINT m_dragStart{0, 0};
    RECT m_dragRect{0, 0, 0, 0};
};
