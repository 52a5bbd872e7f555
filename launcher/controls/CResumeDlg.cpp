#include "launcher/controls/CResumeDlg.h"

#include "launcher/framework/DataExchange.h"
#include "launcher/res/resource.h"

#include <stdio.h>

namespace {

// The service the launcher downloads.
const char kServiceName[] = "brightwave7";
// Texts in code page 949.
// "%s 클라이언트를 다운 받습니다."
const char kFirstLineFormat[] =
    "%s \xC5\xAC\xB6\xF3\xC0\xCC\xBE\xF0\xC6\xAE\xB8\xA6 \xB4\xD9\xBF\xEE "
    "\xB9\xDE\xBD\xC0\xB4\xCF\xB4\xD9.";
// "이어받기 하시겠습니까?"
const char kSecondLine[] =
    "\xC0\xCC\xBE\xEE\xB9\xDE\xB1\xE2 \xC7\xCF\xBD\xC3\xB0\xDA\xBD\xC0\xB4\xCF\xB1\xEE?";
// "예"
const char kYes[] = "\xBF\xB9";
// "아니오"
const char kNo[] = "\xBE\xC6\xB4\xCF\xBF\xC0";

}  // namespace

CResumeDlg::CResumeDlg(HWND parent) : CDialog(IDD_RESUME, parent) {}

void CResumeDlg::DoDataExchange(CDataExchange& dx) {
    DDX_Control(dx, IDC_APPLY_TO_ALL, m_applyToAllCheck);
    DDX_Control(dx, IDC_RESUME_YES, m_yesButton);
    DDX_Control(dx, IDC_RESUME_NO, m_noButton);
    DDX_Text(dx, IDC_RESUME_LINE1, m_firstLine);
    DDX_Text(dx, IDC_RESUME_LINE2, m_secondLine);
}

bool CResumeDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    char line[128];
    snprintf(line, sizeof line, kFirstLineFormat, kServiceName);
    m_firstLine = line;
    m_secondLine = kSecondLine;
    m_yesButton.SetWindowTextA(kYes);
    m_noButton.SetWindowTextA(kNo);
    m_applyToAllCheck.Send(BM_SETCHECK, applyToAll);
    UpdateData(false);
    return true;
}

bool CResumeDlg::OnCommand(int id, int code, HWND control) {
    if (code == BN_CLICKED && (id == IDC_RESUME_YES || id == IDC_RESUME_NO)) {
        resume = id == IDC_RESUME_YES ? 1 : 0;
        Send(WM_CLOSE);
        return true;
    }
    return CDialog::OnCommand(id, code, control);
}

LRESULT CResumeDlg::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CLOSE) {
        applyToAll = m_applyToAllCheck.Send(BM_GETCHECK) > 0 ? 1 : 0;
        // The system's handling turns WM_CLOSE into the cancel command.
        return Default();
    }
    return CDialog::WindowProc(msg, wp, lp);
}
