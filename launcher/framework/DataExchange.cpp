#include "launcher/framework/DataExchange.h"

HWND CDataExchange::Control(int id) {
    HWND control = ::GetDlgItem(m_dialog, id);
    if (control == nullptr) {
        m_failed = true;
    }
    return control;
}

void DDX_Text(CDataExchange& dx, int id, std::string& value) {
    HWND control = dx.Control(id);
    if (control == nullptr) {
        return;
    }
    if (!dx.Saving()) {
        ::SetWindowTextA(control, value.c_str());
        return;
    }
    int length = ::GetWindowTextLengthA(control);
    value.assign(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    int copied = ::GetWindowTextA(control, &value[0], static_cast<int>(value.size()));
    value.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
}

void DDX_Check(CDataExchange& dx, int id, int& value) {
    HWND control = dx.Control(id);
    if (control == nullptr) {
        return;
    }
    if (dx.Saving()) {
        value = static_cast<int>(::SendMessageA(control, BM_GETCHECK, 0, 0));
    } else {
        ::SendMessageA(control, BM_SETCHECK, static_cast<WPARAM>(value), 0);
    }
}

void DDX_Control(CDataExchange& dx, int id, CWindow& control) {
    if (control.GetSafeHwnd() != nullptr) {
        return;
    }
    HWND window = dx.Control(id);
    if (window != nullptr && !control.SubclassWindow(window)) {
        dx.Fail();
    }
}
