#include "opn/platform/pfShellFolders.h"
#include "opn/platform/pfShellFoldersBackend.h"

#include <windows.h>
#include <shlobj.h>

#include <stdlib.h>
#include <string.h>

namespace {

// GetModuleFileNameA cuts long names silently; grow up to the longest path
// Windows has.
const DWORD kModuleNameMax = 32768;

}  // namespace

bool ShellBackendAppDataFolder(ovCString& out) {
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
