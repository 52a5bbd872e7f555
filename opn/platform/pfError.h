// The error codes callers above the platform seam see, and the one
// translator per backend (win32/pfError.cpp, posix/pfError.cpp) that turns
// the system's own numbers into them. Nothing above the seam reads errno,
// GetLastError or WSAGetLastError.
//
//   sockets        ResultCode of module 2 (ovResult.h), from SockMapError;
//                  notifications carry Winsock numbers (kSockErr...) on both
//                  backends, from SockNoticeError
//   files          kPfError... codes, from PfFileMapError
//   processes      kPfError... codes, from ProcessMapError
//
// The kPfError... codes are Windows system error numbers: Windows passes the
// ones it reports through (callers log them as they are), the POSIX backend
// maps errno onto the nearest one. A failure never gives kPfErrorNone.
#pragma once

#include <stdint.h>

#include "opn/core/ovResult.h"

enum : int32_t {
    kPfErrorNone = 0,
    kPfErrorFileNotFound = 2,  // a program to start is missing
    kPfErrorPathNotFound = 3,  // a file or a folder on its path is missing
    kPfErrorAccessDenied = 5,
    kPfErrorNotEnoughMemory = 8,
    kPfErrorWriteProtected = 19,
    kPfErrorGeneral = 31,
    kPfErrorSharingViolation = 32,
    kPfErrorInvalidParameter = 87,
    kPfErrorDiskFull = 112,
    kPfErrorAlreadyExists = 183,  // CreateFile replaced an existing file
    kPfErrorBadExeFormat = 193,
    kPfErrorCancelled = 1223,  // the user declined elevation
};

// Socket errors as ResultCodes:
//   would block 0x8022000A, in progress 0x80220009, already 0x80220006,
//   not a socket 0x80220004, no buffers 0x80220008, refused 0x80220005,
//   anything else (0 included) 0x80200000.
ResultCode SockMapError(int32_t nativeError);
// The same for the calling thread's last socket error.
ResultCode SockLastError();

// Native error numbers as the window procedure sees them in a socket
// notification: Winsock numbers on both backends, 0 for none.
enum : uint32_t {
    kSockErrNetDown = 10050,
    kSockErrNetUnreachable = 10051,
    kSockErrConnAborted = 10053,
    kSockErrConnReset = 10054,
    kSockErrTimedOut = 10060,
    kSockErrRefused = 10061,
    kSockErrHostUnreachable = 10065,
};
uint32_t SockNoticeError(int32_t nativeError);

// A failed file operation's code (never kPfErrorNone).
int32_t PfFileMapError(int32_t nativeError);
int32_t PfFileLastError();

// A failed program start's code (never kPfErrorNone).
uint32_t ProcessMapError(int32_t nativeError);
uint32_t ProcessLastError();
