#include "launcher/ZVTDownloaderDlg.h"

#include <stdio.h>
#include <string.h>
#include <windowsx.h>

#include <memory>
#include <new>

#include "launcher/DialogLayout.h"
#include "launcher/DisplayFormat.h"
#include "launcher/FileList.h"
#include "launcher/ListSerial.h"
#include "launcher/Texts.h"
#include "launcher/framework/DataExchange.h"
#include "launcher/framework/Prompts.h"
#include "launcher/framework/Resources.h"
#include "launcher/res/resource.h"
#include "sdk/download/ByteCount.h"
#include "sdk/support/ServiceLog.h"

namespace {

int64_t g_totalSize = 0;

// The single-slot and queue queries leave the caller's record untouched when
// there is nothing to fetch: records are filled with this byte first, and a
// record that still holds nothing else was not fetched.
const int kUnfetched = 0xFF;

template <typename Record>
bool Fetched(const Record& record) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
    for (size_t i = 0; i < sizeof record; ++i)
        if (bytes[i] != kUnfetched)
            return true;
    return false;
}

const COLORREF kEraseColour = RGB(0xC3, 0xC3, 0xC3);
const COLORREF kTextColour = RGB(0xEF, 0xEF, 0xEF);
const COLORREF kNoticeText = RGB(0xFF, 0xFF, 0x00);
const RECT kTermsRect = {layout::kTerms.x, layout::kTerms.y, layout::kTermsRight,
                         layout::kTermsBottom};

// Bound display statics, in the order of m_labels.
const int kLabelIds[] = {IDC_CURRENT_FILE, IDC_ELAPSED, IDC_REMAINING, IDC_TOTAL_SIZE,
                         IDC_RECEIVED,     IDC_SPEED,   IDC_PERCENT,   IDC_FOLDER_TEXT};

HFONT MakeFont(const char* face, int height, int weight) {
    return CreateFontA(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       VARIABLE_PITCH | FF_SWISS, face);
}

}  // namespace

