#include "sdk/download/engine/EngineManifestUrl.h"

#include "opn/core/ovCString.h"

#ifndef SF_CONTENT_URL
#error "SF_CONTENT_URL names the content host; the build defines it"
#endif

namespace {

const char kCompiledIn[] = SF_CONTENT_URL "/ActiveX/update/KVX_updater.xml";

ovCString& Override() {
    static ovCString url;
    return url;
}

bool g_overridden = false;

}  // namespace

const char* EngineManifestUrl() {
    return g_overridden ? Override().CStr() : kCompiledIn;
}

void SetEngineManifestUrlForTesting(const char* url) {
    g_overridden = url != nullptr;
    Override().Assign(url);
}
