// The library lock: a reference-counted re-entrant mutex (a critical section
// on Windows, a recursive mutex on POSIX). Every lock needs its own unlock.
#pragma once

#include "opn/core/ovIUnknown.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/platform/pfCriticalSection.h"

class cpCMutex : public ovIUnknown {
    OV_IMPLEMENT_REFCOUNT(cpCMutex)

  public:
    cpCMutex();
    ~cpCMutex() override;
    cpCMutex(const cpCMutex&) = delete;
    cpCMutex& operator=(const cpCMutex&) = delete;

    // Stored only; the library does not act on it.
    virtual void SetValue(int32_t value) { m_value = value; }
    // Both answer OV_S_PLATFORM, or OV_E_PLATFORM when the section could not
    // be created (or, on POSIX, when a thread leaves what it does not hold).
    virtual ResultCode Lock();
    virtual ResultCode Unlock();

    // For a lock whose owner was stopped from outside: call only when no
    // other thread that uses this lock can run any more. When the lock is
    // still held by another thread (the stopped one), a fresh section takes
    // its place and true is returned; the old one cannot be deleted while
    // owned and is kept, unfreed, for the rest of the process.
    bool ReplaceIfHeldElsewhere();
    int32_t Value() const { return m_value; }

  private:
    int32_t m_value = 0;
    PfCriticalSection* m_section = nullptr;
};

// Lock helpers: lock and unlock the held mutex, or do nothing when `mutex`
// is empty.
void ovLock(const ovSmartPtr& mutex);
void ovUnlock(const ovSmartPtr& mutex);

// Holds the lock for a scope and unlocks the mutex it locked, even when the
// caller's pointer changes meanwhile. It takes no reference: the lock is
// taken from other threads too, and reference counts are not interlocked.
// The caller keeps the mutex alive for the scope.
class ovCAutoLock {
  public:
    explicit ovCAutoLock(const ovSmartPtr& mutex)
        : m_mutex(mutex.IsEmpty() ? nullptr : mutex.As<cpCMutex>()) {
        if (m_mutex)
            m_mutex->Lock();
    }
    ~ovCAutoLock() {
        if (m_mutex)
            m_mutex->Unlock();
    }
    ovCAutoLock(const ovCAutoLock&) = delete;
    ovCAutoLock& operator=(const ovCAutoLock&) = delete;

  private:
    cpCMutex* m_mutex;
};
