// The socket functions, on the system calls of the backend
// (pfSocketBackend.h): the record checks and allocation, addresses in network
// byte order, the read-ahead receive, the re-arming of notifications,
// registration, queued events, resolution and the clock helpers.
#include "opn/platform/pfSocket.h"

#include <stdlib.h>
#include <string.h>

#include "opn/platform/pfCallCounts.h"
#include "opn/platform/pfClock.h"
#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfSocketBackend.h"

struct SockReadAhead {
    int32_t start;  // first byte not yet served
    int32_t end;    // one past the last byte read from the system
    uint8_t data[kSockReadAheadSize];
};

namespace {

const ResultCode kOk = OV_S_PLATFORM;

int32_t Held(const SockReadAhead* ahead) {
    return ahead != nullptr ? ahead->end - ahead->start : 0;
}

// Tells the notification source what is left after a receive; re-arms FD_READ.
void AfterReceive(SockRecord* record) {
    PfSocketReadAhead(record->handle, Held(record->readAhead) > 0);
}

int32_t Serve(SockReadAhead* ahead, void* buffer, int32_t size) {
    const int32_t held = Held(ahead);
    const int32_t n = size < held ? size : held;
    memcpy(buffer, ahead->data + ahead->start, (size_t)n);
    ahead->start += n;
    if (ahead->start == ahead->end) {
        ahead->start = 0;
        ahead->end = 0;
    }
    return n;
}

// Lets the notification source know of bytes a record held before it was
// (re)selected.
void ReportHeld(SockRecord* record) {
    if (Held(record->readAhead) > 0)
        PfSocketReadAhead(record->handle, true);
}

// Network byte order (big-endian) whatever the host's order.
uint16_t ToNetworkOrder(uint16_t value) {
    const uint8_t bytes[2] = {(uint8_t)(value >> 8), (uint8_t)value};
    uint16_t out;
    memcpy(&out, bytes, sizeof out);
    return out;
}

uint16_t ToHostOrder(uint16_t value) {
    uint8_t bytes[2];
    memcpy(bytes, &value, sizeof bytes);
    return (uint16_t)((bytes[0] << 8) | bytes[1]);
}

// Gives `*record` a record for a new socket, allocating a zeroed one (slot
// -1, handle invalid) when it is null. 0x80210002 for a null `record` or no
// memory, 0x80220007 for a record that already holds a socket.
ResultCode PrepareRecord(SockRecord** record) {
    if (record == nullptr)
        return OV_E_SOCKET_RECORD;
    if (*record != nullptr)
        return (*record)->handle != PF_INVALID_SOCKET ? OV_E_SOCKET_EXISTS : kOk;
    SockRecord* fresh = (SockRecord*)calloc(1, sizeof(SockRecord));
    if (fresh == nullptr)
        return OV_E_SOCKET_RECORD;
    fresh->handle = PF_INVALID_SOCKET;
    fresh->slot = -1;
    *record = fresh;
    return kOk;
}

// The check every send and receive starts with: SockCheck, then `*count`
// (may be null) set to 0, then 0x80200000 for a negative size or a missing
// buffer.
ResultCode CheckTransfer(const SockRecord* record, const void* buffer, int32_t size,
                         int32_t* count) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    if (count != nullptr)
        *count = 0;
    if (size < 0 || (buffer == nullptr && size > 0))
        return OV_E_PLATFORM;
    return kOk;
}

// The check of a call to an address: SockCheck, then 0x80200000 for a null
// `address`; on success the address is the record's (network byte order).
ResultCode CheckAddress(SockRecord* record, const NetAddress* address) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    if (address == nullptr)
        return OV_E_PLATFORM;
    memset(&record->address, 0, sizeof(record->address));
    record->address.family = kSockFamilyInet;
    record->address.port = ToNetworkOrder(address->port);
    record->address.address = address->address;
    record->addressLength = (int32_t)sizeof(record->address);
    return kOk;
}

// A socket address as address and host-order port.
NetAddress ToNetAddress(const SockAddressIn& in) {
    NetAddress out;
    out.address = in.address;
    out.port = ToHostOrder(in.port);
    return out;
}

