// Socket functions that need no backend of their own: the record checks and
// allocation, addresses in network byte order, the read-ahead receive,
// notification registration, queued events, resolution of the first address
// and elapsed time.
#include "opn/platform/pfSocket.h"

#include <stdlib.h>
#include <string.h>

#include "opn/platform/pfMessageLoop.h"

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

}  // namespace

ResultCode SockPrepareRecord(SockRecord** record) {
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

ResultCode SockCheckTransfer(const SockRecord* record, const void* buffer, int32_t size,
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

ResultCode SockCheckAddress(SockRecord* record, const NetAddress* address) {
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

NetAddress SockNetAddress(const SockAddressIn& in) {
    NetAddress out;
    out.address = in.address;
    out.port = ToHostOrder(in.port);
    return out;
}

void NetAddUnique(NetAddressList* list, uint32_t address) {
    if (list->count >= kNetMaxAddresses)
        return;
    for (int32_t i = 0; i < list->count; ++i)
        if (list->addresses[i] == address)
            return;
    list->addresses[list->count++] = address;
}

ResultCode SockRecv(SockRecord* record, void* buffer, int32_t size, int32_t* received) {
    ResultCode rc = SockCheckTransfer(record, buffer, size, received);
    if (OV_FAILED(rc))
        return rc;
    int32_t n = 0;
    if (Held(record->readAhead) > 0 && size > 0) {
        n = Serve(record->readAhead, buffer, size);
    } else if (record->kind != kSockKindTcp || size == 0 || size >= kSockReadAheadSize) {
        // Datagrams keep their bounds; a large read needs no second copy.
        rc = SockSystemRecv(record, buffer, size, &n);
    } else {
        if (record->readAhead == nullptr)
            record->readAhead = (SockReadAhead*)calloc(1, sizeof(SockReadAhead));
        if (record->readAhead == nullptr) {
            rc = SockSystemRecv(record, buffer, size, &n);
        } else {
            SockReadAhead* ahead = record->readAhead;
            int32_t got = 0;
            rc = SockSystemRecv(record, ahead->data, kSockReadAheadSize, &got);
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

void SockFreeReadAhead(SockRecord* record) {
    if (record == nullptr)
        return;
    free(record->readAhead);
    record->readAhead = nullptr;
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
