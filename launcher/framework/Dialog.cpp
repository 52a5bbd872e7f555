#include "launcher/framework/Dialog.h"

#include "launcher/framework/DataExchange.h"
#include "launcher/framework/Resources.h"

#include <utility>

namespace {

CDialog::ModalObserver& ModalObserverSlot() {
    static CDialog::ModalObserver observer;
    return observer;
}

}  // namespace

CDialog::CDialog(int templateId, HWND parent) : m_parent(parent), m_templateId(templateId) {}

CDialog::~CDialog() {
    // A modeless dialog that outlives its object must not call into it.
    if (m_hWnd != nullptr) {
        HWND hwnd = m_hWnd;
        Detach();
        ::DestroyWindow(hwnd);
    }
}

void CDialog::SetModalObserver(ModalObserver observer) {
    ModalObserverSlot() = std::move(observer);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT msg, WPARAM, LPARAM lp) noexcept {
    if (msg != WM_INITDIALOG) {
        // Everything else reached WindowProc through the subclass already;
        // FALSE lets the system's dialog procedure do its default.
        return FALSE;
    }
    auto* dialog = reinterpret_cast<CDialog*>(lp);
    if (dialog == nullptr || !dialog->Attach(hwnd)) {
        return TRUE;
    }
    return dialog->OnInitDialog() ? TRUE : FALSE;
}

bool CDialog::Create() {
    if (m_hWnd != nullptr) {
        return false;
    }
    HWND hwnd = ::CreateDialogParamA(ResourceInstance(), MAKEINTRESOURCEA(m_templateId), m_parent,
                                     DialogProc, reinterpret_cast<LPARAM>(this));
    if (hwnd == nullptr) {
        return false;
    }
    ::ShowWindow(hwnd, SW_SHOW);
    return true;
}

INT_PTR CDialog::DoModal() {
    if (m_hWnd != nullptr) {
        return -1;
    }
    // Modal from the start, so that EndDialog() in OnInitDialog() ends the
    // dialog before it is shown.
    m_result = IDCANCEL;
    m_inModalLoop = true;
    HWND hwnd = ::CreateDialogParamA(ResourceInstance(), MAKEINTRESOURCEA(m_templateId), m_parent,
                                     DialogProc, reinterpret_cast<LPARAM>(this));
    if (hwnd == nullptr) {
        m_inModalLoop = false;
        return -1;
    }
    bool ownerDisabled = false;
    if (m_parent != nullptr && ::IsWindowEnabled(m_parent)) {
        ::EnableWindow(m_parent, FALSE);
        ownerDisabled = true;
    }
    if (m_inModalLoop) {
        if (!::IsWindowVisible(hwnd)) {
            ::ShowWindow(hwnd, SW_SHOWNORMAL);
        }
        if (ModalObserverSlot()) {
            ModalObserverSlot()(*this);
        }
    }

    MSG msg;
    while (m_inModalLoop && m_hWnd != nullptr) {
        BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            // WM_QUIT ends this loop and, posted again, the enclosing one.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            m_result = -1;
            break;
        }
        if (got == -1) {
            m_result = -1;
            break;
        }
        if (!TranslateForDialog(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    m_inModalLoop = false;

    // Re-enable the owner before the dialog goes, so the activation returns
    // to it rather than to another application.
    if (ownerDisabled) {
        ::EnableWindow(m_parent, TRUE);
    }
    if (m_hWnd != nullptr) {
        if (m_parent != nullptr && ::GetActiveWindow() == m_hWnd) {
            ::SetActiveWindow(m_parent);
        }
        ::DestroyWindow(m_hWnd);
    }
    return m_result;
}

void CDialog::EndDialog(INT_PTR result) {
    if (m_inModalLoop) {
        m_result = result;
        m_inModalLoop = false;
        // Wake the loop in case nothing else is queued.
        ::PostMessageA(m_hWnd, WM_NULL, 0, 0);
    } else if (m_hWnd != nullptr) {
        ::DestroyWindow(m_hWnd);
    }
}

bool CDialog::TranslateForDialog(MSG* msg) {
    // Offer the message to the addressed window and its parents (a popup's
    // parent is its owner), up to this dialog.
    for (HWND hwnd = msg->hwnd; hwnd != nullptr; hwnd = ::GetParent(hwnd)) {
        CWindow* window = FromHandle(hwnd);
        if (window != nullptr && window->PreTranslateMessage(msg)) {
            return true;
        }
        if (hwnd == m_hWnd) {
            return false;
        }
    }
    return PreTranslateMessage(msg);
}

bool CDialog::PreTranslateMessage(MSG* msg) {
    return m_hWnd != nullptr && ::IsDialogMessageA(m_hWnd, msg) != FALSE;
}

bool CDialog::UpdateData(bool save) {
    CDataExchange dx(m_hWnd, save);
    DoDataExchange(dx);
    return !dx.Failed();
}

void CDialog::DoDataExchange(CDataExchange&) {}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::OnOK() {
    if (UpdateData(true)) {
        EndDialog(IDOK);
    }
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

bool CDialog::OnCommand(int id, int code, HWND) {
    // Accelerators and menus send code 1 and 0; buttons send BN_CLICKED (0).
    if (code != BN_CLICKED && code != 1) {
        return false;
    }
    if (id == IDOK) {
        OnOK();
        return true;
    }
    if (id == IDCANCEL) {
        OnCancel();
        return true;
    }
    return false;
}

LRESULT CDialog::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_COMMAND) {
        LRESULT result = 0;
        if (lp != 0 && ReflectToChild(reinterpret_cast<HWND>(lp), msg, wp, lp, &result)) {
            return result;
        }
        if (OnCommand(LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp))) {
            return 0;
        }
        return Default();
    }
    return CWindow::WindowProc(msg, wp, lp);
}
