// The socket system calls over BSD sockets. errno becomes the same codes as
// the Winsock errors of the Windows backend (pfError.h).
#include "opn/platform/pfSocketBackend.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "opn/platform/pfCallCounts.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // platforms without it use SO_NOSIGPIPE or ignore SIGPIPE
#endif

namespace {

const ResultCode kOk = OV_S_PLATFORM;

int Fd(PfSocketHandle handle) {
    return (int)(intptr_t)handle;
}

static_assert(AF_INET == kSockFamilyInet, "SockAddressIn keeps AF_INET");

// The BSD layout may differ (sin_len), so the fields are copied one by one.
sockaddr_in ToSockaddr(const SockAddressIn& in) {
    sockaddr_in out;
    memset(&out, 0, sizeof(out));
    out.sin_family = AF_INET;
    out.sin_port = in.port;
    out.sin_addr.s_addr = in.address;
    return out;
}

SockAddressIn FromSockaddr(const sockaddr_in& in) {
    SockAddressIn out;
    memset(&out, 0, sizeof(out));
    out.family = kSockFamilyInet;
    out.port = in.sin_port;
    out.address = in.sin_addr.s_addr;
    return out;
}

ResultCode SetOption(PfSocketHandle handle, int name, const void* value, socklen_t size) {
    if (setsockopt(Fd(handle), SOL_SOCKET, name, value, size) != 0)
        return SockLastError();
    return kOk;
}

}  // namespace

ResultCode SockSystemOpen(int32_t kind, PfSocketHandle* handle) {
    int type = kind == kSockKindTcp ? SOCK_STREAM : SOCK_DGRAM;
#ifdef SOCK_CLOEXEC
    type |= SOCK_CLOEXEC;
#endif
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) {
        *handle = PF_INVALID_SOCKET;
        return SockLastError();
    }
    *handle = (PfSocketHandle)fd;
    return kOk;
}

ResultCode SockSystemSetLingerOff(PfSocketHandle handle) {
    linger value;
    value.l_onoff = 1;
    value.l_linger = 0;
    return SetOption(handle, SO_LINGER, &value, sizeof(value));
}

ResultCode SockSystemSetNonBlocking(PfSocketHandle handle, uint32_t value) {
    int flag = (int)value;
    if (ioctl(Fd(handle), FIONBIO, &flag) != 0)
        return SockLastError();
    return kOk;
}

ResultCode SockSystemConnect(PfSocketHandle handle, const SockAddressIn& to) {
    const sockaddr_in address = ToSockaddr(to);
    if (connect(Fd(handle), (const sockaddr*)&address, sizeof(address)) == 0)
        return kOk;
    const int error = errno;
    // Winsock answers a non-blocking connect with "would block"; callers see
    // that one code on both backends. A connect cut short by a signal goes
    // on in the background just the same.
    if (error == EINPROGRESS || error == EINTR)
        return OV_E_WOULD_BLOCK;
    return SockMapError(error);
}

ResultCode SockSystemSend(PfSocketHandle handle, const void* data, int32_t size, int32_t* sent) {
    const ssize_t n = send(Fd(handle), data, (size_t)size, MSG_NOSIGNAL);
    if (n < 0)
        return SockLastError();
    *sent = (int32_t)n;
    return kOk;
}

ResultCode SockSystemRecv(PfSocketHandle handle, void* buffer, int32_t size, int32_t* received) {
    PfCountCall(kPfCountSystemRecv);
    *received = 0;
    // A close leaves errno alone; clear it so a stale "would block" cannot
    // hide the end of the stream.
    errno = 0;
    const ssize_t n = recv(Fd(handle), buffer, (size_t)size, 0);
    if (n > 0) {
        *received = (int32_t)n;
        return kOk;
    }
    return SockMapError(n == 0 ? 0 : errno);
}

ResultCode SockSystemSendTo(PfSocketHandle handle, const SockAddressIn& to, const void* data,
                            int32_t size, int32_t* sent) {
    const sockaddr_in address = ToSockaddr(to);
    const ssize_t n = sendto(Fd(handle), data, (size_t)size, MSG_NOSIGNAL,
                             (const sockaddr*)&address, sizeof(address));
    if (n < 0)
        return SockLastError();
    *sent = (int32_t)n;
    return kOk;
}

ResultCode SockSystemRecvFrom(PfSocketHandle handle, void* buffer, int32_t size, int32_t* received,
                              SockAddressIn* from, int32_t* fromLength) {
    sockaddr_in peer;
    memset(&peer, 0, sizeof(peer));
    socklen_t length = sizeof(peer);
    const ssize_t n = recvfrom(Fd(handle), buffer, (size_t)size, 0, (sockaddr*)&peer, &length);
    if (n < 0)
        return SockLastError();
    *from = FromSockaddr(peer);
    *fromLength = (int32_t)length;
    *received = (int32_t)n;
    return kOk;
}

ResultCode SockSystemSetReuseAddress(PfSocketHandle handle) {
    // Linux wants an int-sized flag where Winsock takes one byte.
    const int reuse = 1;
    return SetOption(handle, SO_REUSEADDR, &reuse, sizeof(reuse));
}

ResultCode SockSystemBind(PfSocketHandle handle, const SockAddressIn& at) {
    const sockaddr_in address = ToSockaddr(at);
    if (bind(Fd(handle), (const sockaddr*)&address, sizeof(address)) != 0)
        return SockLastError();
    return kOk;
}

ResultCode SockSystemListen(PfSocketHandle handle, int32_t backlog) {
    if (listen(Fd(handle), backlog) != 0)
        return SockLastError();
    return kOk;
}

ResultCode SockSystemAccept(PfSocketHandle handle, PfSocketHandle* accepted, SockAddressIn* peer,
                            int32_t* peerLength) {
    *accepted = PF_INVALID_SOCKET;
    sockaddr_in from;
    memset(&from, 0, sizeof(from));
    socklen_t length = sizeof(from);
    const int fd = accept(Fd(handle), (sockaddr*)&from, &length);
    if (fd < 0)
        return SockLastError();
#ifdef FD_CLOEXEC
    // accept() does not pass SOCK_CLOEXEC on; started programs must not
    // inherit the connection.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
    *accepted = (PfSocketHandle)fd;
    *peer = FromSockaddr(from);
    *peerLength = (int32_t)length;
    return kOk;
}

ResultCode SockSystemSetBroadcast(PfSocketHandle handle) {
    const int value = 1;
    return SetOption(handle, SO_BROADCAST, &value, sizeof(value));
}

ResultCode SockSystemClose(PfSocketHandle handle) {
    if (close(Fd(handle)) != 0)
        return SockLastError();
    return kOk;
}

ResultCode SockSystemLocalAddress(PfSocketHandle handle, SockAddressIn* local) {
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    socklen_t length = sizeof(address);
    if (getsockname(Fd(handle), (sockaddr*)&address, &length) != 0)
        return SockLastError();
    *local = FromSockaddr(address);
    return kOk;
}

bool SockSystemResolve(const char* host, NetAddressList* list) {
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    for (addrinfo* it = found; it != nullptr; it = it->ai_next) {
        if (it->ai_family == AF_INET && it->ai_addr != nullptr)
            NetAddUnique(list, ((const sockaddr_in*)(const void*)it->ai_addr)->sin_addr.s_addr);
    }
    freeaddrinfo(found);
    return true;
}

// Nothing to start on POSIX.
ResultCode NetStartup() {
    return OV_S_NETWORK;
}

ResultCode NetCleanup() {
    return OV_S_NETWORK;
}
