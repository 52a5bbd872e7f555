// Texts written in UTF-8 in the tests, turned into the program's code page
// 949 through the system's own conversion, to compare with what windows show.
#pragma once

#include <windows.h>

#include <string>

namespace uitest {

inline std::string Cp949(const char* utf8) {
    wchar_t wide[512];
    int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 512);
    char narrow[1024];
    int m = ::WideCharToMultiByte(949, 0, wide, n, narrow, sizeof narrow, nullptr, nullptr);
    return m > 0 ? std::string(narrow, static_cast<size_t>(m - 1)) : std::string();
}

}  // namespace uitest
