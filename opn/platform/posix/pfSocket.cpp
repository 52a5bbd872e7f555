// Socket functions over BSD sockets. errno becomes the same codes as the
// Winsock errors of the Windows backend (pfError.h).
#include "opn/platform/pfSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // platforms without it use SO_NOSIGPIPE or ignore SIGPIPE
#endif

namespace {

const ResultCode kOk = OV_S_PLATFORM;

int Fd(const SockRecord* record) {
    return (int)(intptr_t)record->handle;
}

static_assert(AF_INET == kSockFamilyInet, "SockAddressIn keeps AF_INET");

void ToSockaddr(const SockAddressIn& in, sockaddr_in* out) {
    memset(out, 0, sizeof(*out));
    out->sin_family = AF_INET;
    out->sin_port = in.port;
    out->sin_addr.s_addr = in.address;
}

void FromSockaddr(const sockaddr_in& in, SockAddressIn* out) {
    memset(out, 0, sizeof(*out));
    out->family = AF_INET;
    out->port = in.sin_port;
    out->address = in.sin_addr.s_addr;
}

// Closing resets the connection at once instead of lingering.
ResultCode SetLingerOff(int fd) {
    linger value;
    value.l_onoff = 1;
    value.l_linger = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof(value)) != 0)
        return SockLastError();
    return kOk;
}

int OpenSocket(int type) {
#ifdef SOCK_CLOEXEC
    type |= SOCK_CLOEXEC;
#endif
    return socket(AF_INET, type, 0);
}

}  // namespace

ResultCode SockCreate(SockRecord** record, int32_t kind) {
    if (record == nullptr)
        return OV_E_SOCKET_RECORD;
    if (kind != kSockKindTcp && kind != kSockKindUdp)
        return OV_E_PLATFORM;
    ResultCode rc = SockPrepareRecord(record);
    if (OV_FAILED(rc))
        return rc;
    SockRecord* r = *record;
    r->kind = kind;
    if (kind == kSockKindTcp) {
        int fd = OpenSocket(SOCK_STREAM);
        if (fd < 0) {
            r->handle = PF_INVALID_SOCKET;
            return SockLastError();
        }
        r->handle = (PfSocketHandle)fd;
        // The socket stays open when only the option fails.
        return SetLingerOff(fd);
    }
    int fd = OpenSocket(SOCK_DGRAM);
    if (fd < 0) {
        free(r);
        *record = nullptr;
        return OV_E_SOCKET_RECORD;
    }
    r->handle = (PfSocketHandle)fd;
    return kOk;
}

ResultCode SockSetBlocking(SockRecord* record, int32_t blocking) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    int value = blocking ? 0 : 1;
    if (ioctl(Fd(record), FIONBIO, &value) != 0)
        return SockLastError();
    record->nonBlocking = (uint32_t)value;
    return kOk;
}

ResultCode SockConnect(SockRecord* record, const NetAddress* address) {
    ResultCode rc = SockCheckAddress(record, address);
    if (OV_FAILED(rc))
        return rc;
    sockaddr_in to;
    ToSockaddr(record->address, &to);
    if (connect(Fd(record), (const sockaddr*)&to, sizeof(to)) == 0) {
        PfSocketRearm(record->handle, PF_FD_CONNECT);
        return kOk;
    }
    int error = errno;
    // Winsock answers a non-blocking connect with "would block"; callers see
    // that one code on both backends. A connect cut short by a signal goes
    // on in the background just the same.
    if (error == EINPROGRESS || error == EINTR) {
        PfSocketRearm(record->handle, PF_FD_CONNECT);
        return OV_E_WOULD_BLOCK;
    }
    return SockMapError(error);
}

ResultCode SockSend(SockRecord* record, const void* data, int32_t size, int32_t* sent) {
    ResultCode rc = SockCheckTransfer(record, data, size, sent);
    if (OV_FAILED(rc))
        return rc;
    ssize_t n = send(Fd(record), data, (size_t)size, MSG_NOSIGNAL);
    if (n < 0) {
        rc = SockLastError();
        if (rc == OV_E_WOULD_BLOCK)
            PfSocketRearm(record->handle, PF_FD_WRITE);
        return rc;
    }
    if (sent != nullptr)
        *sent = (int32_t)n;
    return kOk;
}

ResultCode SockSystemRecv(SockRecord* record, void* buffer, int32_t size, int32_t* received) {
    *received = 0;
    // A close leaves errno alone; clear it so a stale "would block" cannot
    // hide the end of the stream.
    errno = 0;
    ssize_t n = recv(Fd(record), buffer, (size_t)size, 0);
    if (n > 0) {
        *received = (int32_t)n;
        return kOk;
    }
    return SockMapError(n == 0 ? 0 : errno);
}

ResultCode SockSendTo(SockRecord* record, const NetAddress* address, const void* data, int32_t size,
                      int32_t* sent) {
    ResultCode rc = SockCheckTransfer(record, data, size, sent);
    if (OV_SUCCEEDED(rc))
        rc = SockCheckAddress(record, address);
    if (OV_FAILED(rc))
        return rc;
    sockaddr_in to;
    ToSockaddr(record->address, &to);
    ssize_t n =
        sendto(Fd(record), data, (size_t)size, MSG_NOSIGNAL, (const sockaddr*)&to, sizeof(to));
    if (n < 0)
        return SockLastError();
    if (sent != nullptr)
        *sent = (int32_t)n;
    return kOk;
}

