#include "opn/platform/pfShellFolders.h"
#include "opn/platform/pfShellFoldersBackend.h"

#include <stdlib.h>
#include <unistd.h>

#include "opn/platform/posix/pfPath.h"

namespace {

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

bool ShellBackendAppDataFolder(ovCString& out) {
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
