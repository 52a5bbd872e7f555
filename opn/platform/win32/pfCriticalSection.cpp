#include "opn/platform/pfCriticalSection.h"

#include <windows.h>

#include <new>

struct PfCriticalSection {
    CRITICAL_SECTION cs;
};

ResultCode CsCreate(PfCriticalSection** section) {
    if (!section)
        return OV_E_PLATFORM;
    *section = nullptr;
    PfCriticalSection* created = new (std::nothrow) PfCriticalSection;
    if (!created)
        return OV_E_PLATFORM;
    // Cannot fail since Windows Vista.
    InitializeCriticalSection(&created->cs);
    *section = created;
    return OV_S_PLATFORM;
}

ResultCode CsDelete(PfCriticalSection* section) {
    if (!section)
        return OV_S_PLATFORM;
    DeleteCriticalSection(&section->cs);
    delete section;
    return OV_S_PLATFORM;
}

ResultCode CsEnter(PfCriticalSection* section) {
    if (!section)
        return OV_E_PLATFORM;
    EnterCriticalSection(&section->cs);
    return OV_S_PLATFORM;
}

ResultCode CsTryEnter(PfCriticalSection* section) {
    if (!section || !TryEnterCriticalSection(&section->cs))
        return OV_E_PLATFORM;
    return OV_S_PLATFORM;
}

ResultCode CsLeave(PfCriticalSection* section) {
    if (!section)
        return OV_E_PLATFORM;
    LeaveCriticalSection(&section->cs);
    return OV_S_PLATFORM;
}
