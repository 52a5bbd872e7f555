// The resume prompt and the installing dialog, run modally from the
// program's own templates under Wine and answered from the modal observer
// the way a user would: a click on a button, Esc, WM_CLOSE, or the worker's
// WM_QUIT (the only way the installing dialog ends).
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <thread>

#include "launcher/controls/CNowLoading.h"
#include "launcher/controls/CResumeDlg.h"
#include "launcher/res/resource.h"
#include "tests/ui/Cp949Text.h"
#include "tests/ui/UiTestSupport.h"

namespace {

using uitest::Cp949;

std::string ItemText(HWND dialog, int id) {
    char text[512] = "";
    ::GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

// Installs `observer` for the modal dialogs of one test.
class ObserverScope {
  public:
    explicit ObserverScope(CDialog::ModalObserver observer) {
        CDialog::SetModalObserver(std::move(observer));
    }
    ~ObserverScope() { CDialog::SetModalObserver(nullptr); }
};

// Draws the dialog as it is on the screen and keeps a screenshot.
void Capture(HWND dialog, uitest::Canvas& canvas, const char* name) {
    ::RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    ::UpdateWindow(dialog);
    uitest::Pump();
    canvas.CaptureWindow(dialog);
    EXPECT_TRUE(canvas.SaveBmp(uitest::ScreenshotFolder() + name + ".bmp"));
}

SIZE WindowSize(HWND hwnd) {
    RECT rect;
    ::GetWindowRect(hwnd, &rect);
    return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

TEST(ResumeDlg, TheThreeAnswers) {
    enum Action { kYes, kNo, kEscape };
    const struct {
        const char* what;
        Action action;
        bool uncheckFirst;  // clear the hidden check box before answering
        int resume;
        int applyToAll;
    } cases[] = {
        {"yes", kYes, false, 1, 1},
        {"no", kNo, false, 0, 1},
        {"Esc", kEscape, false, 1, 1},
        // WM_CLOSE reads the check box; Esc does not pass through WM_CLOSE.
        {"no with the box cleared", kNo, true, 0, 0},
        {"Esc with the box cleared", kEscape, true, 1, 1},
    };
    bool screenshotTaken = false;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CResumeDlg dialog;
        EXPECT_EQ(dialog.resume, 1);
        EXPECT_EQ(dialog.applyToAll, 1);
        bool observed = false;
        ObserverScope scope([&](CDialog& shown) {
            observed = true;
            HWND hwnd = shown.GetSafeHwnd();
            EXPECT_EQ(ItemText(hwnd, IDC_RESUME_LINE1),
                      Cp949("brightwave7 클라이언트를 다운 받습니다."));
            EXPECT_EQ(ItemText(hwnd, IDC_RESUME_LINE2), Cp949("이어받기 하시겠습니까?"));
            EXPECT_EQ(ItemText(hwnd, IDC_RESUME_YES), Cp949("예"));
            EXPECT_EQ(ItemText(hwnd, IDC_RESUME_NO), Cp949("아니오"));
            HWND check = ::GetDlgItem(hwnd, IDC_APPLY_TO_ALL);
            EXPECT_FALSE(::IsWindowVisible(check));
            EXPECT_EQ(::SendMessageA(check, BM_GETCHECK, 0, 0), BST_CHECKED);
            EXPECT_EQ(::GetWindowLongA(hwnd, GWL_STYLE) & WS_CAPTION, WS_BORDER);
            if (!screenshotTaken) {
                SIZE size = WindowSize(hwnd);
                uitest::Canvas shot(size.cx, size.cy, RGB(0, 0, 0));
                Capture(hwnd, shot, "resume_prompt");
                screenshotTaken = true;
            }
            if (c.uncheckFirst)
                ::SendMessageA(check, BM_SETCHECK, BST_UNCHECKED, 0);
            switch (c.action) {
                case kYes:
                    ::PostMessageA(::GetDlgItem(hwnd, IDC_RESUME_YES), BM_CLICK, 0, 0);
                    break;
                case kNo:
                    ::PostMessageA(::GetDlgItem(hwnd, IDC_RESUME_NO), BM_CLICK, 0, 0);
                    break;
                case kEscape: {
                    HWND focus = ::GetFocus();
                    ::PostMessageA(focus != nullptr ? focus : hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
                    break;
                }
            }
        });
        // The modal result is always the cancel result.
        EXPECT_EQ(dialog.DoModal(), IDCANCEL);
        EXPECT_TRUE(observed);
        EXPECT_EQ(dialog.resume, c.resume);
        EXPECT_EQ(dialog.applyToAll, c.applyToAll);
    }
}

// The host stands for the main dialog, the window the worker posts WM_QUIT to.
class NowLoadingTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_host = new CDialog(IDD_UI_EMPTY);
        ASSERT_TRUE(s_host->Create());
    }
    static void TearDownTestSuite() {
        delete s_host;
        s_host = nullptr;
    }
    // Takes the WM_QUIT that the modal loop posted again for the outer loop.
    static bool TakeQuit() {
        MSG msg;
        return ::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    }
    static CDialog* s_host;
};

CDialog* NowLoadingTest::s_host = nullptr;

// The white background and the black text at their places in the dialog.
void ExpectWhiteWithBlackText(HWND dialog, const uitest::Canvas& shot) {
    RECT text;
    ::GetWindowRect(::GetDlgItem(dialog, IDC_LOADING_TEXT), &text);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&text), 2);
    int black = 0;
    for (int y = text.top; y < text.bottom; ++y)
        for (int x = text.left; x < text.right; ++x)
            black += shot.Pixel(x, y) == RGB(0, 0, 0) ? 1 : 0;
    EXPECT_GT(black, 100);
    const POINT whites[] = {{2, 2}, {shot.width() - 3, 2}, {2, shot.height() - 3}, {text.left, 40}};
    for (POINT p : whites)
        EXPECT_EQ(shot.Pixel(p.x, p.y), RGB(255, 255, 255)) << p.x << "," << p.y;
}

