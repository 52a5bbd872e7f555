#include "sdk/download/extract/ArchiveKind.h"

#include <string.h>

namespace {

bool SameIgnoringAsciiCase(const char* text, const char* lower) {
    for (; *text && *lower; ++text, ++lower) {
        const char c = (*text >= 'A' && *text <= 'Z') ? (char)(*text - 'A' + 'a') : *text;
        if (c != *lower)
            return false;
    }
    return *text == *lower;
}

}  // namespace

int32_t ArchiveKind(const char* url) {
    if (!url)
        return kArchiveNone;
    const char* dot = strrchr(url, '.');
    if (!dot || dot == url)
        return kArchiveNone;
    if (SameIgnoringAsciiCase(dot + 1, "7z"))
        return kArchive7z;
    if (SameIgnoringAsciiCase(dot + 1, "zip"))
        return kArchiveZip;
    return kArchiveNone;
}
