// Volumes of the platform.
#pragma once

#include <stdint.h>

// Total number of free bytes of the volume whose root folder is `root`
// ("C:\"), not the caller's quota. False, with `*freeBytes` 0, when it cannot
// be read. POSIX: `root` is mapped like every path (posix/pfPath.h), so any
// drive letter names the file system of "/".
bool PfFreeDiskSpace(const char* root, int64_t* freeBytes);