void FreeReadAhead(SockRecord* record) {
    if (record == nullptr)
        return;
    free(record->readAhead);
    record->readAhead = nullptr;
}

}  // namespace

void NetAddUnique(NetAddressList* list, uint32_t address) {
    if (list->count >= kNetMaxAddresses)
        return;
    for (int32_t i = 0; i < list->count; ++i)
        if (list->addresses[i] == address)
            return;
    list->addresses[list->count++] = address;
}

ResultCode SockCreate(SockRecord** record, int32_t kind) {
    if (record == nullptr)
        return OV_E_SOCKET_RECORD;
    if (kind != kSockKindTcp && kind != kSockKindUdp)
        return OV_E_PLATFORM;
    ResultCode rc = PrepareRecord(record);
    if (OV_FAILED(rc))
        return rc;
    SockRecord* r = *record;
    r->kind = kind;
    PfSocketHandle handle = PF_INVALID_SOCKET;
    rc = SockSystemOpen(kind, &handle);
    if (kind == kSockKindTcp) {
        r->handle = OV_SUCCEEDED(rc) ? handle : PF_INVALID_SOCKET;
        if (OV_FAILED(rc))
            return rc;
        // The socket stays open when only the option fails.
        return SockSystemSetLingerOff(handle);
    }
    if (OV_FAILED(rc)) {
        free(r);
        *record = nullptr;
        return OV_E_SOCKET_RECORD;
    }
    r->handle = handle;
    return kOk;
}

ResultCode SockSetBlocking(SockRecord* record, int32_t blocking) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    const uint32_t value = blocking ? 0 : 1;
    rc = SockSystemSetNonBlocking(record->handle, value);
    if (OV_SUCCEEDED(rc))
        record->nonBlocking = value;
    return rc;
}

ResultCode SockConnect(SockRecord* record, const NetAddress* address) {
    ResultCode rc = CheckAddress(record, address);
    if (OV_FAILED(rc))
        return rc;
    rc = SockSystemConnect(record->handle, record->address);
    if (OV_SUCCEEDED(rc) || rc == OV_E_WOULD_BLOCK)
        PfSocketRearm(record->handle, PF_FD_CONNECT);
    return rc;
}

ResultCode SockSend(SockRecord* record, const void* data, int32_t size, int32_t* sent) {
    ResultCode rc = CheckTransfer(record, data, size, sent);
    if (OV_FAILED(rc))
        return rc;
    int32_t n = 0;
    rc = SockSystemSend(record->handle, data, size, &n);
    if (OV_FAILED(rc)) {
        if (rc == OV_E_WOULD_BLOCK)
            PfSocketRearm(record->handle, PF_FD_WRITE);
        return rc;
    }
    if (sent != nullptr)
        *sent = n;
    return kOk;
}

ResultCode SockRecv(SockRecord* record, void* buffer, int32_t size, int32_t* received) {
    PfCountCall(kPfCountSockRecv);
    ResultCode rc = CheckTransfer(record, buffer, size, received);
    if (OV_FAILED(rc))
        return rc;
    int32_t n = 0;
    if (Held(record->readAhead) > 0 && size > 0) {
        n = Serve(record->readAhead, buffer, size);
    } else if (record->kind != kSockKindTcp || size == 0 || size >= kSockReadAheadSize) {
        // Datagrams keep their bounds; a large read needs no second copy.
        rc = SockSystemRecv(record->handle, buffer, size, &n);
    } else {
        if (record->readAhead == nullptr)
            record->readAhead = (SockReadAhead*)calloc(1, sizeof(SockReadAhead));
        if (record->readAhead == nullptr) {
            rc = SockSystemRecv(record->handle, buffer, size, &n);
        } else {
            SockReadAhead* ahead = record->readAhead;
            int32_t got = 0;
            rc = SockSystemRecv(record->handle, ahead->data, kSockReadAheadSize, &got);
            if (OV_SUCCEEDED(rc) && got > 0) {
                ahead->start = 0;
                ahead->end = got > kSockReadAheadSize ? kSockReadAheadSize : got;
                n = Serve(ahead, buffer, size);
            }
        }
    }
    AfterReceive(record);
    if (OV_FAILED(rc))
        return rc;
    if (received != nullptr)
        *received = n;
    return kOk;
}