ResultCode SockRecvFrom(SockRecord* record, void* buffer, int32_t size, int32_t* received,
                        NetAddress* from) {
    ResultCode rc = SockCheckTransfer(record, buffer, size, received);
    if (OV_FAILED(rc))
        return rc;
    sockaddr_in peer;
    memset(&peer, 0, sizeof(peer));
    socklen_t length = sizeof(peer);
    ssize_t n = recvfrom(Fd(record), buffer, (size_t)size, 0, (sockaddr*)&peer, &length);
    int error = errno;
    PfSocketRearm(record->handle, PF_FD_READ);
    if (n < 0)
        return SockMapError(error);
    FromSockaddr(peer, &record->address);
    record->addressLength = (int32_t)length;
    if (from != nullptr)
        *from = SockNetAddress(record->address);
    if (received != nullptr)
        *received = (int32_t)n;
    return kOk;
}

ResultCode SockBind(SockRecord* record, const NetAddress* address) {
    ResultCode rc = SockCheckAddress(record, address);
    if (OV_FAILED(rc))
        return rc;
    // Linux wants an int-sized flag where Winsock takes one byte.
    int reuse = 1;
    if (setsockopt(Fd(record), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0) {
        return SockLastError();
    }
    sockaddr_in at;
    ToSockaddr(record->address, &at);
    if (bind(Fd(record), (const sockaddr*)&at, sizeof(at)) != 0)
        return SockLastError();
    return kOk;
}

ResultCode SockListen(SockRecord* record) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    if (listen(Fd(record), 5) != 0)
        return SockLastError();
    PfSocketRearm(record->handle, PF_FD_ACCEPT);
    return kOk;
}

ResultCode SockAccept(SockRecord* listener, NetAddress* outAddress, SockRecord** newRecord) {
    ResultCode rc = SockCheck(listener);
    if (OV_FAILED(rc))
        return rc;
    rc = SockPrepareRecord(newRecord);
    if (OV_FAILED(rc))
        return rc;
    sockaddr_in peer;
    memset(&peer, 0, sizeof(peer));
    socklen_t length = sizeof(peer);
    int fd = accept(Fd(listener), (sockaddr*)&peer, &length);
    int error = errno;
    PfSocketRearm(listener->handle, PF_FD_ACCEPT);
    if (fd < 0)
        return SockMapError(error);
#ifdef FD_CLOEXEC
    fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
    SockRecord* r = *newRecord;
    r->handle = (PfSocketHandle)fd;
    r->kind = kSockKindTcp;
    FromSockaddr(peer, &r->address);
    r->addressLength = (int32_t)length;
    if (outAddress != nullptr)
        *outAddress = SockNetAddress(r->address);
    return SetLingerOff(fd);
}

ResultCode SockEnableBroadcast(SockRecord* record, int32_t mode) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    if (mode != 0)
        return OV_E_PLATFORM;
    int value = 1;
    if (setsockopt(Fd(record), SOL_SOCKET, SO_BROADCAST, &value, sizeof(value)) != 0) {
        return SockLastError();
    }
    return kOk;
}

ResultCode SockClose(SockRecord* record) {
    if (record == nullptr)
        return OV_E_SOCKET_RECORD;
    ResultCode rc = kOk;
    if (record->handle != PF_INVALID_SOCKET) {
        // The loop must forget the descriptor before its number can be reused.
        PfSocketSelect(record->handle, nullptr, 0, 0);
        if (close(Fd(record)) != 0)
            rc = SockLastError();
    }
    SockFreeReadAhead(record);
    free(record);
    return rc;
}

uint16_t SockLocalPort(SockRecord* record) {
    if (OV_FAILED(SockCheck(record)))
        return 0;
    sockaddr_in local;
    memset(&local, 0, sizeof(local));
    socklen_t length = sizeof(local);
    if (getsockname(Fd(record), (sockaddr*)&local, &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

ResultCode NetStartup() {
    return OV_S_NETWORK;
}

ResultCode NetCleanup() {
    return OV_S_NETWORK;
}

ResultCode ResolveAll(const char* host, NetAddressList* list) {
    if (list == nullptr)
        return OV_E_PLATFORM;
    list->count = 0;
    if (host == nullptr || host[0] == '\0')
        return OV_E_PLATFORM;
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return OV_E_PLATFORM;
    for (addrinfo* it = found; it != nullptr && list->count < kNetMaxAddresses; it = it->ai_next) {
        if (it->ai_family != AF_INET || it->ai_addr == nullptr)
            continue;
        NetAddUnique(list, ((const sockaddr_in*)(const void*)it->ai_addr)->sin_addr.s_addr);
    }
    freeaddrinfo(found);
    return list->count > 0 ? kOk : OV_E_PLATFORM;
}

uint32_t NowSeconds() {
    return (uint32_t)(uint64_t)time(nullptr);
}

void NowMillis(NetTimeStamp* stamp) {
    if (stamp == nullptr)
        return;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    stamp->seconds = (int64_t)now.tv_sec;
    stamp->millis = (uint32_t)(now.tv_nsec / 1000000);
}
