#include "launcher/controls/CTransparentStatic.h"

LRESULT CTransparentStatic::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != WM_SETTEXT) {
        return CWindow::WindowProc(msg, wp, lp);
    }
    // The static's own handling paints the new text at once, over the old
    // one, as it has no background to clear: it is held back until the
    // parent has painted its background there. Only while shown, as
    // turning redraw on again shows a window.
    const bool shown = (::GetWindowLongPtrA(m_hWnd, GWL_STYLE) & WS_VISIBLE) != 0;
    if (shown) {
        ::SendMessageA(m_hWnd, WM_SETREDRAW, FALSE, 0);
    }
    LRESULT result = Default();
    if (shown) {
        ::SendMessageA(m_hWnd, WM_SETREDRAW, TRUE, 0);
    }
    HWND parent = GetParent();
    if (parent != nullptr) {
        RECT area;
        ::GetWindowRect(m_hWnd, &area);
        ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&area), 2);
        ::InvalidateRect(parent, &area, TRUE);
        ::UpdateWindow(parent);
    }
    if (shown) {
        ::InvalidateRect(m_hWnd, nullptr, FALSE);
        ::UpdateWindow(m_hWnd);
    }
    return result;
}

bool CTransparentStatic::OnChildNotify(UINT msg, WPARAM wp, LPARAM, LRESULT* result) {
    if (msg != WM_CTLCOLORSTATIC) {
        return false;
    }
    HDC dc = reinterpret_cast<HDC>(wp);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, kTextColour);
    *result = reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
    return true;
}
