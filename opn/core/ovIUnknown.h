// Base interface of every reference-counted network-library object.
//
// Objects start with a count of 0; the creator's first AddRef makes it 1 and
// the Release that brings it back to 0 deletes the object. Hold objects
// through ovSmartPtr rather than calling AddRef/Release by hand.
#pragma once

#include "opn/core/ovResult.h"

class ovIUnknown {
  public:
    virtual ResultCode AddRef() = 0;
    virtual ResultCode Release() = 0;
    // Puts the interface named by `id` into `out`; the base supports none.
    virtual ResultCode QueryInterface(uint32_t id, void** out) {
        (void)id;
        (void)out;
        return OV_E_NOINTERFACE;
    }
    virtual ~ovIUnknown() {}
};

// Plain (not interlocked) reference count for objects that live on the
// library thread. Derive from it and forward AddRef/Release.
#define OV_IMPLEMENT_REFCOUNT(Class) \
  public:                            \
    ResultCode AddRef() override {   \
        ++m_refCount;                \
        return OV_S_OK;              \
    }                                \
    ResultCode Release() override {  \
        if (--m_refCount == 0)       \
            delete this;             \
        return OV_S_OK;              \
    }                                \
    int32_t RefCount() const {       \
        return m_refCount;           \
    }                                \
                                     \
  private:                           \
    int32_t m_refCount = 0;
