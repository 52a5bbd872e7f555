// The bytes of an engine archive received before its download was cut off
// (the update's deadline, the library stopping, a failed try), kept in the
// engine folder so that the next attempt asks only for the rest.
//
// One file per archive URL, named from a digest of the URL: a header (magic,
// the archive's whole size, the server's validator: its ETag, or else its
// Last-Modified, empty when it gave none) and then the first bytes of the
// archive. Whatever is at that name is hostile: it is read only when it is a
// regular file opened without following a link, holds a sane header, fewer
// bytes than the whole archive and no more than kMaxArchiveSize; anything
// else there (a link, a folder, a device, a file too large or of another
// form) is removed, never followed, and the archive is fetched whole. A new
// partial file is created afresh, never written through what was at its
// name.
//
// The kept bytes are no proof of anything: the archive they end up in is
// checked like any other before it is unpacked.
//
// Threads: the library thread.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"

// Longest validator kept; a longer one is not kept (the rest is then asked
// for without If-Range).
const uint32_t kMaxPartialValidator = 256;

struct PartialArchive {
    uint8_t* data = nullptr;  // malloc'ed, `total` bytes of room, `have` filled
    int64_t have = 0;
    int64_t total = 0;
    ovCString validator;
};

// The partial file's path for `url` in the engine folder; false when there
// is no engine folder.
bool PartialArchivePath(const char* url, ovCString& out);

// Reads the partial file of `url` into `*out` (its buffer then belongs to
// the caller). False when there is none or it was unusable (then removed).
bool LoadPartialArchive(const char* url, PartialArchive* out);

// Keeps the first `have` of `total` bytes of `url`'s archive, replacing an
// earlier partial file. Nothing for have <= 0, have >= total or a total
// beyond kMaxArchiveSize. False when nothing could be kept.
bool SavePartialArchive(const char* url, const uint8_t* data, int64_t have, int64_t total,
                        const char* validator);

// Removes whatever is at the partial file's name of `url`.
void RemovePartialArchive(const char* url);
