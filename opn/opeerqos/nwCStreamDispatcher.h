// Cuts a received byte stream into framed messages (nwFrame.h) and calls the
// handler registered for each message kind; in raw mode it hands the bytes
// as they come to a raw handler instead.
//
// Results of the dispatch calls:
//   > 0  bytes consumed
//   0    more bytes are needed (or the dispatcher is stopped): offer the same
//        bytes again, followed by the next ones
//   < 0  no handler takes the frame, or a raw handler claimed more bytes than
//        it was given: the connection is to be closed
// The dispatcher never allocates from a frame's length field: a frame that
// announces more bytes than are present simply waits, and it is the owner's
// receive-buffer bound that ends such a connection.
//
// A handler may add handlers or stop the dispatcher from inside its call;
// Stop takes effect after the running handler returns.
//
// Threads: part of its layer: runs on the library thread under the library lock.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovIUnknown.h"
#include "opn/opeerqos/nwFrame.h"

// Gets one whole frame's payload (`length` is L, padding included).
typedef void (*nwFrameCallback)(const uint8_t* payload, int32_t length, void* user);
// Gets every byte not yet consumed; returns how many it consumed (0 to wait
// for more, negative to fail).
typedef int32_t (*nwRawCallback)(const uint8_t* data, int32_t length, void* user);

class nwCStreamDispatcher : public ovIUnknown {
    OV_IMPLEMENT_REFCOUNT(nwCStreamDispatcher)

  public:
    nwCStreamDispatcher();
    ~nwCStreamDispatcher() override;
    nwCStreamDispatcher(const nwCStreamDispatcher&) = delete;
    nwCStreamDispatcher& operator=(const nwCStreamDispatcher&) = delete;

    // Appends a handler for (category, message). OV_S_NETWORK; OV_E_NETWORK
    // for a null callback or when memory runs out.
    virtual ResultCode AddHandler(uint16_t category, uint16_t message, nwFrameCallback callback,
                                  void* user);
    // DispatchAll, with its result stored in `*consumed`. OV_S_NETWORK.
    virtual ResultCode Dispatch(const uint8_t* data, int32_t length, int32_t* consumed);

    // Appends a raw handler and switches to raw mode for good. Results as
    // AddHandler.
    ResultCode AddRawHandler(nwRawCallback callback, void* user);
    // One frame (or one raw handler call); see the results above.
    int32_t DispatchOne(const uint8_t* data, int32_t length);
    // DispatchOne over the bytes while some remain and the dispatcher runs;
    // the total consumed, or the first negative result.
    int32_t DispatchAll(const uint8_t* data, int32_t length);
    // A stopped dispatcher consumes nothing more.
    void Stop() { m_stopped = 1; }

    bool IsStopped() const { return m_stopped != 0; }
    bool IsRawMode() const { return m_rawMode != 0; }
    int32_t HandlerCount() const { return m_handlers.Count(); }
    // Header of the frame examined last.
    nwFrameHeader LastHeader() const;

  private:
    struct Handler;

    uint8_t m_header[kFrameHeaderSize];
    ovCPtrList m_handlers;  // of Handler, in registration order
    uint8_t m_rawMode;
    uint8_t m_stopped;
};
