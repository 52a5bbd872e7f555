// Whether a fetched ".torrent" may be used for one entry of a job. The
// list's line vouches for the torrent by its info-hash (btih): a v2 one
// (32 bytes) for a v2 or hybrid torrent, a v1 one (20 bytes) for a v1-only
// torrent, as foreign tools make them. The torrent must then describe
// exactly the entry: one file, named as the entry (no folders), of the
// entry's size when that is known. Anything else sends the entry over plain
// HTTP, with the reason in the log.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// A torrent answer larger than this is refused unread (a single-file
// torrent of 1024 pieces is under 64 KiB).
const int64_t kMaxTorrentBytes = 1024 * 1024;
// A torrent answer still coming after this long is given up (one that
// drips a byte now and then never meets the HTTP idle time-out).
const int kTorrentFetchDeadlineSec = 20;

struct TorrentVerdict {
    bool usable = false;
    std::string why;  // set when not usable
};

TorrentVerdict CheckTorrent(const std::string& bytes, const uint8_t* btih, size_t btihSize,
                            const std::string& name, int64_t size);
