#include "sdk/support/zip/ZipNames.h"

#include <string.h>

#include "opn/platform/pfCodePage.h"

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

// A part of a path made of dots and spaces only, with two dots or more.
bool IsParentStep(const char* part, const char* end) {
    int dots = 0;
    for (const char* p = part; p < end; ++p) {
        if (*p == '.')
            ++dots;
        else if (*p != ' ')
            return false;
    }
    return dots >= 2;
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
    const char* part = name;
    const char* p = name;
    for (;;) {
        if (*p == '\0' || ZipIsSeparator(*p)) {
            if (IsParentStep(part, p))
                return false;
            if (*p == '\0')
                return true;
            part = p + 1;
            ++p;
            continue;
        }
        p = NextCharacter(p);
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