CZVTDownloaderDlg::CZVTDownloaderDlg(const LauncherConfig& config, HWND parent)
    : CDialog(IDD_ZVTDOWNLOADER_DIALOG, parent), m_config(config) {
    m_icon = LoadIconA(ResourceInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

CZVTDownloaderDlg::~CZVTDownloaderDlg() {
    for (auto& image : m_images)
        if (image.second)
            DeleteObject(image.second);
    if (m_fontA)
        DeleteObject(m_fontA);
    if (m_fontB)
        DeleteObject(m_fontB);
    if (m_runThread)
        CloseHandle(m_runThread);
}

int64_t CZVTDownloaderDlg::TotalSize() {
    return g_totalSize;
}

HBITMAP CZVTDownloaderDlg::Image(const std::string& name) const {
    auto found = m_images.find(name);
    return found == m_images.end() ? nullptr : found->second;
}

std::string CZVTDownloaderDlg::DisplayText(int id) const {
    switch (id) {
        case IDC_CURRENT_FILE:
            return m_fileLabel;
        case IDC_ELAPSED:
            return m_elapsedText;
        case IDC_REMAINING:
            return m_remainingText;
        case IDC_TOTAL_SIZE:
            return m_totalText;
        case IDC_RECEIVED:
            return m_receivedText;
        case IDC_SPEED:
            return m_speedText;
        case IDC_PERCENT:
            return m_percentText;
        case IDC_FOLDER_TEXT:
            return m_folder;
        case IDC_NOTICE:
            return m_noticeText;
    }
    return std::string();
}

void CZVTDownloaderDlg::DoDataExchange(CDataExchange& dx) {
    for (size_t i = 0; i < sizeof(kLabelIds) / sizeof(kLabelIds[0]); ++i)
        DDX_Control(dx, kLabelIds[i], m_labels[i]);
    DDX_Control(dx, IDC_FOLDER, m_folderButton);
    DDX_Control(dx, IDC_START, m_startButton);
    DDX_Control(dx, IDC_STOP, m_stopButton);
    DDX_Control(dx, IDC_CLOSE, m_closeButton);
    DDX_Control(dx, IDC_RUN, m_runButton);
    DDX_Control(dx, IDC_HIGH_SPEED, m_highSpeed);
    DDX_Control(dx, IDC_TERMS_IMAGE, m_terms);
    DDX_Text(dx, IDC_CURRENT_FILE, m_fileLabel);
    DDX_Text(dx, IDC_ELAPSED, m_elapsedText);
    DDX_Text(dx, IDC_REMAINING, m_remainingText);
    DDX_Text(dx, IDC_TOTAL_SIZE, m_totalText);
    DDX_Text(dx, IDC_RECEIVED, m_receivedText);
    DDX_Text(dx, IDC_SPEED, m_speedText);
    DDX_Text(dx, IDC_PERCENT, m_percentText);
    DDX_Text(dx, IDC_FOLDER_TEXT, m_folder);
    DDX_Text(dx, IDC_NOTICE, m_noticeText);
}

bool CZVTDownloaderDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    if (m_icon)
        Send(WM_SETICON, ICON_BIG, (LPARAM)m_icon);
    SetErrorMode(SEM_NOGPFAULTERRORBOX);

    m_fontA = MakeFont("돋움", 12, FW_NORMAL);
    m_fontB = MakeFont("Verdana", 13, FW_BOLD);
    if (m_toolTip.Create(m_hWnd)) {
        m_toolTip.SetMaxTipWidth(350);
        m_toolTip.AddTool(m_highSpeed.GetSafeHwnd(), texts::kHighSpeedTip, nullptr, IDC_HIGH_SPEED);
    }

    if (m_config.productName.empty())
        m_config.productName = texts::kDefaultProductName;
    if (m_config.skinUrl.empty()) {
        Message(texts::kSkinUrlMissing);
        PostQuitMessage(0);
        return true;
    }
    // The library answers 517 for any signature when it was built without a
    // publisher key.
    m_keyInForce = SwarmFetch_VerifyPublisherSignature(nullptr, 0, nullptr, 0) != SF_RESULT_FAILED;
    if (SwarmFetch_Init(m_hWnd, nullptr, nullptr) != SF_RESULT_OK) {
        char text[128];
        snprintf(text, sizeof(text), texts::kInitFailedFormat, texts::kLibraryName);
        Message(text);
        return true;
    }
    if (SwarmFetch_RequestData(m_config.fileListUrl.c_str()) != SF_RESULT_OK) {
        Message(texts::kFileListStartFailed);
        return true;
    }
    SetWindowTextA(m_config.gameName);
    if (m_config.consentFlag == "1") {
        m_highSpeed.SetCheckValue(0, true);
    } else {
        m_config.consentFlag = "2";
        m_highSpeed.SetCheckValue(1, true);
    }
    SwarmFetch_SetEngineParameter(m_config.fileListUrl.c_str());
    // Invisible until the skin lays the window out.
    SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOZORDER | SWP_NOACTIVATE);
    return true;
}

void CZVTDownloaderDlg::Message(const std::string& text, UINT style) {
    ShowMessage(m_hWnd, text, m_config.gameName, style);
}

void CZVTDownloaderDlg::Quit() {
    if (m_job)
        StopDownload();
    PostQuitMessage(0);
}

void CZVTDownloaderDlg::Refresh() {
    PostMessageA(m_hWnd, WM_APP_REFRESH, 0, 0);
}

bool CZVTDownloaderDlg::IsCurrentJob(uint32_t code, uint32_t handle) const {
    if (handle != 0 && handle == m_job)
        return true;
    DropEvent(code, handle, "not the current job");
    return false;
}

