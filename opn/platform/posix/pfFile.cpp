// The file system calls over POSIX descriptors, on paths mapped from Windows
// form (pfPath.h).
#include "opn/platform/pfFileBackend.h"

#include <errno.h>
#include <stdio.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "opn/core/ovCString.h"
#include "opn/platform/pfError.h"
#include "opn/platform/posix/pfPath.h"

namespace {

const mode_t kFileMode = 0644;

int Fd(PfFileHandle handle) {
    return (int)handle;
}

int OpenRetrying(const char* path, int flags) {
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC, kFileMode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Runs a read or write again when a signal cut it short.
template <typename Call>
int64_t Retrying(Call call, int32_t* error) {
    for (;;) {
        const ssize_t n = call();
        if (n >= 0)
            return (int64_t)n;
        if (errno != EINTR) {
            *error = PfFileLastError();
            return -1;
        }
    }
}

// How each mode opens: with `first`; when that fails with `retryOn`, with
// `second`. CREATE_ALWAYS and OPEN_ALWAYS tell whether the file was there,
// so neither opens with O_CREAT alone.
struct OpenPlan {
    int first;
    bool firstFindsFile;  // success of `first` means the file was there
    int retryOn;          // errno that sends to `second`; 0 never
    int second;
};

const OpenPlan kPlans[] = {
    {O_RDWR | O_CREAT | O_EXCL, false, EEXIST, O_RDWR | O_TRUNC},  // kPfFileCreateAlways
    {O_RDWR, true, ENOENT, O_RDWR | O_CREAT},                      // kPfFileOpenAlways
    {O_RDONLY, true, 0, 0},                                        // kPfFileOpenForReading
    {O_RDONLY, true, 0, 0},  // kPfFileOpenHeld: no share modes here, held is read
    // A FIFO must not hold the open; the type check below refuses it.
    {O_RDONLY | O_NOFOLLOW | O_NONBLOCK, true, 0, 0},  // kPfFileOpenNoLink
    // O_EXCL fails on any name that exists, a dangling link too.
    {O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, false, 0, 0},  // kPfFileCreateNew
};
static_assert(sizeof kPlans / sizeof kPlans[0] == kPfFileCreateNew + 1, "a plan per mode");

}  // namespace

bool PfFileBackendOpen(const char* path, PfFileOpenMode mode, PfFileHandle* handle,
                       int32_t* outcome) {
    ovCString mapped;
    if (!PathToPosix(path, mapped)) {
        *outcome = kPfErrorPathNotFound;
        return false;
    }
    const OpenPlan& plan = kPlans[mode];
    int fd = OpenRetrying(mapped.CStr(), plan.first);
    bool existed = plan.firstFindsFile;
    if (fd < 0 && plan.retryOn != 0 && errno == plan.retryOn) {
        existed = !existed;
        fd = OpenRetrying(mapped.CStr(), plan.second);
    }
    if (fd < 0) {
        *outcome = PfFileLastError();
        return false;
    }
    // Only a regular file is one: a folder or a device is refused as
    // CreateFile refuses a folder.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *outcome = kPfErrorAccessDenied;
        return false;
    }
    if (mode == kPfFileOpenNoLink) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            close(fd);
            *outcome = kPfErrorAccessDenied;
            return false;
        }
    }
    *handle = (PfFileHandle)fd;
    *outcome = existed ? kPfErrorAlreadyExists : kPfErrorNone;
    return true;
}

int64_t PfFileBackendRead(PfFileHandle handle, void* data, size_t size, int32_t* error) {
    return Retrying([&] { return read(Fd(handle), data, size); }, error);
}

int64_t PfFileBackendWrite(PfFileHandle handle, const void* data, size_t size, int32_t* error) {
    return Retrying([&] { return write(Fd(handle), data, size); }, error);
}

int64_t PfFileBackendSeekEnd(PfFileHandle handle) {
    const off_t end = lseek(Fd(handle), 0, SEEK_END);
    return end < 0 ? -1 : (int64_t)end;
}

bool PfFileBackendSeekStart(PfFileHandle handle) {
    return lseek(Fd(handle), 0, SEEK_SET) == 0;
}

void PfFileBackendClose(PfFileHandle handle) {
    close(Fd(handle));
}

