// The stack face of a protocol layer: what the connection context and the
// neighbouring layers call on a layer.
//
// A layer sits in its context's layer array; index 0 is the top layer, the
// last index the bottom layer next to the socket. Bytes move up through
// OnData (the context feeds the bottom layer; a layer feeds the one above it
// through PassUp) and down through SendFromLayer (the bottom layer's blocks go
// to the socket queue, any other layer's go to SendDown of the layer below).
// Events run over the layers from the bottom up until one answers false.
//
// Contract of the calls the context makes:
// - OnData(data, length) returns how many of the bytes the layer consumed
//   (0..length); the rest is offered again, in front of the next bytes. A
//   negative value, or more than `length`, makes the context close.
// - OnConnected / OnHostUnreachable / OnEvent return false to stop the walk
//   to the layers above (a TLS layer answers false from OnConnected while its
//   handshake runs, and tells the layers above later).
// - OnClosed comes once, when the context closes; afterwards the layer
//   consumes nothing more.
// - Blocks are borrowed for the length of the call: the receiver copies what
//   it keeps.
//
// The forwarding operations (rates, close, masks, connect, PassUp,
// SendFromLayer, NotifyConnectedAbove) go to the owning context; without a
// context they do nothing and answer 0x80200000 (PassUp answers 0).
//
// Every call runs on the library thread under the library lock.
#pragma once

#include <stdint.h>

#include "opn/core/ovIUnknown.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfSocket.h"

class nwIQoSNetStack : public ovIUnknown {
  public:
    // AddRef, Release, QueryInterface and the destructor are answered by the
    // concrete layer; QueryInterface knows OV_IID_NETSTACK (0x2016) only.

    virtual ResultCode GetReceiveRate(uint32_t* bytesPerSecond);
    virtual ResultCode GetSendRate(uint32_t* bytesPerSecond);
    // A block coming from the layer above; the base drops it.
    virtual ResultCode SendDown(const ovQoSBlock* block);
    virtual ResultCode CloseContext();
    virtual bool OnConnected() = 0;
    virtual bool OnHostUnreachable();
    // Context event (1 connect failed, 2 send drained, 4 receive idle, 32
    // fatal, 64 scheduled: kQoSEvent*); the base answers true.
    virtual bool OnEvent(uint32_t code, uint32_t argument);
    // Received bytes from the layer below (or the socket); see above.
    virtual int32_t OnData(const uint8_t* data, int32_t length);
    virtual void OnClosed();
    virtual ResultCode SetEventMask(uint32_t mask);
    virtual ResultCode AddEvents(uint32_t bits);
    virtual ResultCode RemoveEvents(uint32_t bits);
    virtual ResultCode Connect(const NetAddress* address);
    // Tells the layer above this one that the connection is up (a layer that
    // runs a handshake of its own calls it when the handshake is done).
    virtual ResultCode NotifyConnectedAbove();
    // Hands bytes to the layer above; its consumed count, 0 without context.
    virtual int32_t PassUp(const uint8_t* data, int32_t length);
    // Sends a block downwards (socket queue for the bottom layer).
    virtual ResultCode SendFromLayer(const ovQoSBlock* block);

    // Set by the context's PushLayer. The context owns the layer, not the
    // other way round: no reference is held.
    void SetContext(ovIQoSContext* context) { m_context = context; }
    ovIQoSContext* Context() const { return m_context; }

  protected:
    nwIQoSNetStack() : m_context(nullptr) {}

    ovIQoSContext* m_context;
};
