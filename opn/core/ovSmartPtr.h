// Owning pointer to a reference-counted network object. Copying adds a
// reference, destruction releases. CreateInstance builds any network object
// from its numeric class id (ovClassIds.h) so callers never name the class.
#pragma once

#include <stdint.h>

#include "opn/core/ovIUnknown.h"

class ovSmartPtr {
  public:
    ovSmartPtr() : m_ptr(nullptr) {}
    ovSmartPtr(ovIUnknown* ptr);  // NOLINT: implicit like a raw pointer
    ovSmartPtr(const ovSmartPtr& other);
    virtual ~ovSmartPtr();

    ovSmartPtr& operator=(const ovSmartPtr& other);
    ovSmartPtr& operator=(ovIUnknown* ptr);

    ovIUnknown* Get() const { return m_ptr; }
    // The held object as its concrete type; the caller knows what it created.
    template <class T>
    T* As() const {
        return static_cast<T*>(m_ptr);
    }
    bool IsEmpty() const { return m_ptr == nullptr; }
    void Reset();

    // Releases what is held, then creates the object of `classId` and holds
    // it (count 1); false and empty for an unknown id.
    bool CreateInstance(uint32_t classId);

    // False when empty (or `out` is null); otherwise true when the object's
    // answer has no failure bit. `out` gets no reference of its own.
    bool QueryInterface(uint32_t id, void** out) const;

  private:
    ovIUnknown* m_ptr;
};

// Creates the object for `classId` with a count of 0 and returns the face the
// id names, or null for an unknown id (or when memory runs out).
//
// This and ovSmartPtr::CreateInstance are defined beside the class table in
// the network stack (opn/opeerqos/ovClassFactory.cpp), which knows the
// classes; the foundation itself never creates objects by id.
ovIUnknown* ovCreateObject(uint32_t classId);
