// The system calls under the file functions of pfFile.h: one set per backend
// (posix/pfFile.cpp, win32/pfFile.cpp), used only by pfFileCommon.cpp.
//
// Each takes a path that is not empty or an open handle, makes its OS call
// and reports a failure as a kPfError... code from the backend's error
// translator. Argument checks, the position, the write hook and the loop
// over short writes are pfFileCommon.cpp's.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "opn/platform/pfFile.h"

// An open file: a HANDLE on Windows, a descriptor on POSIX.
typedef intptr_t PfFileHandle;

enum PfFileOpenMode {
    kPfFileCreateAlways,    // read and write, replacing a file of that name
    kPfFileOpenAlways,      // read and write, created empty when missing
    kPfFileOpenForReading,  // read only, must exist
    kPfFileOpenHeld,        // read only, must exist; others may only read it
    kPfFileOpenNoLink,      // read only, must exist, a link or folder is refused
    kPfFileCreateNew,       // read and write, nothing (not even a link) at the name
};

// Opens `path` (only a regular file; others may read it, for reading also
// write it, and while held nothing more). On success `*outcome` is kPfErrorAlreadyExists when the
// file was there before, kPfErrorNone when it was made; on failure the code.
bool PfFileBackendOpen(const char* path, PfFileOpenMode mode, PfFileHandle* handle,
                       int32_t* outcome);
// One read of at most `size` bytes: the count (0 at the end), -1 with `*error`.
int64_t PfFileBackendRead(PfFileHandle handle, void* data, size_t size, int32_t* error);
// One write of at most `size` bytes: the count (0 when the disk takes none
// without an error), -1 with `*error`.
int64_t PfFileBackendWrite(PfFileHandle handle, const void* data, size_t size, int32_t* error);
// The new position, -1 on failure.
int64_t PfFileBackendSeekEnd(PfFileHandle handle);
bool PfFileBackendSeekStart(PfFileHandle handle);
void PfFileBackendClose(PfFileHandle handle);
// Renames `from` to `to`, replacing a file but never a folder; `*error` on
// failure.
bool PfFileBackendMove(const char* from, const char* to, int32_t* error);

// The sole-file rule of pfFile.h (PfFileOpenSole, PfFileSoleSize,
// PfFileMoveOpen) on each system: one name per backend, so the rule is
// written down once per system call set. `from` is the path `handle` was
// opened with.
bool PfFileBackendOpenSole(const char* path, PfSoleMode mode, PfFileHandle* handle,
                           int32_t* outcome);
int64_t PfFileBackendSoleSize(const char* path);
bool PfFileBackendMoveOpen(PfFileHandle handle, const char* from, const char* to, int32_t* error);

// How many times an open looks at a name again when it changed between the
// look and the open (a removal raced by a new link, a file replaced): beyond
// that the name is refused, as one that cannot be made sole.
const int kPfSoleOpenRounds = 4;
