// The backend's error translator, number by number: the codes callers see
// for the socket, notification, file and process errors of this system,
// every quirk the translator folds, and numbers that pass through.
#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <errno.h>
#endif

#include <gtest/gtest.h>

#include "opn/platform/pfError.h"

namespace {

struct SocketCase {
    int32_t native;
    ResultCode code;
};

struct NumberCase {
    int32_t native;
    uint32_t code;
};

#ifdef _WIN32
const SocketCase kSocketCases[] = {
    {WSAEWOULDBLOCK, OV_E_WOULD_BLOCK},
    {WSAEINPROGRESS, OV_E_IN_PROGRESS},
    {WSAEALREADY, OV_E_ALREADY},
    {WSAENOTSOCK, OV_E_NOT_SOCKET},
    {WSAENOBUFS, OV_E_NO_BUFFERS},
    {WSAECONNREFUSED, OV_E_CONN_REFUSED},
    {WSAECONNRESET, OV_E_PLATFORM},
    {WSAETIMEDOUT, OV_E_PLATFORM},
    {WSAEINTR, OV_E_PLATFORM},
    {0, OV_E_PLATFORM},
    {-1, OV_E_PLATFORM},
};
const NumberCase kNoticeCases[] = {
    {0, 0},
    {WSAECONNREFUSED, kSockErrRefused},
    {WSAETIMEDOUT, kSockErrTimedOut},
    {WSAEHOSTUNREACH, kSockErrHostUnreachable},
    {WSAENETUNREACH, kSockErrNetUnreachable},
    {WSAECONNRESET, kSockErrConnReset},
    {WSAECONNABORTED, kSockErrConnAborted},
    {WSAENETDOWN, kSockErrNetDown},
    {WSAEHOSTDOWN, 10064},
};
const NumberCase kFileCases[] = {
    {0, kPfErrorGeneral},
    {ERROR_FILE_NOT_FOUND, kPfErrorPathNotFound},
    {ERROR_PATH_NOT_FOUND, kPfErrorPathNotFound},
    {ERROR_ACCESS_DENIED, kPfErrorAccessDenied},
    {ERROR_WRITE_PROTECT, kPfErrorWriteProtected},
    {ERROR_DISK_FULL, kPfErrorDiskFull},
    {ERROR_HANDLE_DISK_FULL, kPfErrorDiskFull},
    {1295, kPfErrorDiskFull},  // ERROR_DISK_QUOTA_EXCEEDED
    {ERROR_ALREADY_EXISTS, kPfErrorAlreadyExists},
    {ERROR_SHARING_VIOLATION, kPfErrorSharingViolation},
    {ERROR_INVALID_NAME, ERROR_INVALID_NAME},
};
const NumberCase kProcessCases[] = {
    {0, kPfErrorGeneral},
    {ERROR_FILE_NOT_FOUND, kPfErrorFileNotFound},
    {ERROR_PATH_NOT_FOUND, kPfErrorPathNotFound},
    {ERROR_ACCESS_DENIED, kPfErrorAccessDenied},
    {ERROR_BAD_EXE_FORMAT, kPfErrorBadExeFormat},
    {ERROR_NOT_ENOUGH_MEMORY, kPfErrorNotEnoughMemory},
    {ERROR_CANCELLED, kPfErrorCancelled},
    {ERROR_NO_ASSOCIATION, ERROR_NO_ASSOCIATION},
};
#else
const SocketCase kSocketCases[] = {
    {EWOULDBLOCK, OV_E_WOULD_BLOCK},
    {EAGAIN, OV_E_WOULD_BLOCK},
    {EINTR, OV_E_WOULD_BLOCK},
    {EINPROGRESS, OV_E_IN_PROGRESS},
    {EALREADY, OV_E_ALREADY},
    {ENOTSOCK, OV_E_NOT_SOCKET},
    {EBADF, OV_E_NOT_SOCKET},
    {ENOBUFS, OV_E_NO_BUFFERS},
    {ECONNREFUSED, OV_E_CONN_REFUSED},
    {ECONNRESET, OV_E_PLATFORM},
    {EINVAL, OV_E_PLATFORM},
    {0, OV_E_PLATFORM},
    {-1, OV_E_PLATFORM},
};
const NumberCase kNoticeCases[] = {
    {0, 0},
    {ECONNREFUSED, kSockErrRefused},
    {ETIMEDOUT, kSockErrTimedOut},
    {EHOSTUNREACH, kSockErrHostUnreachable},
    {ENETUNREACH, kSockErrNetUnreachable},
    {ECONNRESET, kSockErrConnReset},
    {EPIPE, kSockErrConnReset},
    {ECONNABORTED, kSockErrConnAborted},
    {ENETDOWN, kSockErrNetDown},
    {EIO, 10000u + EIO},
};
const NumberCase kFileCases[] = {
    {0, kPfErrorGeneral},
    {ENOENT, kPfErrorPathNotFound},
    {ENOTDIR, kPfErrorPathNotFound},
    {EACCES, kPfErrorAccessDenied},
    {EPERM, kPfErrorAccessDenied},
    {EISDIR, kPfErrorAccessDenied},
    {EROFS, kPfErrorWriteProtected},
    {ENOSPC, kPfErrorDiskFull},
    {EDQUOT, kPfErrorDiskFull},
    {EEXIST, kPfErrorAlreadyExists},
    {EINTR, kPfErrorGeneral},
    {EIO, kPfErrorGeneral},
};
const NumberCase kProcessCases[] = {
    {0, kPfErrorGeneral},
    {ENOENT, kPfErrorFileNotFound},
    {ENOTDIR, kPfErrorPathNotFound},
    {EACCES, kPfErrorAccessDenied},
    {EPERM, kPfErrorAccessDenied},
    {ENOEXEC, kPfErrorBadExeFormat},
    {ETXTBSY, kPfErrorSharingViolation},
    {ENOMEM, kPfErrorNotEnoughMemory},
    {EAGAIN, kPfErrorNotEnoughMemory},
    {EINVAL, kPfErrorInvalidParameter},
    {EIO, kPfErrorGeneral},
};
#endif

TEST(PlatformErrors, SocketErrorsBecomeResultCodes) {
    for (const SocketCase& c : kSocketCases) {
        SCOPED_TRACE(c.native);
        EXPECT_EQ(SockMapError(c.native), c.code);
    }
}

TEST(PlatformErrors, NotificationsCarryWinsockNumbers) {
    for (const NumberCase& c : kNoticeCases) {
        SCOPED_TRACE(c.native);
        EXPECT_EQ(SockNoticeError(c.native), c.code);
    }
}

TEST(PlatformErrors, FileErrorsBecomeTheFileCodes) {
    for (const NumberCase& c : kFileCases) {
        SCOPED_TRACE(c.native);
        EXPECT_EQ((uint32_t)PfFileMapError(c.native), c.code);
    }
}

TEST(PlatformErrors, ProcessErrorsBecomeTheStartCodes) {
    for (const NumberCase& c : kProcessCases) {
        SCOPED_TRACE(c.native);
        EXPECT_EQ(ProcessMapError(c.native), c.code);
    }
}

// The "last error" forms read the thread's own error number.
TEST(PlatformErrors, LastErrorsReadTheThreadsNumber) {
#ifdef _WIN32
    WSASetLastError(WSAECONNREFUSED);
    EXPECT_EQ(SockLastError(), OV_E_CONN_REFUSED);
    SetLastError(ERROR_HANDLE_DISK_FULL);
    EXPECT_EQ(PfFileLastError(), kPfErrorDiskFull);
    SetLastError(ERROR_CANCELLED);
    EXPECT_EQ(ProcessLastError(), (uint32_t)kPfErrorCancelled);
#else
    errno = ECONNREFUSED;
    EXPECT_EQ(SockLastError(), OV_E_CONN_REFUSED);
    errno = EDQUOT;
    EXPECT_EQ(PfFileLastError(), kPfErrorDiskFull);
    errno = ENOENT;
    EXPECT_EQ(ProcessLastError(), (uint32_t)kPfErrorFileNotFound);
#endif
}

}  // namespace