TEST_F(NowLoadingTest, AnimatesTheSpinnerUntilTheWorkersQuit) {
    CNowLoading dialog(s_host->GetSafeHwnd());
    HANDLE thread = nullptr;
    std::thread worker;
    ObserverScope scope([&](CDialog& shown) {
        HWND hwnd = shown.GetSafeHwnd();
        CAnimatedPicture& picture = dialog.Picture();
        EXPECT_EQ(picture.FrameCount(), 12u);
        EXPECT_TRUE(picture.IsAnimated());
        // The picture control sizes itself to the 64 x 64 spinner.
        SIZE size = WindowSize(picture.GetSafeHwnd());
        EXPECT_EQ(size.cx, 64);
        EXPECT_EQ(size.cy, 64);
        EXPECT_EQ(ItemText(hwnd, IDC_LOADING_TEXT),
                  Cp949("다운로드 받은 파일을 검사하고 설치를 실행중입니다."));
        thread = ::OpenThread(SYNCHRONIZE, FALSE, picture.AnimationThreadId());
        EXPECT_NE(thread, nullptr);
        SIZE dialogSize = WindowSize(hwnd);
        uitest::Canvas shot(dialogSize.cx, dialogSize.cy, RGB(1, 2, 3));
        Capture(hwnd, shot, "now_loading");
        ExpectWhiteWithBlackText(hwnd, shot);
        // The spinner's own pixels are on the screen, not the dialog's white.
        RECT spin;
        ::GetWindowRect(picture.GetSafeHwnd(), &spin);
        ::MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&spin), 2);
        int coloured = 0;
        for (int y = spin.top; y < spin.bottom; ++y)
            for (int x = spin.left; x < spin.right; ++x)
                coloured += shot.Pixel(x, y) != RGB(255, 255, 255) ? 1 : 0;
        EXPECT_GT(coloured, 200);
        // The worker that starts the program ends the application.
        HWND mainWindow = s_host->GetSafeHwnd();
        worker = std::thread([mainWindow] { ::PostMessageA(mainWindow, WM_QUIT, 0, 0); });
    });
    EXPECT_EQ(dialog.DoModal(), -1);
    worker.join();
    EXPECT_TRUE(TakeQuit());
    ASSERT_NE(thread, nullptr);
    // The picture stopped its animation when its window went.
    EXPECT_EQ(::WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    ::CloseHandle(thread);
}

