// The skin button drawn into memory canvases on a real dialog: which image
// slot each state shows, where, the magenta key, the check-box mode and the
// button messages.
#include <gtest/gtest.h>

#include "launcher/controls/CSkinButton.h"
#include "tests/ui/UiTestSupport.h"

#include <cstdlib>
#include <string>

namespace {

const COLORREF kKey = RGB(255, 0, 255);
const COLORREF kNearKey = RGB(255, 0, 254);  // one bit away from the key: drawn
const COLORREF kBackground = RGB(40, 90, 140);
const COLORREF kSlotColours[] = {RGB(200, 30, 30), RGB(30, 200, 30), RGB(30, 30, 200),
                                 RGB(220, 200, 20)};
const int kWidth = 24;
const int kHeight = 16;

// A slot picture: key column at x 0 and key row at y 0, one near-key pixel at
// (5, 5), the slot's colour elsewhere.
HBITMAP SlotPicture(int slot) {
    return uitest::MakeBitmap(kWidth, kHeight, [slot](int x, int y) {
        if (x == 0 || y == 0) {
            return kKey;
        }
        if (x == 5 && y == 5) {
            return kNearKey;
        }
        return kSlotColours[slot];
    });
}

class SkinButtonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dialog.Create());
        dialog.background = kBackground;
        dialog.Place(IDC_T_IMAGE_BUTTON, 20, 20, 40, 30);
        for (int slot = 0; slot < 4; ++slot) {
            pictures[slot] = SlotPicture(slot);
            ASSERT_NE(pictures[slot], nullptr);
        }
        ::UpdateWindow(dialog.GetSafeHwnd());
        ASSERT_TRUE(button.SubclassDlgItem(IDC_T_IMAGE_BUTTON, dialog.GetSafeHwnd()));
    }

    void TearDown() override {
        ::DestroyWindow(dialog.GetSafeHwnd());
        for (HBITMAP picture : pictures) {
            ::DeleteObject(picture);
        }
    }

    // The launcher's calls for an image button.
    void Skin() {
        ASSERT_EQ(button.SetImages(pictures[0], kKey, pictures[1], kKey, pictures[2], kKey,
                                   pictures[3], kKey),
                  0);
        button.SetDrawBorder(false, true);
        button.UseParentBackground(false);
        button.SizeToImage();
        Repaint();
        RECT client;
        ::GetClientRect(button.GetSafeHwnd(), &client);
        ASSERT_EQ(client.right, kWidth);
        ASSERT_EQ(client.bottom, kHeight);
    }

    // Expects the slot's picture with its top-left corner at (dx, dy) and the
    // parent's background everywhere else.
    void ExpectSlotAt(const uitest::Canvas& canvas, int slot, int dx, int dy) {
        int mismatches = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                int px = x - dx;
                int py = y - dy;
                COLORREF expected = kBackground;
                if (slot >= 0 && px > 0 && py > 0 && px < kWidth && py < kHeight) {
                    expected = (px == 5 && py == 5) ? kNearKey : kSlotColours[slot];
                }
                if (canvas.Pixel(x, y) != expected && ++mismatches <= 3) {
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex
                                  << canvas.Pixel(x, y) << ", expected " << expected;
                }
            }
        }
        EXPECT_EQ(mismatches, 0);
    }

    // Repaints the dialog and its controls, as the launcher does after
    // skinning: the parent's background first, so a button that captures it
    // finds it painted.
    void Repaint() {
        ::RedrawWindow(dialog.GetSafeHwnd(), nullptr, nullptr,
                       RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    }

    void Draw(uitest::Canvas& canvas) {
        canvas.Fill(RGB(1, 2, 3));
        canvas.PrintClient(button.GetSafeHwnd());
    }

    void Hover() {
        ::SendMessageA(button.GetSafeHwnd(), WM_MOUSEMOVE, 0, MAKELPARAM(kWidth / 2, kHeight / 2));
    }

    uitest::TestDialog dialog;
    CSkinButton button;
    HBITMAP pictures[4] = {};
};

