// The skinned progress bar, the scrolling terms picture and the transparent
// label, drawn on a real dialog and read back pixel by pixel.
#include <gtest/gtest.h>

#include "launcher/controls/CScrollImage.h"
#include "launcher/controls/CSkinProgress.h"
#include "launcher/controls/CTransparentStatic.h"
#include "launcher/res/resource.h"
#include "tests/ui/UiTestSupport.h"

#include <commctrl.h>

#include <string>
#include <vector>

namespace {

const COLORREF kSentinel = RGB(1, 2, 3);

// The fill picture: 6 x 4 pixels, every pixel different.
COLORREF FillColour(int x, int y) {
    return RGB(40 * x + 10, 50 * y + 20, 200);
}

class ImageControlsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dialog.Create()); }
    void TearDown() override { ::DestroyWindow(dialog.GetSafeHwnd()); }

    uitest::TestDialog dialog;
};

// Checks the progress canvas: the fill at x 1..width, y 1..7, the picture
// tiled from (1, 1); the sentinel everywhere else.
void ExpectFill(const uitest::Canvas& canvas, int width) {
    int mismatches = 0;
    for (int y = 0; y < canvas.height(); ++y) {
        for (int x = 0; x < canvas.width(); ++x) {
            bool filled = x >= 1 && x <= width && y >= 1 && y <= 7;
            COLORREF expected = filled ? FillColour((x - 1) % 6, (y - 1) % 4) : kSentinel;
            if (canvas.Pixel(x, y) != expected && ++mismatches <= 3) {
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") of fill " << width;
            }
        }
    }
    EXPECT_EQ(mismatches, 0) << "fill width " << width;
}

TEST_F(ImageControlsTest, ProgressFillWidthsAndTiling) {
    dialog.Place(IDC_T_PROGRESS, 10, 60, 282, 10);
    HWND window = dialog.GetDlgItem(IDC_T_PROGRESS);
    ::SetWindowLongPtrA(window, GWL_EXSTYLE, 0);
    ::SetWindowLongPtrA(window, GWL_STYLE, ::GetWindowLongPtrA(window, GWL_STYLE) & ~WS_BORDER);
    ::SetWindowPos(window, nullptr, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
    CSkinProgress progress;
    ASSERT_TRUE(progress.SubclassWindow(window));
    HBITMAP fill = uitest::MakeBitmap(6, 4, FillColour);
    EXPECT_EQ(progress.SetFillImage(fill, 1), 1);
    progress.SetRange(0, 100);

    struct Case {
        int lower, upper, position, storedPosition, width;
    };
    const Case cases[] = {
        {0, 100, 0, 0, 0},       {0, 100, 50, 50, 140},  {0, 100, 100, 100, 280},
        {0, 100, 150, 100, 280}, {0, 100, -5, 0, 0},     {0, 0, 0, 0, 0},
        {0, 100, 1, 1, 2},       {10, 110, 60, 60, 140},  // counts from the lower bound
        {-50, 50, 0, 0, 140},
    };
    uitest::Canvas canvas(282, 10, kSentinel);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.lower << ".." << c.upper << " at " << c.position);
        progress.SetRange(c.lower, c.upper);
        progress.SetPos(c.position);
        EXPECT_EQ(progress.GetPos(), c.storedPosition);
        EXPECT_EQ(::SendMessageA(window, PBM_GETPOS, 0, 0), c.storedPosition);
        EXPECT_EQ(progress.FillWidth(), c.width);
        canvas.Fill(kSentinel);
        canvas.PrintClient(window);
        ExpectFill(canvas, c.width);
    }
    EXPECT_EQ(::SendMessageA(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas.dc()), 0),
              TRUE);
    ::DestroyWindow(window);
    ::DeleteObject(fill);
}

