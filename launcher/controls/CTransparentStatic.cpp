#include "launcher/controls/CTransparentStatic.h"

LRESULT CTransparentStatic::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != WM_SETTEXT) {
        return CWindow::WindowProc(msg, wp, lp);
    }
    LRESULT result = Default();
    HWND parent = GetParent();
    if (parent != nullptr) {
        RECT area;
        ::GetWindowRect(m_hWnd, &area);
        ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&area), 2);
        ::InvalidateRect(parent, &area, TRUE);
        ::UpdateWindow(parent);
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
