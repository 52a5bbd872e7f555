#include "opn/platform/posix/pfPath.h"

#include <string.h>

namespace {

bool IsDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Appends `text[0..n)` with every `from` replaced by `to`, in runs so that a
// long path costs few appends.
void AppendReplacing(ovCString& out, const char* text, size_t n, char from, char to) {
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] != from)
            continue;
        if (i > start)
            out.Append(text + start, (uint32_t)(i - start));
        out.Append(&to, 1);
        start = i + 1;
    }
    if (n > start)
        out.Append(text + start, (uint32_t)(n - start));
}

}  // namespace

bool PathToPosix(const char* windowsPath, ovCString& posixPath) {
    posixPath.Clear();
    if (!windowsPath)
        return false;
    const char* p = windowsPath;
    if (IsDriveLetter(p[0]) && p[1] == ':')
        p += 2;
    AppendReplacing(posixPath, p, strlen(p), '\\', '/');
    return !posixPath.IsEmpty();
}

void PathFromPosix(const char* posixPath, ovCString& windowsPath) {
    windowsPath.Clear();
    if (!posixPath)
        return;
    if (posixPath[0] == '/')
        windowsPath.Assign("Z:");
    AppendReplacing(windowsPath, posixPath, strlen(posixPath), '/', '\\');
}
