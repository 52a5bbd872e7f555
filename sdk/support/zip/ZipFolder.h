// The two whole-archive operations of the launcher's skin, on top of the zip
// reader: unpack every entry into a folder, and list the entry names.
#pragma once

#include <stdint.h>

class StringList;

// What the skin may unpack to: a few JPEG pictures, so 64 MiB in at most 256
// files.
const int64_t kSkinMaxBytes = (int64_t)64 << 20;
const int64_t kSkinMaxEntries = 256;

// Writes every entry of the archive in `data` to `folder` + its name; `folder`
// ends in a separator. Every entry is tried; true only when all of them were
// written. False at once for no data, a size of 0 or less or above 4 GiB - 1,
// an empty folder, or a block that is not an archive. An entry whose name
// would leave the folder, or make a path of 260 bytes or more, is not written
// and counts as a failure.
// False before anything is written when the entries that can be described
// are more than `maxEntries` files, declare more than `maxBytes` bytes in
// all, or more than the volume has free; no byte beyond what they declare is
// written.
bool UnzipAllToFolder(const char* folder, const void* data, int64_t size,
                      int64_t maxBytes = kSkinMaxBytes, int64_t maxEntries = kSkinMaxEntries);

// Appends the name of every entry, in archive order and folder entries
// included, to `names`. Entries that cannot be described (damaged, or a name
// that would leave the folder) are left out. False only when the archive
// cannot be opened, for the same reasons as above.
bool ListZipEntries(StringList& names, const void* data, int64_t size);
