// The skin: the picture archive fetched after the size check is unpacked into
// a temporary folder, every picture is loaded, and the known names dress the
// window, which is then laid out and shown.
#include "launcher/ZVTDownloaderDlg.h"

#include <ole2.h>
#include <olectl.h>
#include <io.h>
#include <stdio.h>

#include <utility>
#include <vector>

#include "launcher/DialogLayout.h"
#include "launcher/DisplayFormat.h"
#include "launcher/FolderRules.h"
#include "launcher/SkinNames.h"
#include "launcher/res/resource.h"
#include "sdk/support/StringList.h"
#include "sdk/support/zip/ZipFolder.h"

namespace {

const COLORREF kKey = RGB(0xFF, 0x00, 0xFF);

// "<temp>\<product>\", or "c:\temp\<product>\" without a usable temp folder.
std::string SkinFolder(const std::string& productName) {
    char temp[1025] = {0};
    DWORD length = GetTempPathA(sizeof(temp) - 1, temp);
    std::string folder;
    if (length > 0 && length < sizeof(temp) - 1) {
        DWORD attributes = GetFileAttributesA(temp);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            folder = WithTrailingBackslash(temp);
    }
    if (folder.empty())
        folder = "c:\\temp\\";
    return folder + (productName.empty() ? "orvane" : productName) + "\\";
}

// Makes every known picture in `folder` (ending in '\') writable again, so a
// new skin can replace the last run's. False only for an empty folder text.
bool ClearReadOnly(const std::string& folder) {
    if (folder.empty())
        return false;
    for (const char* name : kSkinNames) {
        std::string path = folder + name;
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    return true;
}

}  // namespace

HBITMAP CZVTDownloaderDlg::LoadImageFile(const std::string& path) {
    FILE* file = nullptr;
    if (fopen_s(&file, path.c_str(), "rb") != 0 || !file)
        return nullptr;
    HBITMAP copy = nullptr;
    long size = -1;
    if (fseek(file, 0, SEEK_END) == 0)
        size = ftell(file);
    HGLOBAL block = nullptr;
    if (size > 0 && fseek(file, 0, SEEK_SET) == 0)
        block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, (SIZE_T)size);
    if (block) {
        void* bytes = GlobalLock(block);
        bool read = bytes && fread(bytes, 1, (size_t)size, file) == (size_t)size;
        GlobalUnlock(block);
        IStream* stream = nullptr;
        if (read && SUCCEEDED(CreateStreamOnHGlobal(block, FALSE, &stream))) {
            IPicture* picture = nullptr;
            HRESULT loaded = OleLoadPicture(stream, 0, FALSE, IID_IPicture, (void**)&picture);
            stream->Release();
            if (SUCCEEDED(loaded) && picture) {
                OLE_HANDLE handle = 0;
                short type = PICTYPE_UNINITIALIZED;
                if (SUCCEEDED(picture->get_Type(&type)) && type == PICTYPE_BITMAP &&
                    SUCCEEDED(picture->get_Handle(&handle)))
                    copy = (HBITMAP)CopyImage((HANDLE)(UINT_PTR)handle, IMAGE_BITMAP, 0, 0,
                                              LR_CREATEDIBSECTION);
                picture->Release();
            }
        }
        GlobalFree(block);
    }
    fclose(file);
    return copy;
}

