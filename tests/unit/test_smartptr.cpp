#include <gtest/gtest.h>

#include <stdint.h>

#include "opn/platform/cpCMutex.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovResult.h"
#include "opn/core/ovSmartPtr.h"
#include "unit/TestCountedObject.h"

using counted::CountedObject;
using counted::CountOf;
using counted::PlainObject;

TEST(ResultCode, SuccessAndFailureBits) {
    EXPECT_TRUE(OV_SUCCEEDED(OV_S_OK));
    EXPECT_TRUE(OV_SUCCEEDED(OV_S_PLATFORM));
    EXPECT_TRUE(OV_SUCCEEDED(OV_S_NETWORK));
    EXPECT_TRUE(OV_SUCCEEDED(OV_S_UTILITY));
    EXPECT_FALSE(OV_FAILED(OV_S_OK));
    EXPECT_FALSE(OV_SUCCEEDED(OV_E_NOINTERFACE));
    EXPECT_TRUE(OV_FAILED(OV_E_NOINTERFACE));
    EXPECT_TRUE(OV_FAILED(OV_E_WOULD_BLOCK));
    EXPECT_TRUE(OV_FAILED(OV_E_NETWORK));
    EXPECT_EQ(0x2u, (OV_E_PLATFORM >> 20) & 0x3FFu);
    EXPECT_EQ(0x3u, (OV_E_NETWORK >> 20) & 0x3FFu);
    EXPECT_EQ(0x6u, (OV_E_UTILITY >> 20) & 0x3FFu);
}

TEST(ResultCode, WouldBlockIsRecognisedByLow20BitsOnly) {
    EXPECT_EQ(OV_WOULD_BLOCK_LOW20, OV_LOW20(OV_E_WOULD_BLOCK));
    // Same category and detail from another module or severity still match.
    EXPECT_EQ(OV_WOULD_BLOCK_LOW20, OV_LOW20(0x8032000Au));
    EXPECT_EQ(OV_WOULD_BLOCK_LOW20, OV_LOW20(0x4022000Au));
    EXPECT_NE(OV_WOULD_BLOCK_LOW20, OV_LOW20(OV_E_IN_PROGRESS));
    EXPECT_NE(OV_WOULD_BLOCK_LOW20, OV_LOW20(0x8021000Au));
}

TEST(RefCounted, StartsAtZeroAndReleaseAtOneDeletes) {
    int deaths = 0;
    CountedObject* object = new CountedObject(&deaths);
    EXPECT_EQ(0, object->RefCount());
    EXPECT_EQ(OV_S_OK, object->AddRef());
    EXPECT_EQ(OV_S_OK, object->AddRef());
    EXPECT_EQ(2, object->RefCount());
    EXPECT_EQ(OV_S_OK, object->Release());
    EXPECT_EQ(1, object->RefCount());
    EXPECT_EQ(0, deaths);
    EXPECT_EQ(OV_S_OK, object->Release());  // deletes itself, still success
    EXPECT_EQ(1, deaths);
}

TEST(RefCounted, DeletingThroughTheBaseRunsTheDerivedDestructor) {
    int deaths = 0;
    ovIUnknown* object = new CountedObject(&deaths);
    delete object;
    EXPECT_EQ(1, deaths);
}

TEST(RefCounted, BaseQueryInterfaceSupportsNothing) {
    int deaths = 0;
    PlainObject object(&deaths);
    void* out = &deaths;
    EXPECT_EQ(OV_E_NOINTERFACE, object.QueryInterface(counted::kFaceId, &out));
    EXPECT_EQ(OV_E_NOINTERFACE, object.QueryInterface(0, &out));
    EXPECT_EQ(static_cast<void*>(&deaths), out);
}

TEST(SmartPtrLifetime, EmptyByDefaultAndFromNull) {
    ovSmartPtr empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(nullptr, empty.Get());
    ovSmartPtr fromNull(nullptr);
    EXPECT_TRUE(fromNull.IsEmpty());
    ovSmartPtr copyOfEmpty(empty);
    EXPECT_TRUE(copyOfEmpty.IsEmpty());
    empty.Reset();  // harmless when empty
    EXPECT_TRUE(empty.IsEmpty());
}

