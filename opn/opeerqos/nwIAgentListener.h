// Listener of an agent layer (ovIAgentLayer.h): the statistics reporter's
// view of its connection to the statistics agent. Not reference counted;
// every call carries the key given to SetEventListener. Calls come on the
// library thread; a listener may close the connection, detach itself and
// drop its layer from inside any of them.
#pragma once

#include <stdint.h>

class nwIAgentListener {
  public:
    virtual ~nwIAgentListener() {}
    // The connection to the agent is up.
    virtual void OnConnected(uint32_t key) = 0;
    // The agent answered (message 131); `code` is the answer's first byte.
    virtual void OnReply(uint32_t key, uint8_t code) = 0;
    // The connection ended (by either side, or by a protocol error).
    virtual void OnClosed(uint32_t key) = 0;
    // The connect failed or timed out.
    virtual void OnConnectTimeout(uint32_t key) = 0;
    // No bytes arrived for the context's receive-idle limit.
    virtual void OnReceiveTimeout(uint32_t key) = 0;
};