TEST_F(NowLoadingTest, WithoutTheSpinnerResourceShowsTheTextOnWhite) {
    CNowLoading dialog(s_host->GetSafeHwnd());
    dialog.SetPictureResource(9999);
    ObserverScope scope([&](CDialog& shown) {
        HWND hwnd = shown.GetSafeHwnd();
        EXPECT_EQ(dialog.Picture().FrameCount(), 0u);
        EXPECT_EQ(dialog.Picture().AnimationThreadId(), 0u);
        EXPECT_EQ(ItemText(hwnd, IDC_LOADING_TEXT),
                  Cp949("다운로드 받은 파일을 검사하고 설치를 실행중입니다."));
        SIZE size = WindowSize(hwnd);
        uitest::Canvas shot(size.cx, size.cy, RGB(1, 2, 3));
        Capture(hwnd, shot, "now_loading_without_spinner");
        ExpectWhiteWithBlackText(hwnd, shot);
        // Where the picture would be, the dialog is white.
        RECT spin;
        ::GetWindowRect(dialog.Picture().GetSafeHwnd(), &spin);
        ::MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&spin), 2);
        for (int y = spin.top; y < spin.bottom; ++y)
            for (int x = spin.left; x < spin.right; ++x)
                ASSERT_EQ(shot.Pixel(x, y), RGB(255, 255, 255)) << x << "," << y;
        ::PostMessageA(s_host->GetSafeHwnd(), WM_QUIT, 0, 0);
    });
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_TRUE(TakeQuit());
}

// Only the worker's quit ends it: whatever a player or the system sends to
// close it first, it stays, and its spinner runs on until then.
TEST_F(NowLoadingTest, NothingButTheWorkersQuitEndsIt) {
    const struct {
        const char* what;
        UINT msg;
        WPARAM wp;
    } dismissals[] = {
        {"Enter", WM_KEYDOWN, VK_RETURN}, {"Escape", WM_KEYDOWN, VK_ESCAPE},
        {"close", WM_CLOSE, 0},           {"Alt+F4", WM_SYSCOMMAND, SC_CLOSE},
        {"OK", WM_COMMAND, IDOK},         {"Cancel", WM_COMMAND, IDCANCEL},
    };
    for (const auto& d : dismissals) {
        SCOPED_TRACE(d.what);
        CNowLoading dialog(s_host->GetSafeHwnd());
        HANDLE thread = nullptr;
        HWND shownWindow = nullptr;
        ObserverScope scope([&](CDialog& shown) {
            shownWindow = shown.GetSafeHwnd();
            thread = ::OpenThread(SYNCHRONIZE, FALSE, dialog.Picture().AnimationThreadId());
            HWND focus = ::GetFocus();
            HWND target = d.msg == WM_KEYDOWN && focus != nullptr ? focus : shownWindow;
            ::PostMessageA(target, d.msg, d.wp, 0);
            // Posted after the dismissal: a dialog that obeyed it has ended
            // with its result before this comes.
            ::PostMessageA(s_host->GetSafeHwnd(), WM_QUIT, 0, 0);
        });
        EXPECT_EQ(dialog.DoModal(), -1);
        EXPECT_TRUE(TakeQuit());
        ASSERT_NE(shownWindow, nullptr);
        EXPECT_FALSE(::IsWindow(shownWindow));
        ASSERT_NE(thread, nullptr);
        // The picture stopped its animation when its window went.
        EXPECT_EQ(::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
        ::CloseHandle(thread);
    }
}

}  // namespace
