#include "opn/platform/pfFile.h"

#include <windows.h>

#include <new>

#include "opn/core/ovCString.h"

struct PfFile {
    HANDLE handle;
    int64_t offset;
    ovCString path;  // as given to PfFileCreateAlways, for the write hook
};

namespace {

PfFile* Open(const char* path, DWORD access, DWORD share, DWORD disposition, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorPathNotFound;
    if (!path || !path[0])
        return nullptr;
    HANDLE handle =
        CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD opened = GetLastError();
    if (handle == INVALID_HANDLE_VALUE) {
        *error = PfFileMapError((int32_t)opened);
        return nullptr;
    }
    PfFile* file = new (std::nothrow) PfFile{handle, 0, ovCString()};
    if (!file || !file->path.Assign(path)) {
        delete file;
        CloseHandle(handle);
        *error = kPfErrorGeneral;
        return nullptr;
    }
    *error = opened == ERROR_ALREADY_EXISTS ? kPfErrorAlreadyExists : kPfErrorNone;
    return file;
}

}  // namespace

PfFile* PfFileCreateAlways(const char* path, int32_t* error) {
    return Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, error);
}

PfFile* PfFileOpenAlways(const char* path, int32_t* error) {
    return Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, error);
}

PfFile* PfFileOpenForReading(const char* path, int32_t* error) {
    PfFile* file =
        Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, error);
    if (file && error)
        *error = kPfErrorNone;
    return file;
}

PfFile* PfFileOpenHeld(const char* path, int32_t* error) {
    PfFile* file = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, error);
    if (file && error)
        *error = kPfErrorNone;
    return file;
}

int64_t PfFileRead(PfFile* file, void* data, size_t size, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorNone;
    if (!file || (!data && size > 0)) {
        *error = kPfErrorGeneral;
        return -1;
    }
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : (DWORD)size;
    DWORD read = 0;
    if (!ReadFile(file->handle, data, chunk, &read, nullptr)) {
        *error = PfFileLastError();
        return -1;
    }
    file->offset += read;
    return (int64_t)read;
}

bool PfFileWrite(PfFile* file, const void* data, size_t size, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorNone;
    if (!file || (!data && size > 0)) {
        *error = kPfErrorGeneral;
        return false;
    }
    const size_t allowed = PfFileWritableBytes(file->path.CStr(), file->offset, size);
    const char* p = static_cast<const char*>(data);
    size_t left = allowed;
    while (left > 0) {
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : (DWORD)left;
        DWORD written = 0;
        if (!WriteFile(file->handle, p, chunk, &written, nullptr)) {
            *error = PfFileLastError();
            return false;
        }
        if (written == 0) {
            *error = kPfErrorDiskFull;
            return false;
        }
        p += written;
        left -= written;
        file->offset += written;
    }
    if (allowed < size) {
        *error = kPfErrorDiskFull;
        return false;
    }
    return true;
}

int64_t PfFileSeekEnd(PfFile* file) {
    if (!file)
        return -1;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    LARGE_INTEGER end;
    if (!SetFilePointerEx(file->handle, zero, &end, FILE_END))
        return -1;
    file->offset = (int64_t)end.QuadPart;
    return file->offset;
}

bool PfFileSeekStart(PfFile* file) {
    if (!file)
        return false;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(file->handle, zero, nullptr, FILE_BEGIN))
        return false;
    file->offset = 0;
    return true;
}

void PfFileClose(PfFile* file) {
    if (!file)
        return;
    CloseHandle(file->handle);
    delete file;
}

bool PfFileMoveReplacing(const char* from, const char* to, int32_t* error) {
    int32_t ignored = 0;
    if (!error)
        error = &ignored;
    *error = kPfErrorPathNotFound;
    if (!from || !from[0] || !to || !to[0])
        return false;
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) {
        *error = PfFileLastError();
        return false;
    }
    *error = kPfErrorNone;
    return true;
}
