// Object form of the socket functions (pfSocket.h): one reference-counted
// holder of one socket record. The object owns its record; Close and the
// destructor close and free it.
//
// Threads: not locked; one object is used by one thread at a time, and its
// notifications go to the thread of the window it selects (pfSocket.h).
#pragma once

#include <stdint.h>

#include "opn/core/ovIUnknown.h"
#include "opn/core/ovResult.h"
#include "opn/platform/pfSocket.h"

class cpCSocket : public ovIUnknown {
    OV_IMPLEMENT_REFCOUNT(cpCSocket)

  public:
    cpCSocket() : m_record(nullptr) {}
    // Closes a record still held.
    ~cpCSocket() override;
    cpCSocket(const cpCSocket&) = delete;
    cpCSocket& operator=(const cpCSocket&) = delete;

    // SockCreate on the held record (allocating it when there is none).
    virtual ResultCode Create(int32_t kind);
    virtual ResultCode Connect(const NetAddress* address);
    // Closes and frees the record and forgets it; OV_S_PLATFORM without one.
    virtual ResultCode Close();
    virtual ResultCode Send(const void* data, int32_t size, int32_t* sent);
    virtual ResultCode Recv(void* buffer, int32_t size, int32_t* received);
    // Kept for the slot layout; does nothing.
    virtual ResultCode Reserved() { return OV_S_PLATFORM; }
    virtual ResultCode Bind(const NetAddress* address);
    virtual ResultCode Listen();
    // Accepts into `*newRecord` (null or a record with an invalid handle). On
    // failure a record this call allocated is freed again and the pointer
    // cleared; a record the caller passed in stays the caller's.
    virtual ResultCode Accept(SockRecord** newRecord, NetAddress* outAddress);
    virtual ResultCode SendTo(const NetAddress* address, const void* data, int32_t size,
                              int32_t* sent);
    virtual ResultCode EnableBroadcast(int32_t mode);
    virtual ResultCode RecvFrom(void* buffer, int32_t size, int32_t* received, NetAddress* from);

    // The held record (null when none); stays owned by the object.
    SockRecord* Record() const { return m_record; }

  private:
    SockRecord* m_record;
};