TEST_F(ImageControlsTest, ProgressPaletteFromAColourTableOrHalftone) {
    CSkinProgress progress;
    ASSERT_TRUE(progress.SubclassDlgItem(IDC_T_PROGRESS, dialog.GetSafeHwnd()));

    // An 8-bit DIB section with 16 used colours gives a 16-entry palette.
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[16];
    } info = {};
    info.header.biSize = sizeof info.header;
    info.header.biWidth = 4;
    info.header.biHeight = 4;
    info.header.biPlanes = 1;
    info.header.biBitCount = 8;
    info.header.biClrUsed = 16;
    for (int i = 0; i < 16; ++i) {
        info.colours[i] = RGBQUAD{static_cast<BYTE>(i * 16), 0, static_cast<BYTE>(255 - i), 0};
    }
    void* bits = nullptr;
    HBITMAP indexed = ::CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&info),
                                         DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(indexed, nullptr);
    progress.SetFillImage(indexed, 0);
    ASSERT_NE(progress.Palette(), nullptr);
    // The colour table's entries, in order (the system may report the full
    // 256-entry table of an 8-bit section).
    UINT entries = ::GetPaletteEntries(progress.Palette(), 0, 0, nullptr);
    EXPECT_GE(entries, 16u);
    EXPECT_LE(entries, 256u);
    PALETTEENTRY third = {};
    ::GetPaletteEntries(progress.Palette(), 3, 1, &third);
    EXPECT_EQ(third.peBlue, 48);
    EXPECT_EQ(third.peRed, 252);

    // A true-colour picture and a device-dependent bitmap get a halftone palette.
    HBITMAP deep = uitest::MakeBitmap(6, 4, FillColour);
    progress.SetFillImage(deep, 0);
    ASSERT_NE(progress.Palette(), nullptr);
    EXPECT_GT(::GetPaletteEntries(progress.Palette(), 0, 0, nullptr), 16u);
    HDC screen = ::GetDC(nullptr);
    HBITMAP device = ::CreateCompatibleBitmap(screen, 6, 4);
    ::ReleaseDC(nullptr, screen);
    progress.SetFillImage(device, 0);
    EXPECT_NE(progress.Palette(), nullptr);
    progress.SetFillImage(nullptr, 0);
    ::DestroyWindow(progress.GetSafeHwnd());
    ::DeleteObject(indexed);
    ::DeleteObject(deep);
    ::DeleteObject(device);
}

TEST_F(ImageControlsTest, ScrollImageShowsTheSliceAtItsOffsetWithWhiteTransparent) {
    dialog.Place(IDC_T_SCROLL_IMAGE, 4, 100, 592, 100);
    CScrollImage image;
    ASSERT_TRUE(image.SubclassDlgItem(IDC_T_SCROLL_IMAGE, dialog.GetSafeHwnd()));
    image.LoadImageResource(IDB_TERMS);
    ASSERT_EQ(image.ImageWidth(), 592);
    ASSERT_EQ(image.ImageHeight(), 447);
    // The static showed the bitmap at its own size; the layout sizes it back.
    dialog.Place(IDC_T_SCROLL_IMAGE, 4, 100, 592, 100);

    HBITMAP terms = ::LoadBitmapA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_TERMS));
    int width = 0;
    int height = 0;
    std::vector<COLORREF> source = uitest::ReadBitmap(terms, &width, &height);
    ::DeleteObject(terms);
    ASSERT_EQ(height, 447);

    const int offsets[] = {0, 345};
    uitest::Canvas canvas(592, 100, kSentinel);
    for (int offset : offsets) {
        image.SetScrollOffset(offset);
        EXPECT_EQ(image.Offset(), offset);
        canvas.Fill(kSentinel);
        canvas.PrintClient(image.GetSafeHwnd());
        int mismatches = 0;
        int drawn = 0;
        for (int y = 0; y < 100; ++y) {
            for (int x = 0; x < 592; ++x) {
                COLORREF picture = source[static_cast<size_t>(offset + y) * 592 + x];
                COLORREF expected = picture == RGB(255, 255, 255) ? kSentinel : picture;
                drawn += expected != kSentinel ? 1 : 0;
                if (canvas.Pixel(x, y) != expected) {
                    ++mismatches;
                }
            }
        }
        EXPECT_EQ(mismatches, 0) << "offset " << offset;
        EXPECT_GT(drawn, 500) << "the slice at " << offset << " holds text";
    }

    // A resource that does not exist paints nothing.
    CScrollImage missing;
    ASSERT_TRUE(missing.SubclassDlgItem(IDC_T_PLAIN_BUTTON, dialog.GetSafeHwnd()));
    missing.LoadImageResource(4711);
    EXPECT_EQ(missing.ImageHeight(), 0);
    uitest::Canvas small(40, 14, kSentinel);
    small.PrintClient(missing.GetSafeHwnd());
    EXPECT_EQ(small.Pixel(5, 5), kSentinel);
}