int32_t SockReadAheadBytes(const SockRecord* record) {
    return record != nullptr ? Held(record->readAhead) : 0;
}

ResultCode SockCheck(const SockRecord* record) {
    if (record == nullptr)
        return OV_E_SOCKET_RECORD;
    if (record->handle == PF_INVALID_SOCKET)
        return OV_E_NOT_SOCKET;
    return kOk;
}

ResultCode SockSelectAll(SockRecord* record) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    if (record->window == nullptr || record->slot < 0 || record->slot >= (int32_t)kSockSlotCount) {
        return OV_E_PLATFORM;
    }
    rc = PfSocketSelect(record->handle, record->window->window,
                        PF_WM_USER + kSockMessageBase + (uint32_t)record->slot, kSockMaskSelectAll);
    if (OV_SUCCEEDED(rc))
        ReportHeld(record);
    return rc;
}

ResultCode SockRegister(MsgWindowRecord* window, SockRecord* record, int32_t slot) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    if (window == nullptr || slot < 0 || slot >= (int32_t)kSockSlotCount)
        return OV_E_PLATFORM;
    record->window = window;
    record->slot = slot;
    rc = PfSocketSelect(record->handle, window->window,
                        PF_WM_USER + kSockMessageBase + (uint32_t)slot, kSockMaskRegister);
    if (OV_SUCCEEDED(rc))
        ReportHeld(record);
    return rc;
}

ResultCode SockUnregister(MsgWindowRecord* window, SockRecord* record, int32_t* slot) {
    if (slot != nullptr)
        *slot = -1;
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    int32_t had = record->slot;
    if (slot != nullptr)
        *slot = had;
    record->slot = -1;
    MsgWindowRecord* owner = window != nullptr ? window : record->window;
    ResultCode cancel =
        PfSocketSelect(record->handle, owner != nullptr ? owner->window : nullptr, 0, 0);
    if (had < 0)
        return OV_E_PLATFORM;
    return cancel;
}

ResultCode SockPostEvent(SockRecord* record) {
    if (record == nullptr)
        return OV_E_SOCKET_RECORD;
    if (record->window == nullptr)
        return OV_E_PLATFORM;
    if (!PfPostMessage(record->window->window, PF_WM_USER + kSockQueuedMessage,
                       (uintptr_t)(intptr_t)record->slot, (intptr_t)record)) {
        return OV_E_PLATFORM;
    }
    return kOk;
}

ResultCode ResolveFirst(const char* host, uint32_t* address) {
    if (address == nullptr)
        return OV_E_PLATFORM;
    NetAddressList list;
    ResultCode rc = ResolveAll(host, &list);
    if (OV_FAILED(rc))
        return rc;
    *address = list.addresses[0];
    return kOk;
}

uint32_t ElapsedMillis(const NetTimeStamp* stamp) {
    if (stamp == nullptr)
        return 0;
    NetTimeStamp now;
    NowMillis(&now);
    int64_t elapsed =
        (now.seconds - stamp->seconds) * 1000 + (int64_t)now.millis - (int64_t)stamp->millis;
    if (elapsed < 0)
        return 0;
    if (elapsed > (int64_t)UINT32_MAX)
        return UINT32_MAX;
    return (uint32_t)elapsed;
}

ResultCode SockSendTo(SockRecord* record, const NetAddress* address, const void* data, int32_t size,
                      int32_t* sent) {
    ResultCode rc = CheckTransfer(record, data, size, sent);
    if (OV_SUCCEEDED(rc))
        rc = CheckAddress(record, address);
    if (OV_FAILED(rc))
        return rc;
    int32_t n = 0;
    rc = SockSystemSendTo(record->handle, record->address, data, size, &n);
    if (OV_FAILED(rc))
        return rc;
    if (sent != nullptr)
        *sent = n;
    return kOk;
}