TEST_F(SkinButtonTest, EachStateShowsItsSlotOverTheParentBackground) {
    Skin();
    uitest::Canvas canvas(kWidth, kHeight, 0);

    Draw(canvas);
    ExpectSlotAt(canvas, 0, 0, 0);

    Hover();
    EXPECT_TRUE(button.IsHover());
    Draw(canvas);
    ExpectSlotAt(canvas, 1, 0, 0);

    ::SendMessageA(button.GetSafeHwnd(), WM_MOUSELEAVE, 0, 0);
    EXPECT_FALSE(button.IsHover());

    // Pressed: slot 2, shifted by the pressed offset (1, 1).
    ::SendMessageA(button.GetSafeHwnd(), BM_SETSTATE, TRUE, 0);
    Draw(canvas);
    ExpectSlotAt(canvas, 2, 1, 1);
    ::SendMessageA(button.GetSafeHwnd(), BM_SETSTATE, FALSE, 0);

    ::EnableWindow(button.GetSafeHwnd(), FALSE);
    Draw(canvas);
    ExpectSlotAt(canvas, 3, 0, 0);
    button.SetShowDisabledImage(false);
    Draw(canvas);
    ExpectSlotAt(canvas, 0, 0, 0);
}

TEST_F(SkinButtonTest, KeyColouredPixelsTurnBlackInTheCallersPicture) {
    Skin();
    int width = 0;
    int height = 0;
    std::vector<COLORREF> pixels = uitest::ReadBitmap(pictures[0], &width, &height);
    ASSERT_EQ(width, kWidth);
    EXPECT_EQ(pixels[0], RGB(0, 0, 0));
    EXPECT_EQ(pixels[5 * kWidth + 5], kNearKey);
    EXPECT_EQ(pixels[2 * kWidth + 2], kSlotColours[0]);
}

TEST_F(SkinButtonTest, AButtonWithOnlyANormalImageShowsNothingWhileHovered) {
    ASSERT_EQ(button.SetImages(pictures[0], kKey, nullptr, kKey, nullptr, kKey, nullptr, kKey), 0);
    button.SetDrawBorder(false, true);
    button.UseParentBackground(false);
    button.SizeToImage();
    Repaint();
    uitest::Canvas canvas(kWidth, kHeight, 0);
    Draw(canvas);
    ExpectSlotAt(canvas, 0, 0, 0);
    Hover();
    Draw(canvas);
    ExpectSlotAt(canvas, -1, 0, 0);
}

TEST_F(SkinButtonTest, ABrokenImageLeavesEverySlotEmpty) {
    HBITMAP notABitmap = reinterpret_cast<HBITMAP>(static_cast<INT_PTR>(0x12345));
    EXPECT_EQ(
        button.SetImages(pictures[0], kKey, notABitmap, kKey, pictures[2], kKey, nullptr, kKey), 1);
    button.UseParentBackground(false);
    Repaint();
    uitest::Canvas canvas(40, 30, 0);
    canvas.Fill(RGB(1, 2, 3));
    canvas.PrintClient(button.GetSafeHwnd());
    // Only the captured background: no slot is drawn.
    for (int y = 0; y < 30; y += 7) {
        for (int x = 0; x < 40; x += 7) {
            EXPECT_EQ(canvas.Pixel(x, y), kBackground) << x << ", " << y;
        }
    }
    // Without a normal image every slot is simply empty, and that succeeds.
    EXPECT_EQ(button.SetImages(nullptr, kKey, pictures[1], kKey, nullptr, 0, nullptr, 0), 0);
}

TEST_F(SkinButtonTest, ImagesAreCentredWithoutACaptionAndInsetWithOne) {
    // Not sized to the image: 40 x 30 window, 24 x 16 picture.
    ASSERT_EQ(button.SetImages(pictures[0], kKey, pictures[1], kKey, pictures[2], kKey, pictures[3],
                               kKey),
              0);
    button.UseParentBackground(false);
    Repaint();
    uitest::Canvas canvas(40, 30, 0);
    canvas.PrintClient(button.GetSafeHwnd());
    // Centred: left (40-24)/2 = 8, top (30-16)/2 = 7; its key row and column
    // show the background, so the first slot pixel is at (9, 8).
    EXPECT_EQ(canvas.Pixel(8, 8), kBackground);
    EXPECT_EQ(canvas.Pixel(9, 8), kSlotColours[0]);
    EXPECT_EQ(canvas.Pixel(9, 7), kBackground);
    EXPECT_EQ(canvas.Pixel(31, 22), kSlotColours[0]);
    EXPECT_EQ(canvas.Pixel(32, 22), kBackground);

    // With a caption the picture sits at the image origin (3, 3) horizontally.
    ::SetWindowTextA(button.GetSafeHwnd(), "Go");
    canvas.PrintClient(button.GetSafeHwnd());
    EXPECT_EQ(canvas.Pixel(3, 8), kBackground);
    EXPECT_EQ(canvas.Pixel(4, 8), kSlotColours[0]);
}

