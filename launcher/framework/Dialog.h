// CDialog: a dialog made from a resource template of this program.
//
// DoModal() creates the dialog, disables its owner and runs the dialog's own
// message loop, so PreTranslateMessage() sees every message first (the
// tooltip relay and key filters of the launcher live there); the loop ends
// with EndDialog() or with WM_QUIT, which is posted again for the enclosing
// loop and makes DoModal() return -1. Create() makes the same dialog
// modeless (the tests use it to look at a dialog without a loop).
//
// Handlers a dialog overrides, besides WindowProc():
//   bool OnInitDialog()                   after the controls exist; the base
//                                         runs UpdateData(false); return true
//                                         to let the system set the focus
//   bool OnCommand(int id, int code, HWND control)
//                                         WM_COMMAND after reflection; return
//                                         true when handled. The base maps
//                                         IDOK and IDCANCEL to OnOK/OnCancel.
//   void OnOK()                           UpdateData(true), then EndDialog(IDOK)
//   void OnCancel()                       EndDialog(IDCANCEL)
//   void DoDataExchange(CDataExchange&)   the dialog's DDX_ lines
// WM_CLOSE is not caught: the system's dialog procedure turns it into the
// IDCANCEL command.
#pragma once

#include "launcher/framework/Window.h"

#include <functional>

class CDataExchange;

class CDialog : public CWindow {
  public:
    // `templateId` names a DIALOG resource of the program; `parent` owns the
    // dialog (null: no owner).
    explicit CDialog(int templateId, HWND parent = nullptr);
    ~CDialog() override;

    // Runs the dialog modally; returns the EndDialog() value, or -1 when the
    // template cannot be loaded or WM_QUIT ended the loop.
    INT_PTR DoModal();
    // Creates the dialog modeless and visible; false when that fails.
    bool Create();
    // Ends a modal dialog with `result` once the current message is handled;
    // destroys a modeless one.
    void EndDialog(INT_PTR result);

    // Copies data between the dialog's members and its controls:
    // save = true reads the controls, false fills them. False when a
    // DDX_ step failed (for instance a control to attach is missing).
    bool UpdateData(bool save);

    bool PreTranslateMessage(MSG* msg) override;

    int TemplateId() const { return m_templateId; }

    // Test seam: called with each modal dialog once it is initialised and
    // shown, before its loop runs. Tests answer the dialog from here (post a
    // click, a key, a close). Pass an empty function to remove it.
    using ModalObserver = std::function<void(CDialog&)>;
    static void SetModalObserver(ModalObserver observer);

  protected:
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;
    virtual bool OnInitDialog();
    virtual bool OnCommand(int id, int code, HWND control);
    virtual void OnOK();
    virtual void OnCancel();
    virtual void DoDataExchange(CDataExchange& dx);

    HWND m_parent;

  private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) noexcept;
    bool TranslateForDialog(MSG* msg);

    int m_templateId;
    bool m_inModalLoop = false;
    INT_PTR m_result = IDCANCEL;
};
