// The statistics agent's protocol layer: sends report frames (message 154,
// category 768) and hands the agent's answer (message 131) to its listener.
// Any other frame from the agent makes OnData fail, which closes the
// connection.
//
// One object, two faces on one count: the stack face (this object, for the
// context) and ovIAgentLayer (PublicFace(), for the owner; what the class
// factory hands out for OV_CLSID_AGENT_LAYER).
//
// Threads: the context calls the layer, and the owner its face, on the library
// thread under the library lock.
#pragma once

#include <stdint.h>

#include "opn/opeerqos/nwCApplicationStack.h"
#include "opn/opeerqos/ovIAgentLayer.h"

class nwCAgentLayer : public nwCApplicationStack {
    OV_IMPLEMENT_REFCOUNT(nwCAgentLayer)

  public:
    nwCAgentLayer();
    ~nwCAgentLayer() override;
    nwCAgentLayer(const nwCAgentLayer&) = delete;
    nwCAgentLayer& operator=(const nwCAgentLayer&) = delete;

    // OV_IID_NETSTACK gives the stack face (no reference added) and
    // OV_S_NETWORK; any other id OV_E_NETWORK with `out` untouched.
    ResultCode QueryInterface(uint32_t id, void** out) override;

    bool OnConnected() override;
    void OnClosedHook() override;
    bool OnConnectFailed() override;
    bool OnSendDrained() override;
    bool OnReceiveIdle() override;
    void RegisterHandlers() override;

    ovIAgentLayer* PublicFace() { return &m_face; }
    ovIUnknown* PublicUnknown() { return &m_face; }

    ResultCode SetEventListener(nwIAgentListener* listener, uint32_t key);
    ResultCode SendReport(const ovAgentReportBatch* batch);

  private:
    class Face : public ovIAgentLayer {
      public:
        explicit Face(nwCAgentLayer* owner) : m_owner(owner) {}
        ResultCode AddRef() override { return m_owner->AddRef(); }
        ResultCode Release() override { return m_owner->Release(); }
        ResultCode QueryInterface(uint32_t id, void** out) override {
            return m_owner->QueryInterface(id, out);
        }
        ResultCode SetEventListener(nwIAgentListener* listener, uint32_t key) override {
            return m_owner->SetEventListener(listener, key);
        }
        ResultCode SendReport(const ovAgentReportBatch* batch) override {
            return m_owner->SendReport(batch);
        }

      private:
        nwCAgentLayer* m_owner;
    };

    static void OnReplyFrame(const uint8_t* payload, int32_t length, void* user);

    Face m_face;
    nwIAgentListener* m_listener = nullptr;
    uint32_t m_key = 0;
};
