// Entry names and target paths of the zip reader, as narrow strings in the
// system code page. Every scan steps over double-byte characters whole, so a
// trail byte that looks like '\' or '/' is never taken for a separator.
#pragma once

// The stored name with what would make it absolute or climb out removed, as
// a pointer into `stored`. Repeatedly: a drive ("C:") is dropped, then a
// leading '\' or '/'; otherwise everything up to and including the first of
// "\..\", "\../", "/../", "/..\" (tried in that order) goes. A name that
// starts with ".." keeps it: ZipNameStaysInside refuses such names.
const char* ZipSanitiseName(const char* stored);

// True when a sanitised name, appended to a folder, names something inside
// that folder: not empty, not absolute (no leading separator, no drive), and
// every part between separators one that PathComponentIsSafe takes (so no
// part that climbs, no device name, no trailing dot or space, no stream
// colon); only a folder entry's final separator may end an empty part.
bool ZipNameStaysInside(const char* name);

// The first '\' or '/' at or after `from` (which starts a character), or null.
const char* ZipNextSeparator(const char* from);

// The last '\' or '/' of `path`, or null.
const char* ZipLastSeparator(const char* path);

// True when `path` begins with '\' or '/' or its second byte is ':'.
bool ZipIsAbsolutePath(const char* path);

// Separators the reader accepts in names and paths.
inline bool ZipIsSeparator(char c) {
    return c == '\\' || c == '/';
}