void CZVTDownloaderDlg::DropEvent(uint32_t code, uint32_t handle, const char* why) const {
    LogPrintf("[ZVTDownloader] event %u of job %u dropped: %s (current job %u)", code, handle, why,
              m_job);
}

void CZVTDownloaderDlg::OnLibraryEvent(uint32_t code, uint32_t handle) {
    // Job events act only for the job running now, and only with the record
    // they announce: an event still queued from a stopped job, or one whose
    // record is gone, is dropped.
    switch (code) {
        case SF_EVENT_SIZE_INFO: {
            SwarmFetchSizeInfo info;
            if (!IsCurrentJob(code, handle))
                break;
            memset(&info, kUnfetched, sizeof info);
            if (SwarmFetch_GetSizeInfo(handle, &info) != SF_RESULT_OK || !Fetched(info)) {
                DropEvent(code, handle, "no size record");
                break;
            }
            m_remainingText = FormatDuration(0);
            m_running = 0;
            break;
        }
        case SF_EVENT_PROGRESS: {
            SwarmFetchProgress progress = {};
            if (!IsCurrentJob(code, handle))
                break;
            if (SwarmFetch_GetProgress(handle, &progress) != SF_RESULT_OK) {
                DropEvent(code, handle, "no progress record");
                break;
            }
            ShowProgress(progress);
            if (!m_running)
                CheckDiskSpaceOnce();
            break;
        }
        case SF_EVENT_FILE_DONE: {
            SwarmFetchFileDone record;
            if (!IsCurrentJob(code, handle))
                break;
            memset(&record, kUnfetched, sizeof record);
            if (SwarmFetch_GetFileDone(handle, &record) != SF_RESULT_OK || !Fetched(record)) {
                DropEvent(code, handle, "no file-done record");
                break;
            }
            OnFileDone(record);
            break;
        }
        case SF_EVENT_JOB_DONE: {
            SwarmFetchJobDone record;
            if (!IsCurrentJob(code, handle))
                break;
            memset(&record, kUnfetched, sizeof record);
            if (SwarmFetch_GetJobDone(handle, &record) != SF_RESULT_OK || !Fetched(record)) {
                DropEvent(code, handle, "no job-done record");
                break;
            }
            OnJobDone();
            break;
        }
        case SF_EVENT_MESSAGE: {
            if (!IsCurrentJob(code, handle))
                break;
            int32_t length = 0;
            if (SwarmFetch_GetMessageLength(handle, &length) != SF_RESULT_OK) {
                DropEvent(code, handle, "no message queue");
                break;
            }
            std::unique_ptr<char[]> text;
            if (length > 0)
                text.reset(new char[(size_t)length]());
            SwarmFetchMessage message = {SF_MSG_NONE, text.get()};
            if (SwarmFetch_PopMessage(handle, &message) != SF_RESULT_OK) {
                DropEvent(code, handle, "no message");
                break;
            }
            OnLibraryMessage(handle, message.code);
            break;
        }
        case SF_EVENT_DATA_DONE:
            OnDataArrived();
            break;
        case SF_EVENT_DATA_FAILED:
            OnDataFailed();
            break;
        case SF_EVENT_RESUME_QUESTION:
            if (IsCurrentJob(code, handle))
                OnResumeQuestion();
            break;
        case SF_EVENT_SIZE_CHECK_DONE:
            OnSizeCheckDone();
            break;
        case SF_EVENT_SIZE_CHECK_FAILED:
            Message(texts::kSizeCheckFailed);
            PostQuitMessage(0);
            break;
    }
}