// Counts light pixels (the label's 0xEFEFEF text) in `area` of the canvas.
int LightPixels(const uitest::Canvas& canvas, const RECT& area) {
    int light = 0;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            COLORREF c = canvas.Pixel(x, y);
            light += (GetRValue(c) > 150 && GetGValue(c) > 150 && GetBValue(c) > 150) ? 1 : 0;
        }
    }
    return light;
}

TEST_F(ImageControlsTest, TransparentLabelRepaintsItsParentWhenTheTextChanges) {
    dialog.Place(IDC_T_LABEL, 10, 300, 300, 16);
    CTransparentStatic label;
    ASSERT_TRUE(label.SubclassDlgItem(IDC_T_LABEL, dialog.GetSafeHwnd()));
    ::UpdateWindow(dialog.GetSafeHwnd());

    label.SetWindowTextA("WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW");
    ::UpdateWindow(label.GetSafeHwnd());
    RECT client;
    ::GetClientRect(dialog.GetSafeHwnd(), &client);
    uitest::Canvas canvas(client.right, client.bottom, kSentinel);
    canvas.CaptureWindow(dialog.GetSafeHwnd());
    const RECT tail{110, 300, 310, 316};  // right of a short text
    const RECT head{10, 300, 40, 316};
    EXPECT_GT(LightPixels(canvas, tail), 20) << "the long text is drawn light grey";
    // Between the letters the dialog's background shows through.
    EXPECT_EQ(canvas.Pixel(12, 301), dialog.background);

    int erases = dialog.eraseCount;
    dialog.paints.clear();
    label.SetWindowTextA("WW");
    EXPECT_GT(dialog.eraseCount, erases) << "the parent repainted under the label";
    // Drawn over the old text first, both would show until the repaint.
    ASSERT_FALSE(dialog.paints.empty());
    EXPECT_EQ('e', dialog.paints[0])
        << "the new text came before the background: " << dialog.paints;
    EXPECT_NE(std::string::npos, dialog.paints.find('c')) << "the new text was drawn at once";
    ::UpdateWindow(label.GetSafeHwnd());
    canvas.CaptureWindow(dialog.GetSafeHwnd());
    EXPECT_EQ(LightPixels(canvas, tail), 0) << "nothing of the longer text is left";
    EXPECT_GT(LightPixels(canvas, head), 5);

    // The label answers its colour request when the parent does not.
    HDC dc = ::GetDC(label.GetSafeHwnd());
    LRESULT brush =
        ::SendMessageA(dialog.GetSafeHwnd(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                       reinterpret_cast<LPARAM>(label.GetSafeHwnd()));
    EXPECT_EQ(brush, reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH)));
    EXPECT_EQ(::GetTextColor(dc), RGB(239, 239, 239));
    EXPECT_EQ(::GetBkMode(dc), TRANSPARENT);
    ::ReleaseDC(label.GetSafeHwnd(), dc);
}

}  // namespace
