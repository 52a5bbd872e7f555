// The Windows suite must really run under Wine with code page 949; these
// checks cannot pass anywhere else, so an empty or misconfigured run is seen.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

TEST(Win32Environment, RunsOnWineWithCodePage949) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    ASSERT_NE(ntdll, nullptr);
    EXPECT_NE(GetProcAddress(ntdll, "wine_get_version"), nullptr) << "not running under Wine";
    EXPECT_EQ(GetACP(), 949u);
}

TEST(Win32Environment, Cp949TextConvertsToUtf16) {
    // "다운로드" in code page 949.
    const char ansi[] = "\xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5";
    wchar_t wide[8] = {0};
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, -1, wide, 8);
    ASSERT_EQ(n, 5);
    EXPECT_EQ(std::wstring(wide), std::wstring(L"\uB2E4\uC6B4\uB85C\uB4DC"));

    char back[16] = {0};
    n = WideCharToMultiByte(CP_ACP, 0, wide, -1, back, sizeof back, nullptr, nullptr);
    ASSERT_EQ(n, 9);
    EXPECT_STREQ(back, ansi);
}

}  // namespace