TEST(SmartPtrLifetime, RawConstructionCopyAndDestruction) {
    int deaths = 0;
    CountedObject* object = new CountedObject(&deaths);
    {
        ovSmartPtr first(object);
        EXPECT_EQ(object, first.Get());
        EXPECT_EQ(1, object->RefCount());
        {
            ovSmartPtr second(first);
            EXPECT_EQ(object, second.Get());
            EXPECT_EQ(2, object->RefCount());
            ovSmartPtr third(object);
            EXPECT_EQ(3, object->RefCount());
        }
        EXPECT_EQ(1, object->RefCount());
        EXPECT_EQ(0, deaths);
    }
    EXPECT_EQ(1, deaths);
}

TEST(SmartPtrLifetime, ResetReleasesAndEmpties) {
    int deaths = 0;
    ovSmartPtr p(new CountedObject(&deaths));
    ovSmartPtr other(p);
    p.Reset();
    EXPECT_TRUE(p.IsEmpty());
    EXPECT_EQ(0, deaths);
    EXPECT_EQ(1, CountOf(other));
    other.Reset();
    EXPECT_EQ(1, deaths);
}

TEST(SmartPtrAssign, FromAnotherPointerSwapsReferences) {
    int deathsA = 0, deathsB = 0;
    ovSmartPtr a(new CountedObject(&deathsA));
    ovSmartPtr b(new CountedObject(&deathsB));
    CountedObject* objectB = b.As<CountedObject>();
    a = b;
    EXPECT_EQ(1, deathsA);  // its only reference was dropped
    EXPECT_EQ(objectB, a.Get());
    EXPECT_EQ(2, objectB->RefCount());
    b = ovSmartPtr();
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(1, objectB->RefCount());
    EXPECT_EQ(0, deathsB);
}

TEST(SmartPtrAssign, SelfAndSameObjectLeaveTheCountUnchanged) {
    int deaths = 0;
    CountedObject* object = new CountedObject(&deaths);
    ovSmartPtr p(object);
    ovSmartPtr& alias = p;
    p = alias;
    EXPECT_EQ(1, object->RefCount());
    p = object;
    EXPECT_EQ(1, object->RefCount());
    ovSmartPtr q(object);
    p = q;
    EXPECT_EQ(2, object->RefCount());
    q = p;
    EXPECT_EQ(2, object->RefCount());
    EXPECT_EQ(0, deaths);
    EXPECT_EQ(object, p.Get());
}

TEST(SmartPtrAssign, RawPointerAndNull) {
    int deathsA = 0, deathsB = 0;
    ovSmartPtr p;
    CountedObject* a = new CountedObject(&deathsA);
    p = a;
    EXPECT_EQ(1, a->RefCount());
    CountedObject* b = new CountedObject(&deathsB);
    p = b;
    EXPECT_EQ(1, deathsA);
    EXPECT_EQ(1, b->RefCount());
    p = nullptr;
    EXPECT_TRUE(p.IsEmpty());
    EXPECT_EQ(1, deathsB);
}

// The old object may be the last owner of the new one: the new reference must
// be taken before the old one is dropped.
TEST(SmartPtrAssign, NewObjectOwnedOnlyByTheOldOneSurvives) {
    int outerDeaths = 0, innerDeaths = 0;
    CountedObject* outer = new CountedObject(&outerDeaths);
    CountedObject* inner = new CountedObject(&innerDeaths);
    outer->held = inner;
    ovSmartPtr p(outer);
    p = inner;
    EXPECT_EQ(1, outerDeaths);
    EXPECT_EQ(0, innerDeaths);
    ASSERT_EQ(inner, p.Get());
    EXPECT_EQ(1, inner->RefCount());

    // Copy-assigning from a pointer that lives inside the old object.
    CountedObject* second = new CountedObject(&outerDeaths);
    second->held = p;
    p.Reset();
    ovSmartPtr q(second);
    q = second->held;
    EXPECT_EQ(2, outerDeaths);
    EXPECT_EQ(0, innerDeaths);
    ASSERT_EQ(inner, q.Get());
    EXPECT_EQ(1, inner->RefCount());
    q.Reset();
    EXPECT_EQ(1, innerDeaths);
}

