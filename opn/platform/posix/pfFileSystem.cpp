#include "opn/platform/pfFileSystem.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <new>

#include "opn/core/ovCString.h"
#include "opn/core/ovUtf16.h"
#include "opn/platform/posix/pfPath.h"

namespace {

const mode_t kFileMode = 0644;
const mode_t kFolderMode = 0755;
const mode_t kReadOnlyFileMode = 0444;
const mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

// Between 1601-01-01 (FILETIME) and 1970-01-01, in 100 ns units.
const uint64_t kFileTimeAt1970 = 116444736000000000ull;
const uint64_t kFileTimePerSecond = 10000000ull;

// Writes all bytes, going on after a short write or a signal.
bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    size_t left = size;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= (size_t)n;
    }
    return true;
}

// A FILETIME as a timespec; UTIME_OMIT for 0 and for times before 1970.
struct timespec ToTimespec(uint64_t fileTime) {
    struct timespec ts;
    if (fileTime < kFileTimeAt1970) {
        ts.tv_sec = 0;
        ts.tv_nsec = UTIME_OMIT;
        return ts;
    }
    const uint64_t since1970 = fileTime - kFileTimeAt1970;
    ts.tv_sec = (time_t)(since1970 / kFileTimePerSecond);
    ts.tv_nsec = (long)(since1970 % kFileTimePerSecond) * 100;
    return ts;
}

int OpenMapped(const char* path, int flags) {
    if (!path)
        return -1;
    ovCString mapped;
    PathToPosix(path, mapped);
    if (mapped.IsEmpty())
        return -1;
    int fd;
    do {
        fd = open(mapped.CStr(), flags | O_CLOEXEC, kFileMode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool StatMapped(const char* path, struct stat* st) {
    if (!path)
        return false;
    ovCString mapped;
    PathToPosix(path, mapped);
    if (mapped.IsEmpty())
        return false;
    return stat(mapped.CStr(), st) == 0;
}

}  // namespace

bool FsAppendFile(const char* path, const void* data, size_t size) {
    if (!data && size > 0)
        return false;
    int fd = OpenMapped(path, O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0)
        return false;
    // A regular file takes the whole buffer in the first write; WriteAll only
    // loops for the rare short write (signal, disk nearly full).
    bool ok = WriteAll(fd, data, size);
    if (close(fd) != 0)
        ok = false;
    return ok;
}

bool FsCreateFolder(const char* path) {
    if (!path)
        return false;
    ovCString mapped;
    PathToPosix(path, mapped);
    if (mapped.IsEmpty())
        return false;
    if (mkdir(mapped.CStr(), kFolderMode) == 0)
        return true;
    return errno == EEXIST && FsIsFolder(path);
}

bool FsExists(const char* path) {
    struct stat st;
    return StatMapped(path, &st);
}

bool FsIsFolder(const char* path) {
    struct stat st;
    return StatMapped(path, &st) && S_ISDIR(st.st_mode);
}

int64_t FsFileSize(const char* path) {
    struct stat st;
    if (!StatMapped(path, &st) || S_ISDIR(st.st_mode))
        return -1;
    return (int64_t)st.st_size;
}

bool FsDeleteFile(const char* path) {
    if (!path)
        return false;
    ovCString mapped;
    PathToPosix(path, mapped);
    if (mapped.IsEmpty())
        return false;
    return unlink(mapped.CStr()) == 0;
}

bool FsCreateEmptyFile(const char* path) {
    int fd = OpenMapped(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0)
        return false;
    return close(fd) == 0;
}

struct FsFile {
    int fd;
};

FsFile* FsCreateFileForWriting(const char* path, uint32_t attributes) {
    struct stat st;
    // Windows refuses to replace a read-only file; without this a process
    // with the right to ignore permissions (root) would replace it here.
    if (StatMapped(path, &st) && S_ISREG(st.st_mode) && (st.st_mode & kWriteBits) == 0)
        return nullptr;
    const bool readOnly = (attributes & kFsAttributeReadOnly) != 0;
    int fd = OpenMapped(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0)
        return nullptr;
    if (readOnly && fchmod(fd, kReadOnlyFileMode) != 0) {
        close(fd);
        return nullptr;
    }
    FsFile* file = new (std::nothrow) FsFile;
    if (!file) {
        close(fd);
        return nullptr;
    }
    file->fd = fd;
    return file;
}

bool FsWriteFile(FsFile* file, const void* data, size_t size) {
    if (!file || (!data && size > 0))
        return false;
    return WriteAll(file->fd, data, size);
}

bool FsSetFileTimes(FsFile* file, uint64_t creation, uint64_t access, uint64_t write) {
    (void)creation;
    if (!file)
        return false;
    struct timespec times[2] = {ToTimespec(access), ToTimespec(write)};
    return futimens(file->fd, times) == 0;
}

bool FsCloseFile(FsFile* file) {
    if (!file)
        return false;
    const bool ok = close(file->fd) == 0;
    delete file;
    return ok;
}

bool FsGetCurrentFolder(ovCString& out) {
    out.Clear();
    char buffer[PATH_MAX];
    if (!getcwd(buffer, sizeof buffer))
        return false;
    PathFromPosix(buffer, out);
    return !out.IsEmpty();
}

bool FsExistsWide(const char16_t* path) {
    ovCString narrow;
    return Utf16ToUtf8(path, narrow) && FsExists(narrow.CStr());
}

bool FsCreateFolderWide(const char16_t* path) {
    ovCString narrow;
    return Utf16ToUtf8(path, narrow) && FsCreateFolder(narrow.CStr());
}

FsFile* FsCreateFileForWritingWide(const char16_t* path, uint32_t attributes) {
    ovCString narrow;
    if (!Utf16ToUtf8(path, narrow))
        return nullptr;
    return FsCreateFileForWriting(narrow.CStr(), attributes);
}
