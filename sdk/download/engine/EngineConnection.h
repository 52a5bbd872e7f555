// The connection to the local engine on 127.0.0.1: a QoS context whose top
// layer is the engine layer (ovICDNLocalClientLayer), which frames what is
// sent and turns what comes back into the listener's reports. Connects time
// out after kConnectTimeoutSec. Closing lets go of the listener first, so
// nothing more is reported, and never destroys the context inside one of its
// own calls: the garbage collector drops it later.
//
// Threads: the library thread, or under the library lock.
#pragma once

#include <stdint.h>

#include "opn/core/ovSmartPtr.h"

class ovICDNLocalClientLayer;
class nwICDNLocalClientEventListener;

class EngineConnection {
  public:
    static const uint32_t kConnectTimeoutSec = 1;

    EngineConnection() = default;
    ~EngineConnection() { Close(); }
    EngineConnection(const EngineConnection&) = delete;
    EngineConnection& operator=(const EngineConnection&) = delete;

    // Begins connecting to the engine at `port` with `listener` and `key`,
    // sending `parameter` first; the listener hears OnEngineConnected or
    // OnEngineClosed. False when it could not begin; the caller then closes.
    bool Open(nwICDNLocalClientEventListener* listener, uint32_t key, uint16_t port,
              const char* parameter);
    void Close();
    bool IsOpen() const { return !m_context.IsEmpty(); }
    // The engine layer; null when not open.
    ovICDNLocalClientLayer* Engine() const;

  private:
    ovSmartPtr m_context;  // top layer: the local engine layer
};
