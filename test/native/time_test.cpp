#include <gtest/gtest.h>

#include <cstdint>

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

// Unnormalised and extreme time values: the arithmetic wraps in 64 bits, the comparisons are
// signed, and no step overflows a signed value (the sanitizer build would report one).
TEST(TimespecSubtract, NegativeNanosecondFieldBorrows) {
    struct timespec ts {5, -300000000};
    EXPECT_FALSE(quarn_unix_util_timespec_subtract_ns(&ts, 100000000));
    EXPECT_EQ(ts.tv_sec, 4);
    EXPECT_EQ(ts.tv_nsec, 600000000);
    struct timespec negative {0, -1};
    EXPECT_TRUE(quarn_unix_util_timespec_subtract_ns(&negative, 0)) << "-1 ns left is used up";
}

TEST(TimespecSubtract, MostNegativeSecondIsUsedUpAndWraps) {
    struct timespec ts {INT64_MIN, 0};
    EXPECT_TRUE(quarn_unix_util_timespec_subtract_ns(&ts, 1));
    EXPECT_EQ(ts.tv_sec, INT64_MAX);
    EXPECT_EQ(ts.tv_nsec, 999999999);
    struct timespec most {INT64_MAX, 999999999};
    EXPECT_FALSE(quarn_unix_util_timespec_subtract_ns(&most, UINT64_MAX));
    EXPECT_EQ(most.tv_sec, INT64_MAX - static_cast<int64_t>(UINT64_MAX / 1000000000));
}

TEST(TimespecElapsed, ExtremeSecondsWrapInsteadOfOverflowing) {
    const struct timespec begin {INT64_MIN, 0};
    const struct timespec end {INT64_MAX, 0};
    EXPECT_EQ(quarn_unix_util_timespec_elapsed_ns(&begin, &end), UINT64_MAX - 999999999u);
    const struct timespec low {0, INT64_MIN};
    const struct timespec high {0, INT64_MAX};
    EXPECT_EQ(quarn_unix_util_timespec_elapsed_ns(&low, &high), UINT64_MAX);
}

TEST(TimespecElapsed, CountsNanosecondsAndWrapsBackwards) {
    const struct timespec begin {10, 900000000};
    const struct timespec end {12, 100000000};
    EXPECT_EQ(quarn_unix_util_timespec_elapsed_ns(&begin, &end), 1200000000u);
    EXPECT_GT(quarn_unix_util_timespec_elapsed_ns(&end, &begin), UINT64_C(1) << 63);
}

}  // namespace
