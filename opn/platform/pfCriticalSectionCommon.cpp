// The critical-section calls as result codes, on the backend's lock
// (pfCriticalSectionBackend.h): a null section fails, deleting one does not.
#include "opn/platform/pfCriticalSection.h"

#include "opn/platform/pfCriticalSectionBackend.h"

namespace {

ResultCode Answer(bool ok) {
    return ok ? OV_S_PLATFORM : OV_E_PLATFORM;
}

}  // namespace

ResultCode CsCreate(PfCriticalSection** section) {
    if (!section)
        return OV_E_PLATFORM;
    *section = CsBackendNew();
    return Answer(*section != nullptr);
}

ResultCode CsDelete(PfCriticalSection* section) {
    if (section)
        CsBackendDelete(section);
    return OV_S_PLATFORM;
}

ResultCode CsEnter(PfCriticalSection* section) {
    return Answer(section && CsBackendEnter(section));
}

ResultCode CsTryEnter(PfCriticalSection* section) {
    return Answer(section && CsBackendTryEnter(section));
}

ResultCode CsLeave(PfCriticalSection* section) {
    return Answer(section && CsBackendLeave(section));
}
