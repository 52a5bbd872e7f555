// The file functions on the system calls of the backend (pfFileBackend.h):
// argument checks, the position, the write hook of the tests and the loop
// over short writes; and the creation of a folder path.
#include <string.h>

#include <atomic>
#include <new>

#include "opn/core/ovCString.h"
#include "opn/platform/pfCallCounts.h"
#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileBackend.h"
#include "opn/platform/pfFileSystem.h"

struct PfFile {
    PfFileHandle handle;
    int64_t offset;
    ovCString path;  // as given when opened, for the write hook
};

namespace {

std::atomic<PfFileWriteHook> g_writeHook{nullptr};

// How many of `size` bytes the hook lets through (all of them without a
// hook).
size_t WritableBytes(const char* path, int64_t offset, size_t size) {
    PfFileWriteHook hook = g_writeHook.load(std::memory_order_acquire);
    if (!hook)
        return size;
    const size_t allowed = hook(path, offset, size);
    return allowed < size ? allowed : size;
}

// Wraps a handle the backend opened; closes it when that fails.
PfFile* Wrap(const char* path, PfFileHandle handle, int32_t outcome, int32_t* error) {
    PfFile* file = new (std::nothrow) PfFile{handle, 0, ovCString()};
    if (!file || !file->path.Assign(path)) {
        delete file;
        PfFileBackendClose(handle);
        *error = kPfErrorGeneral;
        return nullptr;
    }
    *error = outcome;
    return file;
}

// Opens through one of the backend's open calls: `*error` always set.
template <typename Mode>
PfFile* OpenWith(bool (*backendOpen)(const char*, Mode, PfFileHandle*, int32_t*), const char* path,
                 Mode mode, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorPathNotFound;
    if (!path || !path[0])
        return nullptr;
    PfFileHandle handle = 0;
    int32_t outcome = kPfErrorPathNotFound;
    if (!backendOpen(path, mode, &handle, &outcome)) {
        *error = outcome;
        return nullptr;
    }
    return Wrap(path, handle, outcome, error);
}

PfFile* Open(const char* path, PfFileOpenMode mode, int32_t* error) {
    return OpenWith(PfFileBackendOpen, path, mode, error);
}

// `*error` set to none, or to kPfErrorGeneral for a missing file or data.
bool CheckTransfer(const PfFile* file, const void* data, size_t size, int32_t* error) {
    *error = kPfErrorNone;
    if (!file || (!data && size > 0)) {
        *error = kPfErrorGeneral;
        return false;
    }
    return true;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool IsDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Length of the part of `path` that is never created: "C:\" or "C:", a
// leading separator ("/home", "\dir"), or the server and share of a UNC
// path ("\\server\share\").
size_t RootLength(const char* path, size_t length) {
    if (length >= 2 && IsDriveLetter(path[0]) && path[1] == ':')
        return length >= 3 && IsSeparator(path[2]) ? 3 : 2;
    if (length >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        size_t i = 2;
        for (int part = 0; part < 2 && i < length; ++part) {
            while (i < length && !IsSeparator(path[i]))
                ++i;
            if (i < length)
                ++i;
        }
        return i;
    }
    return length >= 1 && IsSeparator(path[0]) ? 1 : 0;
}

}  // namespace

void PfFileSetWriteHookForTesting(PfFileWriteHook hook) {
    g_writeHook.store(hook, std::memory_order_release);
}

bool FsCreateFolders(const char* folder) {
    if (!folder || !folder[0])
        return false;
    if (FsIsFolder(folder))
        return true;
    const size_t length = strlen(folder);
    ovCString prefix;
    // Each prefix that ends before a separator, shortest first, then the
    // whole path; a run of separators makes one cut.
    for (size_t i = RootLength(folder, length); i <= length; ++i) {
        if (i < length && !IsSeparator(folder[i]))
            continue;
        if (i == 0 || IsSeparator(folder[i - 1]))
            continue;
        if (!prefix.Assign(folder, (uint32_t)i))
            return false;
        if (!FsIsFolder(prefix.CStr()) && !FsCreateFolder(prefix.CStr()))
            return false;
    }
    return FsIsFolder(folder);
}

PfFile* PfFileCreateAlways(const char* path, int32_t* error) {
    return Open(path, kPfFileCreateAlways, error);
}

PfFile* PfFileOpenAlways(const char* path, int32_t* error) {
    return Open(path, kPfFileOpenAlways, error);
}

PfFile* PfFileOpenForReading(const char* path, int32_t* error) {
    PfFile* file = Open(path, kPfFileOpenForReading, error);
    if (file && error)
        *error = kPfErrorNone;
    return file;
}

PfFile* PfFileOpenHeld(const char* path, int32_t* error) {
    PfFile* file = Open(path, kPfFileOpenHeld, error);
    if (file && error)
        *error = kPfErrorNone;
    return file;
}

PfFile* PfFileOpenNoLink(const char* path, int32_t* error) {
    PfFile* file = Open(path, kPfFileOpenNoLink, error);
    if (file && error)
        *error = kPfErrorNone;
    return file;
}

PfFile* PfFileCreateNew(const char* path, int32_t* error) {
    return Open(path, kPfFileCreateNew, error);
}

int64_t PfFileRead(PfFile* file, void* data, size_t size, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    if (!CheckTransfer(file, data, size, error))
        return -1;
    const int64_t n = PfFileBackendRead(file->handle, data, size, error);
    if (n < 0)
        return -1;
    file->offset += n;
    return n;
}

bool PfFileWrite(PfFile* file, const void* data, size_t size, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    if (!CheckTransfer(file, data, size, error))
        return false;
    const size_t allowed = WritableBytes(file->path.CStr(), file->offset, size);
    const char* p = static_cast<const char*>(data);
    size_t left = allowed;
    while (left > 0) {
        PfCountCall(kPfCountFileWrite);
        const int64_t n = PfFileBackendWrite(file->handle, p, left, error);
        if (n < 0)
            return false;
        // A write that takes nothing without an error is a full disk.
        if (n == 0) {
            *error = kPfErrorDiskFull;
            return false;
        }
        p += n;
        left -= (size_t)n;
        file->offset += n;
    }
    if (allowed < size) {
        *error = kPfErrorDiskFull;
        return false;
    }
    return true;
}

int64_t PfFileSeekEnd(PfFile* file) {
    if (!file)
        return -1;
    const int64_t end = PfFileBackendSeekEnd(file->handle);
    if (end < 0)
        return -1;
    file->offset = end;
    return end;
}

bool PfFileSeekStart(PfFile* file) {
    if (!file || !PfFileBackendSeekStart(file->handle))
        return false;
    file->offset = 0;
    return true;
}

void PfFileClose(PfFile* file) {
    if (!file)
        return;
    PfFileBackendClose(file->handle);
    delete file;
}

bool PfFileMoveReplacing(const char* from, const char* to, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorPathNotFound;
    if (!from || !from[0] || !to || !to[0])
        return false;
    if (!PfFileBackendMove(from, to, error))
        return false;
    *error = kPfErrorNone;
    return true;
}

PfFile* PfFileOpenSole(const char* path, PfSoleMode mode, int32_t* error) {
    PfFile* file = OpenWith(PfFileBackendOpenSole, path, mode, error);
    if (file && error && (mode == kPfSoleRead || mode == kPfSoleHeld))
        *error = kPfErrorNone;
    return file;
}

int64_t PfFileSoleSize(const char* path) {
    return path && path[0] ? PfFileBackendSoleSize(path) : -1;
}

bool PfFileMoveOpen(PfFile* file, const char* to, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorPathNotFound;
    if (!file || !to || !to[0])
        return false;
    if (!PfFileBackendMoveOpen(file->handle, file->path.CStr(), to, error))
        return false;
    // The write hook knows the file by the name it has now.
    file->path.Assign(to);
    *error = kPfErrorNone;
    return true;
}
