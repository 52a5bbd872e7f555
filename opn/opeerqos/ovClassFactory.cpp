// The one place that maps class ids to concrete classes. A new class is one
// line in kClasses: CreatePlain<T> when the object itself is held, CreateFace
// when the id names a published interface of the object.
#include <new>

#include "opn/platform/cpCMutex.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/opeerqos/cpCSocket.h"
#include "opn/opeerqos/Lib_SSL/nwCSecureSocketClientLayer.h"
#include "opn/opeerqos/cpCQoSContext.h"
#include "opn/opeerqos/nwCAgentLayer.h"
#include "opn/opeerqos/nwCCDNLocalClientLayer.h"
#include "opn/opeerqos/nwCHttpClientExLayer.h"
#include "opn/opeerqos/nwCHTTPDownloader.h"
#include "opn/opeerqos/nwCStreamDispatcher.h"

namespace {

typedef ovIUnknown* (*CreateFn)();

template <class T>
ovIUnknown* CreatePlain() {
    return new (std::nothrow) T();
}

// For classes whose id names an embedded interface: `Face` returns that
// sub-object, which forwards its reference count to the object.
template <class T, ovIUnknown* (T::*Face)()>
ovIUnknown* CreateFace() {
    T* object = new (std::nothrow) T();
    return object ? (object->*Face)() : nullptr;
}

struct ClassEntry {
    uint32_t classId;
    CreateFn create;
};

const ClassEntry kClasses[] = {
    {OV_CLSID_MUTEX, &CreatePlain<cpCMutex>},
    {OV_CLSID_TIMER, &CreatePlain<cpCTimer>},
    {OV_CLSID_SOCKET, &CreatePlain<cpCSocket>},
    {OV_CLSID_QOS_CONTEXT, &CreateFace<cpCQoSContext, &cpCQoSContext::Face>},
    {OV_CLSID_STREAM_DISPATCHER, &CreatePlain<nwCStreamDispatcher>},
    {OV_CLSID_AGENT_LAYER, &CreateFace<nwCAgentLayer, &nwCAgentLayer::PublicUnknown>},
    {OV_CLSID_CDN_LOCAL_LAYER,
     &CreateFace<nwCCDNLocalClientLayer, &nwCCDNLocalClientLayer::PublicUnknown>},
    {OV_CLSID_HTTP_DOWNLOADER, &CreatePlain<nwCHTTPDownloader>},
    {OV_CLSID_HTTP_CLIENT_LAYER,
     &CreateFace<nwCHttpClientExLayer, &nwCHttpClientExLayer::PublicUnknown>},
    {OV_CLSID_SECURE_LAYER,
     &CreateFace<nwCSecureSocketClientLayer, &nwCSecureSocketClientLayer::PublicUnknown>},
};

}  // namespace

ovIUnknown* ovCreateObject(uint32_t classId) {
    for (const ClassEntry& entry : kClasses) {
        if (entry.classId == classId)
            return entry.create();
    }
    return nullptr;
}

bool ovSmartPtr::CreateInstance(uint32_t classId) {
    Reset();
    ovIUnknown* created = ovCreateObject(classId);
    if (!created)
        return false;
    created->AddRef();
    m_ptr = created;
    return true;
}
