// Common base of the concrete protocol layers: the stack face plus an
// embedded stream dispatcher that cuts received bytes into framed messages
// (or hands them on raw), and the helpers that build and send frames.
//
// What the base does for a layer:
// - OnData runs the dispatcher over the bytes and returns its result, so a
//   frame nobody handles makes the context close;
// - OnEvent maps the context's events onto the hooks below (1 connect
//   failed, 2 send drained, 4 receive idle, 64 scheduled; others: true);
// - OnClosed stops the dispatcher, then runs OnClosedHook.
// The layer holds a reference to itself while its handlers and hooks run,
// so a listener may drop the owner's last reference from inside them.
//
// A concrete layer answers AddRef/Release/QueryInterface (id 0x2016 gives
// the stack face, any other id OV_E_NETWORK), defines OnConnected,
// OnClosedHook and RegisterHandlers, and calls RegisterHandlers from its own
// constructor (a base constructor cannot reach the derived override).
//
// Threads: a layer is called by its context on the library thread under the
// library lock (cpISocketContext.h), and so are its handlers and hooks.
#pragma once

#include <stdint.h>

#include "opn/opeerqos/nwCStreamDispatcher.h"
#include "opn/opeerqos/nwFrame.h"
#include "opn/opeerqos/nwIQoSNetStack.h"

class nwCApplicationStack : public nwIQoSNetStack {
  public:
    bool OnEvent(uint32_t code, uint32_t argument) override;
    int32_t OnData(const uint8_t* data, int32_t length) override;
    void OnClosed() override;

    virtual void OnClosedHook() = 0;
    virtual bool OnConnectFailed();
    virtual bool OnSendDrained();
    virtual bool OnReceiveIdle();
    virtual bool OnScheduled();
    // Registers the layer's dispatcher handlers.
    virtual void RegisterHandlers() = 0;

    // A zeroed buffer for a frame with `payloadSize` real payload bytes;
    // returns the payload position, 14 bytes into the buffer. Null for a
    // size outside 0..kFrameMaxPayload or when memory runs out.
    static uint8_t* AllocFrame(int32_t payloadSize);
    // Frees a buffer from AllocFrame that is not going to be sent (null is
    // accepted).
    static void FreeFrame(uint8_t* payload);
    // Writes the header in front of `payload` (a buffer from AllocFrame, of
    // `payloadSize` real bytes), sends the whole padded frame with
    // SendFromLayer and frees the buffer in every case. OV_S_NETWORK; the
    // send's failure code when the block could not be handed on (no
    // context); OV_E_NETWORK for a null payload or a bad size.
    ResultCode SendFrame(uint16_t message, uint8_t* payload, int32_t payloadSize,
                         uint16_t category);

    nwCStreamDispatcher* Dispatcher() { return &m_dispatcher; }

  protected:
    nwCApplicationStack() {}
    ~nwCApplicationStack() override {}

    // Embedded, never reference counted on its own.
    nwCStreamDispatcher m_dispatcher;
};
