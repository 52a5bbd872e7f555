#include "opn/platform/pfFileSystem.h"

#include <windows.h>

#include <string.h>

namespace {

// Other writers and readers of the same file (another thread appending to the
// log, a viewer) must not make the open fail.
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Appenders lock this one byte, far past any real data, around their write.
// Windows already appends atomically with FILE_APPEND_DATA, but Wine finds the
// end of the file and writes there in two steps, so two handles appending at
// once can land on the same offset and one line is lost. Readers and other
// writers never touch this byte, so the lock only orders the appenders.
const DWORD kAppendLockOffsetHigh = 0x7FFFFFFFu;

}  // namespace

bool FsAppendFile(const char* path, const void* data, size_t size) {
    if (!path || (!data && size > 0))
        return false;
    // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write go to the
    // current end of the file, atomically per WriteFile.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    OVERLAPPED lockAt;
    memset(&lockAt, 0, sizeof lockAt);
    lockAt.OffsetHigh = kAppendLockOffsetHigh;
    // Without locking (a share that refuses it) the append still goes out.
    const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt) != 0;
    const char* p = static_cast<const char*>(data);
    size_t left = size;
    bool ok = true;
    // One WriteFile for anything below 4 GiB; the loop is for larger buffers
    // and a short write.
    while (left > 0) {
        DWORD chunk = left > 0xFFFFFFFFu ? 0xFFFFFFFFu : (DWORD)left;
        DWORD written = 0;
        if (!WriteFile(file, p, chunk, &written, nullptr) || written == 0) {
            ok = false;
            break;
        }
        p += written;
        left -= written;
    }
    if (locked)
        UnlockFileEx(file, 0, 1, 0, &lockAt);
    if (!CloseHandle(file))
        ok = false;
    return ok;
}

bool FsCreateFolder(const char* path) {
    if (!path || !path[0])
        return false;
    if (CreateDirectoryA(path, nullptr))
        return true;
    return FsIsFolder(path);
}

bool FsExists(const char* path) {
    if (!path || !path[0])
        return false;
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool FsIsFolder(const char* path) {
    if (!path || !path[0])
        return false;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FsDeleteFile(const char* path) {
    if (!path || !path[0])
        return false;
    return DeleteFileA(path) != 0;
}

bool FsCreateEmptyFile(const char* path) {
    if (!path || !path[0])
        return false;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    return CloseHandle(file) != 0;
}