ResultCode SockRecvFrom(SockRecord* record, void* buffer, int32_t size, int32_t* received,
                        NetAddress* from) {
    ResultCode rc = CheckTransfer(record, buffer, size, received);
    if (OV_FAILED(rc))
        return rc;
    SockAddressIn peer;
    memset(&peer, 0, sizeof(peer));
    int32_t length = 0;
    int32_t n = 0;
    rc = SockSystemRecvFrom(record->handle, buffer, size, &n, &peer, &length);
    PfSocketRearm(record->handle, PF_FD_READ);
    if (OV_FAILED(rc))
        return rc;
    record->address = peer;
    record->addressLength = length;
    if (from != nullptr)
        *from = ToNetAddress(record->address);
    if (received != nullptr)
        *received = n;
    return kOk;
}

ResultCode SockBind(SockRecord* record, const NetAddress* address) {
    ResultCode rc = CheckAddress(record, address);
    if (OV_SUCCEEDED(rc))
        rc = SockSystemSetReuseAddress(record->handle);
    if (OV_SUCCEEDED(rc))
        rc = SockSystemBind(record->handle, record->address);
    return rc;
}

ResultCode SockListen(SockRecord* record) {
    ResultCode rc = SockCheck(record);
    if (OV_SUCCEEDED(rc))
        rc = SockSystemListen(record->handle, 5);
    if (OV_FAILED(rc))
        return rc;
    PfSocketRearm(record->handle, PF_FD_ACCEPT);
    return kOk;
}

ResultCode SockAccept(SockRecord* listener, NetAddress* outAddress, SockRecord** newRecord) {
    ResultCode rc = SockCheck(listener);
    if (OV_SUCCEEDED(rc))
        rc = PrepareRecord(newRecord);
    if (OV_FAILED(rc))
        return rc;
    PfSocketHandle accepted = PF_INVALID_SOCKET;
    SockAddressIn peer;
    memset(&peer, 0, sizeof(peer));
    int32_t length = 0;
    rc = SockSystemAccept(listener->handle, &accepted, &peer, &length);
    PfSocketRearm(listener->handle, PF_FD_ACCEPT);
    if (OV_FAILED(rc))
        return rc;
    SockRecord* r = *newRecord;
    r->handle = accepted;
    r->kind = kSockKindTcp;
    r->address = peer;
    r->addressLength = length;
    if (outAddress != nullptr)
        *outAddress = ToNetAddress(r->address);
    return SockSystemSetLingerOff(accepted);
}

ResultCode SockEnableBroadcast(SockRecord* record, int32_t mode) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    if (mode != 0)
        return OV_E_PLATFORM;
    return SockSystemSetBroadcast(record->handle);
}

ResultCode SockClose(SockRecord* record) {
    if (record == nullptr)
        return OV_E_SOCKET_RECORD;
    ResultCode rc = kOk;
    if (record->handle != PF_INVALID_SOCKET) {
        // The notification source must forget the handle before the system
        // can give its number to a new socket.
        PfSocketSelect(record->handle, nullptr, 0, 0);
        rc = SockSystemClose(record->handle);
    }
    FreeReadAhead(record);
    free(record);
    return rc;
}

uint16_t SockLocalPort(SockRecord* record) {
    if (OV_FAILED(SockCheck(record)))
        return 0;
    SockAddressIn local;
    memset(&local, 0, sizeof(local));
    if (OV_FAILED(SockSystemLocalAddress(record->handle, &local)))
        return 0;
    return ToHostOrder(local.port);
}

ResultCode ResolveAll(const char* host, NetAddressList* list) {
    if (list == nullptr)
        return OV_E_PLATFORM;
    list->count = 0;
    if (host == nullptr || host[0] == '\0')
        return OV_E_PLATFORM;
    if (!SockSystemResolve(host, list))
        list->count = 0;
    return list->count > 0 ? kOk : OV_E_PLATFORM;
}

uint32_t NowSeconds() {
    return (uint32_t)(uint64_t)ClockUnixSeconds();
}

void NowMillis(NetTimeStamp* stamp) {
    if (stamp == nullptr)
        return;
    const int64_t millis = ClockUnixMillis();
    stamp->seconds = millis / 1000;
    stamp->millis = (uint32_t)(millis % 1000);
}
