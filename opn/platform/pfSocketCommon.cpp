// Socket functions that need no backend of their own: the record check,
// notification registration, queued events, resolution of the first address
// and elapsed time.
#include "opn/platform/pfSocket.h"

#include "opn/platform/pfMessageLoop.h"

namespace {

const ResultCode kOk = OV_S_PLATFORM;

}  // namespace

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
    return PfSocketSelect(record->handle, record->window->window,
                          PF_WM_USER + kSockMessageBase + (uint32_t)record->slot,
                          kSockMaskSelectAll);
}

ResultCode SockRegister(MsgWindowRecord* window, SockRecord* record, int32_t slot) {
    ResultCode rc = SockCheck(record);
    if (OV_FAILED(rc))
        return rc;
    if (window == nullptr || slot < 0 || slot >= (int32_t)kSockSlotCount)
        return OV_E_PLATFORM;
    record->window = window;
    record->slot = slot;
    return PfSocketSelect(record->handle, window->window,
                          PF_WM_USER + kSockMessageBase + (uint32_t)slot, kSockMaskRegister);
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
