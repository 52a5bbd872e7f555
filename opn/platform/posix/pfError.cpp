// errno as the platform's codes (pfError.h): socket errors as the same
// ResultCodes the Winsock errors give, notification errors as Winsock
// numbers, file and process errors as the Windows error the same failure
// gives there, so that callers test one set of numbers on both backends.
#include "opn/platform/pfError.h"

#include <errno.h>

ResultCode SockMapError(int32_t nativeError) {
    switch (nativeError) {
        case EWOULDBLOCK:
#if EAGAIN != EWOULDBLOCK
        case EAGAIN:
#endif
        // A signal cut a non-blocking call short before anything moved: try
        // again at the next notice, as after "would block".
        case EINTR:
            return OV_E_WOULD_BLOCK;
        // Only connect gives this, and SockConnect reports it as "would
        // block" as Winsock does; other callers keep the plain meaning.
        case EINPROGRESS:
            return OV_E_IN_PROGRESS;
        case EALREADY:
            return OV_E_ALREADY;
        // A closed descriptor is "not a socket" to Winsock.
        case ENOTSOCK:
        case EBADF:
            return OV_E_NOT_SOCKET;
        case ENOBUFS:
            return OV_E_NO_BUFFERS;
        case ECONNREFUSED:
            return OV_E_CONN_REFUSED;
        default:
            return OV_E_PLATFORM;
    }
}

ResultCode SockLastError() {
    return SockMapError(errno);
}

uint32_t SockNoticeError(int32_t nativeError) {
    switch (nativeError) {
        case 0:
            return 0;
        case ECONNREFUSED:
            return kSockErrRefused;
        case EHOSTUNREACH:
            return kSockErrHostUnreachable;
        case ENETUNREACH:
            return kSockErrNetUnreachable;
        case ETIMEDOUT:
            return kSockErrTimedOut;
        // A peer that closed while data was unsent shows as a broken pipe on
        // POSIX and as a reset under Winsock.
        case ECONNRESET:
        case EPIPE:
            return kSockErrConnReset;
        case ECONNABORTED:
            return kSockErrConnAborted;
        case ENETDOWN:
            return kSockErrNetDown;
        // Winsock numbers are 10000 plus the BSD number; others keep that
        // shape within the 16 bits a notification carries.
        default:
            return 10000u + ((uint32_t)nativeError & 0x3FFFu);
    }
}

int32_t PfFileMapError(int32_t nativeError) {
    switch (nativeError) {
        // A missing file and a missing folder are one failure, and a path
        // through a file is a missing folder, as Windows reports it.
        case ENOENT:
        case ENOTDIR:
            return kPfErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:  // CreateFile on a folder is refused with access denied
            return kPfErrorAccessDenied;
        case EROFS:
            return kPfErrorWriteProtected;
        case ENOSPC:
        case EDQUOT:
            return kPfErrorDiskFull;
        case EEXIST:
            return kPfErrorAlreadyExists;
        // EINTR is retried by the callers and never reaches here; anything
        // else, 0 included, is a general failure.
        default:
            return kPfErrorGeneral;
    }
}

int32_t PfFileLastError() {
    return PfFileMapError(errno);
}

uint32_t ProcessMapError(int32_t nativeError) {
    switch (nativeError) {
        // exec's ENOENT means the program (or its script interpreter) is
        // missing: CreateProcess says "file not found" for that, unlike the
        // file calls, which fold a missing file into "path not found".
        case ENOENT:
            return kPfErrorFileNotFound;
        case ENOTDIR:
            return kPfErrorPathNotFound;
        // No execute permission, or a file system mounted without it.
        case EACCES:
        case EPERM:
            return kPfErrorAccessDenied;
        // Not a program this system runs.
        case ENOEXEC:
#ifdef ELIBBAD
        case ELIBBAD:
#endif
            return kPfErrorBadExeFormat;
        // The program file is still open for writing; Windows refuses to
        // start a file another process writes with a sharing violation.
        case ETXTBSY:
            return kPfErrorSharingViolation;
        // fork could not make a process.
        case ENOMEM:
        case EAGAIN:
            return kPfErrorNotEnoughMemory;
        case EINVAL:
            return kPfErrorInvalidParameter;
        default:
            return (uint32_t)kPfErrorGeneral;
    }
}

uint32_t ProcessLastError() {
    return ProcessMapError(errno);
}
