#include "launcher/controls/CSkinProgress.h"

#include "launcher/controls/BitmapSize.h"

#include <commctrl.h>

#include <cstdlib>
#include <vector>

CSkinProgress::~CSkinProgress() {
    if (m_palette != nullptr) {
        ::DeleteObject(m_palette);
    }
}

int CSkinProgress::SetFillImage(HBITMAP image, int repaint) {
    if (m_palette != nullptr) {
        ::DeleteObject(m_palette);
        m_palette = nullptr;
    }
    m_image = image;
    if (GetBitmapSize(image, &m_imageWidth, &m_imageHeight)) {
        BuildPalette();
    }
    if (repaint == 1 && m_hWnd != nullptr) {
        Invalidate();
    }
    return 1;
}

void CSkinProgress::BuildPalette() {
    // A DIB section with a colour table of at most 256 entries gives its own
    // palette; deeper images, and device-dependent bitmaps, which have no
    // colour table to read, get the halftone palette.
    DIBSECTION section = {};
    bool isSection = ::GetObjectA(m_image, sizeof section, &section) == sizeof section;
    if (isSection && section.dsBmih.biBitCount <= 8) {
        DWORD colours = section.dsBmih.biClrUsed;
        if (colours == 0) {
            colours = 1u << section.dsBmih.biBitCount;
        }
        if (colours > 256) {
            colours = 256;
        }
        HDC dc = ::CreateCompatibleDC(nullptr);
        if (dc != nullptr) {
            HGDIOBJ old = ::SelectObject(dc, m_image);
            RGBQUAD table[256];
            UINT read = ::GetDIBColorTable(dc, 0, colours, table);
            ::SelectObject(dc, old);
            ::DeleteDC(dc);
            if (read > 0) {
                std::vector<unsigned char> storage(sizeof(LOGPALETTE) +
                                                   read * sizeof(PALETTEENTRY));
                auto* palette = reinterpret_cast<LOGPALETTE*>(storage.data());
                palette->palVersion = 0x300;
                palette->palNumEntries = static_cast<WORD>(read);
                for (UINT i = 0; i < read; ++i) {
                    palette->palPalEntry[i].peRed = table[i].rgbRed;
                    palette->palPalEntry[i].peGreen = table[i].rgbGreen;
                    palette->palPalEntry[i].peBlue = table[i].rgbBlue;
                    palette->palPalEntry[i].peFlags = 0;
                }
                m_palette = ::CreatePalette(palette);
                return;
            }
        }
    }
    HDC screen = ::GetDC(nullptr);
    m_palette = ::CreateHalftonePalette(screen);
    ::ReleaseDC(nullptr, screen);
}

void CSkinProgress::SetRange(int lower, int upper) {
    m_lower = lower;
    m_upper = upper;
    m_rangeSize = std::abs(upper - lower);
    if (m_rangeSize == 0) {
        m_rangeSize = 1;
    }
    if (m_hWnd != nullptr) {
        Send(PBM_SETRANGE32, static_cast<WPARAM>(lower), static_cast<LPARAM>(upper));
    }
}

int CSkinProgress::SetPos(int position) {
    int low = m_lower < m_upper ? m_lower : m_upper;
    int high = m_lower < m_upper ? m_upper : m_lower;
    if (position < low) {
        position = low;
    }
    if (position > high) {
        position = high;
    }
    m_position = position;
    if (m_hWnd == nullptr) {
        return 0;
    }
    return static_cast<int>(Send(PBM_SETPOS, static_cast<WPARAM>(position)));
}

int CSkinProgress::FillWidth() const {
    RECT window;
    ::GetWindowRect(m_hWnd, &window);
    int innerWidth = (window.right - window.left) - 2;
    // The share of the range below the position; a range that does not start
    // at 0 counts from its lower bound.
    int done = m_position - (m_lower < m_upper ? m_lower : m_upper);
    int percentage = static_cast<int>((100.0 / m_rangeSize) * done);
    if (percentage < 0) {
        percentage = 0;
    }
    int width =
        static_cast<int>(static_cast<float>(innerWidth) / 100.0f * static_cast<float>(percentage));
    return width > innerWidth ? innerWidth - 1 : width;
}

void CSkinProgress::Paint(HDC dc) {
    RECT window;
    ::GetWindowRect(m_hWnd, &window);
    int windowWidth = window.right - window.left;
    int windowHeight = window.bottom - window.top;
    int innerHeight = windowHeight - 2;
    int fillWidth = FillWidth();
    if (fillWidth <= 0 || innerHeight <= 1 || m_imageWidth <= 0 || m_imageHeight <= 0) {
        return;
    }

    HDC offscreen = ::CreateCompatibleDC(dc);
    HDC tile = ::CreateCompatibleDC(dc);
    HBITMAP canvas = ::CreateCompatibleBitmap(dc, windowWidth, windowHeight);
    if (offscreen != nullptr && tile != nullptr && canvas != nullptr) {
        HGDIOBJ oldCanvas = ::SelectObject(offscreen, canvas);
        HGDIOBJ oldTile = ::SelectObject(tile, m_image);
        int columns = fillWidth / m_imageWidth + (fillWidth % m_imageWidth != 0 ? 1 : 0);
        int rows = innerHeight / m_imageHeight + (innerHeight % m_imageHeight != 0 ? 1 : 0);
        for (int row = 0; row < rows; ++row) {
            for (int column = 0; column < columns; ++column) {
                ::BitBlt(offscreen, column * m_imageWidth, row * m_imageHeight, m_imageWidth,
                         m_imageHeight, tile, 0, 0, SRCCOPY);
            }
        }
        HPALETTE oldPalette = nullptr;
        if ((::GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE) != 0 && m_palette != nullptr) {
            oldPalette = ::SelectPalette(dc, m_palette, FALSE);
            ::RealizePalette(dc);
        }
        ::BitBlt(dc, 1, 1, fillWidth, innerHeight - 1, offscreen, 0, 0, SRCCOPY);
        if (oldPalette != nullptr) {
            ::SelectPalette(dc, oldPalette, FALSE);
        }
        ::SelectObject(tile, oldTile);
        ::SelectObject(offscreen, oldCanvas);
    }
    if (canvas != nullptr) {
        ::DeleteObject(canvas);
    }
    if (tile != nullptr) {
        ::DeleteDC(tile);
    }
    if (offscreen != nullptr) {
        ::DeleteDC(offscreen);
    }
}

LRESULT CSkinProgress::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_ERASEBKGND:
            return TRUE;
        case WM_PAINT:
            if (m_image != nullptr) {
                PAINTSTRUCT paint;
                HDC dc = ::BeginPaint(m_hWnd, &paint);
                Paint(dc);
                ::EndPaint(m_hWnd, &paint);
                return 0;
            }
            break;
        case WM_PRINTCLIENT:
            if (m_image != nullptr) {
                Paint(reinterpret_cast<HDC>(wp));
                return 0;
            }
            break;
        default:
            break;
    }
    return CWindow::WindowProc(msg, wp, lp);
}
