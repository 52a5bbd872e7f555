#include "launcher/framework/Window.h"

#include <commctrl.h>

#include <vector>

namespace {

// The window property that names the bound object; SetWindowSubclass carries
// the same pointer, the property only serves FromHandle().
const char kBoundObject[] = "SwarmFetch.Window";
const UINT_PTR kSubclassId = 0x5346;  // "SF"

}  // namespace

CWindow::~CWindow() {
    if (m_hWnd != nullptr) {
        Detach();
    }
}

CWindow* CWindow::FromHandle(HWND hwnd) {
    if (hwnd == nullptr) {
        return nullptr;
    }
    return static_cast<CWindow*>(::GetPropA(hwnd, kBoundObject));
}

bool CWindow::Attach(HWND hwnd) {
    if (m_hWnd != nullptr || hwnd == nullptr || !::IsWindow(hwnd) || FromHandle(hwnd) != nullptr) {
        return false;
    }
    if (!::SetPropA(hwnd, kBoundObject, this)) {
        return false;
    }
    if (!::SetWindowSubclass(hwnd, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
        ::RemovePropA(hwnd, kBoundObject);
        return false;
    }
    m_hWnd = hwnd;
    return true;
}

void CWindow::Detach() {
    ::RemoveWindowSubclass(m_hWnd, SubclassProc, kSubclassId);
    ::RemovePropA(m_hWnd, kBoundObject);
    m_hWnd = nullptr;
}

bool CWindow::SubclassWindow(HWND hwnd) {
    if (m_hWnd != nullptr || hwnd == nullptr || FromHandle(hwnd) != nullptr) {
        return false;
    }
    // PreSubclassWindow sees the window before any message is routed here.
    m_hWnd = hwnd;
    PreSubclassWindow();
    m_hWnd = nullptr;
    return Attach(hwnd);
}

bool CWindow::SubclassDlgItem(int id, HWND parent) {
    return SubclassWindow(::GetDlgItem(parent, id));
}

HWND CWindow::UnsubclassWindow() {
    HWND hwnd = m_hWnd;
    if (hwnd != nullptr) {
        Detach();
    }
    return hwnd;
}

bool CWindow::PreTranslateMessage(MSG*) {
    return false;
}

std::string CWindow::GetWindowTextA() const {
    int length = ::GetWindowTextLengthA(m_hWnd);
    if (length <= 0) {
        return std::string();
    }
    std::vector<char> text(static_cast<size_t>(length) + 1, '\0');
    int copied = ::GetWindowTextA(m_hWnd, text.data(), length + 1);
    return std::string(text.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
}

void CWindow::SetWindowTextA(const std::string& text) {
    ::SetWindowTextA(m_hWnd, text.c_str());
}

LRESULT CWindow::Default() {
    return ::DefSubclassProc(m_hWnd, m_current.msg, m_current.wp, m_current.lp);
}

LRESULT CWindow::CallPrevious(UINT msg, WPARAM wp, LPARAM lp) {
    return ::DefSubclassProc(m_hWnd, msg, wp, lp);
}

bool CWindow::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*) {
    return false;
}

bool CWindow::ReflectToChild(HWND child, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    CWindow* object = FromHandle(child);
    if (object == nullptr || object == this) {
        return false;
    }
    return object->OnChildNotify(msg, wp, lp, result);
}

LRESULT CWindow::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT result = 0;
    switch (msg) {
        case WM_COMMAND:
            // lp is the control for notifications; menus and accelerators have none.
            if (lp != 0 && ReflectToChild(reinterpret_cast<HWND>(lp), msg, wp, lp, &result)) {
                return result;
            }
            break;
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
            if (item != nullptr && item->CtlType != ODT_MENU &&
                ReflectToChild(item->hwndItem, msg, wp, lp, &result)) {
                return result;
            }
            break;
        }
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lp);
            if (header != nullptr && ReflectToChild(header->hwndFrom, msg, wp, lp, &result)) {
                return result;
            }
            break;
        }
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORDLG:
        case WM_HSCROLL:
        case WM_VSCROLL:
            if (lp != 0 && ReflectToChild(reinterpret_cast<HWND>(lp), msg, wp, lp, &result)) {
                return result;
            }
            break;
        default:
            break;
    }
    return Default();
}

LRESULT CALLBACK CWindow::SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                       DWORD_PTR ref) noexcept {
    auto* object = reinterpret_cast<CWindow*>(ref);
    // Nested messages (a SendMessage from inside a handler) keep their own
    // "current message" for Default().
    Message saved = object->m_current;
    object->m_current = Message{msg, wp, lp};
    LRESULT result = object->WindowProc(msg, wp, lp);
    object->m_current = saved;
    if (msg == WM_NCDESTROY && object->m_hWnd == hwnd) {
        // The order is important: stop dispatching to this object before the
        // object may delete itself in PostNcDestroy.
        object->Detach();
        object->PostNcDestroy();
    }
    return result;
}
