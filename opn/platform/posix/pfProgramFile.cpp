#include "opn/platform/pfProgramFile.h"

#include <sys/stat.h>

#include "opn/core/ovCString.h"
#include "opn/platform/posix/pfPath.h"

bool PfMarkProgramFile(const char* path) {
    if (!path || !path[0])
        return false;
    ovCString posix;
    PathToPosix(path, posix);
    struct stat info;
    if (stat(posix.CStr(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    // Execute wherever reading is allowed: r-- becomes r-x.
    const mode_t mode = info.st_mode & 07777;
    const mode_t execute = (mode & (S_IRUSR | S_IRGRP | S_IROTH)) >> 2;
    return chmod(posix.CStr(), mode | execute) == 0;
}
