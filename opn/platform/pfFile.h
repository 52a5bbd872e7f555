// Files written piece by piece (the download session's target files). Paths
// are narrow Windows-form paths in the system code page; the POSIX backend
// maps them (posix/pfPath.h), so a POSIX path passes through unchanged.
//
// Errors are the kPfError... codes of pfError.h (Windows system error
// numbers) on both backends, from the backend's error translator.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "opn/platform/pfError.h"

struct PfFile;

// Creates the file empty for reading and writing, replacing (truncating) a
// file of that name; others may read it while it is open (Windows; POSIX
// has no share modes). `*error` is kPfErrorAlreadyExists when a file was
// replaced, kPfErrorNone when it is new, the failure's number otherwise (then
// null is returned). A null path fails with kPfErrorPathNotFound.
PfFile* PfFileCreateAlways(const char* path, int32_t* error);

// Opens the file for reading and writing without truncating it, creating it
// empty when it is missing; the position is 0. Others may read it while it
// is open. `*error` as for PfFileCreateAlways (kPfErrorAlreadyExists: the
// file was there). Used to continue a partial file.
PfFile* PfFileOpenAlways(const char* path, int32_t* error);

// Opens an existing file for reading only (others may read and write it);
// the position is 0. Null with `*error` when it cannot be opened.
PfFile* PfFileOpenForReading(const char* path, int32_t* error);

// Opens an existing file for reading only while others may only read it: no
// one writes, deletes or renames it until it is closed (Windows; POSIX has no
// share modes). The position is 0. Null with `*error` when it cannot be
// opened, also when it is open for writing elsewhere.
PfFile* PfFileOpenHeld(const char* path, int32_t* error);

// Opens an existing regular file for reading only, never through a link: a
// link (symbolic, or a reparse point), a folder, a FIFO or a device at the
// name is refused (kPfErrorAccessDenied) without waiting on it. Position 0.
PfFile* PfFileOpenNoLink(const char* path, int32_t* error);

// Creates a new file for reading and writing; fails when anything, a link
// (even one to nothing) included, is at the name already, so nothing is ever
// written through a link. Others may read it while it is open.
PfFile* PfFileCreateNew(const char* path, int32_t* error);

// --- Files of the download folder. Whoever can write the folder may have put
// a symbolic or hard link to a file elsewhere, a FIFO or a device under a name
// the library writes or reads. These calls take only a sole file: a regular
// file that is no link (and no reparse point) and has exactly one name, opened
// without following a link and without waiting on a FIFO, so that nothing
// outside the folder is read, written, created or emptied through that name.

enum PfSoleMode {
    kPfSoleRead,   // read only; anything but a sole file is refused
    kPfSoleKeep,   // read and write, its bytes kept; created when missing
    kPfSoleEmpty,  // read and write, emptied; created when missing
    kPfSoleHeld,   // read only, as kPfSoleRead, and others may only read it
};

// Opens the sole file at `path`; the position is 0. For writing, others may
// read it while it is open (Windows), and anything else at the name (a link,
// removed itself and never its target; a FIFO, a device, a file with more
// names) is removed and the file created new and empty; a folder, or a name
// that cannot be removed, is refused. `*error` is kPfErrorAlreadyExists when a
// sole file was there and was opened (kept or emptied), kPfErrorNone when it
// was created, the failure's number otherwise (then null is returned;
// kPfErrorAccessDenied for what is not a sole file when reading,
// kPfErrorSharingViolation when the name kept changing under the open).
PfFile* PfFileOpenSole(const char* path, PfSoleMode mode, int32_t* error);

// Size of the sole file at `path`, looked at without following a link or
// opening anything that could block; -1 when there is none (nothing, a link,
// a folder, a FIFO or device, a file with more than one name).
int64_t PfFileSoleSize(const char* path);

// Renames the open file to `to`, replacing a file (or a link, never its
// target) of that name but never a folder, so that the file moved is the one
// written and read through `file`, whatever was done to its name meanwhile:
// Windows renames through the handle; POSIX compares the descriptor's file
// with the one at the name it was opened with, right before and after the
// rename, and takes a stranger moved into place away again. Only for a file
// opened for writing by PfFileOpenSole. False with `*error` when it could not
// be done (kPfErrorSharingViolation: the name no longer holds this file); the
// file stays open either way.
bool PfFileMoveOpen(PfFile* file, const char* to, int32_t* error);

// Reads at most `size` bytes at the current position and moves past them.
// Returns how many were read, 0 at the end of the file, -1 on failure (with
// `*error`).
int64_t PfFileRead(PfFile* file, void* data, size_t size, int32_t* error);

// Writes every byte at the current position. On failure (kPfErrorDiskFull
// for a full disk or quota) returns false with `*error`; bytes written before
// the failure stay in the file.
bool PfFileWrite(PfFile* file, const void* data, size_t size, int32_t* error);

// Moves to the end of the file and returns that position; -1 on failure.
int64_t PfFileSeekEnd(PfFile* file);

// Moves to the start of the file; false on failure.
bool PfFileSeekStart(PfFile* file);

// Closes the file; null is ignored.
void PfFileClose(PfFile* file);

// Renames the file `from` to `to`, replacing a file that has that name (not
// a folder). Both paths must be on one volume. False with `*error` when it
// could not be done; `from` is then unchanged.
bool PfFileMoveReplacing(const char* from, const char* to, int32_t* error);

// Test seam: when set, every PfFileWrite first asks the hook how many of its
// `size` bytes, to be written at `offset` of the file created as `path`, the
// disk still takes; fewer than `size` writes that many and then fails with
// kPfErrorDiskFull, as a full disk does. Null restores normal writing.
typedef size_t (*PfFileWriteHook)(const char* path, int64_t offset, size_t size);
void PfFileSetWriteHookForTesting(PfFileWriteHook hook);
