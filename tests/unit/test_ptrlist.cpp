#include <gtest/gtest.h>

#include <vector>

#include "opn/core/ovCPtrList.h"

namespace {

// Walks the links both ways and checks them against Count(); returns the
// elements in order.
std::vector<void*> Elements(const ovCPtrList& list) {
    std::vector<void*> forward;
    const ovCPtrList::Node* prev = nullptr;
    int32_t steps = 0;
    for (const ovCPtrList::Node* node = list.HeadNode(); node && steps <= list.Count();
         node = node->next, ++steps) {
        EXPECT_EQ(prev, node->prev);
        forward.push_back(node->element);
        prev = node;
    }
    EXPECT_EQ(prev, list.TailNode());
    EXPECT_EQ(static_cast<size_t>(list.Count()), forward.size());

    std::vector<void*> backward;
    steps = 0;
    for (const ovCPtrList::Node* node = list.TailNode(); node && steps <= list.Count();
         node = node->prev, ++steps) {
        backward.insert(backward.begin(), node->element);
    }
    EXPECT_EQ(forward, backward);
    return forward;
}

class PtrListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < 5; ++i) {
            values[i] = i * 10;
            ASSERT_TRUE(list.AddTail(&values[i]));
        }
    }

    std::vector<void*> Expect(std::initializer_list<int> indexes) {
        std::vector<void*> out;
        for (int i : indexes) {
            out.push_back(&values[i]);
        }
        return out;
    }

    int values[5];
    ovCPtrList list;
};

}  // namespace

TEST(PtrListEmpty, EverythingAnswersNull) {
    ovCPtrList list;
    int x = 1;
    EXPECT_EQ(0, list.Count());
    EXPECT_EQ(nullptr, list.HeadNode());
    EXPECT_EQ(nullptr, list.TailNode());
    EXPECT_EQ(nullptr, list.CursorNode());
    EXPECT_EQ(nullptr, list.GetHead());
    EXPECT_EQ(nullptr, list.GetAt(0));
    EXPECT_EQ(nullptr, list.GetAt(-1));
    EXPECT_EQ(nullptr, list.RemoveAt(0));
    EXPECT_EQ(nullptr, list.Remove(&x));
    list.RemoveAll();
    EXPECT_EQ(0, list.Count());
}

TEST(PtrListEmpty, InitZeroesFields) {
    ovCPtrList list;
    list.Init();
    EXPECT_EQ(0, list.Count());
    EXPECT_EQ(nullptr, list.HeadNode());
    EXPECT_EQ(nullptr, list.TailNode());
    EXPECT_EQ(nullptr, list.CursorNode());
}

TEST_F(PtrListTest, AddTailKeepsOrderAndFirstNodeIsCursor) {
    EXPECT_EQ(5, list.Count());
    EXPECT_EQ(Expect({0, 1, 2, 3, 4}), Elements(list));
    EXPECT_EQ(&values[0], list.GetHead());
    ASSERT_NE(nullptr, list.CursorNode());
    EXPECT_EQ(list.HeadNode(), list.CursorNode());
}

TEST_F(PtrListTest, GetAtMovesCursor) {
    EXPECT_EQ(&values[3], list.GetAt(3));
    EXPECT_EQ(&values[3], list.CursorNode()->element);
    EXPECT_EQ(&values[0], list.GetAt(0));
    EXPECT_EQ(list.HeadNode(), list.CursorNode());
    EXPECT_EQ(&values[4], list.GetAt(4));
    EXPECT_EQ(list.TailNode(), list.CursorNode());
}

TEST_F(PtrListTest, GetAtOutOfRangeIsNullAndKeepsCursor) {
    list.GetAt(2);
    const ovCPtrList::Node* cursor = list.CursorNode();
    EXPECT_EQ(nullptr, list.GetAt(-1));
    EXPECT_EQ(nullptr, list.GetAt(5));
    EXPECT_EQ(nullptr, list.GetAt(INT32_MAX));
    EXPECT_EQ(nullptr, list.GetAt(INT32_MIN));
    EXPECT_EQ(cursor, list.CursorNode());
}

TEST_F(PtrListTest, RemoveCursorNodeAfterGetAt) {
    void* element = list.GetAt(2);
    ASSERT_EQ(&values[2], element);
    EXPECT_EQ(element, list.Remove(element));
    EXPECT_EQ(4, list.Count());
    EXPECT_EQ(Expect({0, 1, 3, 4}), Elements(list));
    EXPECT_EQ(list.HeadNode(), list.CursorNode());
    EXPECT_EQ(nullptr, list.Remove(element));  // gone for good
    EXPECT_EQ(4, list.Count());
}

TEST_F(PtrListTest, RemoveOtherNodeKeepsCursor) {
    list.GetAt(3);
    const ovCPtrList::Node* cursor = list.CursorNode();
    EXPECT_EQ(&values[1], list.Remove(&values[1]));
    EXPECT_EQ(cursor, list.CursorNode());
    EXPECT_EQ(&values[3], list.CursorNode()->element);
    EXPECT_EQ(Expect({0, 2, 3, 4}), Elements(list));
}

