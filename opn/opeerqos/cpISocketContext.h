// What the socket manager (cpCQoS) holds in a slot: the connection context
// that owns a registered socket. The manager holds one reference per slot and
// calls these on the library thread, under the library lock, holding an extra
// reference for the length of each call (so a context may unregister itself,
// and drop the slot's reference, from inside any of them).
#pragma once

#include <stdint.h>

#include "opn/core/ovIUnknown.h"
#include "opn/platform/pfSocket.h"

// Scratch tally handed to every context's per-second Tick: the bytes its
// action moved in the second that ended (own-limit actions add theirs).
struct cpQoSTally {
    uint64_t receivedBytes;
    uint64_t sentBytes;
};

class cpISocketContext : public ovIUnknown {
  public:
    // Socket events (cpAsyncSocketWindow.h codes 2, 3, 4, 6, 7, 8, 9).
    virtual void OnReadable() = 0;
    virtual void OnWritable() = 0;
    virtual void OnConnected() = 0;
    virtual void OnAccept() = 0;
    virtual void OnPeerClosed() = 0;
    virtual void OnConnectRefused() = 0;
    virtual void OnHostUnreachable() = 0;
    // A queued context event posted for `record` (SockPostEvent); a record
    // other than the context's own socket is to be ignored.
    virtual void DispatchQueuedEvent(SockRecord* record) = 0;
    // Once per second from the manager's tick.
    virtual void Tick(cpQoSTally* tally) = 0;
};
