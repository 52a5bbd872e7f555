// The system calls under the socket functions: one set per backend
// (posix/pfSocket.cpp, win32/pfSocket.cpp), used only by pfSocketCommon.cpp.
//
// Each takes a valid handle, makes its one OS call (with the option calls
// that belong to it) and answers OV_S_PLATFORM or a code from the backend's
// error translator, taken before anything else can touch the last error.
// Record checks, addresses in network byte order and the re-arming of
// notifications are pfSocketCommon.cpp's.
#pragma once

#include <stdint.h>

#include "opn/platform/pfSocket.h"

// A new socket of `kind` (kSockKindTcp or kSockKindUdp), not inherited by
// started programs where the system allows; `*handle` is PF_INVALID_SOCKET
// on failure.
ResultCode SockSystemOpen(int32_t kind, PfSocketHandle* handle);
// SO_LINGER on with time-out 0: closing resets the connection at once.
ResultCode SockSystemSetLingerOff(PfSocketHandle handle);
// FIONBIO with `value` (0 blocking, 1 non-blocking).
ResultCode SockSystemSetNonBlocking(PfSocketHandle handle, uint32_t value);
// OV_E_WOULD_BLOCK when the connection goes on in the background.
ResultCode SockSystemConnect(PfSocketHandle handle, const SockAddressIn& to);
ResultCode SockSystemSend(PfSocketHandle handle, const void* data, int32_t size, int32_t* sent);
// One receive; `*received` gets the count (> 0 on success). A peer close (0
// bytes) gives a failure code.
ResultCode SockSystemRecv(PfSocketHandle handle, void* buffer, int32_t size, int32_t* received);
ResultCode SockSystemSendTo(PfSocketHandle handle, const SockAddressIn& to, const void* data,
                            int32_t size, int32_t* sent);
// `*from` and `*fromLength` get the sender's address as the system gave it.
ResultCode SockSystemRecvFrom(PfSocketHandle handle, void* buffer, int32_t size, int32_t* received,
                              SockAddressIn* from, int32_t* fromLength);
ResultCode SockSystemSetReuseAddress(PfSocketHandle handle);
ResultCode SockSystemBind(PfSocketHandle handle, const SockAddressIn& at);
ResultCode SockSystemListen(PfSocketHandle handle, int32_t backlog);
// `*accepted` is PF_INVALID_SOCKET on failure.
ResultCode SockSystemAccept(PfSocketHandle handle, PfSocketHandle* accepted, SockAddressIn* peer,
                            int32_t* peerLength);
ResultCode SockSystemSetBroadcast(PfSocketHandle handle);
ResultCode SockSystemClose(PfSocketHandle handle);
ResultCode SockSystemLocalAddress(PfSocketHandle handle, SockAddressIn* local);
// Appends the IPv4 addresses of `host` (name or dotted quad, not empty) to
// the empty `list` with NetAddUnique; false when it does not resolve.
bool SockSystemResolve(const char* host, NetAddressList* list);
// Appends `address` unless the list has it or is full (pfSocketCommon.cpp).
void NetAddUnique(NetAddressList* list, uint32_t address);
