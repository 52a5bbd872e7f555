// Critical sections as CRITICAL_SECTIONs.
#include "opn/platform/pfCriticalSectionBackend.h"

#include <windows.h>

#include <new>

struct PfCriticalSection {
    CRITICAL_SECTION cs;
};

PfCriticalSection* CsBackendNew() {
    PfCriticalSection* created = new (std::nothrow) PfCriticalSection;
    // Cannot fail since Windows Vista.
    if (created)
        InitializeCriticalSection(&created->cs);
    return created;
}

void CsBackendDelete(PfCriticalSection* section) {
    DeleteCriticalSection(&section->cs);
    delete section;
}

bool CsBackendEnter(PfCriticalSection* section) {
    EnterCriticalSection(&section->cs);
    return true;
}

bool CsBackendTryEnter(PfCriticalSection* section) {
    return TryEnterCriticalSection(&section->cs) != FALSE;
}

bool CsBackendLeave(PfCriticalSection* section) {
    LeaveCriticalSection(&section->cs);
    return true;
}
