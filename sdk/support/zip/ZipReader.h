// Zip archive reader: opens a zip archive held in memory, describes its
// entries and writes them into files, creating folders on the way and giving
// each file the entry's attributes and times. Stored and deflated entries are
// read, optionally encrypted with the traditional PKWARE cipher.
//
// Names and paths are narrow strings in the system code page; entry names are
// used as stored, without conversion. Where files go is decided by an
// IZipFileTarget (ZipFileTarget.h): ZipExtractEntry uses the narrow file calls,
// ZipExtractEntryTo takes another target.
//
// What the reader refuses rather than trusts:
// - a damaged archive never makes it read outside the caller's block, and no
//   count or size from the archive sizes an allocation (all buffers are fixed);
// - an entry yields at most its stated size, and its CRC-32 is checked
//   (ZipErrCrc when the data inflate cleanly but do not match);
// - an entry name that would leave the target folder after sanitising, or a
//   name or composed path of 260 bytes or more, is refused with ZipErrBadName
//   and never shortened into another path.
//
// A handle is used by one thread at a time.
#pragma once

#include <stdint.h>

class IZipFileTarget;

// Result codes of the reader's operations.
enum ZipResult : uint32_t {
    ZipOk = 0,
    // The target file cannot be created.
    ZipErrCreate = 0x200,
    ZipErrWrite = 0x400,
    // The central directory or a local header is damaged.
    ZipErrCorrupt = 0x700,
    // The local extra field cannot be read.
    ZipErrRead = 0x800,
    // The data were read whole but their CRC-32 differs from the archive's.
    ZipErrCrc = 0x900,
    // The entry name leaves the target folder, or a name or path is too long.
    ZipErrBadName = 0xA00,
    // An encrypted entry's check byte does not match the password.
    ZipErrPassword = 0x1000,
    ZipErrArgs = 0x10000,
    ZipErrWrongHandle = 0x80000,
    // Inflate error, read error or premature end while extracting.
    ZipErrFlate = 0x5000000,
};

// Room for names and paths: 259 bytes and the terminator.
const uint32_t kZipPathSize = 260;

// Windows file attribute bits of an entry.
const uint32_t kZipAttributeReadOnly = 0x01;
const uint32_t kZipAttributeHidden = 0x02;
const uint32_t kZipAttributeSystem = 0x04;
const uint32_t kZipAttributeDirectory = 0x10;
const uint32_t kZipAttributeArchive = 0x20;

// One entry as callers see it. Times are FILETIME values: 100 ns units since
// 1601-01-01 UTC, 0 when the archive holds no valid time.
struct ZipEntry {
    // Position in the central directory from 0; for index -1, the count.
    int32_t index;
    // The sanitised name; a folder entry keeps its trailing separator.
    char name[kZipPathSize];
    uint32_t attributes;
    uint64_t accessTime;
    uint64_t creationTime;
    uint64_t writeTime;
    int32_t compressedSize;
    int32_t uncompressedSize;
};

struct ZipHandle;

// Opens the archive in `data` (kept by the caller until ZipClose). `password`
// may be null. Relative extraction targets are later resolved against the
// current folder of this moment. Null when the block is not a usable archive.
ZipHandle* ZipOpenMemory(const void* data, uint32_t length, const char* password);

// Describes entry `index` (-1: `entry->index` becomes the entry count).
// `entry->index`, the name's first byte and the uncompressed size are cleared
// first; on a non-zero result the entry holds nothing else.
uint32_t ZipGetEntry(ZipHandle* handle, int32_t index, ZipEntry* entry);

// Writes entry `index` to the file `target`; for a folder entry, creates the
// folder `target`. A relative target lies below the folder that was current
// at opening. A failed extraction leaves a partly written file in place and
// the handle usable.
uint32_t ZipExtractEntry(ZipHandle* handle, int32_t index, const char* target);
uint32_t ZipExtractEntryTo(ZipHandle* handle, int32_t index, const char* target,
                           IZipFileTarget& files);

// Releases everything; the handle is gone afterwards. Returns ZipOk.
uint32_t ZipClose(ZipHandle* handle);

// The fixed description of a result code.
const char* ZipResultText(uint32_t code);

// `folder` followed by the entry name `name` into `out`: ZipOk, or
// ZipErrBadName when the name leaves the folder or the path would not fit.
uint32_t ZipComposeTarget(const char* folder, const char* name, char (&out)[kZipPathSize]);
