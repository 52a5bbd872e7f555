// The socket system calls over Winsock 2.2, and its start-up. Winsock errors
// are translated in one place (pfError.h).
#include "opn/platform/pfSocketBackend.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <string.h>

#include "opn/platform/pfCallCounts.h"

namespace {

const ResultCode kOk = OV_S_PLATFORM;

SOCKET Sock(PfSocketHandle handle) {
    return (SOCKET)handle;
}

static_assert(AF_INET == kSockFamilyInet, "SockAddressIn keeps AF_INET");

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

ResultCode SetOption(PfSocketHandle handle, int name, const void* value, int size) {
    if (setsockopt(Sock(handle), SOL_SOCKET, name, (const char*)value, size) != 0)
        return SockLastError();
    return kOk;
}

}  // namespace

ResultCode SockSystemOpen(int32_t kind, PfSocketHandle* handle) {
    const SOCKET s = kind == kSockKindTcp ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)
                                          : socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        *handle = PF_INVALID_SOCKET;
        return SockLastError();
    }
    *handle = (PfSocketHandle)s;
    return kOk;
}

ResultCode SockSystemSetLingerOff(PfSocketHandle handle) {
    linger value;
    value.l_onoff = 1;
    value.l_linger = 0;
    return SetOption(handle, SO_LINGER, &value, (int)sizeof(value));
}

ResultCode SockSystemSetNonBlocking(PfSocketHandle handle, uint32_t value) {
    u_long flag = value;
    if (ioctlsocket(Sock(handle), FIONBIO, &flag) != 0)
        return SockLastError();
    return kOk;
}

ResultCode SockSystemConnect(PfSocketHandle handle, const SockAddressIn& to) {
    const sockaddr_in address = ToSockaddr(to);
    if (connect(Sock(handle), (const sockaddr*)&address, sizeof(address)) != 0)
        return SockLastError();
    return kOk;
}

ResultCode SockSystemSend(PfSocketHandle handle, const void* data, int32_t size, int32_t* sent) {
    const int n = send(Sock(handle), (const char*)data, size, 0);
    if (n < 0)
        return SockLastError();
    *sent = n;
    return kOk;
}

ResultCode SockSystemRecv(PfSocketHandle handle, void* buffer, int32_t size, int32_t* received) {
    PfCountCall(kPfCountSystemRecv);
    *received = 0;
    // A close leaves the last error alone; clear it so a stale "would block"
    // cannot hide the end of the stream.
    WSASetLastError(0);
    const int n = recv(Sock(handle), (char*)buffer, size, 0);
    if (n > 0) {
        *received = n;
        return kOk;
    }
    return SockMapError(n == 0 ? 0 : WSAGetLastError());
}

ResultCode SockSystemSendTo(PfSocketHandle handle, const SockAddressIn& to, const void* data,
                            int32_t size, int32_t* sent) {
    const sockaddr_in address = ToSockaddr(to);
    const int n = sendto(Sock(handle), (const char*)data, size, 0, (const sockaddr*)&address,
                         sizeof(address));
    if (n < 0)
        return SockLastError();
    *sent = n;
    return kOk;
}

ResultCode SockSystemRecvFrom(PfSocketHandle handle, void* buffer, int32_t size, int32_t* received,
                              SockAddressIn* from, int32_t* fromLength) {
    sockaddr_in peer;
    memset(&peer, 0, sizeof(peer));
    int length = sizeof(peer);
    const int n = recvfrom(Sock(handle), (char*)buffer, size, 0, (sockaddr*)&peer, &length);
    if (n < 0)
        return SockLastError();
    *from = FromSockaddr(peer);
    *fromLength = length;
    *received = n;
    return kOk;
}

ResultCode SockSystemSetReuseAddress(PfSocketHandle handle) {
    const char reuse = 1;
    if (OV_SUCCEEDED(SetOption(handle, SO_REUSEADDR, &reuse, 1)))
        return kOk;
    // Some Winsock implementations want a full BOOL.
    const BOOL wide = TRUE;
    return SetOption(handle, SO_REUSEADDR, &wide, (int)sizeof(wide));
}

ResultCode SockSystemBind(PfSocketHandle handle, const SockAddressIn& at) {
    const sockaddr_in address = ToSockaddr(at);
    if (bind(Sock(handle), (const sockaddr*)&address, sizeof(address)) != 0)
        return SockLastError();
    return kOk;
}

ResultCode SockSystemListen(PfSocketHandle handle, int32_t backlog) {
    if (listen(Sock(handle), backlog) != 0)
        return SockLastError();
    return kOk;
}

ResultCode SockSystemAccept(PfSocketHandle handle, PfSocketHandle* accepted, SockAddressIn* peer,
                            int32_t* peerLength) {
    *accepted = PF_INVALID_SOCKET;
    sockaddr_in from;
    memset(&from, 0, sizeof(from));
    int length = sizeof(from);
    const SOCKET s = accept(Sock(handle), (sockaddr*)&from, &length);
    if (s == INVALID_SOCKET)
        return SockLastError();
    *accepted = (PfSocketHandle)s;
    *peer = FromSockaddr(from);
    *peerLength = length;
    return kOk;
}

ResultCode SockSystemSetBroadcast(PfSocketHandle handle) {
    const BOOL value = TRUE;
    return SetOption(handle, SO_BROADCAST, &value, (int)sizeof(value));
}

ResultCode SockSystemClose(PfSocketHandle handle) {
    // closesocket also cancels WSAAsyncSelect.
    if (closesocket(Sock(handle)) != 0)
        return SockLastError();
    return kOk;
}

ResultCode SockSystemLocalAddress(PfSocketHandle handle, SockAddressIn* local) {
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    int length = sizeof(address);
    if (getsockname(Sock(handle), (sockaddr*)&address, &length) != 0)
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
