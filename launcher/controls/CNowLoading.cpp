#include "launcher/controls/CNowLoading.h"

#include "launcher/framework/DataExchange.h"
#include "launcher/res/resource.h"

namespace {

// "다운로드 받은 파일을 검사하고 설치를 실행중입니다." in code page 949.
const char kText[] =
    "\xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5 \xB9\xDE\xC0\xBA \xC6\xC4\xC0\xCF\xC0\xBB "
    "\xB0\xCB\xBB\xE7\xC7\xCF\xB0\xED \xBC\xB3\xC4\xA1\xB8\xA6 "
    "\xBD\xC7\xC7\xE0\xC1\xDF\xC0\xD4\xB4\xCF\xB4\xD9.";
const COLORREF kWhite = RGB(255, 255, 255);

}  // namespace

CNowLoading::CNowLoading(HWND parent)
    : CDialog(IDD_NOWLOADING, parent), m_pictureResource(IDR_LOADING_GIF) {}

void CNowLoading::DoDataExchange(CDataExchange& dx) {
    DDX_Control(dx, IDC_LOADING_PICTURE, m_picture);
}

bool CNowLoading::OnInitDialog() {
    CDialog::OnInitDialog();
    if (m_picture.LoadResourcePicture(m_pictureResource, "GIF")) {
        m_picture.StartDrawing();
    }
    ::SetDlgItemTextA(m_hWnd, IDC_LOADING_TEXT, kText);
    return true;
}

LRESULT CNowLoading::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_ERASEBKGND: {
            RECT client;
            ::GetClientRect(m_hWnd, &client);
            HBRUSH white = ::CreateSolidBrush(kWhite);
            ::FillRect(reinterpret_cast<HDC>(wp), &client, white);
            ::DeleteObject(white);
            return TRUE;
        }
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(lp) == GetDlgItem(IDC_LOADING_TEXT)) {
                HDC dc = reinterpret_cast<HDC>(wp);
                ::SetTextColor(dc, RGB(0, 0, 0));
                ::SetBkMode(dc, TRANSPARENT);
                return reinterpret_cast<LRESULT>(::GetStockObject(HOLLOW_BRUSH));
            }
            break;
        case WM_CLOSE:
            // Not closed while the program is being started; the quit of the
            // worker ends the dialog.
            return 0;
        default:
            break;
    }
    return CDialog::WindowProc(msg, wp, lp);
}
