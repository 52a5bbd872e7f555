// The program's resources as the built executable carries them: the three
// dialog templates with their controls, styles, places and Korean texts, the
// terms bitmap, the spinner GIF, the icon, the version resource and the
// manifest.
#include <gtest/gtest.h>

#include "launcher/framework/Dialog.h"
#include "launcher/res/resource.h"
#include "tests/ui/UiTestSupport.h"

#include <string>
#include <vector>

namespace {

struct ControlSpec {
    int id;
    const char* className;  // compared without letter case
    const char* text;       // CP949; null: not checked
    RECT units;             // left, top, width, height in dialog units; width 0: not checked
    bool visible;
};

std::string ClassOf(HWND window) {
    char name[64] = {0};
    ::GetClassNameA(window, name, sizeof name);
    std::string lower(name);
    for (char& c : lower) {
        c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

void ExpectControls(CDialog& dialog, const std::vector<ControlSpec>& specs) {
    for (const ControlSpec& spec : specs) {
        SCOPED_TRACE(spec.id);
        HWND control = dialog.GetDlgItem(spec.id);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(ClassOf(control), spec.className);
        EXPECT_EQ((::GetWindowLongPtrA(control, GWL_STYLE) & WS_VISIBLE) != 0, spec.visible);
        if (spec.text != nullptr) {
            char text[128] = {0};
            ::GetWindowTextA(control, text, sizeof text);
            EXPECT_EQ(std::string(text), spec.text);
        }
        if (spec.units.right != 0) {
            // The dialog manager converts the place and the size separately.
            RECT expected = spec.units;
            ::MapDialogRect(dialog.GetSafeHwnd(), &expected);
            expected.right += expected.left;
            expected.bottom += expected.top;
            RECT actual;
            ::GetWindowRect(control, &actual);
            ::MapWindowPoints(nullptr, dialog.GetSafeHwnd(), reinterpret_cast<POINT*>(&actual), 2);
            EXPECT_EQ(actual.left, expected.left);
            EXPECT_EQ(actual.top, expected.top);
            EXPECT_EQ(actual.right, expected.right);
            EXPECT_EQ(actual.bottom, expected.bottom);
        }
    }
}

const char kResumeQuestion[] =
    "\xC0\xCC\xBE\xEE\xB9\xDE\xB1\xE2 \xC7\xCF\xBD\xC3\xB0\xDA\xBD\xC0\xB4\xCF\xB1\xEE?";
const char kApplyToAll[] = "\xB8\xF0\xB5\xE7\xC6\xC4\xC0\xCF \xC0\xFB\xBF\xEB";
const char kYes[] = "\xBF\xB9";
const char kNo[] = "\xBE\xC6\xB4\xCF\xBF\xC0";
const char kInstalling[] =
    "\xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5 \xB9\xDE\xC0\xBA \xC6\xC4\xC0\xCF\xC0\xBB "
    "\xB0\xCB\xBB\xE7\xC7\xCF\xB0\xED \xBC\xB3\xC4\xA1\xB8\xA6 "
    "\xBD\xC7\xC7\xE0\xC1\xDF\xC0\xD4\xB4\xCF\xB4\xD9.";
const char kConsent[] =
    "\xBB\xF3\xB1\xE2 \xC1\xD6\xC0\xC7\xBB\xE7\xC7\xD7\xB0\xFA \xB0\xD4\xC0\xD3 "
    "\xC7\xC1\xB7\xCE\xB1\xD7\xB7\xA5 \xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5, "
    "\xBC\xB3\xC4\xA1\xBF\xA1 \xB5\xBF\xC0\xC7\xC7\xD5\xB4\xCF\xB4\xD9.";

TEST(Resources, ResumePromptTemplate) {
    CDialog dialog(IDD_RESUME);
    ASSERT_TRUE(dialog.Create());
    LONG_PTR style = ::GetWindowLongPtrA(dialog.GetSafeHwnd(), GWL_STYLE);
    EXPECT_NE(style & WS_POPUP, 0);
    EXPECT_NE(style & WS_BORDER, 0);
    EXPECT_NE(style & WS_CAPTION, WS_CAPTION) << "no caption bar";
    RECT size{0, 0, 216, 91};
    ::MapDialogRect(dialog.GetSafeHwnd(), &size);
    RECT client;
    ::GetClientRect(dialog.GetSafeHwnd(), &client);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    ExpectControls(dialog, {
                               {IDC_RESUME_LINE1, "static", "", {7, 17, 202, 17}, true},
                               {IDC_RESUME_LINE2, "static", kResumeQuestion, {65, 36, 86, 8}, true},
                               {IDC_APPLY_TO_ALL, "button", kApplyToAll, {72, 53, 66, 10}, false},
                               {IDC_RESUME_YES, "button", kYes, {31, 70, 54, 14}, true},
                               {IDC_RESUME_NO, "button", kNo, {132, 70, 54, 14}, true},
                           });
    EXPECT_EQ(::GetWindowLongPtrA(dialog.GetDlgItem(IDC_APPLY_TO_ALL), GWL_STYLE) & BS_TYPEMASK,
              BS_AUTOCHECKBOX);
    EXPECT_NE(::GetWindowLongPtrA(dialog.GetDlgItem(IDC_RESUME_LINE1), GWL_STYLE) & SS_CENTER, 0);
    ::DestroyWindow(dialog.GetSafeHwnd());
}

TEST(Resources, InstallingDialogTemplate) {
    CDialog dialog(IDD_NOWLOADING);
    ASSERT_TRUE(dialog.Create());
    LONG_PTR style = ::GetWindowLongPtrA(dialog.GetSafeHwnd(), GWL_STYLE);
    EXPECT_NE(style & WS_POPUP, 0);
    EXPECT_NE(style & WS_SYSMENU, 0);
    EXPECT_NE(style & WS_CAPTION, WS_CAPTION);
    ExpectControls(dialog, {
                               {IDC_LOADING_PICTURE, "static", nullptr, {90, 18, 20, 20}, true},
                               {IDC_LOADING_TEXT, "static", kInstalling, {8, 67, 195, 8}, true},
                           });
    ::DestroyWindow(dialog.GetSafeHwnd());
}

TEST(Resources, MainDialogTemplate) {
    CDialog dialog(IDD_ZVTDOWNLOADER_DIALOG);
    ASSERT_TRUE(dialog.Create());
    LONG_PTR style = ::GetWindowLongPtrA(dialog.GetSafeHwnd(), GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_SYSMENU), WS_POPUP | WS_SYSMENU);
    EXPECT_EQ(style & (WS_CAPTION | WS_THICKFRAME), 0) << "no caption, no border";
    const RECT any{0, 0, 0, 0};
    ExpectControls(dialog, {
                               {IDC_FOLDER, "button", nullptr, any, true},
                               {IDC_START, "button", nullptr, any, true},
                               {IDC_STOP, "button", nullptr, any, true},
                               {IDC_CLOSE, "button", nullptr, any, true},
                               {IDC_RUN, "button", nullptr, any, true},
                               {IDC_HIGH_SPEED, "button", nullptr, any, false},
                               {IDC_CURRENT_FILE, "static", nullptr, any, true},
                               {IDC_ELAPSED, "static", nullptr, any, true},
                               {IDC_REMAINING, "static", nullptr, any, true},
                               {IDC_TOTAL_SIZE, "static", nullptr, any, true},
                               {IDC_RECEIVED, "static", nullptr, any, true},
                               {IDC_SPEED, "static", nullptr, any, true},
                               {IDC_PERCENT, "static", nullptr, any, true},
                               {IDC_FOLDER_TEXT, "static", nullptr, any, true},
                               {IDC_NOTICE, "static", nullptr, any, false},
                               {IDC_PROGRESS, "msctls_progress32", nullptr, any, true},
                               {IDC_TERMS_IMAGE, "static", nullptr, any, true},
                               {IDC_CONSENT, "button", nullptr, any, true},
                               {IDC_CONSENT_TEXT, "static", kConsent, any, true},
                           });
    EXPECT_EQ(::GetWindowLongPtrA(dialog.GetDlgItem(IDC_HIGH_SPEED), GWL_STYLE) & BS_TYPEMASK,
              BS_AUTOCHECKBOX);
    EXPECT_EQ(::GetWindowLongPtrA(dialog.GetDlgItem(IDC_CONSENT), GWL_STYLE) & BS_TYPEMASK,
              BS_AUTOCHECKBOX);
    ::DestroyWindow(dialog.GetSafeHwnd());
}

// The GIF's frames: each graphic control extension's delay and disposal.
struct GifFrame {
    int delay;
    int disposal;
};

// Walks the blocks of a GIF stream; false when it is cut short or malformed.
bool WalkGif(const unsigned char* data, size_t size, int* width, int* height,
             std::vector<GifFrame>* frames) {
    if (size < 13 || std::string(reinterpret_cast<const char*>(data), 6) != "GIF89a") {
        return false;
    }
    *width = data[6] | (data[7] << 8);
    *height = data[8] | (data[9] << 8);
    size_t at = 13;
    if (data[10] & 0x80) {
        at += 3u * (1u << ((data[10] & 7) + 1));
    }
    auto skipSubBlocks = [&]() {
        while (at < size && data[at] != 0) {
            at += 1u + data[at];
        }
        ++at;
        return at <= size;
    };
    for (int guard = 0; guard < 10000 && at < size; ++guard) {
        unsigned char kind = data[at];
        if (kind == 0x3B) {
            return true;
        }
        if (kind == 0x21 && at + 1 < size) {
            if (data[at + 1] == 0xF9 && at + 7 < size) {
                frames->push_back({data[at + 4] | (data[at + 5] << 8), (data[at + 3] >> 2) & 7});
            }
            at += 2;
            if (!skipSubBlocks()) {
                return false;
            }
        } else if (kind == 0x2C && at + 10 <= size) {
            unsigned char flags = data[at + 9];
            at += 10;
            if (flags & 0x80) {
                at += 3u * (1u << ((flags & 7) + 1));
            }
            ++at;  // LZW minimum code size
            if (!skipSubBlocks()) {
                return false;
            }
        } else {
            return false;
        }
    }
    return false;
}

TEST(Resources, PicturesIconVersionAndManifest) {
    HMODULE self = ::GetModuleHandleA(nullptr);

    HBITMAP terms = ::LoadBitmapA(self, MAKEINTRESOURCEA(IDB_TERMS));
    ASSERT_NE(terms, nullptr);
    BITMAP info = {};
    ::GetObjectA(terms, sizeof info, &info);
    EXPECT_EQ(info.bmWidth, 592);
    EXPECT_EQ(info.bmHeight, 447);
    ::DeleteObject(terms);

    HRSRC gif = ::FindResourceA(self, MAKEINTRESOURCEA(IDR_LOADING_GIF), "GIF");
    ASSERT_NE(gif, nullptr);
    const auto* bytes =
        static_cast<const unsigned char*>(::LockResource(::LoadResource(self, gif)));
    int width = 0;
    int height = 0;
    std::vector<GifFrame> frames;
    ASSERT_TRUE(WalkGif(bytes, ::SizeofResource(self, gif), &width, &height, &frames));
    EXPECT_EQ(width, 64);
    EXPECT_EQ(height, 64);
    ASSERT_EQ(frames.size(), 12u);
    for (const GifFrame& frame : frames) {
        EXPECT_EQ(frame.delay, 9) << "90 ms";
        EXPECT_EQ(frame.disposal, 2) << "restore to background";
    }

    HICON icon = ::LoadIconA(self, MAKEINTRESOURCEA(IDR_MAINFRAME));
    EXPECT_NE(icon, nullptr);

    char path[MAX_PATH] = {0};
    ::GetModuleFileNameA(nullptr, path, sizeof path);
    DWORD handle = 0;
    DWORD versionSize = ::GetFileVersionInfoSizeA(path, &handle);
    ASSERT_GT(versionSize, 0u);
    std::vector<char> version(versionSize);
    ASSERT_TRUE(::GetFileVersionInfoA(path, 0, versionSize, version.data()));
    char* company = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(version.data(), "\\StringFileInfo\\041203b5\\CompanyName",
                                 reinterpret_cast<void**>(&company), &length));
    EXPECT_STREQ(company, "Orvane Inc.");

    HRSRC manifest = ::FindResourceA(self, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(manifest, nullptr);
    std::string text(static_cast<const char*>(::LockResource(::LoadResource(self, manifest))),
                     ::SizeofResource(self, manifest));
    EXPECT_NE(text.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_NE(text.find("asInvoker"), std::string::npos);
}

}  // namespace
