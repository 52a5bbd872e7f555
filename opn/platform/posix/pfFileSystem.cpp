#include "opn/platform/pfFileSystem.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "opn/platform/posix/pfPath.h"

namespace {

const mode_t kFileMode = 0644;
const mode_t kFolderMode = 0755;

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
    // A regular file takes the whole buffer in the first write; the loop only
    // covers the rare short write (signal, disk nearly full).
    const char* p = static_cast<const char*>(data);
    size_t left = size;
    bool ok = true;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= (size_t)n;
    }
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
