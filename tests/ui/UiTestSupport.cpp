#include "tests/ui/UiTestSupport.h"

#include <cstdio>
#include <cstdlib>

namespace uitest {

namespace {

COLORREF FromPixel(DWORD pixel) {
    // DIB pixels are 0x00RRGGBB; COLORREF is 0x00BBGGRR.
    return RGB((pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF);
}

DWORD ToPixel(COLORREF colour) {
    return (static_cast<DWORD>(GetRValue(colour)) << 16) |
           (static_cast<DWORD>(GetGValue(colour)) << 8) | GetBValue(colour);
}

BITMAPINFO TopDownInfo(int width, int height, WORD bits) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = bits;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

}  // namespace

Canvas::Canvas(int width, int height, COLORREF fill) : m_width(width), m_height(height) {
    BITMAPINFO info = TopDownInfo(width, height, 32);
    void* bits = nullptr;
    m_dc = ::CreateCompatibleDC(nullptr);
    m_bitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    m_bits = static_cast<DWORD*>(bits);
    m_old = ::SelectObject(m_dc, m_bitmap);
    Fill(fill);
}

Canvas::~Canvas() {
    ::SelectObject(m_dc, m_old);
    ::DeleteObject(m_bitmap);
    ::DeleteDC(m_dc);
}

COLORREF Canvas::Pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= m_width || y >= m_height || m_bits == nullptr) {
        return CLR_INVALID;
    }
    ::GdiFlush();
    return FromPixel(m_bits[y * m_width + x] & 0xFFFFFF);
}

void Canvas::Fill(COLORREF colour) {
    ::GdiFlush();
    for (int i = 0; i < m_width * m_height; ++i) {
        m_bits[i] = ToPixel(colour);
    }
}

void Canvas::CaptureWindow(HWND window) {
    HDC source = ::GetWindowDC(window);
    ::BitBlt(m_dc, 0, 0, m_width, m_height, source, 0, 0, SRCCOPY);
    ::ReleaseDC(window, source);
    ::GdiFlush();
}

void Canvas::PrintClient(HWND window) {
    ::SendMessageA(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(m_dc), PRF_CLIENT);
    ::GdiFlush();
}

bool Canvas::SaveBmp(const std::string& path) const {
    ::GdiFlush();
    const int rowBytes = (m_width * 3 + 3) & ~3;
    BITMAPFILEHEADER file = {};
    BITMAPINFOHEADER header = TopDownInfo(m_width, m_height, 24).bmiHeader;
    header.biHeight = m_height;  // bottom-up rows, the common BMP layout
    header.biSizeImage = static_cast<DWORD>(rowBytes * m_height);
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + header.biSizeImage;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
              std::fwrite(&header, sizeof header, 1, out) == 1;
    std::vector<unsigned char> row(static_cast<size_t>(rowBytes), 0);
    for (int y = m_height - 1; ok && y >= 0; --y) {
        for (int x = 0; x < m_width; ++x) {
            DWORD pixel = m_bits[y * m_width + x];
            row[x * 3 + 0] = static_cast<unsigned char>(pixel & 0xFF);
            row[x * 3 + 1] = static_cast<unsigned char>((pixel >> 8) & 0xFF);
            row[x * 3 + 2] = static_cast<unsigned char>((pixel >> 16) & 0xFF);
        }
        ok = std::fwrite(row.data(), row.size(), 1, out) == 1;
    }
    return std::fclose(out) == 0 && ok;
}

HBITMAP MakeBitmap(int width, int height, const std::function<COLORREF(int, int)>& colour) {
    BITMAPINFO info = TopDownInfo(width, height, 24);
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr) {
        return nullptr;
    }
    auto* bytes = static_cast<unsigned char*>(bits);
    const int rowBytes = (width * 3 + 3) & ~3;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            COLORREF c = colour(x, y);
            unsigned char* p = bytes + y * rowBytes + x * 3;
            p[0] = GetBValue(c);
            p[1] = GetGValue(c);
            p[2] = GetRValue(c);
        }
    }
    return bitmap;
}

std::vector<COLORREF> ReadBitmap(HBITMAP bitmap, int* width, int* height) {
    BITMAP header = {};
    ::GetObjectA(bitmap, sizeof header, &header);
    *width = header.bmWidth;
    *height = header.bmHeight;
    BITMAPINFO info = TopDownInfo(header.bmWidth, header.bmHeight, 32);
    std::vector<DWORD> bits(static_cast<size_t>(header.bmWidth) * header.bmHeight);
    HDC dc = ::GetDC(nullptr);
    ::GetDIBits(dc, bitmap, 0, static_cast<UINT>(header.bmHeight), bits.data(), &info,
                DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, dc);
    std::vector<COLORREF> pixels;
    pixels.reserve(bits.size());
    for (DWORD pixel : bits) {
        pixels.push_back(FromPixel(pixel & 0xFFFFFF));
    }
    return pixels;
}

void Pump() {
    MSG msg;
    for (int i = 0; i < 1000 && ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (msg.message == WM_QUIT) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

std::string ScreenshotFolder() {
    const char* folder = std::getenv("SF_SCREENSHOT_DIR");
    return folder != nullptr ? std::string(folder) : std::string();
}

void TestDialog::Place(int id, int x, int y, int width, int height) {
    ::SetWindowPos(GetDlgItem(id), nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT TestDialog::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CTLCOLORSTATIC) {
        paints += 'c';
    }
    if (msg == WM_ERASEBKGND) {
        ++eraseCount;
        paints += 'e';
        HDC dc = reinterpret_cast<HDC>(wp);
        RECT client;
        ::GetClientRect(m_hWnd, &client);
        if (paintBackground) {
            paintBackground(dc, client);
        } else {
            HBRUSH brush = ::CreateSolidBrush(background);
            ::FillRect(dc, &client, brush);
            ::DeleteObject(brush);
        }
        return TRUE;
    }
    return CDialog::WindowProc(msg, wp, lp);
}

bool TestDialog::OnCommand(int id, int code, HWND control) {
    if (code == BN_CLICKED && control != nullptr) {
        clicks.push_back(id);
    }
    return CDialog::OnCommand(id, code, control);
}

}  // namespace uitest
