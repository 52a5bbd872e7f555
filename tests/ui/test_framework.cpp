// The window framework on real windows: binding, subclassing and
// reflection, modal dialogs and their loop, UpdateData, and the prompt
// service.
#include <gtest/gtest.h>

#include "launcher/framework/DataExchange.h"
#include "launcher/framework/Dialog.h"
#include "launcher/framework/Prompts.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/ui/UiTestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace {

// Counts what reaches it, and answers WM_CTLCOLOREDIT when reflected.
class CountingWindow : public CWindow {
  public:
    int preSubclassCalls = 0;
    int nativeStyleAtPreSubclass = 0;
    std::vector<UINT> seen;
    std::vector<UINT> reflected;
    bool postNcDestroyCalled = false;
    HBRUSH reflectBrush = nullptr;

  protected:
    void PreSubclassWindow() override {
        ++preSubclassCalls;
        nativeStyleAtPreSubclass = static_cast<int>(::GetWindowLongPtrA(m_hWnd, GWL_STYLE));
    }
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override {
        seen.push_back(msg);
        return CWindow::WindowProc(msg, wp, lp);
    }
    bool OnChildNotify(UINT msg, WPARAM, LPARAM, LRESULT* result) override {
        reflected.push_back(msg);
        if (msg == WM_CTLCOLOREDIT && reflectBrush != nullptr) {
            *result = reinterpret_cast<LRESULT>(reflectBrush);
            return true;
        }
        return false;
    }
    void PostNcDestroy() override { postNcDestroyCalled = true; }
};

bool Seen(const std::vector<UINT>& messages, UINT msg) {
    for (UINT m : messages) {
        if (m == msg) {
            return true;
        }
    }
    return false;
}

TEST(WindowFramework, BindsOneObjectPerWindowAndLetsGoOnDestroy) {
    uitest::TestDialog dialog;
    ASSERT_TRUE(dialog.Create());
    HWND edit = dialog.GetDlgItem(IDC_T_EDIT);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(CWindow::FromHandle(dialog.GetSafeHwnd()), &dialog);
    EXPECT_EQ(CWindow::FromHandle(edit), nullptr);

    CountingWindow first;
    CountingWindow second;
    ASSERT_TRUE(first.SubclassWindow(edit));
    EXPECT_EQ(first.preSubclassCalls, 1);
    EXPECT_NE(first.nativeStyleAtPreSubclass & ES_AUTOHSCROLL, 0);
    EXPECT_EQ(CWindow::FromHandle(edit), &first);
    EXPECT_FALSE(second.SubclassWindow(edit)) << "a window binds one object";
    EXPECT_FALSE(first.SubclassDlgItem(IDC_T_PLAIN_BUTTON, dialog.GetSafeHwnd()))
        << "an object binds one window";

    // Messages reach the object, and the control still works underneath.
    ::SetWindowTextA(edit, "abc");
    EXPECT_TRUE(Seen(first.seen, WM_SETTEXT));
    EXPECT_EQ(first.GetWindowTextA(), "abc");

    // Unsubclassing leaves the window working and unbound.
    EXPECT_EQ(first.UnsubclassWindow(), edit);
    EXPECT_EQ(CWindow::FromHandle(edit), nullptr);
    size_t before = first.seen.size();
    ::SetWindowTextA(edit, "def");
    EXPECT_EQ(first.seen.size(), before);

    // A destroyed window detaches its object, PostNcDestroy last.
    ASSERT_TRUE(second.SubclassWindow(edit));
    ::DestroyWindow(edit);
    EXPECT_TRUE(second.postNcDestroyCalled);
    EXPECT_EQ(second.GetSafeHwnd(), nullptr);
    EXPECT_TRUE(Seen(second.seen, WM_NCDESTROY));

    // An object that dies first leaves a working, unbound window.
    HWND button = dialog.GetDlgItem(IDC_T_PLAIN_BUTTON);
    {
        CountingWindow shortLived;
        ASSERT_TRUE(shortLived.SubclassWindow(button));
    }
    EXPECT_EQ(CWindow::FromHandle(button), nullptr);
    ::SetWindowTextA(button, "still");
    char text[16] = {0};
    ::GetWindowTextA(button, text, sizeof text);
    EXPECT_STREQ(text, "still");
}

