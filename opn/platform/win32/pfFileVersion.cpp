#include "opn/platform/pfFileVersion.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "opn/core/ovCString.h"

bool PfReadFileVersion(const char* path, ovCString& out) {
    out.Clear();
    if (!path || !path[0] || GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        return false;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0)
        return false;
    void* info = malloc(size);
    if (!info)
        return false;
    bool found = false;
    if (GetFileVersionInfoA(path, 0, size, info)) {
        char query[64];
        void* translation = nullptr;
        UINT translationSize = 0;
        if (VerQueryValueA(info, "\\VarFileInfo\\Translation", &translation, &translationSize) &&
            translation && translationSize == 4) {
            const BYTE* t = static_cast<const BYTE*>(translation);
            // Language, then code page, each high byte first.
            snprintf(query, sizeof query, "\\StringFileInfo\\%02X%02X%02X%02X\\FileVersion", t[1],
                     t[0], t[3], t[2]);
        } else {
            snprintf(query, sizeof query, "\\StringFileInfo\\%04X04B0\\FileVersion",
                     (unsigned)GetUserDefaultLangID());
        }
        void* text = nullptr;
        UINT length = 0;
        if (VerQueryValueA(info, query, &text, &length) && text)
            found = out.Assign(static_cast<const char*>(text));
    }
    free(info);
    if (!found)
        out.Clear();
    return found;
}