TEST_F(PtrListTest, RemoveLooksAtCursorBeforeHead) {
    // The same element twice: with the cursor on the later copy, that copy
    // goes first.
    ASSERT_TRUE(list.AddTail(&values[1]));
    list.GetAt(5);
    EXPECT_EQ(&values[1], list.Remove(&values[1]));
    EXPECT_EQ(Expect({0, 1, 2, 3, 4}), Elements(list));
    // Now the cursor is the head, so the walk finds the earlier copy.
    ASSERT_TRUE(list.AddTail(&values[1]));
    EXPECT_EQ(&values[1], list.Remove(&values[1]));
    EXPECT_EQ(Expect({0, 2, 3, 4, 1}), Elements(list));
}

TEST_F(PtrListTest, RemoveUnknownElementIsNull) {
    int stranger = 7;
    EXPECT_EQ(nullptr, list.Remove(&stranger));
    EXPECT_EQ(nullptr, list.Remove(nullptr));
    EXPECT_EQ(5, list.Count());
}

TEST_F(PtrListTest, RemoveHeadAndTail) {
    EXPECT_EQ(&values[0], list.Remove(&values[0]));  // the cursor at the start
    EXPECT_EQ(&values[1], list.GetHead());
    EXPECT_EQ(list.HeadNode(), list.CursorNode());
    EXPECT_EQ(&values[4], list.Remove(&values[4]));
    EXPECT_EQ(&values[3], list.TailNode()->element);
    EXPECT_EQ(Expect({1, 2, 3}), Elements(list));
}

TEST_F(PtrListTest, RemoveAtIndexBounds) {
    EXPECT_EQ(nullptr, list.RemoveAt(-1));
    EXPECT_EQ(nullptr, list.RemoveAt(5));
    EXPECT_EQ(nullptr, list.RemoveAt(INT32_MAX));
    EXPECT_EQ(nullptr, list.RemoveAt(INT32_MIN));
    EXPECT_EQ(5, list.Count());

    EXPECT_EQ(&values[4], list.RemoveAt(4));  // last
    EXPECT_EQ(nullptr, list.RemoveAt(4));     // now past the end
    EXPECT_EQ(&values[0], list.RemoveAt(0));  // first
    EXPECT_EQ(&values[2], list.RemoveAt(1));  // middle
    EXPECT_EQ(Expect({1, 3}), Elements(list));
}

TEST_F(PtrListTest, RemoveAtMovesCursorToHead) {
    list.GetAt(3);
    EXPECT_EQ(&values[1], list.RemoveAt(1));
    EXPECT_EQ(list.HeadNode(), list.CursorNode());
    list.GetAt(0);
    EXPECT_EQ(&values[0], list.RemoveAt(0));
    EXPECT_EQ(list.HeadNode(), list.CursorNode());
    EXPECT_EQ(&values[2], list.CursorNode()->element);
}

TEST_F(PtrListTest, RemovingEverythingEmptiesTheList) {
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(&values[i], list.Remove(&values[i]));
    }
    EXPECT_EQ(0, list.Count());
    EXPECT_EQ(nullptr, list.HeadNode());
    EXPECT_EQ(nullptr, list.TailNode());
    EXPECT_EQ(nullptr, list.CursorNode());
    // Usable again; the first new node is the cursor.
    ASSERT_TRUE(list.AddTail(&values[2]));
    EXPECT_EQ(list.HeadNode(), list.CursorNode());
    EXPECT_EQ(Expect({2}), Elements(list));
}

TEST_F(PtrListTest, RemoveAllLeavesElementsAlone) {
    list.GetAt(2);
    list.RemoveAll();
    EXPECT_EQ(0, list.Count());
    EXPECT_EQ(nullptr, list.HeadNode());
    EXPECT_EQ(nullptr, list.TailNode());
    EXPECT_EQ(nullptr, list.CursorNode());
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(i * 10, values[i]);
    }
    ASSERT_TRUE(list.AddTail(&values[4]));
    EXPECT_EQ(Expect({4}), Elements(list));
}

TEST(PtrListElements, NullElementIsStoredLikeAnyOther) {
    ovCPtrList list;
    int x = 0;
    ASSERT_TRUE(list.AddTail(nullptr));
    ASSERT_TRUE(list.AddTail(&x));
    EXPECT_EQ(2, list.Count());
    EXPECT_EQ(nullptr, list.GetAt(0));
    EXPECT_EQ(&x, list.GetAt(1));
    EXPECT_EQ(nullptr, list.RemoveAt(0));
    EXPECT_EQ(1, list.Count());
    EXPECT_EQ(&x, list.GetHead());
}

TEST(PtrListElements, LongListWalksToEveryIndex) {
    const int kCount = 1000;
    std::vector<int> values(kCount);
    ovCPtrList list;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(list.AddTail(&values[i]));
    }
    for (int i = 0; i < kCount; i += 37) {
        EXPECT_EQ(&values[i], list.GetAt(i));
    }
    EXPECT_EQ(&values[kCount - 1], list.GetAt(kCount - 1));
    // Take every other element out from the middle of the walk.
    for (int i = 0; i < kCount; i += 2) {
        EXPECT_EQ(&values[i], list.Remove(&values[i]));
    }
    EXPECT_EQ(kCount / 2, list.Count());
    EXPECT_EQ(&values[1], list.GetHead());
    EXPECT_EQ(&values[kCount - 1], list.GetAt(kCount / 2 - 1));
}
