#include "opn/platform/pfVolume.h"

#include <stdint.h>
#include <sys/statvfs.h>

#include "opn/platform/posix/pfPath.h"

bool PfSystemFreeDiskSpace(const char* root, int64_t* freeBytes) {
    if (freeBytes)
        *freeBytes = 0;
    if (!root || !freeBytes)
        return false;
    ovCString path;
    if (!PathToPosix(root, path))
        return false;
    struct statvfs info;
    if (statvfs(path.CStr(), &info) != 0)
        return false;
    // Free blocks of the volume, including those kept for the superuser: the
    // volume's total, not what this user may write.
    const uint64_t blockSize = info.f_frsize ? info.f_frsize : info.f_bsize;
    const uint64_t blocks = info.f_bfree;
    if (blockSize != 0 && blocks > (uint64_t)INT64_MAX / blockSize)
        *freeBytes = INT64_MAX;
    else
        *freeBytes = (int64_t)(blocks * blockSize);
    return true;
}
