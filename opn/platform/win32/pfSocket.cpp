// Socket functions over Winsock 2.2. Winsock errors are translated in one
// place (pfError.h).
#include "opn/platform/pfSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <stdlib.h>
#include <string.h>

namespace {

const ResultCode kOk = OV_S_PLATFORM;

SOCKET Sock(const SockRecord* record) {
    return (SOCKET)record->handle;
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
ResultCode SetLingerOff(SOCKET s) {
    linger value;
    value.l_onoff = 1;
    value.l_linger = 0;
    if (setsockopt(s, SOL_SOCKET, SO_LINGER, (const char*)&value, sizeof(value)) != 0) {
        return SockLastError();
    }
    return kOk;
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
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) {
            r->handle = PF_INVALID_SOCKET;
            return SockLastError();
        }
        r->handle = (PfSocketHandle)s;
        // The socket stays open when only the option fails.
        return SetLingerOff(s);
    }
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        free(r);
        *record = nullptr;
        return OV_E_SOCKET_RECORD;
    }
    r->handle = (PfSocketHandle)s;
    return kOk;
}

ResultCode SockSetBlocking(SockRecord* record, int32_t blocking) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    u_long value = blocking ? 0 : 1;
    if (ioctlsocket(Sock(record), FIONBIO, &value) != 0)
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
    if (connect(Sock(record), (const sockaddr*)&to, sizeof(to)) != 0)
        return SockLastError();
    PfSocketRearm(record->handle, PF_FD_CONNECT);
    return kOk;
}

ResultCode SockSend(SockRecord* record, const void* data, int32_t size, int32_t* sent) {
    ResultCode rc = SockCheckTransfer(record, data, size, sent);
    if (OV_FAILED(rc))
        return rc;
    int n = send(Sock(record), (const char*)data, size, 0);
    if (n < 0) {
        rc = SockLastError();
        if (rc == OV_E_WOULD_BLOCK)
            PfSocketRearm(record->handle, PF_FD_WRITE);
        return rc;
    }
    if (sent != nullptr)
        *sent = n;
    return kOk;
}

ResultCode SockSystemRecv(SockRecord* record, void* buffer, int32_t size, int32_t* received) {
    *received = 0;
    // A close leaves the last error alone; clear it so a stale "would block"
    // cannot hide the end of the stream.
    WSASetLastError(0);
    int n = recv(Sock(record), (char*)buffer, size, 0);
    if (n > 0) {
        *received = n;
        return kOk;
    }
    return SockMapError(n == 0 ? 0 : WSAGetLastError());
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
    int n = sendto(Sock(record), (const char*)data, size, 0, (const sockaddr*)&to, sizeof(to));
    if (n < 0)
        return SockLastError();
    if (sent != nullptr)
        *sent = n;
    return kOk;
}

ResultCode SockRecvFrom(SockRecord* record, void* buffer, int32_t size, int32_t* received,
                        NetAddress* from) {
    ResultCode rc = SockCheckTransfer(record, buffer, size, received);
    if (OV_FAILED(rc))
        return rc;
    sockaddr_in peer;
    memset(&peer, 0, sizeof(peer));
    int length = sizeof(peer);
    int n = recvfrom(Sock(record), (char*)buffer, size, 0, (sockaddr*)&peer, &length);
    int error = WSAGetLastError();
    PfSocketRearm(record->handle, PF_FD_READ);
    if (n < 0)
        return SockMapError(error);
    FromSockaddr(peer, &record->address);
    record->addressLength = length;
    if (from != nullptr)
        *from = SockNetAddress(record->address);
    if (received != nullptr)
        *received = n;
    return kOk;
}

ResultCode SockBind(SockRecord* record, const NetAddress* address) {
    ResultCode rc = SockCheckAddress(record, address);
    if (OV_FAILED(rc))
        return rc;
    const char reuse = 1;
    if (setsockopt(Sock(record), SOL_SOCKET, SO_REUSEADDR, &reuse, 1) != 0) {
        // Some Winsock implementations want a full BOOL.
        BOOL wide = TRUE;
        if (setsockopt(Sock(record), SOL_SOCKET, SO_REUSEADDR, (const char*)&wide, sizeof(wide)) !=
            0) {
            return SockLastError();
        }
    }
    sockaddr_in at;
    ToSockaddr(record->address, &at);
    if (bind(Sock(record), (const sockaddr*)&at, sizeof(at)) != 0)
        return SockLastError();
    return kOk;
}

ResultCode SockListen(SockRecord* record) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    if (listen(Sock(record), 5) != 0)
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
    int length = sizeof(peer);
    SOCKET s = accept(Sock(listener), (sockaddr*)&peer, &length);
    int error = WSAGetLastError();
    PfSocketRearm(listener->handle, PF_FD_ACCEPT);
    if (s == INVALID_SOCKET)
        return SockMapError(error);
    SockRecord* r = *newRecord;
    r->handle = (PfSocketHandle)s;
    r->kind = kSockKindTcp;
    FromSockaddr(peer, &r->address);
    r->addressLength = length;
    if (outAddress != nullptr)
        *outAddress = SockNetAddress(r->address);
    return SetLingerOff(s);
}

ResultCode SockEnableBroadcast(SockRecord* record, int32_t mode) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    if (mode != 0)
        return OV_E_PLATFORM;
    BOOL value = TRUE;
    if (setsockopt(Sock(record), SOL_SOCKET, SO_BROADCAST, (const char*)&value, sizeof(value)) !=
        0) {
        return SockLastError();
    }
    return kOk;
}

ResultCode SockClose(SockRecord* record) {
    if (record == nullptr)
        return OV_E_SOCKET_RECORD;
    ResultCode rc = kOk;
    if (record->handle != PF_INVALID_SOCKET) {
        // closesocket also cancels WSAAsyncSelect; the notification source
        // must forget the handle before Winsock can reuse it.
        PfSocketSelect(record->handle, nullptr, 0, 0);
        if (closesocket(Sock(record)) != 0)
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
    int length = sizeof(local);
    if (getsockname(Sock(record), (sockaddr*)&local, &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

ResultCode NetStartup() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return OV_E_NETWORK;
    if (data.wVersion != MAKEWORD(2, 2)) {
        WSACleanup();
        return OV_E_NETWORK;
    }
    return OV_S_NETWORK;
}

ResultCode NetCleanup() {
    WSACleanup();
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

namespace {

// 100 ns intervals between 1601-01-01 (FILETIME) and 1970-01-01.
const int64_t kFileTimeAt1970 = 116444736000000000ll;

int64_t UnixTime100ns() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    int64_t ticks = ((int64_t)now.dwHighDateTime << 32) | (int64_t)now.dwLowDateTime;
    return ticks - kFileTimeAt1970;
}

}  // namespace

uint32_t NowSeconds() {
    return (uint32_t)(uint64_t)(UnixTime100ns() / 10000000);
}

void NowMillis(NetTimeStamp* stamp) {
    if (stamp == nullptr)
        return;
    int64_t ticks = UnixTime100ns();
    stamp->seconds = ticks / 10000000;
    stamp->millis = (uint32_t)((ticks % 10000000) / 10000);
}
