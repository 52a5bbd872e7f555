// The local engine's protocol layer: turns the engine downloader's requests
// into frames and every report frame of the engine (category 256) into one
// listener call. A frame of an unknown kind, a report whose fields do not
// fit its payload, or a frame that announces more than
// kEngineMaxReportPayload bytes (refused from its header, before its bytes
// are waited for) closes the connection; the listener then sees
// OnEngineClosed.
//
// One object, two faces on one count: the stack face (this object, for the
// context) and ovICDNLocalClientLayer (PublicFace(), what the class factory
// hands out for OV_CLSID_CDN_LOCAL_LAYER).
//
// Threads: the context calls the layer, and the engine downloader its face, on
// the library thread under the library lock; so come the listener's calls.
#pragma once

#include <stdint.h>

#include "opn/opeerqos/nwCApplicationStack.h"
#include "opn/opeerqos/ovICDNLocalClientLayer.h"

class nwCCDNLocalClientLayer : public nwCApplicationStack {
    OV_IMPLEMENT_REFCOUNT(nwCCDNLocalClientLayer)

  public:
    nwCCDNLocalClientLayer();
    ~nwCCDNLocalClientLayer() override;
    nwCCDNLocalClientLayer(const nwCCDNLocalClientLayer&) = delete;
    nwCCDNLocalClientLayer& operator=(const nwCCDNLocalClientLayer&) = delete;

    // OV_IID_NETSTACK gives the stack face (no reference added) and
    // OV_S_NETWORK; any other id OV_E_NETWORK with `out` untouched.
    ResultCode QueryInterface(uint32_t id, void** out) override;

    int32_t OnData(const uint8_t* data, int32_t length) override;
    bool OnConnected() override;
    void OnClosedHook() override;
    bool OnConnectFailed() override;
    bool OnSendDrained() override;
    bool OnReceiveIdle() override;
    void RegisterHandlers() override;

    ovICDNLocalClientLayer* PublicFace() { return &m_face; }
    ovIUnknown* PublicUnknown() { return &m_face; }
    // Whether a malformed report has ended the connection.
    bool SawMalformedMessage() const { return m_malformed; }

    ResultCode SetEventListener(nwICDNLocalClientEventListener* listener, uint32_t key);
    ResultCode SendJobMode(bool useEngine);
    ResultCode SendServiceCode(const char* serviceCode);
    ResultCode SendJob(const ovEngineJob* job);
    ResultCode SendJobBegin(uint32_t jobNumber, int32_t entryCount, const char* name);
    ResultCode SendJobEntry(uint32_t jobNumber, uint32_t index, const ovEngineJobEntry* entry);
    ResultCode SendJobEnd(uint32_t jobNumber);
    ResultCode SendCancel(uint32_t jobNumber, uint32_t engineJobId);
    ResultCode SendParameter(const char* text);
    ResultCode SendJobOption(uint32_t jobNumber, uint32_t engineJobId, uint8_t value);
    ResultCode SendJobFlag(uint32_t jobNumber);
    ResultCode SendResumeReply(uint32_t engineJobId, uint32_t jobNumber, bool resume,
                               bool applyToAll);
    ResultCode SendHello();

  private:
    class Face : public ovICDNLocalClientLayer {
      public:
        explicit Face(nwCCDNLocalClientLayer* owner) : m_owner(owner) {}
        ResultCode AddRef() override { return m_owner->AddRef(); }
        ResultCode Release() override { return m_owner->Release(); }
        ResultCode QueryInterface(uint32_t id, void** out) override {
            return m_owner->QueryInterface(id, out);
        }
        ResultCode SetEventListener(nwICDNLocalClientEventListener* listener,
                                    uint32_t key) override {
            return m_owner->SetEventListener(listener, key);
        }
        ResultCode SendJobMode(bool useEngine) override { return m_owner->SendJobMode(useEngine); }
        ResultCode SendServiceCode(const char* code) override {
            return m_owner->SendServiceCode(code);
        }
        ResultCode SendJob(const ovEngineJob* job) override { return m_owner->SendJob(job); }
        ResultCode SendJobBegin(uint32_t jobNumber, int32_t count, const char* name) override {
            return m_owner->SendJobBegin(jobNumber, count, name);
        }
        ResultCode SendJobEntry(uint32_t jobNumber, uint32_t index,
                                const ovEngineJobEntry* entry) override {
            return m_owner->SendJobEntry(jobNumber, index, entry);
        }
        ResultCode SendJobEnd(uint32_t jobNumber) override {
            return m_owner->SendJobEnd(jobNumber);
        }
        ResultCode SendCancel(uint32_t jobNumber, uint32_t engineJobId) override {
            return m_owner->SendCancel(jobNumber, engineJobId);
        }
        ResultCode SendParameter(const char* text) override { return m_owner->SendParameter(text); }
        ResultCode SendJobOption(uint32_t jobNumber, uint32_t engineJobId, uint8_t value) override {
            return m_owner->SendJobOption(jobNumber, engineJobId, value);
        }
        ResultCode SendJobFlag(uint32_t jobNumber) override {
            return m_owner->SendJobFlag(jobNumber);
        }
        ResultCode SendResumeReply(uint32_t engineJobId, uint32_t jobNumber, bool resume,
                                   bool applyToAll) override {
            return m_owner->SendResumeReply(engineJobId, jobNumber, resume, applyToAll);
        }
        ResultCode SendHello() override { return m_owner->SendHello(); }

      private:
        nwCCDNLocalClientLayer* m_owner;
    };

    static void OnReportFrame(const uint8_t* payload, int32_t length, void* user);
    void Deliver(const nwEngineReport& report);
    // Sends `size` payload bytes of category 256 built by `fill`.
    template <class Fill>
    ResultCode Send(uint16_t message, int32_t size, Fill fill,
                    uint16_t category = kFrameCategoryEngine);

    Face m_face;
    nwICDNLocalClientEventListener* m_listener = nullptr;
    uint32_t m_key = 0;
    bool m_malformed = false;
};
