#include "launcher/controls/CSkinToolTip.h"

namespace {

const char kTipClass[] = "SwarmFetch.SkinToolTip";

bool RegisterTipClass() {
    WNDCLASSA existing;
    if (::GetClassInfoA(::GetModuleHandleA(nullptr), kTipClass, &existing)) {
        return true;
    }
    WNDCLASSA wc = {};
    wc.style = CS_SAVEBITS | CS_CLASSDC;
    wc.lpfnWndProc = ::DefWindowProcA;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = nullptr;
    wc.lpszClassName = kTipClass;
    return ::RegisterClassA(&wc) != 0;
}

// The tip window's own timers.
class WindowTimers : public CSkinToolTip::ITimers {
  public:
    void Start(HWND tip, UINT_PTR id, UINT ms) override { ::SetTimer(tip, id, ms, nullptr); }
    void Kill(HWND tip, UINT_PTR id) override { ::KillTimer(tip, id); }
};

WindowTimers& SystemTimers() {
    static WindowTimers timers;
    return timers;
}

bool IsHideMessage(UINT msg) {
    if (msg >= WM_KEYFIRST && msg <= 0x0109) {
        return true;
    }
    switch (msg) {
        case WM_LBUTTONDBLCLK:
        case WM_RBUTTONDOWN:
        case WM_RBUTTONDBLCLK:
        case WM_MBUTTONDOWN:
        case WM_MBUTTONDBLCLK:
        case WM_NCLBUTTONDOWN:
        case WM_NCLBUTTONDBLCLK:
        case WM_NCRBUTTONDOWN:
        case WM_NCRBUTTONDBLCLK:
        case WM_NCMBUTTONDOWN:
        case WM_NCMBUTTONDBLCLK:
            return true;
        default:
            return false;
    }
}

}  // namespace

CSkinToolTip::CSkinToolTip() : m_timers(&SystemTimers()) {}

CSkinToolTip::~CSkinToolTip() {
    if (m_hWnd != nullptr) {
        HWND hwnd = m_hWnd;
        UnsubclassWindow();
        ::DestroyWindow(hwnd);
    }
    DeleteOwnFont();
}

void CSkinToolTip::SetTimers(ITimers* timers) {
    m_timers = timers != nullptr ? timers : &SystemTimers();
}

bool CSkinToolTip::Create(HWND owner) {
    if (m_hWnd != nullptr || !RegisterTipClass()) {
        return false;
    }
    HWND hwnd = ::CreateWindowExA(WS_EX_TOPMOST, kTipClass, "", WS_POPUP, 0, 0, 10, 10, owner,
                                  nullptr, ::GetModuleHandleA(nullptr), nullptr);
    if (hwnd == nullptr) {
        return false;
    }
    if (!SubclassWindow(hwnd)) {
        ::DestroyWindow(hwnd);
        return false;
    }
    m_owner = owner;
    LoadSystemFont();
    return true;
}

void CSkinToolTip::LoadSystemFont() {
    NONCLIENTMETRICSA metrics = {};
    metrics.cbSize = sizeof metrics;
    if (!::SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        return;
    }
    HFONT font = ::CreateFontIndirectA(&metrics.lfStatusFont);
    if (font == nullptr) {
        return;
    }
    DeleteOwnFont();
    m_font = font;
    m_ownsFont = true;
}

void CSkinToolTip::DeleteOwnFont() {
    if (m_ownsFont && m_font != nullptr) {
        ::DeleteObject(m_font);
    }
    m_font = nullptr;
    m_ownsFont = false;
}

int CSkinToolTip::SetMaxTipWidth(int width) {
    int previous = m_maxWidth;
    for (auto& tool : m_tools) {
        if (tool->maxWidth == previous) {
            tool->maxWidth = width;
        }
    }
    m_maxWidth = width;
    return previous;
}

bool CSkinToolTip::AddTool(HWND window, const std::string& text, const RECT* rect, UINT id) {
    if (window == nullptr || m_owner == nullptr) {
        return false;
    }
    auto tool = std::make_unique<CSkinToolTipInfo>();
    tool->window = window;
    tool->id = id;
    tool->text = text;
    tool->maxWidth = m_maxWidth;
    tool->background = m_background;
    tool->textColor = m_textColor;
    if (rect != nullptr) {
        tool->rect = *rect;
    } else {
        ::GetWindowRect(window, &tool->rect);
        ::MapWindowPoints(nullptr, m_owner, reinterpret_cast<POINT*>(&tool->rect), 2);
    }
    m_tools.push_back(std::move(tool));
    return true;
}

