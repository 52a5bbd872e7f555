#include "opn/platform/pfFileSystem.h"

#include <windows.h>

#include <string.h>
#include <wchar.h>

#include <new>
#include <string>

#include "opn/core/ovCString.h"

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

int64_t FsFileSize(const char* path) {
    if (!path || !path[0])
        return -1;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    return ((int64_t)data.nFileSizeHigh << 32) | (int64_t)data.nFileSizeLow;
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

struct FsFile {
    HANDLE handle;
};

namespace {

const uint32_t kSettableAttributes =
    kFsAttributeReadOnly | kFsAttributeHidden | kFsAttributeSystem | kFsAttributeArchive;

FILETIME ToFileTime(uint64_t value) {
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)(value & 0xFFFFFFFFu);
    ft.dwHighDateTime = (DWORD)(value >> 32);
    return ft;
}

// A handle from CreateFile as a file, or null for a failed one.
FsFile* WrapCreated(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    FsFile* file = new (std::nothrow) FsFile;
    if (!file) {
        CloseHandle(handle);
        return nullptr;
    }
    file->handle = handle;
    return file;
}

// Windows refuses to replace a read-only file; Wine run by root would
// replace it, so the rule is checked here for both.
bool IsReadOnlyFile(DWORD existing) {
    return existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_READONLY) &&
           !(existing & FILE_ATTRIBUTE_DIRECTORY);
}

DWORD CreationFlags(uint32_t attributes) {
    const DWORD flags = attributes & kSettableAttributes;
    return flags ? flags : FILE_ATTRIBUTE_NORMAL;
}

const wchar_t* Wide(const char16_t* path) {
    return reinterpret_cast<const wchar_t*>(path);
}

}  // namespace

FsFile* FsCreateFileForWriting(const char* path, uint32_t attributes) {
    if (!path || !path[0] || IsReadOnlyFile(GetFileAttributesA(path)))
        return nullptr;
    return WrapCreated(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   CreationFlags(attributes), nullptr));
}

bool FsExistsWide(const char16_t* path) {
    if (!path || !path[0])
        return false;
    return GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES;
}

bool FsCreateFolderWide(const char16_t* path) {
    if (!path || !path[0])
        return false;
    if (CreateDirectoryW(Wide(path), nullptr))
        return true;
    const DWORD attributes = GetFileAttributesW(Wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

FsFile* FsCreateFileForWritingWide(const char16_t* path, uint32_t attributes) {
    if (!path || !path[0] || IsReadOnlyFile(GetFileAttributesW(Wide(path))))
        return nullptr;
    return WrapCreated(CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   CreationFlags(attributes), nullptr));
}

bool FsWriteFile(FsFile* file, const void* data, size_t size) {
    if (!file || (!data && size > 0))
        return false;
    const char* p = static_cast<const char*>(data);
    size_t left = size;
    while (left > 0) {
        DWORD chunk = left > 0x40000000u ? 0x40000000u : (DWORD)left;
        DWORD written = 0;
        if (!WriteFile(file->handle, p, chunk, &written, nullptr) || written == 0)
            return false;
        p += written;
        left -= written;
    }
    return true;
}

bool FsSetFileTimes(FsFile* file, uint64_t creation, uint64_t access, uint64_t write) {
    if (!file)
        return false;
    const FILETIME c = ToFileTime(creation);
    const FILETIME a = ToFileTime(access);
    const FILETIME w = ToFileTime(write);
    return SetFileTime(file->handle, creation ? &c : nullptr, access ? &a : nullptr,
                       write ? &w : nullptr) != 0;
}

bool FsCloseFile(FsFile* file) {
    if (!file)
        return false;
    const bool ok = CloseHandle(file->handle) != 0;
    delete file;
    return ok;
}

bool FsGetCurrentFolder(ovCString& out) {
    out.Clear();
    char buffer[MAX_PATH + 1];
    DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    if (n == 0 || n >= sizeof buffer) {
        // Longer than MAX_PATH: ask for the exact size.
        if (n == 0)
            return false;
        char* big = new (std::nothrow) char[n];
        if (!big)
            return false;
        DWORD again = GetCurrentDirectoryA(n, big);
        const bool ok = again > 0 && again < n && out.Assign(big, again);
        delete[] big;
        return ok;
    }
    return out.Assign(buffer, n);
}

namespace {

// Deepest folder level FsDeleteTreeWide descends to; a path of 260 bytes
// has fewer levels.
const int kMaxTreeDepth = 256;

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool DeleteTree(const std::wstring& path, int depth) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return IsMissing(GetLastError());
    // Neither DeleteFile nor RemoveDirectory removes a read-only item.
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return DeleteFileW(path.c_str()) != 0;
    // A junction or folder link goes itself; what it points at stays.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || depth > kMaxTreeDepth)
        return RemoveDirectoryW(path.c_str()) != 0;
    bool ok = true;
    WIN32_FIND_DATAW found;
    std::wstring pattern;
    try {
        pattern = path + L"\\*";
    } catch (const std::bad_alloc&) {
        return false;
    }
    HANDLE find = FindFirstFileW(pattern.c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const wchar_t* name = found.cFileName;
            if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0)
                continue;
            std::wstring child;
            try {
                child = path + L"\\" + name;
            } catch (const std::bad_alloc&) {
                ok = false;
                break;
            }
            if (!DeleteTree(child, depth + 1))
                ok = false;
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    return RemoveDirectoryW(path.c_str()) != 0 && ok;
}

}  // namespace

bool FsClearReadOnlyWide(const char16_t* path) {
    if (!path || !path[0])
        return false;
    const DWORD attributes = GetFileAttributesW(Wide(path));
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (!(attributes & FILE_ATTRIBUTE_READONLY))
        return true;
    return SetFileAttributesW(Wide(path), attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY) != 0;
}

bool FsReplaceFileWide(const char16_t* from, const char16_t* to) {
    if (!from || !from[0] || !to || !to[0])
        return false;
    // MoveFileEx refuses to replace a read-only file.
    if (IsReadOnlyFile(GetFileAttributesW(Wide(to))) && !FsClearReadOnlyWide(to))
        return false;
    return MoveFileExW(Wide(from), Wide(to), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool FsDeleteTreeWide(const char16_t* folder) {
    if (!folder || !folder[0])
        return false;
    std::wstring path;
    try {
        path = Wide(folder);
    } catch (const std::bad_alloc&) {
        return false;
    }
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    // Never a drive's root.
    if (path.size() <= 3 && path.find(L':') != std::wstring::npos)
        return false;
    return DeleteTree(path, 0);
}
