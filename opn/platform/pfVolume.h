// Volumes of the platform.
#pragma once

#include <stdint.h>

// Total number of free bytes of the volume holding the existing folder
// `folder` ("C:\", "C:\games\"), not the caller's quota. False, with
// `*freeBytes` 0, when it cannot be read. POSIX: `folder` is mapped like every
// path (posix/pfPath.h); "X:\" names the file system of "/". Answered by the
// test hook when one is set.
bool PfFreeDiskSpace(const char* folder, int64_t* freeBytes);

// The same for a path that need not exist yet (a download folder or a file
// in it): the nearest existing folder on the path decides ("C:\" at the
// latest). False, with `*freeBytes` 0, when no folder of the path exists or
// the space cannot be read.
bool PfFreeDiskSpaceAt(const char* path, int64_t* freeBytes);

// The system's answer for PfFreeDiskSpace, without the test hook (one per
// backend).
bool PfSystemFreeDiskSpace(const char* folder, int64_t* freeBytes);

// Test seam: when set, PfFreeDiskSpace answers with the hook (called with
// the folder it was asked about) instead of the system. Null restores the
// system's answer.
typedef bool (*PfFreeDiskSpaceHook)(const char* folder, int64_t* freeBytes);
void PfSetFreeDiskSpaceHookForTesting(PfFreeDiskSpaceHook hook);
