// Public face of the local engine layer (class id OV_CLSID_CDN_LOCAL_LAYER,
// 0x2015): speaks the engine protocol (nwEngineMessages.h) over one
// connection to the local download engine. Every send answers OV_S_NETWORK
// once the frame is handed to the context (queued until connected), and
// OV_E_NETWORK for a request that cannot be encoded or when memory runs out.
//
// Threads: the face is used on the library thread or holding the library lock;
// the listener's calls come on the library thread (see its header,
// nwICDNLocalClientEventListener.h).
#pragma once

#include <stdint.h>

#include "opn/core/ovIUnknown.h"
#include "opn/opeerqos/nwEngineMessages.h"
#include "opn/opeerqos/nwICDNLocalClientEventListener.h"

class ovICDNLocalClientLayer : public ovIUnknown {
  public:
    // Slots 0-3 forward to the layer object (one shared count).

    // A null listener silences the layer. OV_S_NETWORK.
    virtual ResultCode SetEventListener(nwICDNLocalClientEventListener* listener, uint32_t key) = 0;
    // Message 0: mode 2 for a job that uses the engine, else 1.
    virtual ResultCode SendJobMode(bool useEngine) = 0;
    // Message 1: the job's service code (Text[20]).
    virtual ResultCode SendServiceCode(const char* serviceCode) = 0;
    // Message 14 in category 258: the whole job in one message.
    virtual ResultCode SendJob(const ovEngineJob* job) = 0;
    // Messages 19, 20, 21: a job sent in pieces. An entry whose URL is over
    // kEngineMaxUrlLength bytes is refused.
    virtual ResultCode SendJobBegin(uint32_t jobNumber, int32_t entryCount, const char* name) = 0;
    virtual ResultCode SendJobEntry(uint32_t jobNumber, uint32_t index,
                                    const ovEngineJobEntry* entry) = 0;
    virtual ResultCode SendJobEnd(uint32_t jobNumber) = 0;
    // Message 3: removes a job.
    virtual ResultCode SendCancel(uint32_t jobNumber, uint32_t engineJobId) = 0;
    // Message 12: the engine parameter (Text[260], cut to 259 bytes; empty
    // for null).
    virtual ResultCode SendParameter(const char* text) = 0;
    // Message 13.
    virtual ResultCode SendJobOption(uint32_t jobNumber, uint32_t engineJobId, uint8_t value) = 0;
    // Message 17: the job's engine flag is set.
    virtual ResultCode SendJobFlag(uint32_t jobNumber) = 0;
    // Message 18: the answer to a resume question.
    virtual ResultCode SendResumeReply(uint32_t engineJobId, uint32_t jobNumber, bool resume,
                                       bool applyToAll) = 0;
    // Message 22, empty.
    virtual ResultCode SendHello() = 0;
};
