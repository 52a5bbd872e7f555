// The volume functions that need no backend of their own: the test hook and
// the free space of a path that may not exist yet.
#include <string.h>

#include <atomic>

#include "opn/core/ovCString.h"
#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfVolume.h"

namespace {

std::atomic<PfFreeDiskSpaceHook> g_hook{nullptr};

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

void PfSetFreeDiskSpaceHookForTesting(PfFreeDiskSpaceHook hook) {
    g_hook.store(hook, std::memory_order_release);
}

bool PfFreeDiskSpace(const char* folder, int64_t* freeBytes) {
    PfFreeDiskSpaceHook hook = g_hook.load(std::memory_order_acquire);
    if (!hook)
        return PfSystemFreeDiskSpace(folder, freeBytes);
    if (freeBytes)
        *freeBytes = 0;
    if (!folder || !freeBytes)
        return false;
    if (hook(folder, freeBytes))
        return true;
    *freeBytes = 0;
    return false;
}

bool PfFreeDiskSpaceAt(const char* path, int64_t* freeBytes) {
    if (freeBytes)
        *freeBytes = 0;
    if (!path || !path[0] || !freeBytes)
        return false;
    ovCString folder;
    if (!folder.Assign(path))
        return false;
    // Shortened one component at a time until an existing folder is left.
    for (uint32_t guard = 0; guard <= folder.Length(); ++guard) {
        if (FsIsFolder(folder.CStr()))
            return PfFreeDiskSpace(folder.CStr(), freeBytes);
        uint32_t end = folder.Length();
        while (end > 0 && IsSeparator(folder.CStr()[end - 1]))
            --end;
        while (end > 0 && !IsSeparator(folder.CStr()[end - 1]))
            --end;
        if (end == 0)
            break;
        if (!folder.Assign(path, end))
            return false;
    }
    return false;
}
