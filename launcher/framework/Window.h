// CWindow: a C++ object bound to one HWND, the base of every launcher window.
//
// The launcher's window framework is deliberately small. It gives the
// launcher's dialogs and controls what an MFC program would take from CWnd,
// CDialog and DDX, and nothing more:
//
//   Window.h        objects bound to HWNDs, subclassing, message dispatch and
//                   reflection of child notifications
//   Dialog.h        dialogs from resource templates, modal and modeless,
//                   with their own message loop and PreTranslateMessage
//   DataExchange.h  UpdateData: texts, check states and control attachment
//   Prompts.h       the one way to show a message box or the folder browser
//
// Binding. Every object is attached to its window by SetWindowSubclass with the
// object as the reference data, and remembered in one window property so that
// FromHandle() finds it. Standard controls created by a dialog template are
// attached with SubclassDlgItem(); dialogs attach themselves on
// WM_INITDIALOG. Binding and unbinding happen only in Attach() and Detach().
//
// Dispatch. All messages of a bound window reach the virtual WindowProc().
// A class handles what it needs in a switch and hands everything else to its
// base class; CWindow::WindowProc ends in Default(), the window's previous
// procedure (the control's class procedure, or DefDlgProc for a dialog).
//
// Reflection. A parent offers the notifications of its bound children to
// the child first, as OnChildNotify(): WM_COMMAND from a control,
// WM_DRAWITEM, WM_CTLCOLOR*, WM_NOTIFY, and WM_HSCROLL/WM_VSCROLL from a
// scroll bar. A child that answers and returns true decides the result; a
// child that returns false lets the parent handle the message as well (a
// button reacts to its own click and the dialog still sees the command).
//
// Teardown. When the window is destroyed the object is detached on
// WM_NCDESTROY after the message has been handled, and PostNcDestroy() runs
// last; from then on no message reaches the object. Destroying an object whose
// window still exists only detaches it; the window stays.
#pragma once

#include <windows.h>

#include <string>

class CWindow {
  public:
    CWindow() = default;
    virtual ~CWindow();
    CWindow(const CWindow&) = delete;
    CWindow& operator=(const CWindow&) = delete;

    // The object bound to `hwnd`, or null when none is.
    static CWindow* FromHandle(HWND hwnd);

    HWND GetSafeHwnd() const { return m_hWnd; }

    // Attaches this object to an existing window: PreSubclassWindow() runs
    // first, then the window's messages come to WindowProc(). Fails when this
    // object or the window is already bound.
    bool SubclassWindow(HWND hwnd);
    // Attaches this object to the child control `id` of `parent`.
    bool SubclassDlgItem(int id, HWND parent);
    // Detaches without destroying the window; returns the window.
    HWND UnsubclassWindow();

    // Called by the modal loop (Dialog.h) for the window a message is
    // addressed to and each of its parents up to the dialog, before the
    // message is translated and dispatched. Return true to swallow it; the
    // message may be rewritten in place.
    virtual bool PreTranslateMessage(MSG* msg);

    // Small conveniences over the Win32 calls, in the window's code page.
    std::string GetWindowTextA() const;
    void SetWindowTextA(const std::string& text);
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    HWND GetParent() const { return ::GetParent(m_hWnd); }
    void Invalidate(bool erase = true) { ::InvalidateRect(m_hWnd, nullptr, erase ? TRUE : FALSE); }
    LRESULT Send(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const {
        return ::SendMessageA(m_hWnd, msg, wp, lp);
    }

  protected:
    // The one dispatch point. Handle a message and return its result, or pass
    // it to the base class. CWindow's own handling: reflection to bound
    // children (see above), then Default().
    virtual LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp);

    // A notification this window sent to its parent, offered back to it.
    // `msg`, `wp` and `lp` are the parent's message as received. Return true
    // and set *result to answer it instead of the parent.
    virtual bool OnChildNotify(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);

    // Runs before the window is attached, with m_hWnd already set: the place
    // to read and change styles.
    virtual void PreSubclassWindow() {}

    // Runs after the window is gone and the object is detached. The object
    // may delete itself here; nothing touches it afterwards.
    virtual void PostNcDestroy() {}

    // Gives the message being handled to the window's previous procedure.
    LRESULT Default();
    // Gives any message to the window's previous procedure.
    LRESULT CallPrevious(UINT msg, WPARAM wp, LPARAM lp);

    HWND m_hWnd = nullptr;

  private:
    friend class CDialog;
    bool Attach(HWND hwnd);
    void Detach();
    bool ReflectToChild(HWND child, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);
    static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                                         DWORD_PTR ref) noexcept;

    struct Message {
        UINT msg;
        WPARAM wp;
        LPARAM lp;
    };
    Message m_current{0, 0, 0};
};
