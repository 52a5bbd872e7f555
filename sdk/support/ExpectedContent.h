// What a URL's fragment says its file must be. A URL (a file-list line, or
// what a host gives SwarmFetch_AddFile) may end in "#sha256=<64 hex digits>",
// optionally followed by "&size=<decimal bytes>". The fragment is never sent
// and is no part of the file's name.
//
// Parameters are separated by '&'; "sha256", "size" and "btih" (the file's
// torrent's info-hash for the peer engine: 64 hex digits for a v2 or hybrid
// torrent, 40 for a v1-only one) are read (exactly so spelt), others are
// ignored. Refused (bad input): a sha256 that is not 64 hex digits, a btih
// that is not 40 or 64, a size that is not 1 to 18 decimal digits,
// any of them given twice, a size without a sha256, and any other parameter
// whose name's letters and digits, lower-cased, begin with "sha", "size",
// "md5", "hash", "digest" or "checksum" ("SHA256=", "sha-256=",
// "sha256:<hex>", "Size=", "sha512="): meant to check the file, it must not
// leave it unchecked. In a '|' mirror list any mirror may carry a fragment;
// mirrors whose hashes, sizes or btih differ are refused too.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct ExpectedContent {
    bool hasSha256 = false;
    uint8_t sha256[32] = {0};
    int64_t size = -1;  // -1: not given
    bool hasBtih = false;
    uint8_t btih[32] = {0};
    size_t btihSize = 0;  // 32: a v2 info-hash; 20: a v1 one (the rest zero)
};

// The length of the `length` bytes at `url` without the fragment (up to the
// first '#').
size_t UrlLengthWithoutFragment(const char* url, size_t length);

// Reads the fragment of one URL of `length` bytes into `out` (left empty
// without one). False when the fragment is bad.
bool ReadUrlContent(const char* url, size_t length, ExpectedContent* out);

// Reads every mirror of a '|' list; false when one is bad or two disagree.
bool ReadUrlListContent(const char* list, ExpectedContent* out);