void CZVTDownloaderDlg::OnDataArrived() {
    int64_t size = 0;
    SwarmFetch_GetDataSize(&size);
    std::unique_ptr<char[]> data;
    if (size > 0) {
        data.reset(new (std::nothrow) char[(size_t)size]);
        SwarmFetchDataBuffer buffer = {data.get(), size};
        if (!data || SwarmFetch_GetData(&buffer) != SF_RESULT_OK)
            size = 0;
    }
    if (!m_fileListLoaded) {
        const size_t length = size > 0 ? (size_t)size : 0;
        if (!m_keyInForce) {
            ParseFileList(data.get(), length);
        } else if (!m_signatureRequested) {
            RequestListSignature(data.get(), length);
        } else {
            TakeSignedList(data.get(), length);
        }
        if (m_fileListLoaded)
            StartSizeCheck();
    } else if (!m_skinLoaded) {
        ApplySkin(data.get(), size);
    }
}

void CZVTDownloaderDlg::OnDataFailed() {
    if (!m_fileListLoaded && m_signatureRequested) {
        RefuseFileList("no signature");
    } else if (!m_fileListLoaded) {
        Message(texts::kFileListFailed);
        Quit();
    } else if (!m_skinLoaded) {
        Message(texts::kSkinFileFailed);
        Quit();
    }
}

void CZVTDownloaderDlg::ParseFileList(const char* data, size_t size) {
    FileListParse parse = ::ParseFileList(data, size);
    if (parse.outOfMemory) {
        Message(texts::kFileListFailed);
        Quit();
        return;
    }
    for (int i = 0; i < parse.overlongLines; ++i) {
        Message(texts::kBadUrl);
        Quit();
    }
    m_urls.swap(parse.urls);
    if (!m_urls.empty()) {
        m_fileListLoaded = 1;
    } else {
        Message(texts::kFileListFailed);
        Quit();
    }
}

void CZVTDownloaderDlg::RequestListSignature(const char* data, size_t size) {
    m_signatureRequested = true;
    try {
        if (data)
            m_signedList.assign(data, size);
    } catch (const std::bad_alloc&) {
        Message(texts::kFileListFailed);
        Quit();
        return;
    }
    // Fetched like the list itself, with the same bounds.
    const std::string url = m_config.fileListUrl + ".sig";
    if (SwarmFetch_RequestData(url.c_str()) != SF_RESULT_OK)
        RefuseFileList("signature not requested");
}

void CZVTDownloaderDlg::TakeSignedList(const char* sig, size_t sigSize) {
    std::string list;
    list.swap(m_signedList);
    // Signed for this game, and no older than the newest list taken before.
    int64_t serial = 0;
    if (list.size() > (size_t)INT32_MAX || sigSize > (size_t)INT32_MAX ||
        SwarmFetch_VerifyPublisherFile(list.data(), (int32_t)list.size(), sig, (int32_t)sigSize,
                                       m_config.gameName.c_str(), &serial) != SF_RESULT_OK) {
        RefuseFileList("wrong signature");
        return;
    }
    const int64_t seen = SeenListSerial(m_config.gameName);
    if (serial < seen) {
        LogPrintf("[ZVTDownloader] file list serial %lld is older than %lld", (long long)serial,
                  (long long)seen);
        RefuseFileList("an older list");
        return;
    }
    ParseFileList(list.data(), list.size());
    if (m_fileListLoaded && FirstUnhashedLine(m_urls) != m_urls.size()) {
        m_fileListLoaded = 0;
        m_urls.clear();
        RefuseFileList("a line without sha256");
        return;
    }
    if (m_fileListLoaded && !StoreListSerial(m_config.gameName, serial))
        LogPrintf("[ZVTDownloader] file list serial %lld not kept", (long long)serial);
}

void CZVTDownloaderDlg::RefuseFileList(const char* why) {
    m_signedList.clear();
    LogPrintf("[ZVTDownloader] file list refused: %s", why);
    Message(texts::kFileListUnverified);
    Quit();
}

