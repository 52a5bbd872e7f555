// The kind of an engine archive, taken from the extension of its URL.
// Threads: a function without state: any thread.
#pragma once

#include <stdint.h>

enum ArchiveKindCode : int32_t {
    kArchiveNone = 0,
    kArchive7z = 1,
    kArchiveZip = 2,
};

// "7z" and "zip" after the URL's last '.', in any case; kArchiveNone for
// anything else, for no '.' and for a URL that starts with its only '.'.
int32_t ArchiveKind(const char* url);
