#include "sdk/support/zip/ZipNames.h"

#include <string.h>

#include "opn/platform/pfCodePage.h"
#include "sdk/support/PathComponent.h"

namespace {

// The byte after the character that starts at `p`.
const char* NextCharacter(const char* p) {
    if (CodePageIsLeadByte((unsigned char)*p) && p[1] != '\0')
        return p + 2;
    return p + 1;
}

// The first occurrence of the four-byte `pattern` that starts a character.
const char* FindAtCharacter(const char* text, const char* pattern) {
    for (const char* p = text; *p; p = NextCharacter(p))
        if (strncmp(p, pattern, 4) == 0)
            return p;
    return nullptr;
}

}  // namespace

const char* ZipSanitiseName(const char* stored) {
    static const char* const kClimbs[] = {"\\..\\", "\\../", "/../", "/..\\"};
    const char* name = stored;
    for (;;) {
        if (name[0] != '\0' && name[1] == ':') {
            name += 2;
            continue;
        }
        if (ZipIsSeparator(name[0])) {
            name += 1;
            continue;
        }
        const char* found = nullptr;
        for (const char* climb : kClimbs) {
            found = FindAtCharacter(name, climb);
            if (found)
                break;
        }
        if (!found)
            return name;
        name = found + 4;
    }
}

bool ZipNameStaysInside(const char* name) {
    if (name[0] == '\0' || ZipIsAbsolutePath(name))
        return false;
    for (const char* part = name;;) {
        const char* end = ZipNextSeparator(part);
        const size_t length = end ? (size_t)(end - part) : strlen(part);
        if (!PathComponentIsSafe(part, length))
            return false;
        // The end, or the final separator of a folder entry.
        if (!end || end[1] == '\0')
            return true;
        part = end + 1;
    }
}

const char* ZipNextSeparator(const char* from) {
    for (const char* p = from; *p; p = NextCharacter(p))
        if (ZipIsSeparator(*p))
            return p;
    return nullptr;
}

const char* ZipLastSeparator(const char* path) {
    const char* last = nullptr;
    for (const char* p = path; *p; p = NextCharacter(p))
        if (ZipIsSeparator(*p))
            last = p;
    return last;
}

bool ZipIsAbsolutePath(const char* path) {
    return ZipIsSeparator(path[0]) || (path[0] != '\0' && path[1] == ':');
}