void CZVTDownloaderDlg::StartSizeCheck() {
    // A line that names its size beside its hash is not measured: the
    // library holds that file to the size, and a run over a complete folder
    // then asks the server for nothing.
    m_listedBytes = 0;
    bool measuring = false;
    for (const std::string& url : m_urls) {
        const int64_t listed = ListedFileSize(url);
        if (listed >= 0) {
            m_listedBytes = AddByteCount(m_listedBytes, listed);
            continue;
        }
        measuring = true;
        if (SwarmFetch_AddSizeCheck(url.c_str()) != SF_RESULT_OK) {
            Message(texts::kSizeCheckFailed);
            PostQuitMessage(0);
        }
    }
    if (!measuring) {
        OnSizeCheckDone();
        return;
    }
    if (SwarmFetch_StartSizeCheck() != SF_RESULT_OK) {
        Message(texts::kSizeCheckFailed);
        PostQuitMessage(0);
    }
}

void CZVTDownloaderDlg::OnSizeCheckDone() {
    int64_t total = 0;
    SwarmFetch_GetSizeCheckTotal(&total);
    total = AddByteCount(total, m_listedBytes);
    g_totalSize = total;
    m_totalText = FormatSize(total);
    if (SwarmFetch_RequestData(m_config.skinUrl.c_str()) != SF_RESULT_OK) {
        Message(texts::kSkinStartFailed);
        PostQuitMessage(0);
    }
}

bool CZVTDownloaderDlg::OnCommand(int id, int code, HWND control) {
    switch (id) {
        case IDC_START:
            OnStart();
            return true;
        case IDC_STOP:
            OnStop();
            return true;
        case IDC_CLOSE:
            OnCloseButton();
            return true;
        case IDC_HIGH_SPEED:
            OnHighSpeedToggle();
            return true;
        case IDC_FOLDER:
            OnChooseFolder();
            return true;
        case IDC_RUN:
            OnRun();
            return true;
        case IDOK:
        case IDCANCEL:
            // Enter and the system's close come here; closing asks first.
            OnWindowClose();
            return true;
    }
    return CDialog::OnCommand(id, code, control);
}

bool CZVTDownloaderDlg::PreTranslateMessage(MSG* msg) {
    m_toolTip.RelayEvent(msg);
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE) {
        OnCloseButton();
        return true;
    }
    return CDialog::PreTranslateMessage(msg);
}

LRESULT CZVTDownloaderDlg::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case SWARMFETCH_WM_EVENT:
            OnLibraryEvent((uint32_t)wp, (uint32_t)lp);
            return 0;
        case WM_APP_REFRESH:
            UpdateData(false);
            return 0;
        case WM_APP_RUN:
            if (OnRunMessage())
                return 0;
            break;
        case WM_CLOSE:
            OnWindowClose();
            return 0;
        case WM_DESTROY:
            if (m_job)
                StopDownload();
            if (m_runThread) {
                WaitForSingleObject(m_runThread, INFINITE);
                CloseHandle(m_runThread);
                m_runThread = nullptr;
            }
            SwarmFetch_Finalize();
            m_urls.clear();
            break;
        case WM_LBUTTONDOWN:
            OnMouseDown(lp);
            return 0;
        case WM_MOUSEMOVE:
            OnMouseMove(lp);
            return 0;
        case WM_LBUTTONUP:
            if (m_dragging) {
                m_dragging = false;
                ReleaseCapture();
            }
            return 0;
        case WM_SIZE:
            if (wp == SIZE_MAXIMIZED)
                ShowWindow(m_hWnd, SW_RESTORE);
            return 0;
        case WM_MOUSEWHEEL: {
            // Four pixels per notch, against the wheel's direction.
            int notches = GET_WHEEL_DELTA_WPARAM(wp) / WHEEL_DELTA;
            OnTermsScroll(m_termsPosition - 4 * notches);
            return 0;
        }
        case WM_VSCROLL:
            if ((HWND)lp == m_termsScroll && m_termsScroll) {
                int position = m_termsPosition;
                switch (LOWORD(wp)) {
                    case SB_LINEUP:
                        position -= 1;
                        break;
                    case SB_LINEDOWN:
                        position += 1;
                        break;
                    case SB_PAGEUP:
                        position -= 8;
                        break;
                    case SB_PAGEDOWN:
                        position += 8;
                        break;
                    case SB_THUMBTRACK:
                    case SB_THUMBPOSITION:
                        position = HIWORD(wp);
                        break;
                }
                OnTermsScroll(position);
                return 0;
            }
            break;
        case WM_ERASEBKGND:
            EraseBackground((HDC)wp);
            return TRUE;
        case WM_PAINT:
            Paint();
            return 0;
        case WM_QUERYDRAGICON:
            return (LRESULT)m_icon;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
            return OnCtlColor((HDC)wp, (HWND)lp);
    }
    return CDialog::WindowProc(msg, wp, lp);
}

