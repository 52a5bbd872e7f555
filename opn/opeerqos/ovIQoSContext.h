// Public face of a connection context (class id OV_CLSID_QOS_CONTEXT): one
// TCP connection with its stack of protocol layers, its send queue and
// receive buffer, and the bandwidth action that paces both directions.
//
// Use: CreateInstance(OV_CLSID_QOS_CONTEXT), Initialize, SetOption (connect
// and receive-idle time-outs), PushLayer, register with the top layer, then
// Connect. On every end: detach, Close, and hand the pointer to the garbage
// collector (DeferRelease) before dropping your own.
//
// Everything runs on the library thread under the library lock; a caller on
// another thread takes the lock around its calls. Events reach the layers
// from the bottom up; a layer answering false stops the walk.
//
// Layers: index 0 is the top layer (next to the application), the last index
// the bottom layer (next to the socket). The context keeps a reference to
// itself while it calls into its layers, so a layer may drop its owner's
// last reference from inside any callback, and may Close the context there.
//
// Unless stated otherwise every operation answers OV_S_PLATFORM, and
// OV_E_PLATFORM when it cannot do what it is asked.
#pragma once

#include <stdint.h>

#include "opn/core/ovIUnknown.h"
#include "opn/core/ovResult.h"
#include "opn/platform/pfSocket.h"

class nwIQoSNetStack;

// A block of bytes passed between layers: the receiver copies what it keeps.
struct ovQoSBlock {
    const uint8_t* data;
    int32_t length;
};

// Handler of one framed message kind: the payload (its padded length L) and
// the user value given at registration.
typedef void (*ovQoSFrameHandler)(const uint8_t* payload, int32_t length, void* user);

// Event codes, which double as the bits of the event mask.
enum : uint32_t {
    kQoSEventConnectFailed = 1,  // refused, unreachable or connect time-out
    kQoSEventSendDrained = 2,    // the send queue ran empty
    kQoSEventReceiveIdle = 4,    // no data for the receive-idle limit
    kQoSMeterReceive = 8,        // count received bytes (GetReceiveRate)
    kQoSMeterSend = 0x10,        // count sent bytes (GetSendRate)
    kQoSEventFatal = 32,         // a send failed or connect failed at once
    kQoSEventScheduled = 64,     // layer code; no context event raises it
};

// Connection states.
enum : int32_t {
    kQoSStateNew = 0,
    kQoSStateOpening = 1,
    kQoSStateReady = 2,  // socket created
    kQoSStateConnecting = 3,
    kQoSStateConnected = 4,
    kQoSStateFailed = 5,
    kQoSStateSending = 6,
    kQoSStateReceiving = 7,
    kQoSStateIdle = 8,  // connected, after a transfer
    kQoSStateClosing = 9,
    kQoSStateClosed = 10,
};

// SetOption types.
enum : int32_t {
    kQoSOptionConnectTimeout = 1,  // seconds, default 5
    kQoSOptionIdleLimit = 4,       // ticks (seconds), default 60; restarts the count
    // Bytes kept received but not yet consumed at most, below the default
    // kQoSReceiveBufferLimit (0 or more: the default); for a connection that
    // only wants a head.
    kQoSOptionReceiveLimit = 5,
    kQoSOptionReserved = 64,  // accepted, no effect
};

// Bandwidth action types (SetAction, Initialize).
enum : int32_t {
    kQoSActionHigh = 1,               // unlimited
    kQoSActionServer = 2,             // library-wide budgets, both directions
    kQoSActionServerReceiveOnly = 3,  // library-wide receive, unlimited send
    kQoSActionServerSendOnly = 4,     // unlimited receive, library-wide send
    kQoSActionOwn = 5,                // own budgets, both directions
    kQoSActionOwnReceiveOnly = 6,     // own receive, unlimited send
    kQoSActionOwnSendOnly = 7,        // unlimited receive, own send
};

// SetActionLimit directions.
enum : int32_t {
    kQoSDirectionReceive = 0,
    kQoSDirectionSend = 1,
};

class cpCSharedBudget;

class ovIQoSContext : public ovIUnknown {
  public:
    // Slot 2 (QueryInterface) forwards to the top layer; OV_E_NOINTERFACE
    // without layers.

