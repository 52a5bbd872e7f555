#include "opn/platform/cpCMutex.h"

cpCMutex::cpCMutex() {
    // On failure the section stays null and Lock/Unlock answer a failure.
    CsCreate(&m_section);
}

cpCMutex::~cpCMutex() {
    CsDelete(m_section);
}

ResultCode cpCMutex::Lock() {
    return CsEnter(m_section);
}

ResultCode cpCMutex::Unlock() {
    return CsLeave(m_section);
}

namespace {

// Sections replaced because a stopped thread still owned them. Kept reachable
// on purpose (a plain array, never freed); once full, further ones are lost.
PfCriticalSection* g_abandonedSections[16];
int g_abandonedCount = 0;

}  // namespace

bool cpCMutex::ReplaceIfHeldElsewhere() {
    if (!m_section)
        return false;
    if (OV_SUCCEEDED(CsTryEnter(m_section))) {
        CsLeave(m_section);
        return false;
    }
    PfCriticalSection* fresh = nullptr;
    if (OV_FAILED(CsCreate(&fresh)))
        return false;
    if (g_abandonedCount < (int)(sizeof g_abandonedSections / sizeof g_abandonedSections[0]))
        g_abandonedSections[g_abandonedCount++] = m_section;
    m_section = fresh;
    return true;
}

void ovLock(const ovSmartPtr& mutex) {
    if (!mutex.IsEmpty())
        mutex.As<cpCMutex>()->Lock();
}

void ovUnlock(const ovSmartPtr& mutex) {
    if (!mutex.IsEmpty())
        mutex.As<cpCMutex>()->Unlock();
}
