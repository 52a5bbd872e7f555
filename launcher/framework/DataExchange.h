// Dialog data exchange: what UpdateData() runs. A dialog's DoDataExchange()
// lists one DDX_ call per bound control; the same list fills the controls
// (UpdateData(false)) and reads them back (UpdateData(true)).
#pragma once

#include "launcher/framework/Window.h"

#include <string>

class CDataExchange {
  public:
    CDataExchange(HWND dialog, bool save) : m_dialog(dialog), m_save(save) {}

    // True when the controls are read into the members.
    bool Saving() const { return m_save; }
    // The dialog's control `id`; a missing control fails the exchange.
    HWND Control(int id);
    bool Failed() const { return m_failed; }
    HWND Dialog() const { return m_dialog; }
    void Fail() { m_failed = true; }

  private:
    HWND m_dialog;
    bool m_save;
    bool m_failed = false;
};

// The control's window text <-> `value` (bytes in the system code page).
void DDX_Text(CDataExchange& dx, int id, std::string& value);
// A check box's state (BM_GETCHECK / BM_SETCHECK values) <-> `value`.
void DDX_Check(CDataExchange& dx, int id, int& value);
// Attaches `control` to the dialog's control `id` on the first exchange.
void DDX_Control(CDataExchange& dx, int id, CWindow& control);
