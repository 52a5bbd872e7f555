#include "opn/platform/pfVolume.h"

#include <windows.h>

bool PfSystemFreeDiskSpace(const char* root, int64_t* freeBytes) {
    if (freeBytes)
        *freeBytes = 0;
    if (!root || !freeBytes)
        return false;
    ULARGE_INTEGER totalFree;
    if (!GetDiskFreeSpaceExA(root, nullptr, nullptr, &totalFree))
        return false;
    *freeBytes =
        totalFree.QuadPart > (ULONGLONG)INT64_MAX ? INT64_MAX : (int64_t)totalFree.QuadPart;
    return true;
}
