// Listener of the local engine layer (ovICDNLocalClientLayer.h): the engine
// downloader's view of its connection to the engine. Not reference counted;
// every call carries the key given to SetEventListener. Texts and arrays
// point into the received message and are valid only during the call. Calls
// come on the library thread; a listener may close the connection and drop
// its layer from inside any of them.
#pragma once

#include <stdint.h>

#include "opn/opeerqos/nwEngineMessages.h"

class nwICDNLocalClientEventListener {
  public:
    virtual ~nwICDNLocalClientEventListener() {}
    virtual void OnEngineConnected(uint32_t key) = 0;
    virtual void OnJobAccepted(uint32_t key, uint32_t jobNumber, uint32_t engineJobId,
                               uint32_t entryCount, uint64_t totalSize) = 0;
    // `tail` is the message's 16 closing bytes.
    virtual void OnJobFailed(uint32_t key, uint32_t jobNumber, uint32_t value, const char* text,
                             const uint8_t* tail) = 0;
    virtual void OnJobProgress(uint32_t key, const nwEngineProgressBlock& block,
                               const nwEngineEntryReport* reports, uint32_t reportCount) = 0;
    virtual void OnFileDone(uint32_t key, uint32_t jobNumber, uint32_t engineJobId,
                            const char* localPath, const char* url) = 0;
    virtual void OnFileDoneAs(uint32_t key, uint32_t jobNumber, uint32_t engineJobId,
                              const char* localPath, const char* reportedPath, const char* url) = 0;
    // giveUp != 0: the engine hands the job back.
    virtual void OnJobFinished(uint32_t key, uint32_t jobNumber, uint32_t engineJobId,
                               uint32_t value, uint32_t result, uint32_t giveUp) = 0;
    // flag 1: no free disk space.
    virtual void OnDiskReport(uint32_t key, uint32_t jobNumber, uint32_t engineJobId, uint8_t flag,
                              const char* text) = 0;
    virtual void OnNetworkLost(uint32_t key) = 0;
    virtual void OnNetworkBack(uint32_t key) = 0;
    // The connection ended (by either side, or on a malformed message).
    virtual void OnEngineClosed(uint32_t key) = 0;
    virtual void OnEngineConnectFailed(uint32_t key) = 0;
    virtual void OnResumeQuestion(uint32_t key, uint32_t jobNumber) = 0;
    virtual void OnEngineState(uint32_t key, uint32_t state) = 0;
};
