// The file system calls over Win32 file handles.
#include "opn/platform/pfFileBackend.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <new>

#include "opn/platform/pfError.h"

namespace {

// ReadFile and WriteFile take a DWORD count; stay well below it.
const size_t kMaxChunk = 0x40000000u;

HANDLE Handle(PfFileHandle handle) {
    return (HANDLE)handle;
}

DWORD Chunk(size_t size) {
    return size > kMaxChunk ? (DWORD)kMaxChunk : (DWORD)size;
}

bool Seek(PfFileHandle handle, DWORD method, int64_t* position) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    LARGE_INTEGER at;
    at.QuadPart = 0;
    if (!SetFilePointerEx(Handle(handle), zero, &at, method))
        return false;
    *position = (int64_t)at.QuadPart;
    return true;
}

}  // namespace

bool PfFileBackendOpen(const char* path, PfFileOpenMode mode, PfFileHandle* handle,
                       int32_t* outcome) {
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD share = FILE_SHARE_READ;
    DWORD disposition = mode == kPfFileCreateAlways ? CREATE_ALWAYS : OPEN_ALWAYS;
    if (mode == kPfFileOpenForReading || mode == kPfFileOpenHeld || mode == kPfFileOpenNoLink) {
        access = GENERIC_READ;
        share = mode == kPfFileOpenHeld ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
        disposition = OPEN_EXISTING;
    }
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (mode == kPfFileOpenNoLink || mode == kPfFileCreateNew) {
        // The link itself is opened, never what it points at.
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
        if (mode == kPfFileCreateNew) {
            share = FILE_SHARE_READ;
            disposition = CREATE_NEW;
        }
    }
    const HANDLE opened = CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
    // Also set on success: ERROR_ALREADY_EXISTS tells a file that was there.
    const DWORD last = GetLastError();
    if (opened == INVALID_HANDLE_VALUE) {
        *outcome = PfFileMapError((int32_t)last);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (mode == kPfFileOpenNoLink &&
        (!GetFileInformationByHandle(opened, &info) ||
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))) {
        CloseHandle(opened);
        *outcome = kPfErrorAccessDenied;
        return false;
    }
    *handle = (PfFileHandle)opened;
    *outcome = last == ERROR_ALREADY_EXISTS ? kPfErrorAlreadyExists : kPfErrorNone;
    return true;
}

int64_t PfFileBackendRead(PfFileHandle handle, void* data, size_t size, int32_t* error) {
    DWORD read = 0;
    if (!ReadFile(Handle(handle), data, Chunk(size), &read, nullptr)) {
        *error = PfFileLastError();
        return -1;
    }
    return (int64_t)read;
}

int64_t PfFileBackendWrite(PfFileHandle handle, const void* data, size_t size, int32_t* error) {
    DWORD written = 0;
    if (!WriteFile(Handle(handle), data, Chunk(size), &written, nullptr)) {
        *error = PfFileLastError();
        return -1;
    }
    return (int64_t)written;
}

int64_t PfFileBackendSeekEnd(PfFileHandle handle) {
    int64_t end = 0;
    return Seek(handle, FILE_END, &end) ? end : -1;
}

bool PfFileBackendSeekStart(PfFileHandle handle) {
    int64_t start = 0;
    return Seek(handle, FILE_BEGIN, &start);
}

void PfFileBackendClose(PfFileHandle handle) {
    CloseHandle(Handle(handle));
}

bool PfFileBackendMove(const char* from, const char* to, int32_t* error) {
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) {
        *error = PfFileLastError();
        return false;
    }
    return true;
}

namespace {

// A file on disk that is no reparse point (link, junction) and no folder and
// has exactly one name.
bool IsSole(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info))
        return false;
    const DWORD notFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    return (info.dwFileAttributes & notFile) == 0 && info.nNumberOfLinks == 1;
}

