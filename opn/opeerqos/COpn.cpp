#include "opn/opeerqos/COpn.h"

#include <new>

#include "opn/core/ovCGarbageCollector.h"
#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/opeerqos/TimerManager.h"
#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/opeerqos/cpCNameLookup.h"
#include "opn/opeerqos/cpCQoS.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/opeerqos/nwCMimeMap.h"
#include "opn/platform/pfSocket.h"
#include "opn/core/ovLog.h"

namespace {

// This build trusts no built-in certificate.
const OpnCertificate kBuiltInCertificates[] = {
    {nullptr, nullptr},
};

// Bound on a certificate table walk, against a table missing its end mark.
const int32_t kMaxCertificates = 1024;

const COpn* g_owner = nullptr;
TimerManager* g_timerManager = nullptr;
cpCQoS* g_socketManager = nullptr;
bool g_collectorStarted = false;
nwCHttpMimeTypeMap* g_mimeMap = nullptr;
cpCNameLookup* g_nameLookup = nullptr;

}  // namespace

COpn::COpn(const ovSmartPtr& lock) {
    if (g_owner)
        return;
    g_owner = this;

    TlsStartup();
    NetStartup();
    g_timerManager = new (std::nothrow) TimerManager(lock);
    g_socketManager = new (std::nothrow) cpCQoS();
    if (g_socketManager)
        g_socketManager->Init(lock);
    g_nameLookup = new (std::nothrow) cpCNameLookup(lock);
    AddressCache().SetLookupService(g_nameLookup);
    ovCGarbageCollector::SetTimerDriver(TimerCollectorDriver());
    ovCGarbageCollector::CreateGlobal();
    g_collectorStarted = true;
    g_mimeMap = new (std::nothrow) nwCHttpMimeTypeMap();
    if (g_mimeMap)
        g_mimeMap->Load();
    AddCertificates(kBuiltInCertificates);
}

COpn::~COpn() {
    if (g_owner != this)
        return;
    // Each global is cleared before its object goes, so anything called back
    // during the teardown finds the module gone rather than half-deleted.
    nwCHttpMimeTypeMap* mimeMap = g_mimeMap;
    g_mimeMap = nullptr;
    delete mimeMap;

    g_collectorStarted = false;
    ovCGarbageCollector::DestroyGlobal();

    AddressCache().SetLookupService(nullptr);
    cpCNameLookup* nameLookup = g_nameLookup;
    g_nameLookup = nullptr;
    delete nameLookup;

    cpCQoS* socketManager = g_socketManager;
    g_socketManager = nullptr;
    delete socketManager;

    TimerManager* timerManager = g_timerManager;
    g_timerManager = nullptr;
    delete timerManager;

    g_owner = nullptr;
}

void COpn::NetworkCleanup() {
    NetCleanup();
    TlsCleanup();
}

int32_t COpn::AddCertificates(const OpnCertificate* table) {
    int32_t added = 0;
    for (int32_t i = 0; table && i < kMaxCertificates && table[i].name; ++i) {
        if (OV_SUCCEEDED(AddTrustedCertificate(table[i].name, table[i].pemText))) {
            ovLogPrintf("Add Certificate Ok - %s\n", table[i].name);
            ++added;
        }
    }
    return added;
}

cpCNameLookup* OpnNameLookup() {
    return g_nameLookup;
}

TimerManager* OpnTimerManager() {
    return g_timerManager;
}

cpCQoS* OpnSocketManager() {
    return g_socketManager;
}

nwCHttpMimeTypeMap* OpnMimeMap() {
    return g_mimeMap;
}

ovCGarbageCollector* OpnGarbageCollector() {
    return g_collectorStarted ? ovCGarbageCollector::GlobalCollector() : nullptr;
}
