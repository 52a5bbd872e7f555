#include "sdk/download/extract/ArchiveKind.h"

#include <string.h>

#include "opn/core/ovAscii.h"

int32_t ArchiveKind(const char* url) {
    if (!url)
        return kArchiveNone;
    const char* dot = strrchr(url, '.');
    if (!dot || dot == url)
        return kArchiveNone;
    if (AsciiEqualsNoCase(dot + 1, "7z"))
        return kArchive7z;
    if (AsciiEqualsNoCase(dot + 1, "zip"))
        return kArchiveZip;
    return kArchiveNone;
}
