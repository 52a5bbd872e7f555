// The file system calls over Win32 file handles.
#include "opn/platform/pfFileBackend.h"

#include <windows.h>

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
