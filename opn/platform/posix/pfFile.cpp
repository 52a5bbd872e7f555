#include "opn/platform/pfFile.h"

#include <errno.h>
#include <stdio.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "opn/core/ovCString.h"
#include "opn/platform/posix/pfPath.h"

struct PfFile {
    int fd;
    int64_t offset;
    ovCString path;  // as given to PfFileCreateAlways, for the write hook
};

namespace {

const mode_t kFileMode = 0644;

int OpenRetrying(const char* path, int flags) {
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC, kFileMode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The file for an open's result: only a regular file is one (a folder or a
// device is refused as CreateFile refuses a folder). `outcome` is the error
// value a success leaves.
PfFile* Opened(int fd, const char* path, int32_t outcome, int32_t* error) {
    if (fd < 0) {
        *error = PfFileLastError();
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *error = kPfErrorAccessDenied;
        return nullptr;
    }
    PfFile* file = new (std::nothrow) PfFile{fd, 0, ovCString()};
    if (!file || !file->path.Assign(path)) {
        delete file;
        close(fd);
        *error = kPfErrorGeneral;
        return nullptr;
    }
    *error = outcome;
    return file;
}

}  // namespace

PfFile* PfFileCreateAlways(const char* path, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorPathNotFound;
    if (!path || !path[0])
        return nullptr;
    ovCString mapped;
    PathToPosix(path, mapped);
    if (mapped.IsEmpty())
        return nullptr;
    // First as a new file, to tell a replaced file from a new one as
    // CREATE_ALWAYS does.
    int32_t created = kPfErrorNone;
    int fd = OpenRetrying(mapped.CStr(), O_RDWR | O_CREAT | O_EXCL);
    if (fd < 0 && errno == EEXIST) {
        created = kPfErrorAlreadyExists;
        fd = OpenRetrying(mapped.CStr(), O_RDWR | O_TRUNC);
    }
    return Opened(fd, path, created, error);
}

namespace {

PfFile* OpenExisting(const char* path, int flags, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorPathNotFound;
    if (!path || !path[0])
        return nullptr;
    ovCString mapped;
    PathToPosix(path, mapped);
    if (mapped.IsEmpty())
        return nullptr;
    int32_t existed = kPfErrorAlreadyExists;
    int fd = OpenRetrying(mapped.CStr(), flags);
    if (fd < 0 && errno == ENOENT && (flags & O_RDWR)) {
        existed = kPfErrorNone;
        fd = OpenRetrying(mapped.CStr(), flags | O_CREAT);
    }
    return Opened(fd, path, existed, error);
}

}  // namespace

PfFile* PfFileOpenAlways(const char* path, int32_t* error) {
    return OpenExisting(path, O_RDWR, error);
}

PfFile* PfFileOpenForReading(const char* path, int32_t* error) {
    PfFile* file = OpenExisting(path, O_RDONLY, error);
    if (file && error)
        *error = kPfErrorNone;
    return file;
}

PfFile* PfFileOpenHeld(const char* path, int32_t* error) {
    // No share modes here: held is opened for reading.
    return PfFileOpenForReading(path, error);
}

int64_t PfFileRead(PfFile* file, void* data, size_t size, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorNone;
    if (!file || (!data && size > 0)) {
        *error = kPfErrorGeneral;
        return -1;
    }
    for (;;) {
        const ssize_t n = read(file->fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = PfFileLastError();
            return -1;
        }
        file->offset += n;
        return (int64_t)n;
    }
}

bool PfFileWrite(PfFile* file, const void* data, size_t size, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorNone;
    if (!file || (!data && size > 0)) {
        *error = kPfErrorGeneral;
        return false;
    }
    const size_t allowed = PfFileWritableBytes(file->path.CStr(), file->offset, size);
    const char* p = static_cast<const char*>(data);
    size_t left = allowed;
    while (left > 0) {
        ssize_t n = write(file->fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A write that takes nothing without an errno is a full disk.
            *error = n < 0 ? PfFileLastError() : kPfErrorDiskFull;
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
    const off_t end = lseek(file->fd, 0, SEEK_END);
    if (end < 0)
        return -1;
    file->offset = (int64_t)end;
    return file->offset;
}

bool PfFileSeekStart(PfFile* file) {
    if (!file || lseek(file->fd, 0, SEEK_SET) != 0)
        return false;
    file->offset = 0;
    return true;
}

void PfFileClose(PfFile* file) {
    if (!file)
        return;
    close(file->fd);
    delete file;
}

bool PfFileMoveReplacing(const char* from, const char* to, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorPathNotFound;
    if (!from || !from[0] || !to || !to[0])
        return false;
    ovCString mappedFrom;
    ovCString mappedTo;
    PathToPosix(from, mappedFrom);
    PathToPosix(to, mappedTo);
    if (mappedFrom.IsEmpty() || mappedTo.IsEmpty())
        return false;
    // rename(2) would also replace an empty folder; Windows never does.
    struct stat st;
    if (stat(mappedTo.CStr(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *error = kPfErrorAccessDenied;
        return false;
    }
    if (rename(mappedFrom.CStr(), mappedTo.CStr()) != 0) {
        *error = PfFileLastError();
        return false;
    }
    *error = kPfErrorNone;
    return true;
}
