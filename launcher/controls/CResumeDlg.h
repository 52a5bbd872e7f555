// CResumeDlg: asks whether an interrupted download should be continued.
//
// The caller runs it modally and then reads `resume` and `applyToAll`; the
// modal result is always the cancel result and means nothing. "예" answers
// resume = 1, "아니오" resume = 0; both close the dialog through WM_CLOSE,
// which reads the check box into `applyToAll`. The check box is never
// visible, so it keeps its initial checked state. Esc ends the dialog through
// the cancel command without WM_CLOSE: both bytes keep their values (1, 1).
#pragma once

#include "launcher/framework/Dialog.h"

#include <stdint.h>

#include <string>

class CResumeDlg : public CDialog {
  public:
    explicit CResumeDlg(HWND parent = nullptr);

    uint8_t applyToAll = 1;  // check box 1019
    uint8_t resume = 1;      // the answer

  protected:
    bool OnInitDialog() override;
    bool OnCommand(int id, int code, HWND control) override;
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;
    void DoDataExchange(CDataExchange& dx) override;

  private:
    std::string m_firstLine;   // static 1037
    std::string m_secondLine;  // static 1041
    CWindow m_applyToAllCheck;
    CWindow m_yesButton;
    CWindow m_noButton;
};