TEST_F(SkinButtonTest, FlatHoverBorderAndPlainBackgroundWithoutSkin) {
    // No parent background: the idle colour fills the button (white by default).
    uitest::Canvas canvas(40, 30, 0);
    canvas.PrintClient(button.GetSafeHwnd());
    EXPECT_EQ(canvas.Pixel(20, 15), RGB(255, 255, 255));
    button.SetColor(CSkinButton::kActiveBackground, RGB(9, 9, 9), false);
    Hover();
    canvas.PrintClient(button.GetSafeHwnd());
    EXPECT_EQ(canvas.Pixel(20, 15), RGB(9, 9, 9));
    // The raised hover border: highlight top-left, shadow bottom-right.
    EXPECT_EQ(canvas.Pixel(0, 0), ::GetSysColor(COLOR_BTNHILIGHT));
    EXPECT_EQ(canvas.Pixel(39, 29), ::GetSysColor(COLOR_BTNSHADOW));
    button.ResetColors(false);
    canvas.PrintClient(button.GetSafeHwnd());
    EXPECT_EQ(canvas.Pixel(20, 15), RGB(255, 255, 255));
}

TEST_F(SkinButtonTest, HoverNeedsTheLeftButtonReleasedFirst) {
    Skin();
    ::SendMessageA(button.GetSafeHwnd(), WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_FALSE(button.IsHover());
    ::SendMessageA(button.GetSafeHwnd(), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_TRUE(button.IsHover());
    // Ends on leave, focus loss and cancel-mode alike.
    const UINT enders[] = {WM_MOUSELEAVE, WM_KILLFOCUS, WM_CANCELMODE};
    for (UINT ender : enders) {
        Hover();
        ASSERT_TRUE(button.IsHover());
        ::SendMessageA(button.GetSafeHwnd(), ender, 0, 0);
        EXPECT_FALSE(button.IsHover()) << ender;
    }
}

TEST_F(SkinButtonTest, SystemColourChangeRecapturesTheBackground) {
    Skin();
    uitest::Canvas canvas(kWidth, kHeight, 0);
    Draw(canvas);
    EXPECT_EQ(canvas.Pixel(0, 0), kBackground);

    dialog.background = RGB(10, 160, 60);
    Repaint();
    Draw(canvas);
    EXPECT_EQ(canvas.Pixel(0, 0), kBackground) << "the cache keeps the old background";

    ::SendMessageA(button.GetSafeHwnd(), WM_SYSCOLORCHANGE, 0, 0);
    Repaint();
    Draw(canvas);
    EXPECT_EQ(canvas.Pixel(0, 0), RGB(10, 160, 60));
}

TEST_F(SkinButtonTest, CheckBoxModeDrawsPressedWithoutOffsetAndAnswersCheckMessages) {
    CSkinButton check;
    HWND window = dialog.GetDlgItem(IDC_T_CHECK);
    ASSERT_TRUE(check.SubclassWindow(window));
    EXPECT_TRUE(check.IsCheckBox());
    EXPECT_EQ(check.TypeStyle(), static_cast<UINT>(BS_AUTOCHECKBOX));
    EXPECT_EQ(::GetWindowLongPtrA(window, GWL_STYLE) & 0x1F, BS_OWNERDRAW);

    ASSERT_EQ(
        check.SetImages(pictures[0], kKey, pictures[1], kKey, pictures[2], kKey, pictures[3], kKey),
        0);
    check.UseParentBackground(false);
    check.SizeToImage();
    Repaint();
    uitest::Canvas canvas(kWidth, kHeight, 0);
    canvas.PrintClient(window);
    ExpectSlotAt(canvas, 0, 0, 0);
    // Checked draws as pressed: slot 2, not shifted, and the sunken border
    // (shadow on the top and left edges) while borders are on.
    check.SetCheckValue(1, true);
    canvas.PrintClient(window);
    EXPECT_EQ(canvas.Pixel(0, 0), ::GetSysColor(COLOR_BTNSHADOW));
    EXPECT_EQ(canvas.Pixel(1, 1), kSlotColours[2]);
    check.SetDrawBorder(false, true);
    canvas.PrintClient(window);
    ExpectSlotAt(canvas, 2, 0, 0);

    struct Case {
        WPARAM sent;
        int value;
    };
    const Case cases[] = {
        {BST_CHECKED, 1}, {BST_UNCHECKED, 0}, {BST_INDETERMINATE, 1}, {5, 0}, {2, 1}, {0, 0}};
    for (const Case& c : cases) {
        ::SendMessageA(window, BM_SETCHECK, c.sent, 0);
        EXPECT_EQ(check.GetCheckValue(), c.value) << c.sent;
        EXPECT_EQ(::SendMessageA(window, BM_GETCHECK, 0, 0), c.value) << c.sent;
    }

    // A click toggles it, and the dialog still sees the click.
    dialog.clicks.clear();
    ::SendMessageA(window, BM_CLICK, 0, 0);
    EXPECT_EQ(check.GetCheckValue(), 1);
    EXPECT_EQ(::GetFocus(), window);
    ASSERT_EQ(dialog.clicks.size(), 1u);
    EXPECT_EQ(dialog.clicks[0], IDC_T_CHECK);

    // Push buttons ignore SetCheckValue.
    button.SetCheckValue(1, false);
    EXPECT_EQ(button.GetCheckValue(), 0);
    EXPECT_EQ(::SendMessageA(button.GetSafeHwnd(), BM_GETCHECK, 0, 0), 0);
}

TEST_F(SkinButtonTest, ADoubleClickOnACheckBoxTogglesItTwice) {
    CSkinButton check;
    HWND window = dialog.GetDlgItem(IDC_T_CHECK);
    ASSERT_TRUE(check.SubclassWindow(window));
    MSG probe = {window, WM_LBUTTONDBLCLK, 0, 0, 0, {0, 0}};
    EXPECT_FALSE(check.PreTranslateMessage(&probe));
    EXPECT_EQ(probe.message, static_cast<UINT>(WM_LBUTTONDOWN));

    // Through a modal loop: down, up, double click, up is two clicks.
    CDialog::SetModalObserver([window](CDialog& modal) {
        LPARAM at = MAKELPARAM(3, 3);
        ::PostMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
        ::PostMessageA(window, WM_LBUTTONUP, 0, at);
        ::PostMessageA(window, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
        ::PostMessageA(window, WM_LBUTTONUP, 0, at);
        ::PostMessageA(modal.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
    // The modal loop is the test dialog's own owner's: run an empty dialog
    // modally while the messages for the check box are in the queue.
    CDialog modal(IDD_UI_EMPTY);
    modal.DoModal();
    CDialog::SetModalObserver(nullptr);
    int clicksOnCheck = 0;
    for (int id : dialog.clicks) {
        clicksOnCheck += id == IDC_T_CHECK ? 1 : 0;
    }
    EXPECT_EQ(clicksOnCheck, 2);
    EXPECT_EQ(check.GetCheckValue(), 0) << "toggled twice";
}

TEST_F(SkinButtonTest, DefaultButtonStyleAndDialogCode) {
    CSkinButton defaultButton;
    HWND window = dialog.GetDlgItem(IDC_T_DEFAULT_BUTTON);
    ASSERT_TRUE(defaultButton.SubclassWindow(window));
    EXPECT_TRUE(defaultButton.IsDefault());
    EXPECT_EQ(defaultButton.TypeStyle(), static_cast<UINT>(BS_PUSHBUTTON));
    EXPECT_NE(::SendMessageA(window, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON, 0);

    ::SendMessageA(window, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    EXPECT_FALSE(defaultButton.IsDefault());
    EXPECT_EQ(::GetWindowLongPtrA(window, GWL_STYLE) & 0x1F, BS_OWNERDRAW);
    EXPECT_NE(::SendMessageA(window, WM_GETDLGCODE, 0, 0) & DLGC_UNDEFPUSHBUTTON, 0);
    ::SendMessageA(window, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    EXPECT_TRUE(defaultButton.IsDefault());
    EXPECT_EQ(::GetWindowLongPtrA(window, GWL_STYLE) & 0x1F, BS_OWNERDRAW);
}

TEST_F(SkinButtonTest, DisablingTheFocusedButtonMovesTheFocusToTheNextTabStop) {
    ::SetWindowLongPtrA(button.GetSafeHwnd(), GWL_STYLE,
                        ::GetWindowLongPtrA(button.GetSafeHwnd(), GWL_STYLE) | WS_TABSTOP);
    ::SetActiveWindow(dialog.GetSafeHwnd());
    ::SetFocus(button.GetSafeHwnd());
    ASSERT_EQ(::GetFocus(), button.GetSafeHwnd());
    HWND expected = ::GetNextDlgTabItem(dialog.GetSafeHwnd(), button.GetSafeHwnd(), FALSE);
    ASSERT_NE(expected, nullptr);
    ::EnableWindow(button.GetSafeHwnd(), FALSE);
    EXPECT_EQ(::GetFocus(), expected);
}

// The box around the pixels of `canvas` inside `area` that differ from `ground`.
RECT InkBox(const uitest::Canvas& canvas, const RECT& area, COLORREF ground) {
    RECT box{area.right, area.bottom, area.left, area.top};
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            if (canvas.Pixel(x, y) != ground) {
                box.left = x < box.left ? x : box.left;
                box.top = y < box.top ? y : box.top;
                box.right = x + 1 > box.right ? x + 1 : box.right;
                box.bottom = y + 1 > box.bottom ? y + 1 : box.bottom;
            }
        }
    }
    return box;
}

int CountColour(const uitest::Canvas& canvas, COLORREF colour) {
    int count = 0;
    for (int y = 0; y < canvas.height(); ++y) {
        for (int x = 0; x < canvas.width(); ++x) {
            count += canvas.Pixel(x, y) == colour ? 1 : 0;
        }
    }
    return count;
}

TEST_F(SkinButtonTest, CaptionIsCentredShiftedWhenPressedAndEngravedWhenDisabled) {
    const COLORREF ground = RGB(200, 220, 240);
    button.SetColor(CSkinButton::kIdleBackground, ground, false);
    button.SetColor(CSkinButton::kActiveBackground, ground, false);
    button.SetColor(CSkinButton::kFocusBackground, ground, false);
    button.SetColor(CSkinButton::kFocusText, RGB(102, 102, 102), false);
    button.SetDrawBorder(false, false);
    dialog.Place(IDC_T_IMAGE_BUTTON, 20, 20, 60, 30);
    ::SetWindowTextA(button.GetSafeHwnd(), "Go");
    uitest::Canvas canvas(60, 30, 0);
    const RECT inner{2, 2, 58, 28};

    canvas.PrintClient(button.GetSafeHwnd());
    RECT idle = InkBox(canvas, inner, ground);
    ASSERT_LT(idle.left, idle.right) << "the caption is drawn";
    EXPECT_GT(CountColour(canvas, RGB(102, 102, 102)), 0) << "in the grey text colour";
    // Centred: the same margin on both sides, give or take a pixel.
    EXPECT_LE(std::abs((idle.left - 0) - (60 - idle.right)), 2);
    EXPECT_LE(std::abs((idle.top - 0) - (30 - idle.bottom)), 3);

    ::SendMessageA(button.GetSafeHwnd(), BM_SETSTATE, TRUE, 0);
    canvas.PrintClient(button.GetSafeHwnd());
    RECT pressed = InkBox(canvas, inner, ground);
    EXPECT_EQ(pressed.left, idle.left + 1);
    EXPECT_EQ(pressed.top, idle.top + 1);
    EXPECT_EQ(pressed.right, idle.right + 1);
    EXPECT_EQ(pressed.bottom, idle.bottom + 1);
    ::SendMessageA(button.GetSafeHwnd(), BM_SETSTATE, FALSE, 0);

    ::EnableWindow(button.GetSafeHwnd(), FALSE);
    canvas.PrintClient(button.GetSafeHwnd());
    EXPECT_EQ(CountColour(canvas, RGB(102, 102, 102)), 0);
    EXPECT_GT(CountColour(canvas, ::GetSysColor(COLOR_3DSHADOW)), 0);
    EXPECT_GT(CountColour(canvas, ::GetSysColor(COLOR_3DHILIGHT)), 0);
    RECT engraved = InkBox(canvas, inner, ground);
    EXPECT_EQ(engraved.left, idle.left);
    EXPECT_EQ(engraved.right, idle.right + 1) << "the highlight copy one pixel right";
}

}  // namespace
