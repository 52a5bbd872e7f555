#include "opn/platform/pfShellFolders.h"

#include <stdlib.h>
#include <unistd.h>

#include "opn/platform/posix/pfPath.h"

namespace {

// Test override of the application-data folder: 0 none, 1 the text below,
// 2 unobtainable. Set by tests before the code under test runs.
int g_appDataOverride = 0;

ovCString& AppDataOverrideText() {
    static ovCString text;
    return text;
}

// Longest program path read from /proc/self/exe.
const size_t kModuleNameMax = 4096;

bool IsAbsoluteEnv(const char* value) {
    return value && value[0] == '/';
}

void StripTrailingSlashes(ovCString& posixPath) {
    uint32_t n = posixPath.Length();
    const char* s = posixPath.CStr();
    while (n > 1 && s[n - 1] == '/')
        --n;
    if (n != posixPath.Length())
        posixPath = posixPath.Substring(0, n);
}

}  // namespace

bool ShellGetAppDataFolder(ovCString& out) {
    out.Clear();
    if (g_appDataOverride == 2)
        return false;
    if (g_appDataOverride == 1) {
        out = AppDataOverrideText();
        return !out.IsEmpty();
    }
    ovCString posixFolder;
    const char* xdg = getenv("XDG_DATA_HOME");
    const char* home = getenv("HOME");
    // Relative values are to be ignored, as the XDG base directory rules say.
    if (IsAbsoluteEnv(xdg)) {
        posixFolder.Assign(xdg);
    } else if (IsAbsoluteEnv(home)) {
        posixFolder.Assign(home);
        StripTrailingSlashes(posixFolder);
        if (!posixFolder.Equals("/"))
            posixFolder.Append("/");
        posixFolder.Append(".local/share");
    } else {
        return false;
    }
    StripTrailingSlashes(posixFolder);
    PathFromPosix(posixFolder.CStr(), out);
    return !out.IsEmpty();
}

bool ShellGetModuleFileName(ovCString& out) {
    out.Clear();
    char buffer[kModuleNameMax];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    // A result that fills the buffer may have been cut.
    if (n <= 0 || (size_t)n >= sizeof buffer - 1)
        return false;
    buffer[n] = '\0';
    PathFromPosix(buffer, out);
    return !out.IsEmpty();
}

void ShellSetAppDataFolderForTesting(const char* folder) {
    AppDataOverrideText().Assign(folder && folder[0] ? folder : "");
    g_appDataOverride = !folder ? 0 : folder[0] ? 1 : 2;
}
