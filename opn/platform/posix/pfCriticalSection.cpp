// Critical sections as recursive pthread mutexes: the owning thread may enter
// again, and every enter needs its own leave, as on Windows.
#include "opn/platform/pfCriticalSectionBackend.h"

#include <pthread.h>

#include <new>

struct PfCriticalSection {
    pthread_mutex_t mutex;
};

PfCriticalSection* CsBackendNew() {
    PfCriticalSection* created = new (std::nothrow) PfCriticalSection;
    if (!created)
        return nullptr;
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
    if (ok) {
        ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
             pthread_mutex_init(&created->mutex, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    if (!ok) {
        delete created;
        return nullptr;
    }
    return created;
}

void CsBackendDelete(PfCriticalSection* section) {
    pthread_mutex_destroy(&section->mutex);
    delete section;
}

bool CsBackendEnter(PfCriticalSection* section) {
    return pthread_mutex_lock(&section->mutex) == 0;
}

bool CsBackendTryEnter(PfCriticalSection* section) {
    return pthread_mutex_trylock(&section->mutex) == 0;
}

bool CsBackendLeave(PfCriticalSection* section) {
    // A leave by a thread that does not hold the section fails here instead
    // of corrupting the lock.
    return pthread_mutex_unlock(&section->mutex) == 0;
}
