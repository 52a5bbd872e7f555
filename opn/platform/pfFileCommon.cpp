// The parts of the file functions that need no backend of their own: the
// write hook of the tests and the creation of a folder path.
#include <string.h>

#include <atomic>

#include "opn/core/ovCString.h"
#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"

namespace {

std::atomic<PfFileWriteHook> g_writeHook{nullptr};

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool IsDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Length of the part of `path` that is never created: "C:\" or "C:", a
// leading separator ("/home", "\dir"), or the server and share of a UNC
// path ("\\server\share\").
size_t RootLength(const char* path, size_t length) {
    if (length >= 2 && IsDriveLetter(path[0]) && path[1] == ':')
        return length >= 3 && IsSeparator(path[2]) ? 3 : 2;
    if (length >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        size_t i = 2;
        for (int part = 0; part < 2 && i < length; ++part) {
            while (i < length && !IsSeparator(path[i]))
                ++i;
            if (i < length)
                ++i;
        }
        return i;
    }
    return length >= 1 && IsSeparator(path[0]) ? 1 : 0;
}

}  // namespace

void PfFileSetWriteHookForTesting(PfFileWriteHook hook) {
    g_writeHook.store(hook, std::memory_order_release);
}

size_t PfFileWritableBytes(const char* path, int64_t offset, size_t size) {
    PfFileWriteHook hook = g_writeHook.load(std::memory_order_acquire);
    if (!hook)
        return size;
    const size_t allowed = hook(path, offset, size);
    return allowed < size ? allowed : size;
}

bool FsCreateFolders(const char* folder) {
    if (!folder || !folder[0])
        return false;
    if (FsIsFolder(folder))
        return true;
    const size_t length = strlen(folder);
    ovCString prefix;
    // Each prefix that ends before a separator, shortest first, then the
    // whole path; a run of separators makes one cut.
    for (size_t i = RootLength(folder, length); i <= length; ++i) {
        if (i < length && !IsSeparator(folder[i]))
            continue;
        if (i == 0 || IsSeparator(folder[i - 1]))
            continue;
        if (!prefix.Assign(folder, (uint32_t)i))
            return false;
        if (!FsIsFolder(prefix.CStr()) && !FsCreateFolder(prefix.CStr()))
            return false;
    }
    return FsIsFolder(folder);
}
