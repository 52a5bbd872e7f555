// Files already on disk checked against their expected SHA-256: the part of
// a partial file that a download continues, and a file under its final name
// that may need no download at all. Files are read in chunks of
// kFileDigestChunk bytes, never whole into memory.
//
// Threads: no shared state: any thread; the hash queue's worker
// (FileHashQueue.h) reads files with it outside the library lock.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "sdk/support/Sha256Stream.h"

struct PfFile;

const size_t kFileDigestChunk = 256 * 1024;

// Adds the bytes from the file's current position to its end to `hash`;
// the position is then the end. Returns how many bytes were added, -1 when
// the file could not be read or `*cancel` (may be null) was set, which is
// looked at before every chunk.
int64_t HashRestOfFile(PfFile* file, Sha256Stream& hash, const std::atomic<bool>* cancel = nullptr);

// True when a sole file (pfFile.h: no link, one name) is at `path` with
// `size` bytes (any size when -1) and hashes to `sha256`; `*length` (may be null) gets its length
// then.
bool FileHasContent(const char* path, int64_t size, const uint8_t sha256[kSha256Size],
                    int64_t* length);

// FileHasContent for a file already open: measured and read through `file`
// from its start, so the bytes checked are the bytes it holds. The position
// is then the end.
bool OpenFileHasContent(PfFile* file, int64_t size, const uint8_t sha256[kSha256Size],
                        int64_t* length);

// Finishes `hash` and tells whether it is `sha256`.
bool DigestIs(Sha256Stream& hash, const uint8_t sha256[kSha256Size]);
