// Public face of the agent layer (class id OV_CLSID_AGENT_LAYER, 0x2003): a
// protocol layer that sends job reports to the statistics agent as framed
// messages (nwFrame.h) and passes the agent's answers to a listener.
//
// Push it onto a connection context, take the face with FindLayer or
// TopLayer, set the listener, connect, and call SendReport once connected
// (a report sent earlier waits in the context's send queue).
//
// Threads: the face is used on the library thread or holding the library lock;
// the listener's calls come on the library thread (nwIAgentListener.h).
#pragma once

#include <stdint.h>

#include "opn/core/ovIUnknown.h"
#include "opn/opeerqos/nwIAgentListener.h"

enum : int32_t {
    kAgentRecordSize = 298,
    // Most records one report carries (keeps the frame far below 2 GiB).
    kAgentMaxRecords = 0x10000,
};

// A batch of job records: `count` records of kAgentRecordSize bytes each,
// back to back at `records`.
struct ovAgentReportBatch {
    int32_t count;
    const uint8_t* records;
};

class ovIAgentLayer : public ovIUnknown {
  public:
    // Slots 0-3 forward to the layer object (one shared count).

    // A null listener silences the layer. OV_S_NETWORK.
    virtual ResultCode SetEventListener(nwIAgentListener* listener, uint32_t key) = 0;
    // Sends the payload "count, then the records" (4 + 298 x count bytes,
    // count little-endian) as message 154 in category 768. OV_S_NETWORK;
    // OV_E_NETWORK for a null batch, a count outside 0..kAgentMaxRecords,
    // null records with a non-zero count, or no memory; the context's
    // failure code when the layer is not on a context.
    virtual ResultCode SendReport(const ovAgentReportBatch* batch) = 0;
};
