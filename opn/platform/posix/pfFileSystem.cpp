#include "opn/platform/pfFileSystem.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <limits.h>
#include <stdio.h>
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
    ovCString mapped;
    if (!PathToPosix(path, mapped))
        return -1;
    int fd;
    do {
        fd = open(mapped.CStr(), flags | O_CLOEXEC, kFileMode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A wide library path as a POSIX path; empty when it cannot be converted.
void MapWide(const char16_t* path, ovCString& mapped) {
    mapped.Clear();
    ovCString narrow;
    if (path && Utf16ToUtf8(path, narrow))
        PathToPosix(narrow.CStr(), mapped);
}

// Deepest folder level FsDeleteTreeWide descends to; a path of 260 bytes
// has fewer levels.
const int kMaxTreeDepth = 256;

// Removes `name` below the open folder `parent`: a file or link at once, a
// folder after everything in it.
bool DeleteTreeAt(int parent, const char* name, int depth) {
    if (unlinkat(parent, name, 0) == 0 || errno == ENOENT)
        return true;
    // Linux answers EISDIR for a folder, other systems EPERM.
    if ((errno != EISDIR && errno != EPERM) || depth > kMaxTreeDepth)
        return false;
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return false;
    }
    bool ok = true;
    for (struct dirent* entry = readdir(dir); entry; entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        if (!DeleteTreeAt(dirfd(dir), entry->d_name, depth + 1))
            ok = false;
    }
    closedir(dir);
    return unlinkat(parent, name, AT_REMOVEDIR) == 0 && ok;
}

bool StatMapped(const char* path, struct stat* st) {
    ovCString mapped;
    if (!PathToPosix(path, mapped))
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
    ovCString mapped;
    if (!PathToPosix(path, mapped))
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
    ovCString mapped;
    if (!PathToPosix(path, mapped))
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

bool FsClearReadOnlyWide(const char16_t* path) {
    ovCString mapped;
    MapWide(path, mapped);
    struct stat st;
    if (mapped.IsEmpty() || stat(mapped.CStr(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return (st.st_mode & S_IWUSR) != 0 || chmod(mapped.CStr(), st.st_mode | S_IWUSR) == 0;
}

bool FsReplaceFileWide(const char16_t* from, const char16_t* to) {
    ovCString source;
    ovCString target;
    MapWide(from, source);
    MapWide(to, target);
    if (source.IsEmpty() || target.IsEmpty())
        return false;
    struct stat st;
    if (stat(source.CStr(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    // rename() would replace a read-only file anyway; clearing it first keeps
    // the two backends alike.
    if (stat(target.CStr(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & kWriteBits) == 0 &&
        !FsClearReadOnlyWide(to))
        return false;
    return rename(source.CStr(), target.CStr()) == 0;
}

bool FsDeleteTreeWide(const char16_t* folder) {
    ovCString mapped;
    MapWide(folder, mapped);
    if (mapped.IsEmpty())
        return false;
    // unlinkat() takes no trailing separator.
    uint32_t length = mapped.Length();
    while (length > 1 && mapped.CStr()[length - 1] == '/')
        --length;
    ovCString path;
    // Never the root of everything.
    if (length <= 1 || !path.Assign(mapped.CStr(), length))
        return false;
    return DeleteTreeAt(AT_FDCWD, path.CStr(), 0);
}
