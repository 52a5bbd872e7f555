// Sums and shares of byte counts that come from outside: no wrap, no
// overflow, never past the ends.
#include <gtest/gtest.h>

#include <stdint.h>

#include "sdk/download/ByteCount.h"

namespace {

TEST(ByteCount, SumsStopAtTheLargestCount) {
    EXPECT_EQ(15, AddByteCount(10, 5));
    EXPECT_EQ(10, AddByteCount(10, -1));
    EXPECT_EQ(INT64_MAX, AddByteCount(INT64_MAX - 1, 2));
    EXPECT_EQ(INT64_MAX, AddByteCount(INT64_MAX, INT64_MAX));
}

TEST(ByteCount, PercentsStayWithinZeroAndHundred) {
    struct Case {
        int64_t done, total;
        int32_t percent;
    } const cases[] = {
        {0, 100, 0},
        {-5, 100, 0},
        {5, 0, 0},
        {1, 3, 33},
        {99, 100, 99},
        {100, 100, 100},
        {150, 100, 100},                 // more than announced
        {INT64_MAX / 2, INT64_MAX, 50},  // done * 100 would not fit: within one
        {INT64_MAX - 1, INT64_MAX, 99},  // never 100 before the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.done << " of " << c.total);
        EXPECT_EQ(c.percent, BytePercent(c.done, c.total));
    }
}

}  // namespace
