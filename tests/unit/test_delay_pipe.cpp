// The benchmark's latency proxy: when each chunk may go on, in what order,
// and when the proxy stops reading.
#include <gtest/gtest.h>

#include <string>

#include "bench/DelayPipe.h"

using bench::DelayPipe;

namespace {

const int64_t kDelay = 10000;  // 10 ms one way

std::string TakeAllDue(DelayPipe& p, int64_t now) {
    std::string out;
    for (std::string_view due = p.DueBytes(now); !due.empty(); due = p.DueBytes(now)) {
        out.append(due.data(), due.size());
        p.Take(due.size());
    }
    return out;
}

TEST(DelayPipe, ChunksWaitTheirDelayAndKeepTheirOrder) {
    DelayPipe p(kDelay, 0, 1 << 20);
    p.Push(1000, "ab", 2);
    p.Push(5000, "cd", 2);
    EXPECT_EQ(p.NextDueUs(), 1000 + kDelay);
    EXPECT_EQ(TakeAllDue(p, 1000 + kDelay - 1), "");
    EXPECT_EQ(TakeAllDue(p, 1000 + kDelay), "ab");
    EXPECT_EQ(p.NextDueUs(), 5000 + kDelay);
    EXPECT_EQ(TakeAllDue(p, 5000 + kDelay), "cd");
    EXPECT_EQ(p.NextDueUs(), -1);
}

TEST(DelayPipe, HandshakeHoldsTheFirstBytesAndNothingOvertakes) {
    // Accepted at 0 with a 20 ms round trip: the request reaches the origin
    // at 30 ms, not at 10 ms.
    DelayPipe p(kDelay, 2 * kDelay, 1 << 20);
    p.Push(0, "GET", 3);
    EXPECT_EQ(p.NextDueUs(), 3 * kDelay);
    // A clock read that goes back must not let a later chunk go first.
    p.Push(40000, "x", 1);
    p.Push(39000, "y", 1);
    EXPECT_EQ(TakeAllDue(p, 3 * kDelay), "GET");
    EXPECT_EQ(TakeAllDue(p, 40000 + kDelay), "xy");
}

TEST(DelayPipe, TheEndComesAfterTheBytesBeforeIt) {
    DelayPipe p(kDelay, 0, 1 << 20);
    p.Push(0, "abc", 3);
    p.PushEnd(100);
    p.Push(200, "late", 4);  // after the end: dropped
    EXPECT_TRUE(p.SourceEnded());
    EXPECT_FALSE(p.EndIsDue(kDelay + 100));  // the bytes first
    std::string_view due = p.DueBytes(kDelay + 100);
    ASSERT_EQ(due, "abc");
    p.Take(1);  // a partial send
    EXPECT_EQ(p.DueBytes(kDelay + 100), "bc");
    p.Take(2);
    EXPECT_FALSE(p.EndIsDue(kDelay + 99));
    ASSERT_TRUE(p.EndIsDue(kDelay + 100));
    EXPECT_FALSE(p.Finished());
    p.TakeEnd();
    EXPECT_TRUE(p.Finished());
    EXPECT_EQ(p.NextDueUs(), -1);
}

TEST(DelayPipe, FullWindowStopsReadingUntilBytesGoOut) {
    DelayPipe p(kDelay, 0, 8);
    EXPECT_TRUE(p.HasRoom());
    p.Push(0, "12345678", 8);
    EXPECT_FALSE(p.HasRoom());
    EXPECT_EQ(p.Queued(), 8u);
    p.Take(3);
    EXPECT_TRUE(p.HasRoom());
    EXPECT_EQ(p.Queued(), 5u);
    p.PushEnd(0);
    EXPECT_FALSE(p.HasRoom());  // nothing more to read after the end
}

}  // namespace
