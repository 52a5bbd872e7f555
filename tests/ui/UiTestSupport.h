// Helpers of the Windows UI tests: memory canvases whose pixels can be read
// back, generated pictures, screenshots, and the test dialog that holds one
// of every launcher control.
#pragma once

#include <windows.h>

#include "launcher/framework/Dialog.h"
#include "tests/ui/ui_test_resource.h"

#include <functional>
#include <string>
#include <vector>

namespace uitest {

// A 32-bit top-down DIB section selected into a memory DC.
class Canvas {
  public:
    Canvas(int width, int height, COLORREF fill);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC dc() const { return m_dc; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    COLORREF Pixel(int x, int y) const;
    void Fill(COLORREF colour);
    // Copies what `window` shows (its whole window area, from its window DC).
    void CaptureWindow(HWND window);
    // Lets `window` paint its client area into this canvas (WM_PRINTCLIENT).
    void PrintClient(HWND window);
    // Writes the canvas as a 24-bit BMP file; false on failure.
    bool SaveBmp(const std::string& path) const;

  private:
    int m_width;
    int m_height;
    HDC m_dc = nullptr;
    HBITMAP m_bitmap = nullptr;
    HGDIOBJ m_old = nullptr;
    DWORD* m_bits = nullptr;
};

// A 24-bit DIB section whose pixel (x, y) is colour(x, y). The caller owns it.
HBITMAP MakeBitmap(int width, int height, const std::function<COLORREF(int, int)>& colour);
// Every pixel of `bitmap` as COLORREF, row by row from the top.
std::vector<COLORREF> ReadBitmap(HBITMAP bitmap, int* width, int* height);

// Lets the window's queued and sent messages run (bounded).
void Pump();

// The folder for screenshots (SF_SCREENSHOT_DIR, ending in a backslash), or
// "" when the harness did not set one.
std::string ScreenshotFolder();

// The test dialog (template IDD_UI_TEST): one of every launcher control,
// placed in pixels at creation. The background is `background` unless a
// paint function is set.
class TestDialog : public CDialog {
  public:
    TestDialog() : CDialog(IDD_UI_TEST) {}

    COLORREF background = RGB(40, 90, 140);
    std::function<void(HDC, const RECT&)> paintBackground;
    // BN_CLICKED notifications that reached the dialog, by control id.
    std::vector<int> clicks;
    int eraseCount = 0;
    // In order: 'e' for a background erase, 'c' for a static's colour
    // request (it is about to draw its text).
    std::string paints;

    // Moves control `id` to (x, y) with the given size, in client pixels.
    void Place(int id, int x, int y, int width, int height);

  protected:
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;
    bool OnCommand(int id, int code, HWND control) override;
};

}  // namespace uitest
