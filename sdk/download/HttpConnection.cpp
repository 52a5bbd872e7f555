#include "sdk/download/HttpConnection.h"

#include "opn/core/ovCGarbageCollector.h"
#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCQoS.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"

namespace {

// The library lock, held by the socket manager; re-entrant.
class SocketManagerLock {
  public:
    explicit SocketManagerLock(cpCQoS* manager) : m_manager(manager) { m_manager->Lock(); }
    ~SocketManagerLock() { m_manager->Unlock(); }
    SocketManagerLock(const SocketManagerLock&) = delete;
    SocketManagerLock& operator=(const SocketManagerLock&) = delete;

  private:
    cpCQoS* m_manager;
};

}  // namespace

bool OpenHttpConnection(ovSmartPtr& connection, const HttpConnectionOptions& options,
                        nwIHttpClientExEventListener* listener, uint32_t key, const char* url,
                        const char* ifRange) {
    cpCQoS* manager = OpnSocketManager();
    if (!manager || !connection.CreateInstance(OV_CLSID_QOS_CONTEXT)) {
        connection.Reset();
        return false;
    }
    SocketManagerLock hold(manager);
    ovIQoSContext* context = connection.As<ovIQoSContext>();
    bool ok =
        OV_SUCCEEDED(context->Initialize(options.actionType,
                                         kQoSEventConnectFailed | kQoSEventReceiveIdle, nullptr)) &&
        (options.connectTimeoutSec == 0 ||
         OV_SUCCEEDED(context->SetOption(kQoSOptionConnectTimeout, &options.connectTimeoutSec))) &&
        OV_SUCCEEDED(context->SetOption(kQoSOptionIdleLimit, &options.receiveTimeoutSec)) &&
        (options.receiveLimit == 0 ||
         OV_SUCCEEDED(context->SetOption(kQoSOptionReceiveLimit, &options.receiveLimit))) &&
        OV_SUCCEEDED(context->PushLayer(OV_CLSID_HTTP_CLIENT_LAYER, false));
    if (ok && options.ownAction != 0) {
        ok = OV_SUCCEEDED(context->SetAction(options.ownAction)) &&
             OV_SUCCEEDED(context->SetActionLimit(kQoSDirectionReceive, &options.receiveBudget)) &&
             (!options.sharedBudget ||
              OV_SUCCEEDED(context->ShareReceiveBudget(options.sharedBudget)));
    }
    ovIHttpClientExLayer* http = ok ? HttpLayerOf(connection) : nullptr;
    if (http) {
        http->SetEventListener(listener, key);
        ok = OV_SUCCEEDED(http->Open(url)) &&
             (!options.range || OV_SUCCEEDED(http->SetHeader("Range", options.range))) &&
             (!options.range || !ifRange || !ifRange[0] ||
              OV_SUCCEEDED(http->SetHeader("If-Range", ifRange))) &&
             OV_SUCCEEDED(http->SendGet());
    } else {
        ok = false;
    }
    if (!ok)
        ReleaseHttpConnection(connection);
    return ok;
}

ovIHttpClientExLayer* HttpLayerOf(const ovSmartPtr& connection) {
    if (connection.IsEmpty())
        return nullptr;
    return static_cast<ovIHttpClientExLayer*>(connection.As<ovIQoSContext>()->TopLayer());
}

void ReleaseHttpConnection(ovSmartPtr& connection) {
    if (connection.IsEmpty())
        return;
    ovIHttpClientExLayer* http = HttpLayerOf(connection);
    if (http)
        http->SetEventListener(nullptr, 0);
    // Its job's other connections get its part of a shared budget now, not
    // once the collector drops it.
    connection.As<ovIQoSContext>()->ShareReceiveBudget(nullptr);
    connection.As<ovIQoSContext>()->Close();
    // Never destroyed inside its own callback: the collector drops it.
    ovCGarbageCollector* collector = OpnGarbageCollector();
    if (collector)
        collector->DeferRelease(connection);
    connection.Reset();
}