const CSkinToolTipInfo* CSkinToolTip::ToolAt(POINT screenPoint) const {
    if (m_owner == nullptr) {
        return nullptr;
    }
    POINT client = screenPoint;
    ::ScreenToClient(m_owner, &client);
    HWND window = ::WindowFromPoint(screenPoint);
    if (window == m_owner) {
        // Any child, also one that is hidden or disabled.
        window = ::ChildWindowFromPoint(m_owner, client);
    }
    if (window == nullptr || window == m_owner || !::IsChild(m_owner, window)) {
        return nullptr;
    }
    for (const auto& tool : m_tools) {
        bool ownsWindow = tool->window == window || ::IsChild(tool->window, window);
        if (ownsWindow && ::PtInRect(&tool->rect, client)) {
            return tool.get();
        }
    }
    return nullptr;
}

bool CSkinToolTip::PointerInTip(POINT screenPoint) const {
    if (!IsShown()) {
        return false;
    }
    RECT tip;
    ::GetWindowRect(m_hWnd, &tip);
    return ::PtInRect(&tip, screenPoint) != FALSE;
}

void CSkinToolTip::StartTimer(UINT_PTR id, UINT ms) {
    m_timers->Start(m_hWnd, id, ms);
}

void CSkinToolTip::KillTimer(UINT_PTR id) {
    m_timers->Kill(m_hWnd, id);
}

void CSkinToolTip::Hide() {
    // Idle means no timer has anything left to do.
    KillTimer(kShowTimer);
    KillTimer(kCheckTimer);
    ::ShowWindow(m_hWnd, SW_HIDE);
    m_idle = true;
}

void CSkinToolTip::RelayEvent(const MSG* msg) {
    if (m_hWnd == nullptr || msg == nullptr) {
        return;
    }
    POINT pointer;
    ::GetCursorPos(&pointer);
    if (msg->message == WM_MOUSEMOVE) {
        const CSkinToolTipInfo* tool = ToolAt(pointer);
        if (tool == nullptr) {
            if (m_idle) {
                m_current = nullptr;
            }
            return;
        }
        if (tool == m_current || PointerInTip(pointer)) {
            return;
        }
        Hide();
        m_idle = false;
        m_current = tool;
        StartTimer(kShowTimer, m_showDelay);
        return;
    }
    if (msg->message == WM_LBUTTONDOWN) {
        if (!PointerInTip(pointer)) {
            Hide();
        }
        return;
    }
    if (IsHideMessage(msg->message)) {
        Hide();
    }
}

void CSkinToolTip::OnTimer(UINT_PTR id) {
    if (m_current == nullptr || m_idle) {
        return;
    }
    POINT pointer;
    ::GetCursorPos(&pointer);
    if (id == kShowTimer) {
        KillTimer(kShowTimer);
        if (ToolAt(pointer) != m_current) {
            return;
        }
        ShowAt(POINT{pointer.x + m_offset.x, pointer.y + m_offset.y});
        m_elapsed = 0;
        StartTimer(kCheckTimer, m_checkPeriod);
    } else if (id == kCheckTimer) {
        m_elapsed += m_checkPeriod;
        const CSkinToolTipInfo* tool = ToolAt(pointer);
        bool onTool = tool == m_current;
        bool stays = (tool == nullptr || onTool) &&
                     ((onTool && m_elapsed < m_displayLimit) || PointerInTip(pointer));
        if (!stays) {
            Hide();
        }
    }
}

RECT CSkinToolTip::CalcTipRect(const CSkinToolTipInfo& tool) {
    RECT rect{0, 0, tool.maxWidth, 0};
    HDC dc = ::GetDC(nullptr);
    HGDIOBJ oldFont = m_font != nullptr ? ::SelectObject(dc, m_font) : nullptr;
    if (tool.maxWidth == 0) {
        // Without a limit the widest line sets the width.
        ::DrawTextA(dc, tool.text.c_str(), static_cast<int>(tool.text.size()), &rect,
                    (kTextFormat & ~static_cast<UINT>(DT_WORDBREAK)) | DT_CALCRECT);
    }
    ::DrawTextA(dc, tool.text.c_str(), static_cast<int>(tool.text.size()), &rect,
                kTextFormat | DT_CALCRECT);
    if (oldFont != nullptr) {
        ::SelectObject(dc, oldFont);
    }
    ::ReleaseDC(nullptr, dc);
    return RECT{0, 0, rect.right - rect.left + m_margins.left + m_margins.right,
                rect.bottom - rect.top + m_margins.top + m_margins.bottom};
}

