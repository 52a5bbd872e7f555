// Screenshots of a skinned test dialog holding every launcher control, and of
// the program's own dialog templates, written into the build tree
// (screenshots/*.png, converted by the harness) for people to look at.
#include <gtest/gtest.h>

#include "launcher/DialogLayout.h"
#include "launcher/controls/CAnimatedPicture.h"
#include "launcher/controls/CScrollImage.h"
#include "launcher/controls/CSkinButton.h"
#include "launcher/controls/CSkinProgress.h"
#include "launcher/controls/CSkinToolTip.h"
#include "launcher/controls/CTransparentStatic.h"
#include "launcher/framework/Dialog.h"
#include "launcher/res/resource.h"
#include "tests/ui/UiTestSupport.h"

#include <string>

namespace {

const COLORREF kKey = RGB(255, 0, 255);
// "초고속 다운로드는 다운로드 중일 때만 PC자원을 공유합니다."
const char kTipText[] =
    "\xC3\xCA\xB0\xED\xBC\xD3 \xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5\xB4\xC2 "
    "\xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5 \xC1\xDF\xC0\xCF \xB6\xA7\xB8\xB8 "
    "PC\xC0\xDA\xBF\xF8\xC0\xBB \xB0\xF8\xC0\xAF\xC7\xD5\xB4\xCF\xB4\xD9.";

// A button picture: a rounded face with a label on the magenta key.
HBITMAP ButtonPicture(int width, int height, COLORREF face, COLORREF text, const char* label) {
    HBITMAP picture = uitest::MakeBitmap(width, height, [](int, int) { return kKey; });
    HDC dc = ::CreateCompatibleDC(nullptr);
    HGDIOBJ oldBitmap = ::SelectObject(dc, picture);
    HBRUSH brush = ::CreateSolidBrush(face);
    HPEN pen = ::CreatePen(PS_SOLID, 1, RGB(20, 30, 60));
    HGDIOBJ oldBrush = ::SelectObject(dc, brush);
    HGDIOBJ oldPen = ::SelectObject(dc, pen);
    ::RoundRect(dc, 0, 0, width, height, 14, 14);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, text);
    RECT area{0, 0, width, height};
    ::DrawTextA(dc, label, -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    ::SelectObject(dc, oldPen);
    ::SelectObject(dc, oldBrush);
    ::SelectObject(dc, oldBitmap);
    ::DeleteObject(pen);
    ::DeleteObject(brush);
    ::DeleteDC(dc);
    return picture;
}

// The skin's background: a dark vertical gradient with a lighter band.
void PaintSkin(HDC dc, const RECT& client) {
    for (int y = 0; y < client.bottom; ++y) {
        int shade = y * 60 / (client.bottom > 0 ? client.bottom : 1);
        HBRUSH brush = ::CreateSolidBrush(RGB(20 + shade / 2, 40 + shade, 80 + shade));
        RECT line{0, y, client.right, y + 1};
        ::FillRect(dc, &line, brush);
        ::DeleteObject(brush);
    }
    HBRUSH band = ::CreateSolidBrush(RGB(70, 110, 170));
    RECT top{0, 0, client.right, 40};
    ::FillRect(dc, &top, band);
    ::DeleteObject(band);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, RGB(255, 255, 255));
    RECT title{16, 0, client.right, 40};
    ::DrawTextA(dc, "brightwave7", -1, &title, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
}

void Save(const uitest::Canvas& canvas, const char* name) {
    std::string folder = uitest::ScreenshotFolder();
    if (folder.empty()) {
        GTEST_SKIP() << "no screenshot folder (run through the UI harness)";
    }
    EXPECT_TRUE(canvas.SaveBmp(folder + name)) << folder + name;
}

void Redraw(HWND window) {
    ::RedrawWindow(window, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
}

class SkinnedDialog {
  public:
    SkinnedDialog() {
        dialog.paintBackground = PaintSkin;
        if (!dialog.Create()) {
            return;
        }
        HWND window = dialog.GetSafeHwnd();
        ::SetWindowPos(window, nullptr, 0, 0, layout::kWindowWidth, layout::kWindowHeight,
                       SWP_NOZORDER | SWP_NOACTIVATE);
        ::ShowWindow(dialog.GetDlgItem(IDC_T_EDIT), SW_HIDE);
        ::ShowWindow(dialog.GetDlgItem(IDC_T_PLAIN_CHECK), SW_HIDE);
        ::ShowWindow(dialog.GetDlgItem(IDC_T_PLAIN_BUTTON), SW_HIDE);

        const char* labels[] = {"START", "STOP", "RUN"};
        const int ids[] = {IDC_T_IMAGE_BUTTON, IDC_T_DEFAULT_BUTTON, IDC_T_CAPTION_BUTTON};
        const COLORREF faces[] = {RGB(60, 140, 230), RGB(110, 180, 250), RGB(30, 90, 170),
                                  RGB(150, 150, 160)};
        for (int b = 0; b < 3; ++b) {
            for (int slot = 0; slot < 4; ++slot) {
                pictures[b][slot] =
                    ButtonPicture(76, 28, faces[slot],
                                  slot == 3 ? RGB(90, 90, 90) : RGB(255, 255, 255), labels[b]);
            }
            dialog.Place(ids[b], 180 + 90 * b, 330, 80, 30);
            buttons[b].SubclassDlgItem(ids[b], window);
        }
        // The caption button keeps a caption beside a small picture.
        ::SetWindowTextA(dialog.GetDlgItem(IDC_T_CAPTION_BUTTON), "");

        checkPictures[0] = uitest::MakeBitmap(16, 16, [](int x, int y) {
            bool edge = x == 1 || y == 1 || x == 14 || y == 14;
            return (x < 1 || y < 1 || x > 14 || y > 14) ? kKey : (edge ? RGB(230, 230, 240) : kKey);
        });
        checkPictures[1] = uitest::MakeBitmap(16, 16, [](int x, int y) {
            bool edge = x == 1 || y == 1 || x == 14 || y == 14;
            bool tick = (x >= 4 && x <= 11 && y >= 4 && y <= 11);
            return (x < 1 || y < 1 || x > 14 || y > 14)
                       ? kKey
                       : (edge ? RGB(230, 230, 240) : (tick ? RGB(250, 200, 40) : kKey));
        });
        dialog.Place(IDC_T_CHECK, 20, 300, 16, 16);
        check.SubclassDlgItem(IDC_T_CHECK, window);

        label.SubclassDlgItem(IDC_T_LABEL, window);
        dialog.Place(IDC_T_LABEL, 44, 301, 400, 16);

        dialog.Place(IDC_T_PROGRESS, layout::kProgress.x, layout::kProgress.y,
                     layout::kProgress.width, layout::kProgress.height);
        fill = uitest::MakeBitmap(
            6, 8, [](int x, int y) { return RGB(40 + 30 * x, 160 + 10 * y, 80 + 20 * (x % 3)); });
        progress.SubclassDlgItem(IDC_T_PROGRESS, window);

        scroll.SubclassDlgItem(IDC_T_SCROLL_IMAGE, window);
        scroll.LoadImageResource(IDB_TERMS);
        dialog.Place(IDC_T_SCROLL_IMAGE, 24, 48, layout::kTerms.width, layout::kTerms.height);
        scroll.SetScrollOffset(layout::kTermsRange);
        label.SetWindowTextA(kTipText);
        // The installing spinner, and the tooltip on the check box.
        HWND spinnerWindow = ::CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_BITMAP,
                                               540, 170, 20, 20, window, nullptr, nullptr, nullptr);
        spinner.SubclassWindow(spinnerWindow);
        if (spinner.LoadResourcePicture(IDR_LOADING_GIF, "GIF")) {
            spinner.StartDrawing();
        }
        tip.Create(window);
        tip.SetMaxTipWidth(350);
        tip.AddTool(dialog.GetDlgItem(IDC_T_CHECK), kTipText);
        // The buttons capture the parent's pixels at their first paint, so the
        // skin is painted before they are given their pictures.
        Redraw(window);

        for (int b = 0; b < 3; ++b) {
            buttons[b].SetImages(pictures[b][0], kKey, pictures[b][1], kKey, pictures[b][2], kKey,
                                 pictures[b][3], kKey);
            buttons[b].SetDrawBorder(false, true);
            buttons[b].UseParentBackground(false);
            buttons[b].SizeToImage();
        }
        check.SetImages(checkPictures[0], kKey, checkPictures[0], kKey, checkPictures[1], kKey,
                        checkPictures[0], kKey);
        check.SetDrawBorder(false, false);
        check.UseParentBackground(false);
        check.SetCheckValue(1, false);
        progress.SetFillImage(fill, 1);
        progress.SetRange(0, 100);
        progress.SetPos(50);
        Redraw(window);
    }

    ~SkinnedDialog() {
        spinner.UnloadPicture();
        ::DestroyWindow(dialog.GetSafeHwnd());
        for (auto& button : pictures) {
            for (HBITMAP picture : button) {
                ::DeleteObject(picture);
            }
        }
        ::DeleteObject(checkPictures[0]);
        ::DeleteObject(checkPictures[1]);
        ::DeleteObject(fill);
    }

    uitest::TestDialog dialog;
    CSkinButton buttons[3];
    CSkinButton check;
    CTransparentStatic label;
    CSkinProgress progress;
    CScrollImage scroll;
    CAnimatedPicture spinner;
    CSkinToolTip tip;
    HBITMAP pictures[3][4] = {};
    HBITMAP checkPictures[2] = {};
    HBITMAP fill = nullptr;
};

TEST(Screenshots, SkinnedDialogWithEveryControl) {
    SkinnedDialog skinned;
    HWND window = skinned.dialog.GetSafeHwnd();
    ASSERT_NE(window, nullptr);
    uitest::Canvas canvas(layout::kWindowWidth, layout::kWindowHeight, 0);
    canvas.CaptureWindow(window);
    // The key colour never reaches the screen, and the progress is half full.
    int magenta = 0;
    for (int y = 0; y < layout::kWindowHeight; ++y) {
        for (int x = 0; x < layout::kWindowWidth; ++x) {
            magenta += canvas.Pixel(x, y) == kKey ? 1 : 0;
        }
    }
    EXPECT_EQ(magenta, 0);
    EXPECT_EQ(skinned.progress.FillWidth(), 140);
    Save(canvas, "controls_idle.bmp");

    // Hover on START, STOP held down, RUN disabled.
    ::SendMessageA(skinned.buttons[0].GetSafeHwnd(), WM_MOUSEMOVE, 0, MAKELPARAM(30, 14));
    ::SendMessageA(skinned.buttons[1].GetSafeHwnd(), BM_SETSTATE, TRUE, 0);
    ::EnableWindow(skinned.buttons[2].GetSafeHwnd(), FALSE);
    skinned.progress.SetPos(100);
    Redraw(window);
    canvas.CaptureWindow(window);
    Save(canvas, "controls_states.bmp");

    // The tooltip of the check box, shown as resting the pointer shows it;
    // it is a window of its own, so the screen is captured.
    RECT check;
    ::GetWindowRect(skinned.check.GetSafeHwnd(), &check);
    ::SetCursorPos((check.left + check.right) / 2, (check.top + check.bottom) / 2);
    MSG move = {};
    move.message = WM_MOUSEMOVE;
    skinned.tip.RelayEvent(&move);
    ::SendMessageA(skinned.tip.GetSafeHwnd(), WM_TIMER, CSkinToolTip::kShowTimer, 0);
    EXPECT_TRUE(skinned.tip.IsShown());
    Redraw(window);
    Redraw(skinned.tip.GetSafeHwnd());
    uitest::Pump();
    RECT frame;
    ::GetWindowRect(window, &frame);
    HDC screen = ::GetDC(nullptr);
    ::BitBlt(canvas.dc(), 0, 0, layout::kWindowWidth, layout::kWindowHeight, screen, frame.left,
             frame.top, SRCCOPY);
    ::ReleaseDC(nullptr, screen);
    Save(canvas, "controls_tooltip.bmp");
}

TEST(Screenshots, ProgramDialogTemplates) {
    struct Shot {
        int id;
        const char* file;
    };
    const Shot shots[] = {{IDD_RESUME, "template_197_resume.bmp"},
                          {IDD_NOWLOADING, "template_245_installing.bmp"},
                          {IDD_ZVTDOWNLOADER_DIALOG, "template_102_main.bmp"}};
    for (const Shot& shot : shots) {
        CDialog dialog(shot.id);
        ASSERT_TRUE(dialog.Create());
        Redraw(dialog.GetSafeHwnd());
        RECT frame;
        ::GetWindowRect(dialog.GetSafeHwnd(), &frame);
        uitest::Canvas canvas(frame.right - frame.left, frame.bottom - frame.top, 0);
        canvas.CaptureWindow(dialog.GetSafeHwnd());
        Save(canvas, shot.file);
        ::DestroyWindow(dialog.GetSafeHwnd());
    }
}

}  // namespace
