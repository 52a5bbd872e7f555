// The self-drawn tooltip on real windows under Wine: the pointer is moved
// with SetCursorPos, the owner's messages are relayed as the main dialog
// relays them, and the two timers are recorded by a seam and delivered as
// WM_TIMER by the test, so every step of the show, check and hide cycle is
// taken on purpose. One test runs on the window's own timers.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>

#include "launcher/controls/CSkinToolTip.h"
#include "tests/support/Eventually.h"
#include "tests/ui/Cp949Text.h"
#include "tests/ui/UiTestSupport.h"

namespace {

using uitest::Cp949;

const int kCheckId = 1010;
const int kButtonId = 1011;
const int kHiddenId = 1012;

const std::string& LauncherText() {
    static const std::string text =
        Cp949("초고속 다운로드는 다운로드 중일 때만 PC자원을 공유합니다.");
    return text;
}

// Records the tip's timers; the test delivers their ticks.
class RecordedTimers : public CSkinToolTip::ITimers {
  public:
    void Start(HWND, UINT_PTR id, UINT ms) override { running[id] = ms; }
    void Kill(HWND, UINT_PTR id) override { running.erase(id); }
    UINT PeriodOf(UINT_PTR id) const {
        auto it = running.find(id);
        return it == running.end() ? 0 : it->second;
    }
    std::map<UINT_PTR, UINT> running;
};

RECT WindowRect(HWND hwnd) {
    RECT rect;
    ::GetWindowRect(hwnd, &rect);
    return rect;
}

POINT CenterOf(HWND hwnd) {
    RECT rect = WindowRect(hwnd);
    return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// One owner dialog for the suite (top-level windows are slow to come and go
// under Wine) holding a check box, a button and a hidden static.
class SkinToolTipTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_owner = new CDialog(IDD_UI_EMPTY);
        ASSERT_TRUE(s_owner->Create());
        HWND owner = s_owner->GetSafeHwnd();
        for (int i = 0; i < 100; ++i) {
            HWND child = ::GetWindow(owner, GW_CHILD);
            if (child == nullptr)
                break;
            ::DestroyWindow(child);
        }
        ::SetWindowTextA(owner, "tooltip owner");
        Child("BUTTON", Cp949("초고속 다운로드").c_str(), BS_AUTOCHECKBOX | WS_VISIBLE, kCheckId);
        Child("BUTTON", "other", BS_PUSHBUTTON | WS_VISIBLE, kButtonId);
        Child("STATIC", "hidden", SS_LEFT, kHiddenId);
    }
    static void TearDownTestSuite() {
        delete s_owner;
        s_owner = nullptr;
    }
    static void Child(const char* cls, const char* text, DWORD style, int id) {
        ::CreateWindowExA(0, cls, text, WS_CHILD | style, 0, 0, 10, 10, s_owner->GetSafeHwnd(),
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    }

    void SetUp() override {
        PlaceOwner(100, 100);
        ASSERT_TRUE(m_tip.Create(Owner()));
        m_tip.SetTimers(&m_timers);
        m_tip.SetMaxTipWidth(350);
        ASSERT_TRUE(m_tip.AddTool(Item(kCheckId), LauncherText()));
    }

    static HWND Owner() { return s_owner->GetSafeHwnd(); }
    static HWND Item(int id) { return ::GetDlgItem(Owner(), id); }
    static HWND Tip(CSkinToolTip& tip) { return tip.GetSafeHwnd(); }

    // Puts the owner at (x, y) and its children at fixed client places.
    static void PlaceOwner(int x, int y) {
        ::SetWindowPos(Owner(), nullptr, x, y, 400, 200, SWP_NOZORDER | SWP_NOACTIVATE);
        ::SetWindowPos(Item(kCheckId), nullptr, 20, 20, 140, 20, SWP_NOZORDER);
        ::SetWindowPos(Item(kButtonId), nullptr, 20, 60, 140, 24, SWP_NOZORDER);
        ::SetWindowPos(Item(kHiddenId), nullptr, 20, 110, 140, 20, SWP_NOZORDER);
        uitest::Pump();
    }
    // A point of the owner's client area where no child is.
    static POINT EmptyPlace() {
        POINT point{300, 150};
        ::ClientToScreen(Owner(), &point);
        return point;
    }

    void MoveTo(POINT screen) {
        ::SetCursorPos(screen.x, screen.y);
        Relay(WM_MOUSEMOVE, ::WindowFromPoint(screen));
    }
    void Relay(UINT message, HWND target = nullptr) {
        MSG msg = {};
        msg.hwnd = target != nullptr ? target : Owner();
        msg.message = message;
        ::GetCursorPos(&msg.pt);
        m_tip.RelayEvent(&msg);
    }
    // Delivers one tick of a running timer; false when it is not running.
    bool Tick(UINT_PTR id) {
        if (m_timers.running.count(id) == 0)
            return false;
        ::SendMessageA(Tip(m_tip), WM_TIMER, id, 0);
        return true;
    }
    // Rests the pointer on `tool` and ends the show delay of `tip` at once.
    static void ShowNow(CSkinToolTip& tip, HWND tool) {
        POINT center = CenterOf(tool);
        ::SetCursorPos(center.x, center.y);
        MSG msg = {};
        msg.message = WM_MOUSEMOVE;
        tip.RelayEvent(&msg);
        ::SendMessageA(Tip(tip), WM_TIMER, CSkinToolTip::kShowTimer, 0);
    }
    void ShowOnCheck() {
        MoveTo(CenterOf(Item(kCheckId)));
        ASSERT_TRUE(Tick(CSkinToolTip::kShowTimer));
        ASSERT_TRUE(m_tip.IsShown());
    }

    static CDialog* s_owner;
    RecordedTimers m_timers;
    CSkinToolTip m_tip;
};

CDialog* SkinToolTipTest::s_owner = nullptr;

TEST_F(SkinToolTipTest, RestingShowsTheTipBelowThePointerUntilTheDisplayLimit) {
    POINT pointer = CenterOf(Item(kCheckId));
    MoveTo(pointer);
    EXPECT_EQ(m_timers.PeriodOf(CSkinToolTip::kShowTimer), 500u);
    EXPECT_FALSE(m_tip.IsShown());
    ASSERT_TRUE(Tick(CSkinToolTip::kShowTimer));
    ASSERT_TRUE(m_tip.IsShown());
    RECT tip = WindowRect(Tip(m_tip));
    EXPECT_EQ(tip.left, pointer.x);
    EXPECT_EQ(tip.top, pointer.y + 20);
    EXPECT_EQ(m_timers.PeriodOf(CSkinToolTip::kShowTimer), 0u);
    EXPECT_EQ(m_timers.PeriodOf(CSkinToolTip::kCheckTimer), 500u);
    EXPECT_EQ(::GetWindowLongA(Tip(m_tip), GWL_EXSTYLE) & WS_EX_TOPMOST, WS_EX_TOPMOST);
    EXPECT_NE(::GetForegroundWindow(), Tip(m_tip));

    // 9 checks of 500 ms keep it; the 10th (5000 ms) hides it.
    for (int i = 1; i < 10; ++i) {
        ASSERT_TRUE(Tick(CSkinToolTip::kCheckTimer));
        EXPECT_TRUE(m_tip.IsShown()) << i * 500 << " ms";
    }
    ASSERT_TRUE(Tick(CSkinToolTip::kCheckTimer));
    EXPECT_FALSE(m_tip.IsShown());
    EXPECT_TRUE(m_tip.IsIdle());
    EXPECT_TRUE(m_timers.running.empty());
}

TEST_F(SkinToolTipTest, ThePointerInsideTheTipKeepsItUp) {
    ShowOnCheck();
    RECT tip = WindowRect(Tip(m_tip));
    ::SetCursorPos(tip.left + 4, tip.top + 4);
    for (int i = 0; i < 15; ++i) {
        ASSERT_TRUE(Tick(CSkinToolTip::kCheckTimer));
        ASSERT_TRUE(m_tip.IsShown()) << (i + 1) * 500 << " ms";
    }
    // Leaving it hides the tip at the next check.
    POINT empty = EmptyPlace();
    ::SetCursorPos(empty.x, empty.y);
    ASSERT_TRUE(Tick(CSkinToolTip::kCheckTimer));
    EXPECT_FALSE(m_tip.IsShown());
}

TEST_F(SkinToolTipTest, TheLaunchersTextIsWrappedWithin350Pixels) {
    ShowOnCheck();
    // Measured as the tip measures it, in the tip's font.
    HDC dc = ::GetDC(nullptr);
    HGDIOBJ old = ::SelectObject(dc, m_tip.Font());
    RECT text{0, 0, 350, 0};
    ::DrawTextA(dc, LauncherText().c_str(), -1, &text, CSkinToolTip::kTextFormat | DT_CALCRECT);
    RECT oneLine{0, 0, 0, 0};
    ::DrawTextA(dc, "X", -1, &oneLine, DT_CALCRECT | DT_SINGLELINE);
    ::SelectObject(dc, old);
    ::ReleaseDC(nullptr, dc);
    EXPECT_LE(text.right, 350);
    RECT tip = WindowRect(Tip(m_tip));
    EXPECT_EQ(tip.right - tip.left, text.right + 6);
    EXPECT_EQ(tip.bottom - tip.top, text.bottom + 8);
    EXPECT_GE(text.bottom, oneLine.bottom);
}

TEST_F(SkinToolTipTest, WidthLimits) {
    const std::string words = "alpha beta gamma delta epsilon zeta";
    HDC dc = ::GetDC(nullptr);
    HGDIOBJ old = ::SelectObject(dc, m_tip.Font());
    RECT line{0, 0, 0, 0};
    ::DrawTextA(dc, words.c_str(), -1, &line, DT_CALCRECT | DT_SINGLELINE);
    RECT widest{0, 0, 0, 0};
    ::DrawTextA(dc, "a much longer second line", -1, &widest, DT_CALCRECT | DT_SINGLELINE);
    ::SelectObject(dc, old);
    ::ReleaseDC(nullptr, dc);

    const struct {
        const char* what;
        int limit;
        std::string text;
        int width;  // of the tip; 0: at most limit + 6
        int minHeight;
    } cases[] = {
        {"wrapped at 100 pixels", 100, words, 0, 2 * line.bottom + 8},
        {"one line within 350", 350, words, line.right + 6, line.bottom + 8},
        {"no limit: the widest line", 0, "short\na much longer second line", widest.right + 6,
         2 * line.bottom + 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CSkinToolTip tip;
        RecordedTimers timers;
        ASSERT_TRUE(tip.Create(Owner()));
        tip.SetTimers(&timers);
        EXPECT_EQ(tip.SetMaxTipWidth(c.limit), 0);
        ASSERT_TRUE(tip.AddTool(Item(kButtonId), c.text));
        ShowNow(tip, Item(kButtonId));
        ASSERT_TRUE(tip.IsShown());
        RECT rect = WindowRect(Tip(tip));
        if (c.width == 0) {
            EXPECT_LE(rect.right - rect.left, c.limit + 6);
        } else {
            EXPECT_EQ(rect.right - rect.left, c.width);
        }
        EXPECT_GE(rect.bottom - rect.top, c.minHeight);
    }
}

TEST_F(SkinToolTipTest, SetMaxTipWidthMovesToolsThatCarriedTheOldLimit) {
    ASSERT_TRUE(m_tip.AddTool(Item(kButtonId), "button"));
    EXPECT_EQ(m_tip.SetMaxTipWidth(120), 350);
    MoveTo(CenterOf(Item(kButtonId)));
    ASSERT_TRUE(Tick(CSkinToolTip::kShowTimer));
    ASSERT_NE(m_tip.CurrentTool(), nullptr);
    EXPECT_EQ(m_tip.CurrentTool()->maxWidth, 120);
}

TEST_F(SkinToolTipTest, ATipIsKeptOnTheScreen) {
    int screenWidth = ::GetSystemMetrics(SM_CXVIRTUALSCREEN);
    int screenHeight = ::GetSystemMetrics(SM_CYVIRTUALSCREEN);
    // Check box near the right edge: the tip's right edge touches it.
    PlaceOwner(screenWidth - 180, 100);
    ShowOnCheck();
    EXPECT_EQ(WindowRect(Tip(m_tip)).right, screenWidth);
    Relay(WM_KEYDOWN);
    MoveTo(EmptyPlace());

    // Near the bottom: the tip goes just above the tool window.
    RECT check = WindowRect(Item(kCheckId));
    RECT owner = WindowRect(Owner());
    // The check box's centre 8 pixels above the bottom of the screen.
    PlaceOwner(100, screenHeight - 8 - ((check.top + check.bottom) / 2 - owner.top));
    ShowOnCheck();
    RECT tip = WindowRect(Tip(m_tip));
    EXPECT_EQ(tip.bottom, WindowRect(Item(kCheckId)).top);
    EXPECT_LE(tip.bottom, screenHeight);
}

TEST_F(SkinToolTipTest, ToolsAreFoundAtTheRectangleTheyWereAddedWith) {
    HWND check = Item(kCheckId);
    // Move the check box 100 pixels right: the old and new places overlap by 40.
    ::SetWindowPos(check, nullptr, 120, 20, 140, 20, SWP_NOZORDER);
    const struct {
        int clientX;
        bool found;
    } points[] = {{60, false}, {140, true}, {200, false}};
    for (const auto& p : points) {
        POINT screen{p.clientX, 30};
        ::ClientToScreen(Owner(), &screen);
        EXPECT_EQ(m_tip.ToolAt(screen) != nullptr, p.found) << p.clientX;
    }
}

TEST_F(SkinToolTipTest, AHiddenToolWindowStillShowsItsTip) {
    HWND hidden = Item(kHiddenId);
    ASSERT_FALSE(::IsWindowVisible(hidden));
    ASSERT_TRUE(m_tip.AddTool(hidden, "hidden tool"));
    MoveTo(CenterOf(hidden));
    ASSERT_NE(m_tip.CurrentTool(), nullptr);
    EXPECT_EQ(m_tip.CurrentTool()->window, hidden);
    ASSERT_TRUE(Tick(CSkinToolTip::kShowTimer));
    EXPECT_TRUE(m_tip.IsShown());
}

TEST_F(SkinToolTipTest, KeysAndButtonsHideTheTipAtOnce) {
    const UINT hiding[] = {WM_KEYDOWN,       WM_KEYUP,         WM_CHAR,           WM_SYSKEYDOWN,
                           WM_RBUTTONDOWN,   WM_RBUTTONDBLCLK, WM_MBUTTONDOWN,    WM_LBUTTONDBLCLK,
                           WM_NCLBUTTONDOWN, WM_NCRBUTTONDOWN, WM_NCMBUTTONDBLCLK};
    for (UINT message : hiding) {
        SCOPED_TRACE(message);
        MoveTo(EmptyPlace());
        ShowOnCheck();
        Relay(message);
        EXPECT_FALSE(m_tip.IsShown());
        EXPECT_TRUE(m_tip.IsIdle());
    }
    const UINT ignored[] = {WM_PAINT, WM_MOUSEWHEEL, WM_LBUTTONUP, WM_TIMER};
    MoveTo(EmptyPlace());
    ShowOnCheck();
    for (UINT message : ignored) {
        Relay(message);
        EXPECT_TRUE(m_tip.IsShown()) << message;
    }
    // A left click hides the tip unless it is on the tip.
    RECT tip = WindowRect(Tip(m_tip));
    ::SetCursorPos(tip.left + 3, tip.top + 3);
    Relay(WM_LBUTTONDOWN);
    EXPECT_TRUE(m_tip.IsShown());
    ::SetCursorPos(CenterOf(Item(kCheckId)).x, CenterOf(Item(kCheckId)).y);
    Relay(WM_LBUTTONDOWN);
    EXPECT_FALSE(m_tip.IsShown());
}

TEST_F(SkinToolTipTest, LeavingBeforeTheDelayShowsNothingUntilTheToolIsReset) {
    POINT onCheck = CenterOf(Item(kCheckId));
    MoveTo(onCheck);
    MoveTo(EmptyPlace());
    ASSERT_TRUE(Tick(CSkinToolTip::kShowTimer));
    EXPECT_FALSE(m_tip.IsShown());
    // Back on the same tool: it is still the current one, nothing starts.
    MoveTo(onCheck);
    EXPECT_EQ(m_timers.PeriodOf(CSkinToolTip::kShowTimer), 0u);
    EXPECT_FALSE(m_tip.IsShown());
    // A key hides (idle); moving off then resets the current tool.
    Relay(WM_KEYDOWN);
    MoveTo(EmptyPlace());
    EXPECT_EQ(m_tip.CurrentTool(), nullptr);
    MoveTo(onCheck);
    ASSERT_TRUE(Tick(CSkinToolTip::kShowTimer));
    EXPECT_TRUE(m_tip.IsShown());
    // Moving onto another tool restarts the cycle for it.
    ASSERT_TRUE(m_tip.AddTool(Item(kButtonId), "other tool"));
    MoveTo(CenterOf(Item(kButtonId)));
    EXPECT_FALSE(m_tip.IsShown());
    EXPECT_EQ(m_timers.PeriodOf(CSkinToolTip::kShowTimer), 500u);
    EXPECT_EQ(m_tip.CurrentTool()->window, Item(kButtonId));
}

TEST_F(SkinToolTipTest, PaintsBorderBackgroundAndText) {
    ShowOnCheck();
    RECT client;
    ::GetClientRect(Tip(m_tip), &client);
    uitest::Canvas canvas(client.right, client.bottom, RGB(1, 2, 3));
    canvas.PrintClient(Tip(m_tip));
    COLORREF black = RGB(0, 0, 0);
    EXPECT_EQ(canvas.Pixel(0, 0), black);
    EXPECT_EQ(canvas.Pixel(client.right - 1, client.bottom - 1), black);
    EXPECT_EQ(canvas.Pixel(client.right / 2, 0), black);
    EXPECT_EQ(canvas.Pixel(1, 1), ::GetSysColor(COLOR_INFOBK));
    int textPixels = 0;
    for (int y = 5; y < client.bottom - 3; ++y)
        for (int x = 3; x < client.right - 3; ++x)
            textPixels += canvas.Pixel(x, y) == ::GetSysColor(COLOR_INFOTEXT) ? 1 : 0;
    EXPECT_GT(textPixels, 50);
    // Nothing is drawn into the margins.
    for (int x = 1; x < client.right - 1; ++x)
        ASSERT_EQ(canvas.Pixel(x, 2), ::GetSysColor(COLOR_INFOBK)) << x;

    uitest::Pump();
    RECT owner = WindowRect(Owner());
    RECT tip = WindowRect(Tip(m_tip));
    uitest::Canvas shot(tip.right - owner.left + 10, tip.bottom - owner.top + 10, RGB(0, 0, 0));
    HDC screen = ::GetDC(nullptr);
    ::BitBlt(shot.dc(), 0, 0, shot.width(), shot.height(), screen, owner.left, owner.top, SRCCOPY);
    ::ReleaseDC(nullptr, screen);
    EXPECT_TRUE(shot.SaveBmp(uitest::ScreenshotFolder() + "skin_tooltip.bmp"));
}

TEST_F(SkinToolTipTest, ToolColoursAreTakenWhenTheToolIsAdded) {
    CSkinToolTip tip;
    RecordedTimers timers;
    ASSERT_TRUE(tip.Create(Owner()));
    tip.SetTimers(&timers);
    tip.SetColors(RGB(20, 40, 60), RGB(250, 250, 0));
    ASSERT_TRUE(tip.AddTool(Item(kButtonId), "coloured"));
    tip.SetColors(CSkinToolTipInfo::kSystemColor, CSkinToolTipInfo::kSystemColor);
    ShowNow(tip, Item(kButtonId));
    ASSERT_TRUE(tip.IsShown());
    RECT client;
    ::GetClientRect(Tip(tip), &client);
    uitest::Canvas canvas(client.right, client.bottom, RGB(1, 2, 3));
    canvas.PrintClient(Tip(tip));
    EXPECT_EQ(canvas.Pixel(1, 1), RGB(20, 40, 60));
    int textPixels = 0;
    for (int y = 0; y < client.bottom; ++y)
        for (int x = 0; x < client.right; ++x)
            textPixels += canvas.Pixel(x, y) == RGB(250, 250, 0) ? 1 : 0;
    EXPECT_GT(textPixels, 10);
}

TEST_F(SkinToolTipTest, TheTipIsNeverActivatedAndGivesTheFocusBack) {
    EXPECT_EQ(::SendMessageA(Tip(m_tip), WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(Owner()),
                             MAKELPARAM(HTCLIENT, WM_LBUTTONDOWN)),
              MA_NOACTIVATE);
    ::SetActiveWindow(Owner());
    HWND button = Item(kButtonId);
    ::SendMessageA(Tip(m_tip), WM_SETFOCUS, reinterpret_cast<WPARAM>(button), 0);
    ::SendMessageA(Tip(m_tip), WM_LBUTTONDOWN, 0, MAKELPARAM(2, 2));
    EXPECT_EQ(::GetFocus(), button);
}

TEST_F(SkinToolTipTest, FontMessages) {
    HFONT system = reinterpret_cast<HFONT>(::SendMessageA(Tip(m_tip), WM_GETFONT, 0, 0));
    ASSERT_NE(system, nullptr);
    HFONT mine = static_cast<HFONT>(::GetStockObject(ANSI_FIXED_FONT));
    ::SendMessageA(Tip(m_tip), WM_SETFONT, reinterpret_cast<WPARAM>(mine), FALSE);
    EXPECT_EQ(reinterpret_cast<HFONT>(::SendMessageA(Tip(m_tip), WM_GETFONT, 0, 0)), mine);
    // A settings change keeps a font the caller chose.
    ::SendMessageA(Tip(m_tip), WM_SETTINGCHANGE, 0, 0);
    EXPECT_EQ(m_tip.Font(), mine);
}

TEST_F(SkinToolTipTest, TheWindowsOwnTimersShowAndHideTheTip) {
    m_tip.SetTimers(nullptr);
    m_tip.SetTimes(50, 50, 200);
    MoveTo(CenterOf(Item(kCheckId)));
    // Bounded waits for what the timers do; how long they take is not checked.
    sftest::Eventually([&] {
        uitest::Pump();
        return m_tip.IsShown();
    });
    EXPECT_TRUE(m_tip.IsShown());
    sftest::Eventually([&] {
        uitest::Pump();
        return !m_tip.IsShown();
    });
    EXPECT_FALSE(m_tip.IsShown());
    EXPECT_TRUE(m_tip.IsIdle());
}

}  // namespace