// Opens the name itself (a link is not followed) with `disposition`.
HANDLE OpenName(const char* path, PfSoleMode mode, DWORD disposition) {
    DWORD access = GENERIC_READ;
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (mode == kPfSoleKeep || mode == kPfSoleEmpty) {
        // DELETE: the finished file is renamed through this handle.
        access = GENERIC_READ | GENERIC_WRITE | DELETE;
        share = FILE_SHARE_READ;
    } else if (mode == kPfSoleHeld) {
        share = FILE_SHARE_READ;
    }
    return CreateFileA(path, access, share, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool Truncate(HANDLE handle) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return SetFilePointerEx(handle, zero, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}

// The path in UTF-16 (from the system code page); empty when it cannot be.
bool WidePath(const char* path, wchar_t** out, DWORD* chars) {
    const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 1)
        return false;
    *out = new (std::nothrow) wchar_t[(size_t)n];
    if (!*out || MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, *out, n) != n) {
        delete[] * out;
        *out = nullptr;
        return false;
    }
    *chars = (DWORD)(n - 1);
    return true;
}

}  // namespace

bool PfFileBackendOpenSole(const char* path, PfSoleMode mode, PfFileHandle* handle,
                           int32_t* outcome) {
    const bool write = mode == kPfSoleKeep || mode == kPfSoleEmpty;
    for (int round = 0; round < kPfSoleOpenRounds; ++round) {
        // A new file first: it is the usual case, and under Wine each name
        // looked up that is not there costs a scan of the whole folder.
        if (write) {
            const HANDLE created = OpenName(path, mode, CREATE_NEW);
            // A device name opens the device whatever the disposition.
            if (created != INVALID_HANDLE_VALUE && !IsSole(created)) {
                CloseHandle(created);
                *outcome = kPfErrorAccessDenied;
                return false;
            }
            if (created != INVALID_HANDLE_VALUE) {
                *handle = (PfFileHandle)created;
                *outcome = kPfErrorNone;
                return true;
            }
            const DWORD failed = GetLastError();
            if (failed != ERROR_FILE_EXISTS && failed != ERROR_ALREADY_EXISTS) {
                *outcome = PfFileMapError((int32_t)failed);
                return false;
            }
        }
        HANDLE opened = OpenName(path, mode, OPEN_EXISTING);
        if (opened != INVALID_HANDLE_VALUE) {
            if (IsSole(opened)) {
                if (mode == kPfSoleEmpty && !Truncate(opened)) {
                    *outcome = PfFileLastError();
                    CloseHandle(opened);
                    return false;
                }
                *handle = (PfFileHandle)opened;
                *outcome = kPfErrorAlreadyExists;
                return true;
            }
            CloseHandle(opened);
            // The name itself goes (DeleteFile removes a link, never its
            // target); a linked folder or a device stays and is refused.
            if (!write || !DeleteFileA(path)) {
                *outcome = kPfErrorAccessDenied;
                return false;
            }
            continue;
        }
        // Gone again since: the next round creates it.
        const DWORD last = GetLastError();
        if (last != ERROR_FILE_NOT_FOUND || !write) {
            *outcome = PfFileMapError((int32_t)last);
            return false;
        }
    }
    *outcome = kPfErrorSharingViolation;
    return false;
}

int64_t PfFileBackendSoleSize(const char* path) {
    // No access asked: nobody holding the file is disturbed.
    const HANDLE opened = CreateFileA(
        path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return -1;
    LARGE_INTEGER size;
    const bool sole = IsSole(opened) && GetFileSizeEx(opened, &size);
    CloseHandle(opened);
    return sole ? (int64_t)size.QuadPart : -1;
}

bool PfFileBackendMoveOpen(PfFileHandle handle, const char* from, const char* to, int32_t* error) {
    (void)from;
    wchar_t* wide = nullptr;
    DWORD chars = 0;
    if (!WidePath(to, &wide, &chars)) {
        *error = kPfErrorPathNotFound;
        return false;
    }
    // The rename goes through the handle: it moves the file written, whatever
    // now has its old name.
    const size_t size = sizeof(FILE_RENAME_INFO) + chars * sizeof(wchar_t);
    FILE_RENAME_INFO* info = static_cast<FILE_RENAME_INFO*>(calloc(1, size));
    if (!info) {
        delete[] wide;
        *error = kPfErrorNotEnoughMemory;
        return false;
    }
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = chars * (DWORD)sizeof(wchar_t);
    memcpy(info->FileName, wide, (chars + 1) * sizeof(wchar_t));
    delete[] wide;
    const bool moved =
        SetFileInformationByHandle(Handle(handle), FileRenameInfo, info, (DWORD)size) != 0;
    if (!moved)
        *error = PfFileLastError();
    free(info);
    return moved;
}