TEST(WindowFramework, ParentReflectsNotificationsToBoundChildren) {
    uitest::TestDialog dialog;
    ASSERT_TRUE(dialog.Create());
    CountingWindow edit;
    CountingWindow button;
    ASSERT_TRUE(edit.SubclassDlgItem(IDC_T_EDIT, dialog.GetSafeHwnd()));
    ASSERT_TRUE(button.SubclassDlgItem(IDC_T_PLAIN_BUTTON, dialog.GetSafeHwnd()));
    edit.reflectBrush = static_cast<HBRUSH>(::GetStockObject(GRAY_BRUSH));

    // A colour request answered by the child decides the parent's answer.
    HDC dc = ::GetDC(edit.GetSafeHwnd());
    LRESULT brush =
        ::SendMessageA(dialog.GetSafeHwnd(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
                       reinterpret_cast<LPARAM>(edit.GetSafeHwnd()));
    ::ReleaseDC(edit.GetSafeHwnd(), dc);
    EXPECT_EQ(brush, reinterpret_cast<LRESULT>(edit.reflectBrush));

    // A click is offered to the button and, declined, still reaches the dialog.
    ::SendMessageA(button.GetSafeHwnd(), BM_CLICK, 0, 0);
    EXPECT_TRUE(Seen(button.reflected, WM_COMMAND));
    ASSERT_EQ(dialog.clicks.size(), 1u);
    EXPECT_EQ(dialog.clicks[0], IDC_T_PLAIN_BUTTON);
}

// A dialog whose data exchange binds a text, a check box and a control.
class ExchangeDialog : public CDialog {
  public:
    ExchangeDialog() : CDialog(IDD_UI_EMPTY) {}
    std::string text = "initial";
    int check = BST_CHECKED;
    CountingWindow editControl;
    bool exchangeMissing = false;

  protected:
    void DoDataExchange(CDataExchange& dx) override {
        DDX_Control(dx, IDC_T_EDIT, editControl);
        DDX_Text(dx, IDC_T_EDIT, text);
        DDX_Check(dx, IDC_T_PLAIN_CHECK, check);
        if (exchangeMissing) {
            DDX_Text(dx, 4242, text);
        }
    }
};

TEST(DialogFramework, UpdateDataFillsAndReadsTheControls) {
    ExchangeDialog dialog;
    ASSERT_TRUE(dialog.Create());
    // OnInitDialog filled the controls and attached the edit control.
    EXPECT_EQ(CWindow::FromHandle(dialog.GetDlgItem(IDC_T_EDIT)), &dialog.editControl);
    char text[32] = {0};
    ::GetDlgItemTextA(dialog.GetSafeHwnd(), IDC_T_EDIT, text, sizeof text);
    EXPECT_STREQ(text, "initial");
    EXPECT_EQ(::IsDlgButtonChecked(dialog.GetSafeHwnd(), IDC_T_PLAIN_CHECK), BST_CHECKED);

    // The user changes them; UpdateData(true) reads them back.
    ::SetDlgItemTextA(dialog.GetSafeHwnd(), IDC_T_EDIT, "\xBF\xB9 changed");  // "예 changed"
    ::CheckDlgButton(dialog.GetSafeHwnd(), IDC_T_PLAIN_CHECK, BST_UNCHECKED);
    EXPECT_TRUE(dialog.UpdateData(true));
    EXPECT_EQ(dialog.text, "\xBF\xB9 changed");
    EXPECT_EQ(dialog.check, BST_UNCHECKED);

    // A missing control fails the exchange; the rest still happens.
    dialog.exchangeMissing = true;
    dialog.text = "again";
    EXPECT_FALSE(dialog.UpdateData(false));
    ::GetDlgItemTextA(dialog.GetSafeHwnd(), IDC_T_EDIT, text, sizeof text);
    EXPECT_STREQ(text, "again");
}

TEST(DialogFramework, ModalDialogsEndByButtonKeyCloseAndQuit) {
    // The owner is disabled while the dialog runs and enabled afterwards.
    uitest::TestDialog owner;
    ASSERT_TRUE(owner.Create());
    HWND ownerWindow = owner.GetSafeHwnd();

    struct Case {
        const char* name;
        std::function<void(CDialog&)> answer;
        INT_PTR expected;
    };
    const Case cases[] = {
        {"OK button",
         [](CDialog& d) {
             ::PostMessageA(d.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                            reinterpret_cast<LPARAM>(d.GetDlgItem(IDOK)));
         },
         IDOK},
        {"Escape key",
         [](CDialog& d) {
             HWND focus = d.GetDlgItem(IDC_T_EDIT);
             ::SetFocus(focus);
             ::PostMessageA(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
         },
         IDCANCEL},
        {"WM_CLOSE", [](CDialog& d) { ::PostMessageA(d.GetSafeHwnd(), WM_CLOSE, 0, 0); }, IDCANCEL},
        {"EndDialog", [](CDialog& d) { d.EndDialog(77); }, 77},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool ownerDisabledWhileRunning = false;
        CDialog::SetModalObserver([&](CDialog& d) {
            ownerDisabledWhileRunning = !::IsWindowEnabled(ownerWindow);
            c.answer(d);
        });
        CDialog modal(IDD_UI_EMPTY, ownerWindow);
        INT_PTR result = modal.DoModal();
        CDialog::SetModalObserver(nullptr);
        EXPECT_EQ(result, c.expected);
        EXPECT_TRUE(ownerDisabledWhileRunning);
        EXPECT_TRUE(::IsWindowEnabled(ownerWindow));
        EXPECT_EQ(modal.GetSafeHwnd(), nullptr) << "the dialog window is gone";
    }
}

// A dialog from the empty template that sees PreTranslateMessage.
class FilteringDialog : public CDialog {
  public:
    FilteringDialog() : CDialog(IDD_UI_EMPTY) {}
    std::vector<UINT> preTranslated;
    bool swallowKeys = false;

    bool PreTranslateMessage(MSG* msg) override {
        preTranslated.push_back(msg->message);
        if (swallowKeys && msg->message == WM_KEYDOWN) {
            return true;
        }
        return CDialog::PreTranslateMessage(msg);
    }
};

TEST(DialogFramework, ModalLoopOffersMessagesToPreTranslateFirst) {
    FilteringDialog dialog;
    dialog.swallowKeys = true;
    CDialog::SetModalObserver([](CDialog& d) {
        HWND edit = d.GetDlgItem(IDC_T_EDIT);
        ::SetFocus(edit);
        // Swallowed: Escape never becomes the cancel command.
        ::PostMessageA(edit, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        ::PostMessageA(d.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    INT_PTR result = dialog.DoModal();
    CDialog::SetModalObserver(nullptr);
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(Seen(dialog.preTranslated, WM_KEYDOWN));
}

// Ends itself while it initialises.
class EndsAtOnceDialog : public CDialog {
  public:
    EndsAtOnceDialog() : CDialog(IDD_UI_EMPTY) {}

  protected:
    bool OnInitDialog() override {
        CDialog::OnInitDialog();
        EndDialog(42);
        return true;
    }
};

TEST(DialogFramework, EndDialogDuringInitialisationEndsTheModalRun) {
    EndsAtOnceDialog dialog;
    bool observed = false;
    CDialog::SetModalObserver([&observed](CDialog&) { observed = true; });
    EXPECT_EQ(dialog.DoModal(), 42);
    CDialog::SetModalObserver(nullptr);
    EXPECT_FALSE(observed) << "never shown";
    EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
}

TEST(DialogFramework, QuitEndsTheModalLoopAndReachesTheEnclosingOne) {
    CDialog dialog(IDD_UI_EMPTY);
    CDialog::SetModalObserver([](CDialog&) { ::PostQuitMessage(3); });
    INT_PTR result = dialog.DoModal();
    CDialog::SetModalObserver(nullptr);
    EXPECT_EQ(result, -1);
    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
        << "WM_QUIT is posted again for the enclosing loop";
    EXPECT_EQ(msg.wParam, 3u);

    CDialog missing(4711);
    EXPECT_EQ(missing.DoModal(), -1) << "a template that does not exist";
}

TEST(Prompts, MessagesAndFolderRequestsGoThroughTheInstalledService) {
    ScriptedPrompts prompts;
    prompts.messageAnswers = {IDYES, IDRETRY};
    SetApplicationName("brightwave7");

    uitest::TestDialog owner;
    ASSERT_TRUE(owner.Create());
    ::SetActiveWindow(owner.GetSafeHwnd());

    // "이미 다운로드가 진행 중 입니다." in code page 949.
    const std::string busy =
        "\xC0\xCC\xB9\xCC \xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5\xB0\xA1 \xC1\xF8\xC7\xE0 \xC1\xDF "
        "\xC0\xD4\xB4\xCF\xB4\xD9.";
    EXPECT_EQ(AppMessageBox(busy, MB_YESNO | MB_ICONINFORMATION), IDYES);
    EXPECT_EQ(ShowMessage(nullptr, "disk", "brightwave7", MB_RETRYCANCEL), IDRETRY);
    EXPECT_EQ(ShowMessage(nullptr, "unscripted", "c", MB_YESNO), IDCANCEL);
    EXPECT_EQ(ShowMessage(nullptr, "unscripted", "c", MB_OK), IDOK);
    ASSERT_EQ(prompts.messages.size(), 4u);
    EXPECT_EQ(prompts.messages[0].text, busy);
    EXPECT_EQ(prompts.messages[0].caption, "brightwave7");
    EXPECT_EQ(prompts.messages[0].style, static_cast<UINT>(MB_YESNO | MB_ICONINFORMATION));
    EXPECT_EQ(prompts.messages[0].owner, owner.GetSafeHwnd());
    EXPECT_EQ(prompts.messages[1].owner, nullptr);
    EXPECT_EQ(prompts.messages[1].style, static_cast<UINT>(MB_RETRYCANCEL));

    FolderRequest request;
    request.owner = owner.GetSafeHwnd();
    request.title = "title";
    request.flags = 0x43;
    request.initialFolder = "C:\\Download\\brightwave7\\";
    request.statusText = [](const std::string& folder) { return "free on " + folder; };
    prompts.statusProbe = "D:\\games";
    prompts.folderAnswers = {"D:\\games", ""};
    std::string chosen;
    EXPECT_TRUE(Prompts().BrowseForFolder(request, &chosen));
    EXPECT_EQ(chosen, "D:\\games");
    chosen = "kept";
    EXPECT_FALSE(Prompts().BrowseForFolder(request, &chosen)) << "an empty answer cancels";
    EXPECT_EQ(chosen, "kept");
    ASSERT_EQ(prompts.folders.size(), 2u);
    EXPECT_EQ(prompts.folders[0].request.flags, 0x43u);
    EXPECT_EQ(prompts.folders[0].request.initialFolder, "C:\\Download\\brightwave7\\");
    EXPECT_EQ(prompts.folders[0].status, "free on D:\\games");
}

// Finds the message box of this thread with `caption` and presses `button`.
struct BoxAnswer {
    const char* caption;
    int button;
    std::string seenText;
};

BOOL CALLBACK PressButton(HWND window, LPARAM data) {
    auto* answer = reinterpret_cast<BoxAnswer*>(data);
    char caption[64] = {0};
    ::GetWindowTextA(window, caption, sizeof caption);
    if (std::string(caption) != answer->caption) {
        return TRUE;
    }
    char text[256] = {0};
    // The message box shows its text in static control 0xFFFF.
    ::GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
    answer->seenText = text;
    ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(answer->button, BN_CLICKED), 0);
    return FALSE;
}

BoxAnswer* g_boxAnswer = nullptr;

void CALLBACK AnswerBoxTimer(HWND, UINT, UINT_PTR id, DWORD) {
    if (g_boxAnswer != nullptr) {
        ::EnumThreadWindows(::GetCurrentThreadId(), PressButton,
                            reinterpret_cast<LPARAM>(g_boxAnswer));
        if (!g_boxAnswer->seenText.empty()) {
            ::KillTimer(nullptr, id);
        }
    }
}

TEST(Prompts, TheSystemServiceShowsARealMessageBox) {
    SetPromptService(nullptr);
    // "예" as the text; the box is answered with No by a thread timer.
    BoxAnswer answer{"brightwave7", IDNO, std::string()};
    g_boxAnswer = &answer;
    UINT_PTR timer = ::SetTimer(nullptr, 0, 50, AnswerBoxTimer);
    ASSERT_NE(timer, 0u);
    int result = ShowMessage(nullptr, "\xBF\xB9", "brightwave7", MB_YESNO);
    ::KillTimer(nullptr, timer);
    g_boxAnswer = nullptr;
    EXPECT_EQ(result, IDNO);
    EXPECT_EQ(answer.seenText, "\xBF\xB9");
}

}  // namespace