    // Slot 4. Only in state new (else OV_E_PLATFORM). Stores the event mask,
    // registers with the socket manager (which creates a TCP socket when
    // `acceptedRecord` is null, and takes the record either way), moves to
    // ready (or connected with an accepted record), then SetAction, whose
    // result it returns. Without a socket manager, or with all its slots
    // taken, the context has no socket: a later Connect fails (state failed,
    // then event 32, delivered when in the mask, closes the context).
    virtual ResultCode Initialize(int32_t actionType, uint32_t eventMask,
                                  SockRecord* acceptedRecord) = 0;
    // Slot 5. The action's SetLimit (direction kQoSDirection*); OV_E_PLATFORM
    // without an action or with a null value.
    virtual ResultCode SetActionLimit(int32_t direction, const uint32_t* bytesPerSecond) = 0;
    // Slot 6. Keeps an action of the same type, otherwise replaces it; an
    // own action (5..7) that replaces another keeps its limits and what
    // moved in the current window. OV_E_PLATFORM for a type outside 1..7
    // (the old action stays).
    virtual ResultCode SetAction(int32_t type) = 0;
    // Slot 7.
    virtual ResultCode SetEventMask(uint32_t mask) = 0;
    // Slot 8. Adds `bits` only when none of them is set yet.
    virtual ResultCode AddEvents(uint32_t bits) = 0;
    // Slot 9. Clears those of `bits` that are set.
    virtual ResultCode RemoveEvents(uint32_t bits) = 0;
    // Slot 10. kQoSOption*; other types (or a null value) OV_E_PLATFORM.
    virtual ResultCode SetOption(int32_t type, const uint32_t* value) = 0;
    // Slot 11.
    virtual ResultCode GetState(int32_t* state) = 0;
    // Slot 12. Only in state ready (else OV_E_PLATFORM). Keeps `address` as
    // the peer address and connects without blocking; the connect time-out
    // runs while the connect is pending, and the outcome comes as OnConnected
    // of the layers or as event 1. A connect that fails at once answers the
    // socket's failure code and posts event 32.
    virtual ResultCode Connect(const NetAddress* address) = 0;
    // Slot 13. The same with the address (network order) and port (host
    // order) given apart.
    virtual ResultCode Connect(uint32_t address, uint16_t port) = 0;
    // Slot 14. A block from the bottom layer is queued for the socket; from
    // any other layer it goes to the SendDown of the layer right below.
    // OV_E_PLATFORM for a layer that is not in this context.
    virtual ResultCode SendFromLayer(nwIQoSNetStack* layer, const ovQoSBlock* block) = 0;
    // Slot 15. Creates the layer by class id and puts it at the bottom
    // (`atBottom`) or on top. OV_E_PLATFORM when the id gives no layer.
    virtual ResultCode PushLayer(uint32_t classId, bool atBottom) = 0;
    // Slot 16. Public face of the first layer with that class id (no
    // reference added); OV_E_PLATFORM when there is none.
    virtual ResultCode FindLayer(uint32_t classId, ovIUnknown** face) = 0;
    // Slot 17. Asks the socket to notify again; OV_E_PLATFORM without one.
    virtual ResultCode Rearm() = 0;
    // Slot 18. Adds a framed-message handler to the context's own
    // dispatcher, created on first use.
    virtual ResultCode RegisterHandler(uint16_t category, uint16_t message,
                                       ovQoSFrameHandler callback, void* user) = 0;
    // Slot 19.
    virtual ResultCode SetPeerAddress(const NetAddress* address) = 0;
    // Slot 20. Points `*address` at the stored peer address.
    virtual ResultCode GetPeerAddress(const NetAddress** address) = 0;
    // Slot 21. Unregisters (closing the socket) and gives every layer
    // OnClosed, bottom up. Nothing in states new, closing and closed.
    virtual ResultCode Close() = 0;
    // Slot 22. Posts event 32 (delivered, then the context closes).
    virtual ResultCode PostFatal() = 0;
    // Slot 23. Public face of layer 0, null without layers (no reference).
    virtual ovIUnknown* TopLayer() = 0;
    // Slot 24. OnConnected of the layer directly above `layer`.
    virtual ResultCode NotifyConnectedAbove(nwIQoSNetStack* layer) = 0;
    // Slot 25. OnData of the layer directly above `layer`; its consumed
    // count, 0 for the top layer or an unknown layer.
    virtual int32_t PassUp(nwIQoSNetStack* layer, const uint8_t* data, int32_t length) = 0;
    // Slot 26. The current send block (null and 0 when none).
    virtual ResultCode GetSendBlock(const uint8_t** data, int32_t* length) = 0;
    // Slot 27. Queues bytes for the socket directly (copied).
    virtual ResultCode SendRaw(const void* data, int32_t length) = 0;
    // Slot 28. Needs meter bit 8: bytes received since the last call x 1000
    // / elapsed ms (0 when no time passed); restarts the window.
    virtual ResultCode GetReceiveRate(uint32_t* bytesPerSecond) = 0;
    // Slot 29. The same for sent bytes with meter bit 0x10.
    virtual ResultCode GetSendRate(uint32_t* bytesPerSecond) = 0;
    // Slot 30. No operation.
    virtual ResultCode Reserved() = 0;
    // Slot 31. Bytes still waiting in the send queue (the current block not
    // included).
    virtual ResultCode GetQueuedBytes(int64_t* bytes) = 0;
    // Slot 32. Points `*name` at the stored host name ("" when none).
    virtual ResultCode GetHostName(const char** name) = 0;
    // Slot 33. Copies the name (at most 255 bytes are kept); OV_E_PLATFORM
    // for null.
    virtual ResultCode SetHostName(const char* name) = 0;
    // Slots 34, 35. Tell the address cache how the peer address of the host
    // name did; OV_E_PLATFORM when host name, address or port is empty.
    virtual ResultCode MarkAddressWorking() = 0;
    virtual ResultCode MarkAddressFailed() = 0;
    // Slot 36. The value SetOption stored for `type` (the default when none
    // was set); OV_E_PLATFORM for another type or a null value.
    virtual ResultCode GetOption(int32_t type, uint32_t* value) = 0;
    // After GetOption. The own action's receive bytes come from `budget`
    // (cpCSharedBudget.h), shared with other connections, instead of its own
    // receive limit; null gives the own limit back. OV_E_PLATFORM when the
    // action is not an own one (a null `budget` is then accepted).
    virtual ResultCode ShareReceiveBudget(cpCSharedBudget* budget) {
        (void)budget;
        return OV_E_PLATFORM;
    }
};
