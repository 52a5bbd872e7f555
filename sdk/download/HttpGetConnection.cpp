#include "sdk/download/HttpGetConnection.h"

#include "opn/core/ovCGarbageCollector.h"
#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"

bool HttpGetOpen(ovSmartPtr& connection, const char* url, nwIHttpClientExEventListener* listener,
                 uint32_t key, uint32_t connectTimeoutSec, uint32_t receiveTimeoutSec) {
    HttpGetRelease(connection);
    if (!connection.CreateInstance(OV_CLSID_QOS_CONTEXT))
        return false;
    ovIQoSContext* context = connection.As<ovIQoSContext>();
    bool ok = OV_SUCCEEDED(context->Initialize(
                  kQoSActionHigh, kQoSEventConnectFailed | kQoSEventReceiveIdle, nullptr)) &&
              (connectTimeoutSec == kHttpGetDefaultConnectTimeout ||
               OV_SUCCEEDED(context->SetOption(kQoSOptionConnectTimeout, &connectTimeoutSec))) &&
              OV_SUCCEEDED(context->SetOption(kQoSOptionIdleLimit, &receiveTimeoutSec)) &&
              OV_SUCCEEDED(context->PushLayer(OV_CLSID_HTTP_CLIENT_LAYER, false));
    ovIHttpClientExLayer* http = ok ? HttpGetLayer(connection) : nullptr;
    if (http) {
        http->SetEventListener(listener, key);
        ok = OV_SUCCEEDED(http->Open(url)) && OV_SUCCEEDED(http->SendGet());
    } else {
        ok = false;
    }
    if (!ok)
        HttpGetRelease(connection);
    return ok;
}

ovIHttpClientExLayer* HttpGetLayer(const ovSmartPtr& connection) {
    if (connection.IsEmpty())
        return nullptr;
    return static_cast<ovIHttpClientExLayer*>(connection.As<ovIQoSContext>()->TopLayer());
}

void HttpGetRelease(ovSmartPtr& connection) {
    if (connection.IsEmpty())
        return;
    ovIHttpClientExLayer* http = HttpGetLayer(connection);
    if (http)
        http->SetEventListener(nullptr, 0);
    connection.As<ovIQoSContext>()->Close();
    // Never destroyed inside its own callback: the collector drops it.
    ovCGarbageCollector* collector = OpnGarbageCollector();
    if (collector)
        collector->DeferRelease(connection);
    connection.Reset();
}
