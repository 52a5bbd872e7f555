#include "opn/core/ovSmartPtr.h"

ovSmartPtr::ovSmartPtr(ovIUnknown* ptr) : m_ptr(ptr) {
    if (m_ptr)
        m_ptr->AddRef();
}

ovSmartPtr::ovSmartPtr(const ovSmartPtr& other) : m_ptr(other.m_ptr) {
    if (m_ptr)
        m_ptr->AddRef();
}

ovSmartPtr::~ovSmartPtr() {
    Reset();
}

ovSmartPtr& ovSmartPtr::operator=(const ovSmartPtr& other) {
    return *this = other.m_ptr;
}

ovSmartPtr& ovSmartPtr::operator=(ovIUnknown* ptr) {
    if (ptr == m_ptr)
        return *this;
    // Take the new reference before dropping the old one: the old object may
    // be the last owner of the new one, and its destructor may look at us.
    if (ptr)
        ptr->AddRef();
    ovIUnknown* old = m_ptr;
    m_ptr = ptr;
    if (old)
        old->Release();
    return *this;
}

void ovSmartPtr::Reset() {
    // Empty first, so a destructor that reaches this pointer sees it empty.
    ovIUnknown* old = m_ptr;
    m_ptr = nullptr;
    if (old)
        old->Release();
}

bool ovSmartPtr::QueryInterface(uint32_t id, void** out) const {
    if (!m_ptr || !out)
        return false;
    return (m_ptr->QueryInterface(id, out) & 0x80000000u) == 0;
}