TEST(SmartPtrCreate, MutexByClassId) {
    ovSmartPtr p;
    ASSERT_TRUE(p.CreateInstance(OV_CLSID_MUTEX));
    ASSERT_FALSE(p.IsEmpty());
    cpCMutex* mutex = p.As<cpCMutex>();
    EXPECT_EQ(1, mutex->RefCount());
    EXPECT_EQ(OV_S_PLATFORM, mutex->Lock());
    EXPECT_EQ(OV_S_PLATFORM, mutex->Unlock());

    ovSmartPtr second;
    ASSERT_TRUE(second.CreateInstance(0x1008));
    EXPECT_NE(p.Get(), second.Get());  // a new object every time
}

TEST(SmartPtrCreate, ReplacesWhatWasHeld) {
    int deaths = 0;
    ovSmartPtr p(new CountedObject(&deaths));
    ASSERT_TRUE(p.CreateInstance(OV_CLSID_MUTEX));
    EXPECT_EQ(1, deaths);
    EXPECT_EQ(1, p.As<cpCMutex>()->RefCount());
    ASSERT_TRUE(p.CreateInstance(OV_CLSID_MUTEX));  // the first mutex is freed (ASan)
    EXPECT_EQ(1, p.As<cpCMutex>()->RefCount());
}

TEST(SmartPtrCreate, UnknownIdFailsAndReleasesWhatWasHeld) {
    int deaths = 0;
    ovSmartPtr p(new CountedObject(&deaths));
    ovSmartPtr keep(p);
    EXPECT_FALSE(p.CreateInstance(0x5009));
    EXPECT_TRUE(p.IsEmpty());
    EXPECT_EQ(0, deaths);
    EXPECT_EQ(1, CountOf(keep));

    keep.Reset();
    p = new CountedObject(&deaths);
    EXPECT_EQ(1, deaths);
    EXPECT_FALSE(p.CreateInstance(0x5009));
    EXPECT_TRUE(p.IsEmpty());
    EXPECT_EQ(2, deaths);

    const uint32_t unknown[] = {0u, 0x1007u, 0x1009u, 0x2016u, 0xFFFFFFFFu};
    for (uint32_t id : unknown) {
        ASSERT_TRUE(p.CreateInstance(OV_CLSID_MUTEX));
        EXPECT_FALSE(p.CreateInstance(id)) << std::hex << id;
        EXPECT_TRUE(p.IsEmpty()) << std::hex << id;
    }
}

TEST(SmartPtrCreate, FactoryHandsOutObjectsWithCountZero) {
    ovIUnknown* object = ovCreateObject(OV_CLSID_MUTEX);
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(0, static_cast<cpCMutex*>(object)->RefCount());
    ovSmartPtr owner(object);  // frees it at the end
    EXPECT_EQ(1, static_cast<cpCMutex*>(object)->RefCount());
    EXPECT_EQ(nullptr, ovCreateObject(0x5009));
}

TEST(SmartPtrQuery, TrueOnlyWhenTheObjectAnswersWithoutFailure) {
    int deaths = 0;
    ovSmartPtr p(new CountedObject(&deaths));
    void* out = nullptr;
    EXPECT_TRUE(p.QueryInterface(counted::kFaceId, &out));
    EXPECT_EQ(p.As<CountedObject>()->Face(), out);

    void* untouched = &deaths;
    EXPECT_FALSE(p.QueryInterface(0x2015, &untouched));
    EXPECT_EQ(static_cast<void*>(&deaths), untouched);
    EXPECT_FALSE(p.QueryInterface(counted::kFaceId, nullptr));
    EXPECT_EQ(1, CountOf(p));
}

TEST(SmartPtrQuery, EmptyPointerAndBaseAnswerFalse) {
    ovSmartPtr empty;
    void* out = &empty;
    EXPECT_FALSE(empty.QueryInterface(counted::kFaceId, &out));
    EXPECT_EQ(static_cast<void*>(&empty), out);

    int deaths = 0;
    ovSmartPtr plain(new PlainObject(&deaths));
    EXPECT_FALSE(plain.QueryInterface(counted::kFaceId, &out));

    ovSmartPtr mutex;
    ASSERT_TRUE(mutex.CreateInstance(OV_CLSID_MUTEX));
    EXPECT_EQ(OV_E_NOINTERFACE, mutex.Get()->QueryInterface(counted::kFaceId, &out));
    EXPECT_FALSE(mutex.QueryInterface(counted::kFaceId, &out));
}
