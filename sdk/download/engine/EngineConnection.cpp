#include "sdk/download/engine/EngineConnection.h"

#include "opn/core/ovCGarbageCollector.h"
#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/ovICDNLocalClientLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfSocket.h"

bool EngineConnection::Open(nwICDNLocalClientEventListener* listener, uint32_t key, uint16_t port,
                            const char* parameter) {
    uint32_t address = 0;
    bool ok = OV_SUCCEEDED(ResolveFirst("127.0.0.1", &address)) &&
              m_context.CreateInstance(OV_CLSID_QOS_CONTEXT);
    ovIQoSContext* context = ok ? m_context.As<ovIQoSContext>() : nullptr;
    const uint32_t timeout = kConnectTimeoutSec;
    ok = ok && OV_SUCCEEDED(context->Initialize(kQoSActionHigh, kQoSEventConnectFailed, nullptr)) &&
         OV_SUCCEEDED(context->SetOption(kQoSOptionConnectTimeout, &timeout)) &&
         OV_SUCCEEDED(context->PushLayer(OV_CLSID_CDN_LOCAL_LAYER, false));
    ovICDNLocalClientLayer* engine = ok ? Engine() : nullptr;
    if (!engine)
        return false;
    engine->SetEventListener(listener, key);
    engine->SendParameter(parameter);
    NetAddress at;
    at.address = address;
    at.port = port;
    return OV_SUCCEEDED(context->Connect(&at));
}

void EngineConnection::Close() {
    if (m_context.IsEmpty())
        return;
    // Held by a copy: Close may report OnEngineClosed, which closes too.
    ovSmartPtr connection(m_context);
    m_context.Reset();
    ovIQoSContext* context = connection.As<ovIQoSContext>();
    ovIUnknown* face = nullptr;
    if (OV_SUCCEEDED(context->FindLayer(OV_CLSID_CDN_LOCAL_LAYER, &face)) && face)
        static_cast<ovICDNLocalClientLayer*>(face)->SetEventListener(nullptr, 0);
    context->Close();
    // Never destroyed inside its own callback: the collector drops it.
    ovCGarbageCollector* collector = OpnGarbageCollector();
    if (collector)
        collector->DeferRelease(connection);
}

ovICDNLocalClientLayer* EngineConnection::Engine() const {
    if (m_context.IsEmpty())
        return nullptr;
    ovIUnknown* face = nullptr;
    if (OV_FAILED(m_context.As<ovIQoSContext>()->FindLayer(OV_CLSID_CDN_LOCAL_LAYER, &face)))
        return nullptr;
    return static_cast<ovICDNLocalClientLayer*>(face);
}
