// Unpacks a 7z archive held in memory into a folder with the LZMA SDK's 7z
// decoder (LZMA, LZMA2, BCJ, BCJ2 and the other branch filters).
//
// Files are written through UTF-16 paths composed from the folder; the
// process's current folder is never touched. Entry names are made narrow in
// the system code page and confined like zip entry names (ZipNames.h): what
// would climb out or make the path absolute is dropped, and a name that still
// leaves the folder, or a path of 260 bytes or more, fails the extraction.
// Directory entries are skipped; folders come from the files inside them.
//
// Everything is written through an ExtractOutput, which is told the
// archive's entries and file bytes before the first block is decoded and
// bounds what is written; the blocks to decode are held to its byte cap as
// well. A cancelled output stops the decoder at its next read.
//
// Threads: the engine unpack's worker (EngineUnpack.h), outside the library
// lock; one extraction on one thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

class ExtractOutput;

enum SevenZipResult : int32_t {
    kSevenZipOk = 0,
    // The archive opened, but a file could not be decoded, named or written.
    kSevenZipFailed = 1,
    kSevenZipNotOpened = 2,
};

// Everything the decoder holds at once (archive tables and the decoded
// block) stays below this; a larger claim fails instead of being allocated.
const size_t kSevenZipMemoryLimit = (size_t)256 << 20;

// Unpacks `data` (`size` bytes) below `folder`, an absolute path in the system
// code page that ends in a separator and exists. Stops at the first failure
// (an archive the output refuses fails before anything is written); files
// written before it stay. `memoryLimit` bounds the decoder's memory.
int32_t Extract7zToFolder(const void* data, uint32_t size, const char* folder, size_t memoryLimit,
                          ExtractOutput& output);
