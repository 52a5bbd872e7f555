// Winsock and Windows system errors as the platform's codes (pfError.h).
// Windows numbers are the file and process vocabulary already, so only the
// quirks are folded; the socket numbers become ResultCodes.
#include "opn/platform/pfError.h"

#include <winsock2.h>
#include <windows.h>

static_assert(
    kPfErrorFileNotFound == ERROR_FILE_NOT_FOUND && kPfErrorPathNotFound == ERROR_PATH_NOT_FOUND &&
        kPfErrorAccessDenied == ERROR_ACCESS_DENIED &&
        kPfErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY &&
        kPfErrorWriteProtected == ERROR_WRITE_PROTECT && kPfErrorGeneral == ERROR_GEN_FAILURE &&
        kPfErrorSharingViolation == ERROR_SHARING_VIOLATION &&
        kPfErrorInvalidParameter == ERROR_INVALID_PARAMETER &&
        kPfErrorDiskFull == ERROR_DISK_FULL && kPfErrorAlreadyExists == ERROR_ALREADY_EXISTS &&
        kPfErrorBadExeFormat == ERROR_BAD_EXE_FORMAT && kPfErrorCancelled == ERROR_CANCELLED,
    "the file and process codes are Windows system error numbers");
static_assert(kSockErrNetDown == WSAENETDOWN && kSockErrNetUnreachable == WSAENETUNREACH &&
                  kSockErrConnAborted == WSAECONNABORTED && kSockErrConnReset == WSAECONNRESET &&
                  kSockErrTimedOut == WSAETIMEDOUT && kSockErrRefused == WSAECONNREFUSED &&
                  kSockErrHostUnreachable == WSAEHOSTUNREACH,
              "notifications carry Winsock numbers");

namespace {

// ERROR_DISK_QUOTA_EXCEEDED, which mingw's winerror.h lacks.
const int32_t kErrorDiskQuotaExceeded = 1295;

}  // namespace

ResultCode SockMapError(int32_t nativeError) {
    switch (nativeError) {
        // Also what a non-blocking connect answers (POSIX says EINPROGRESS
        // there and the POSIX connect reports it as this).
        case WSAEWOULDBLOCK:
            return OV_E_WOULD_BLOCK;
        // Winsock 2 gives this only while a blocking call runs on the thread.
        case WSAEINPROGRESS:
            return OV_E_IN_PROGRESS;
        case WSAEALREADY:
            return OV_E_ALREADY;
        case WSAENOTSOCK:
            return OV_E_NOT_SOCKET;
        case WSAENOBUFS:
            return OV_E_NO_BUFFERS;
        case WSAECONNREFUSED:
            return OV_E_CONN_REFUSED;
        // Resets, aborts and time-outs are failures like any other; callers
        // learn the detail from the notification's number. WSAEINTR ends
        // only a blocking call cancelled on purpose, so unlike POSIX EINTR
        // it is no reason to try again.
        default:
            return OV_E_PLATFORM;
    }
}

ResultCode SockLastError() {
    return SockMapError(WSAGetLastError());
}

uint32_t SockNoticeError(int32_t nativeError) {
    // WSAAsyncSelect already reports Winsock numbers.
    return (uint32_t)nativeError & 0xFFFFu;
}

int32_t PfFileMapError(int32_t nativeError) {
    switch (nativeError) {
        // Some calls fail without setting a number; still a failure.
        case 0:
            return kPfErrorGeneral;
        // A missing file and a missing folder are one failure to callers, as
        // ENOENT is on POSIX.
        case ERROR_FILE_NOT_FOUND:
            return kPfErrorPathNotFound;
        // A handle that reached its end of space, and a user's quota, are
        // reported apart from the volume; all mean the disk is full.
        case ERROR_HANDLE_DISK_FULL:
        case kErrorDiskQuotaExceeded:
            return kPfErrorDiskFull;
        default:
            return nativeError;
    }
}

int32_t PfFileLastError() {
    return PfFileMapError((int32_t)GetLastError());
}

uint32_t ProcessMapError(int32_t nativeError) {
    // The start log shows the system's own number (1223 for a declined
    // elevation, 2 for a missing program, 3 for a missing folder), so every
    // number passes through; only a failure without one is made general.
    return nativeError == 0 ? (uint32_t)kPfErrorGeneral : (uint32_t)nativeError;
}

uint32_t ProcessLastError() {
    return ProcessMapError((int32_t)GetLastError());
}
