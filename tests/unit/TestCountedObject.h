// Reference-counted test objects that record when they die, for the smart
// pointer and garbage collector tests.
#pragma once

#include <stdint.h>

#include <vector>

#include "opn/core/ovIUnknown.h"
#include "opn/core/ovSmartPtr.h"

namespace counted {

// Answers one interface id with a face pointer, like a protocol layer does;
// every other id fails and leaves `out` untouched.
const uint32_t kFaceId = 0x2016;

class CountedObject : public ovIUnknown {
    OV_IMPLEMENT_REFCOUNT(CountedObject)

  public:
    // `deaths` is incremented and `log` gets `tag` when the object is deleted.
    explicit CountedObject(int* deaths = nullptr, std::vector<int>* log = nullptr, int tag = 0)
        : m_deaths(deaths), m_log(log), m_tag(tag) {}
    ~CountedObject() override {
        if (m_deaths)
            ++*m_deaths;
        if (m_log)
            m_log->push_back(m_tag);
    }
    CountedObject(const CountedObject&) = delete;
    CountedObject& operator=(const CountedObject&) = delete;

    ResultCode QueryInterface(uint32_t id, void** out) override {
        if (id != kFaceId)
            return OV_E_NETWORK;
        *out = &m_face;
        return OV_S_NETWORK;
    }
    void* Face() { return &m_face; }

    // Lets a test keep another object alive from inside this one.
    ovSmartPtr held;

  private:
    int* m_deaths;
    std::vector<int>* m_log;
    int m_tag;
    int m_face = 0;
};

// Uses the base QueryInterface.
class PlainObject : public ovIUnknown {
    OV_IMPLEMENT_REFCOUNT(PlainObject)

  public:
    explicit PlainObject(int* deaths) : m_deaths(deaths) {}
    ~PlainObject() override { ++*m_deaths; }
    PlainObject(const PlainObject&) = delete;
    PlainObject& operator=(const PlainObject&) = delete;

  private:
    int* m_deaths;
};

inline int32_t CountOf(const ovSmartPtr& p) {
    return p.As<CountedObject>()->RefCount();
}

}  // namespace counted
