// Critical sections as recursive pthread mutexes: the owning thread may enter
// again, and every enter needs its own leave, as on Windows.
#include "opn/platform/pfCriticalSection.h"

#include <pthread.h>

#include <new>

struct PfCriticalSection {
    pthread_mutex_t mutex;
};

ResultCode CsCreate(PfCriticalSection** section) {
    if (!section)
        return OV_E_PLATFORM;
    *section = nullptr;
    PfCriticalSection* created = new (std::nothrow) PfCriticalSection;
    if (!created)
        return OV_E_PLATFORM;
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
    if (ok) {
        ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
             pthread_mutex_init(&created->mutex, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    if (!ok) {
        delete created;
        return OV_E_PLATFORM;
    }
    *section = created;
    return OV_S_PLATFORM;
}

ResultCode CsDelete(PfCriticalSection* section) {
    if (!section)
        return OV_S_PLATFORM;
    pthread_mutex_destroy(&section->mutex);
    delete section;
    return OV_S_PLATFORM;
}

ResultCode CsEnter(PfCriticalSection* section) {
    if (!section || pthread_mutex_lock(&section->mutex) != 0)
        return OV_E_PLATFORM;
    return OV_S_PLATFORM;
}

ResultCode CsTryEnter(PfCriticalSection* section) {
    if (!section || pthread_mutex_trylock(&section->mutex) != 0)
        return OV_E_PLATFORM;
    return OV_S_PLATFORM;
}

ResultCode CsLeave(PfCriticalSection* section) {
    // A leave by a thread that does not hold the section fails here instead
    // of corrupting the lock.
    if (!section || pthread_mutex_unlock(&section->mutex) != 0)
        return OV_E_PLATFORM;
    return OV_S_PLATFORM;
}