LRESULT CZVTDownloaderDlg::OnCtlColor(HDC dc, HWND control) {
    int id = GetDlgCtrlID(control);
    if (id == IDC_NOTICE) {
        SetBkMode(dc, OPAQUE);
        SetBkColor(dc, RGB(0, 0, 0));
        SetTextColor(dc, kNoticeText);
        return (LRESULT)GetStockObject(BLACK_BRUSH);
    }
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, id == IDC_CONSENT_TEXT ? RGB(0, 0, 0) : kTextColour);
    return (LRESULT)GetStockObject(NULL_BRUSH);
}

void CZVTDownloaderDlg::EraseBackground(HDC dc) {
    RECT client;
    GetClientRect(m_hWnd, &client);
    HBRUSH brush = CreateSolidBrush(kEraseColour);
    FillRect(dc, &client, brush);
    DeleteObject(brush);
    HBITMAP background = Image("bk_main.jpg");
    if (!background)
        return;
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(memory, background);
    BitBlt(dc, 0, 0, layout::kWindowWidth, layout::kWindowHeight, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
}

void CZVTDownloaderDlg::Paint() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    RECT client;
    GetClientRect(m_hWnd, &client);
    if (IsIconic(m_hWnd)) {
        int x = (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2;
        int y = (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2;
        DrawIcon(dc, x, y, m_icon);
    } else {
        // Frames the terms area below the visible window.
        HPEN pen = CreatePen(PS_SOLID, 2, RGB(0, 0, 0));
        HGDIOBJ oldPen = SelectObject(dc, pen);
        HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
        Rectangle(dc, 0, layout::kWindowHeight, client.right, layout::kTermsFrameBottom);
        SelectObject(dc, oldBrush);
        SelectObject(dc, oldPen);
        DeleteObject(pen);
    }
    EndPaint(m_hWnd, &paint);
}

void CZVTDownloaderDlg::OnMouseDown(LPARAM) {
    GetCursorPos(&m_dragStart);
    GetWindowRect(m_hWnd, &m_dragRect);
    m_dragging = true;
    SetCapture(m_hWnd);
}

void CZVTDownloaderDlg::OnMouseMove(LPARAM) {
    if (!m_dragging)
        return;
    POINT now;
    GetCursorPos(&now);
    SetWindowPos(m_hWnd, nullptr, m_dragRect.left + now.x - m_dragStart.x,
                 m_dragRect.top + now.y - m_dragStart.y, layout::kWindowWidth,
                 layout::kWindowHeight, SWP_NOZORDER | SWP_NOACTIVATE);
}

void CZVTDownloaderDlg::OnTermsScroll(int position) {
    if (position < 0)
        position = 0;
    if (position > layout::kTermsRange)
        position = layout::kTermsRange;
    m_termsPosition = position;
    if (m_termsScroll)
        SetScrollPos(m_termsScroll, SB_CTL, position, TRUE);
    if (m_terms.GetSafeHwnd())
        m_terms.SetScrollOffset(position);
    InvalidateRect(m_hWnd, &kTermsRect, TRUE);
}
