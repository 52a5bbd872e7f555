#include "opn/platform/pfShellFolders.h"

#include <windows.h>
#include <shlobj.h>

#include <stdlib.h>
#include <string.h>

namespace {

// Test override of the application-data folder: 0 none, 1 the text below,
// 2 unobtainable. Set by tests before the code under test runs.
int g_appDataOverride = 0;

ovCString& AppDataOverrideText() {
    static ovCString text;
    return text;
}

// GetModuleFileNameA cuts long names silently; grow up to the longest path
// Windows has.
const DWORD kModuleNameMax = 32768;

}  // namespace

bool ShellGetAppDataFolder(ovCString& out) {
    out.Clear();
    if (g_appDataOverride == 2)
        return false;
    if (g_appDataOverride == 1) {
        out = AppDataOverrideText();
        return !out.IsEmpty();
    }
    char folder[MAX_PATH + 1];
    memset(folder, 0, sizeof folder);
    if (!SHGetSpecialFolderPathA(nullptr, folder, CSIDL_APPDATA, FALSE))
        return false;
    folder[MAX_PATH] = '\0';
    out.Assign(folder);
    return !out.IsEmpty();
}

bool ShellGetModuleFileName(ovCString& out) {
    out.Clear();
    char small[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, small, (DWORD)sizeof small);
    if (n > 0 && n < sizeof small) {
        out.Assign(small, n);
        return true;
    }
    if (n == 0)
        return false;
    // Cut: retry once with the largest buffer.
    char* big = static_cast<char*>(malloc(kModuleNameMax));
    if (!big)
        return false;
    n = GetModuleFileNameA(nullptr, big, kModuleNameMax);
    bool ok = n > 0 && n < kModuleNameMax;
    if (ok)
        out.Assign(big, n);
    free(big);
    return ok;
}

void ShellSetAppDataFolderForTesting(const char* folder) {
    AppDataOverrideText().Assign(folder && folder[0] ? folder : "");
    g_appDataOverride = !folder ? 0 : folder[0] ? 1 : 2;
}
