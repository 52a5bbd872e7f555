#include "launcher/controls/CScrollImage.h"

#include "launcher/controls/BitmapSize.h"
#include "launcher/framework/Resources.h"

void CScrollImage::LoadImageResource(int resourceId) {
    ::EnableWindow(m_hWnd, TRUE);
    m_image = ::LoadBitmapA(ResourceInstance(), MAKEINTRESOURCEA(resourceId));
    GetBitmapSize(m_image, &m_imageWidth, &m_imageHeight);
    Send(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(m_image));
}

void CScrollImage::SetScrollOffset(int offset) {
    m_offset = offset;
    Invalidate(true);
}

void CScrollImage::Paint(HDC dc) {
    // Without a picture there is nothing to show.
    if (m_image == nullptr) {
        return;
    }
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    HDC source = ::CreateCompatibleDC(dc);
    if (source == nullptr) {
        return;
    }
    HGDIOBJ old = ::SelectObject(source, m_image);
    ::TransparentBlt(dc, 0, 0, client.right, client.bottom, source, 0, m_offset, m_imageWidth,
                     client.bottom, RGB(255, 255, 255));
    ::SelectObject(source, old);
    ::DeleteDC(source);
}

LRESULT CScrollImage::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = ::BeginPaint(m_hWnd, &paint);
            Paint(dc);
            ::EndPaint(m_hWnd, &paint);
            return 0;
        }
        case WM_PRINTCLIENT:
            Paint(reinterpret_cast<HDC>(wp));
            return 0;
        default:
            return CWindow::WindowProc(msg, wp, lp);
    }
}
