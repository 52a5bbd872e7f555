#include "sdk/download/extract/ExtractFolder.h"

#include <string.h>

#include "opn/core/ovCString.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/support/zip/ZipNames.h"

bool ComposeExtractFolder(const char* folder, char (&out)[kZipPathSize]) {
    out[0] = '\0';
    if (!folder || !folder[0])
        return false;
    ovCString path;
    if (!ZipIsAbsolutePath(folder)) {
        if (!FsGetCurrentFolder(path))
            return false;
        const char* last = ZipLastSeparator(path.CStr());
        if (!last || last[1] != '\0')
            path.Append("\\");
    }
    path.Append(folder);
    const char* last = ZipLastSeparator(path.CStr());
    if (!last || last[1] != '\0')
        path.Append("\\");
    if (path.Length() >= kZipPathSize || strlen(path.CStr()) != path.Length())
        return false;
    memcpy(out, path.CStr(), path.Length() + 1);
    return true;
}