void CSkinToolTip::PlaceTipRect(RECT& rect, POINT point, const CSkinToolTipInfo& tool) {
    ::OffsetRect(&rect, point.x - rect.left, point.y - rect.top);
    // The virtual screen is taken as if it began at (0, 0).
    int screenWidth = ::GetSystemMetrics(SM_CXVIRTUALSCREEN);
    int screenHeight = ::GetSystemMetrics(SM_CYVIRTUALSCREEN);
    if (rect.right > screenWidth) {
        ::OffsetRect(&rect, screenWidth - rect.right, 0);
    }
    if (rect.left < 0) {
        ::OffsetRect(&rect, -rect.left, 0);
    }
    if (rect.bottom > screenHeight) {
        RECT toolWindow;
        ::GetWindowRect(tool.window, &toolWindow);
        ::OffsetRect(&rect, 0, toolWindow.top - rect.bottom);
    }
}

void CSkinToolTip::ShowAt(POINT point) {
    if (!m_active || m_current == nullptr || m_current->text.empty()) {
        return;
    }
    RECT rect = CalcTipRect(*m_current);
    PlaceTipRect(rect, point, *m_current);
    ::ShowWindow(m_hWnd, SW_HIDE);
    ::SetWindowPos(m_hWnd, nullptr, rect.left, rect.top, rect.right - rect.left,
                   rect.bottom - rect.top,
                   SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW | SWP_NOCOPYBITS);
}

void CSkinToolTip::Paint(HDC dc) {
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    const CSkinToolTipInfo* tool = m_current;
    COLORREF background = ::GetSysColor(COLOR_INFOBK);
    COLORREF text = ::GetSysColor(COLOR_INFOTEXT);
    if (tool != nullptr && tool->background != CSkinToolTipInfo::kSystemColor) {
        background = tool->background;
    }
    if (tool != nullptr && tool->textColor != CSkinToolTipInfo::kSystemColor) {
        text = tool->textColor;
    }
    HBRUSH fill = ::CreateSolidBrush(background);
    ::FillRect(dc, &client, fill);
    ::DeleteObject(fill);

    HGDIOBJ oldBrush = ::SelectObject(dc, ::GetStockObject(HOLLOW_BRUSH));
    HGDIOBJ oldPen = ::SelectObject(dc, ::GetStockObject(BLACK_PEN));
    ::Rectangle(dc, client.left, client.top, client.right, client.bottom);
    ::SelectObject(dc, oldPen);
    ::SelectObject(dc, oldBrush);

    if (tool == nullptr) {
        return;
    }
    HGDIOBJ oldFont = m_font != nullptr ? ::SelectObject(dc, m_font) : nullptr;
    ::SetTextColor(dc, text);
    ::SetBkMode(dc, TRANSPARENT);
    RECT inner{client.left + m_margins.left, client.top + m_margins.top,
               client.right - m_margins.right, client.bottom - m_margins.bottom};
    ::DrawTextA(dc, tool->text.c_str(), static_cast<int>(tool->text.size()), &inner, kTextFormat);
    if (oldFont != nullptr) {
        ::SelectObject(dc, oldFont);
    }
}

LRESULT CSkinToolTip::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = ::BeginPaint(m_hWnd, &paint);
            if (dc != nullptr) {
                Paint(dc);
                ::EndPaint(m_hWnd, &paint);
            }
            return 0;
        }
        case WM_PRINTCLIENT:
            Paint(reinterpret_cast<HDC>(wp));
            return 0;
        case WM_TIMER:
            if (wp == kShowTimer || wp == kCheckTimer) {
                OnTimer(wp);
                return 0;
            }
            break;
        case WM_LBUTTONDOWN:
            // A click on the tip hands the focus back.
            if (m_previousFocus != nullptr && ::IsWindow(m_previousFocus)) {
                ::SetFocus(m_previousFocus);
            }
            return 0;
        case WM_SETFOCUS:
            m_previousFocus = reinterpret_cast<HWND>(wp);
            return 0;
        case WM_MOUSEACTIVATE:
            return MA_NOACTIVATE;
        case WM_SETFONT:
            // A font given by the caller stays the caller's.
            DeleteOwnFont();
            m_font = reinterpret_cast<HFONT>(wp);
            m_usesSystemFont = m_font == nullptr;
            if (m_usesSystemFont) {
                LoadSystemFont();
            }
            if (LOWORD(lp) != 0) {
                Invalidate();
            }
            return 0;
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(m_font);
        case WM_SETTINGCHANGE:
            if (m_usesSystemFont) {
                LoadSystemFont();
            }
            break;
        case WM_DESTROY:
            KillTimer(kShowTimer);
            KillTimer(kCheckTimer);
            break;
        default:
            break;
    }
    return CWindow::WindowProc(msg, wp, lp);
}