void CZVTDownloaderDlg::ApplySkin(const void* data, int64_t size) {
    std::string folder = SkinFolder(m_config.productName);
    ClearReadOnly(folder);
    if (!UnzipAllToFolder(folder.c_str(), data, size)) {
        std::string base = folder;
        for (int i = 0; i < 5; ++i) {
            char name[16];
            snprintf(name, sizeof(name), "%d\\", i);
            folder = base + name;
            CreateDirectoryA(folder.c_str(), nullptr);
            ClearReadOnly(folder);
            if (UnzipAllToFolder(folder.c_str(), data, size))
                break;
        }
    }
    StringList names;
    ListZipEntries(names, data, size);
    for (int32_t i = 0; i < names.Count(); ++i) {
        std::string name = names.At(i);
        HBITMAP old = Image(name);
        if (old)
            DeleteObject(old);
        m_images[name] = LoadImageFile(folder + name);
    }

    HBITMAP background = Image("bk_main.jpg");
    if (background) {
        // The picture control sits below every other control and leaves their
        // areas alone; the dialog erases with the same picture, so labels that
        // draw without a background of their own show it behind their text.
        m_background =
            CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SS_BITMAP, 0,
                            0, layout::kWindowWidth, layout::kWindowHeight, m_hWnd,
                            (HMENU)(UINT_PTR)IDC_BACKGROUND, GetModuleHandleA(nullptr), nullptr);
        if (m_background) {
            SendMessageA(m_background, STM_SETIMAGE, IMAGE_BITMAP, (LPARAM)background);
            SetWindowPos(m_background, HWND_BOTTOM, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
    }
    LayOut();

    const std::pair<CSkinButton*, const char*> buttons[] = {
        {&m_startButton, "btn_start"}, {&m_stopButton, "btn_stop"},     {&m_runButton, "btn_run"},
        {&m_closeButton, "btn_close"}, {&m_folderButton, "btn_folder"},
    };
    std::vector<CSkinButton*> skinned;
    for (const auto& button : buttons)
        if (SkinButton(*button.first, button.second))
            skinned.push_back(button.first);

    HBITMAP fill = Image("progressbar.jpg");
    if (!m_progress.GetSafeHwnd())
        m_progress.SubclassDlgItem(IDC_PROGRESS, m_hWnd);
    if (fill) {
        m_progress.SetFillImage(fill, 1);
        m_progress.SetRange(0, 100);
        m_progress.SetPos(0);
        SendMessageA(m_progress.GetSafeHwnd(), WM_SETFONT, (WPARAM)m_fontA, FALSE);
        m_progress.SetWindowTextA("%d%%");
        layout::PlaceWindow(m_progress.GetSafeHwnd(), layout::kProgress);
        SendMessageA(m_progress.GetSafeHwnd(), WM_SETFONT, (WPARAM)m_fontB, FALSE);
        LONG_PTR ex = GetWindowLongPtrA(m_progress.GetSafeHwnd(), GWL_EXSTYLE);
        SetWindowLongPtrA(m_progress.GetSafeHwnd(), GWL_EXSTYLE,
                          ex & ~(LONG_PTR)(WS_EX_STATICEDGE | WS_EX_CLIENTEDGE));
        SetWindowPos(m_progress.GetSafeHwnd(), nullptr, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
    }

    static const int kFontA[] = {IDC_REMAINING,   IDC_ELAPSED,      IDC_CURRENT_FILE,
                                 IDC_RECEIVED,    IDC_TOTAL_SIZE,   IDC_SPEED,
                                 IDC_FOLDER_TEXT, IDC_CONSENT_TEXT, IDC_PERCENT};
    for (int id : kFontA)
        SendMessageA(GetDlgItem(id), WM_SETFONT, (WPARAM)m_fontA, FALSE);
    SendMessageA(GetDlgItem(IDC_NOTICE), WM_SETFONT, (WPARAM)m_fontB, FALSE);

    UpdateFileLabel();
    m_skinLoaded = 1;
    ShowIdleTexts();
    m_folder = InitialDownloadFolder();
    UpdateData(false);
    // The controls moved and shrank without redrawing: repaint everything,
    // the background picture under their old places included. The skinned
    // buttons take the pixels under them at their next paint, so they drop
    // what they took before and paint right after the dialog has.
    for (CSkinButton* button : skinned)
        button->UseParentBackground(false);
    RedrawWindow(m_hWnd, nullptr, nullptr,
                 RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Refresh();
}

bool CZVTDownloaderDlg::SkinButton(CSkinButton& button, const char* base) {
    std::string name = base;
    HBITMAP normal = Image(name + ".jpg");
    HBITMAP hover = Image(name + "_mo.jpg");
    HBITMAP pressed = Image(name + "_se.jpg");
    HBITMAP disabled = Image(name + "_di.jpg");
    if (!normal || !hover || !pressed || !disabled)
        return false;
    button.SetImages(normal, kKey, hover, kKey, pressed, kKey, disabled, kKey);
    button.SetDrawBorder(false, true);
    button.UseParentBackground(false);
    button.SizeToImage();
    return true;
}

void CZVTDownloaderDlg::LayOut() {
    HWND consent = GetDlgItem(IDC_CONSENT);
    SendMessageA(consent, BM_SETCHECK, BST_CHECKED, 0);
    ShowWindow(consent, SW_HIDE);
    SetWindowPos(m_hWnd, nullptr, 0, 0, layout::kWindowWidth, layout::kWindowHeight, SWP_NOZORDER);

    m_terms.LoadImageResource(IDB_TERMS);
    layout::PlaceWindow(m_terms.GetSafeHwnd(), layout::kTerms);
    RECT client;
    GetClientRect(m_hWnd, &client);
    if (!m_termsScroll) {
        m_termsScroll = CreateWindowExA(
            0, "SCROLLBAR", "", WS_CHILD | WS_VISIBLE | SBS_VERT | WS_BORDER,
            client.right - layout::kTermsScrollInset, layout::kTermsScrollTop,
            layout::kTermsScrollWidth,
            client.bottom - layout::kTermsScrollBottomGap - layout::kTermsScrollTop, m_hWnd,
            (HMENU)(UINT_PTR)IDC_TERMS_SCROLL, GetModuleHandleA(nullptr), nullptr);
    }
    if (m_termsScroll) {
        SetScrollRange(m_termsScroll, SB_CTL, 0, layout::kTermsRange, FALSE);
        SetScrollPos(m_termsScroll, SB_CTL, m_termsPosition, TRUE);
    }

    for (const layout::Place& place : layout::kControlPlaces)
        layout::PlaceWindow(GetDlgItem(place.id), place);
    EnableWindow(GetDlgItem(IDC_RUN), FALSE);
    // Nothing to stop before the first start.
    EnableWindow(GetDlgItem(IDC_STOP), FALSE);
    ShowWindow(GetDlgItem(IDC_CONSENT), SW_SHOW);
    ShowWindow(GetDlgItem(IDC_CONSENT_TEXT), SW_SHOW);
}
