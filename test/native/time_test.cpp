#include <gtest/gtest.h>

#include "quarn_transport_native_kqueue.h"

namespace {

TEST(TimespecSubtract, UsedUpWhenTheRestWouldBeNegative) {
    struct timespec ts {0, 400000000};
    EXPECT_TRUE(quarn_unix_util_timespec_subtract_ns(&ts, 600000000));
}

TEST(TimespecSubtract, BorrowsAndLeavesTheRest) {
    struct timespec ts {2, 100000000};
    EXPECT_FALSE(quarn_unix_util_timespec_subtract_ns(&ts, 1500000000));
    EXPECT_EQ(ts.tv_sec, 0);
    EXPECT_EQ(ts.tv_nsec, 600000000);
}

TEST(TimespecSubtract, ExactlyZeroLeftIsNotUsedUp) {
    struct timespec ts {1, 0};
    EXPECT_FALSE(quarn_unix_util_timespec_subtract_ns(&ts, 1000000000));
    EXPECT_EQ(ts.tv_sec, 0);
    EXPECT_EQ(ts.tv_nsec, 0);
}

TEST(TimespecSubtract, HugeCountsAreUsedUp) {
    struct timespec ts {5, 0};
    EXPECT_TRUE(quarn_unix_util_timespec_subtract_ns(&ts, UINT64_MAX));
}

TEST(TimespecElapsed, CountsNanosecondsAndWrapsBackwards) {
    const struct timespec begin {10, 900000000};
    const struct timespec end {12, 100000000};
    EXPECT_EQ(quarn_unix_util_timespec_elapsed_ns(&begin, &end), 1200000000u);
    EXPECT_GT(quarn_unix_util_timespec_elapsed_ns(&end, &begin), UINT64_C(1) << 63);
}

}  // namespace