bool PfFileBackendMove(const char* from, const char* to, int32_t* error) {
    ovCString mappedFrom;
    ovCString mappedTo;
    if (!PathToPosix(from, mappedFrom) || !PathToPosix(to, mappedTo)) {
        *error = kPfErrorPathNotFound;
        return false;
    }
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
    return true;
}

namespace {

// A regular file with one name: what lstat or fstat shows of a sole file.
bool IsSole(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The sole file at `path` looked at through `lstat` is opened when it is still
// that file once open; -1 with errno otherwise (EAGAIN: it changed). A FIFO
// put there meanwhile does not block the open (O_NONBLOCK, cleared after).
int OpenLookedAt(const char* path, const struct stat& looked, bool write) {
    const int fd =
        OpenRetrying(path, (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !IsSole(st) || !SameFile(st, looked) || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        errno = EAGAIN;
        return -1;
    }
    return fd;
}

}  // namespace

bool PfFileBackendOpenSole(const char* path, PfSoleMode mode, PfFileHandle* handle,
                           int32_t* outcome) {
    ovCString mapped;
    if (!PathToPosix(path, mapped)) {
        *outcome = kPfErrorPathNotFound;
        return false;
    }
    const char* p = mapped.CStr();
    const bool write = mode == kPfSoleKeep || mode == kPfSoleEmpty;
    for (int round = 0; round < kPfSoleOpenRounds; ++round) {
        struct stat looked;
        if (lstat(p, &looked) == 0) {
            if (S_ISDIR(looked.st_mode)) {
                *outcome = kPfErrorAccessDenied;
                return false;
            }
            if (IsSole(looked)) {
                const int fd = OpenLookedAt(p, looked, write);
                if (fd >= 0) {
                    if (mode == kPfSoleEmpty && ftruncate(fd, 0) != 0) {
                        *outcome = PfFileLastError();
                        close(fd);
                        return false;
                    }
                    *handle = (PfFileHandle)fd;
                    *outcome = kPfErrorAlreadyExists;
                    return true;
                }
                // Changed between the look and the open: look again.
                if (errno == EAGAIN || errno == ENOENT || errno == ELOOP)
                    continue;
                *outcome = PfFileLastError();
                return false;
            }
            if (!write) {
                *outcome = kPfErrorAccessDenied;
                return false;
            }
            // The name itself goes, never what a link names.
            if (unlink(p) != 0 && errno != ENOENT) {
                *outcome = PfFileLastError();
                return false;
            }
            continue;
        }
        if (errno != ENOENT || !write) {
            *outcome = PfFileLastError();
            return false;
        }
        const int fd = OpenRetrying(p, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY);
        if (fd >= 0) {
            *handle = (PfFileHandle)fd;
            *outcome = kPfErrorNone;
            return true;
        }
        if (errno != EEXIST) {
            *outcome = PfFileLastError();
            return false;
        }
    }
    *outcome = kPfErrorSharingViolation;
    return false;
}

int64_t PfFileBackendSoleSize(const char* path) {
    ovCString mapped;
    struct stat st;
    if (!PathToPosix(path, mapped) || lstat(mapped.CStr(), &st) != 0 || !IsSole(st))
        return -1;
    return (int64_t)st.st_size;
}

bool PfFileBackendMoveOpen(PfFileHandle handle, const char* from, const char* to, int32_t* error) {
    ovCString mappedFrom;
    ovCString mappedTo;
    if (!PathToPosix(from, mappedFrom) || !PathToPosix(to, mappedTo)) {
        *error = kPfErrorPathNotFound;
        return false;
    }
    struct stat held;
    struct stat named;
    if (fstat(Fd(handle), &held) != 0 || lstat(mappedFrom.CStr(), &named) != 0 ||
        !SameFile(held, named) || !IsSole(named)) {
        *error = kPfErrorSharingViolation;
        return false;
    }
    struct stat target;
    if (lstat(mappedTo.CStr(), &target) == 0 && S_ISDIR(target.st_mode)) {
        *error = kPfErrorAccessDenied;
        return false;
    }
    if (rename(mappedFrom.CStr(), mappedTo.CStr()) != 0) {
        *error = PfFileLastError();
        return false;
    }
    // Swapped in between the look and the rename: what went into place is not
    // the file written, and goes again.
    if (lstat(mappedTo.CStr(), &named) != 0 || !SameFile(held, named)) {
        unlink(mappedTo.CStr());
        *error = kPfErrorSharingViolation;
        return false;
    }
    return true;
}
