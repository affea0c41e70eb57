// The region of a position and a limit, as the data-path natives compute it.
#include "unix/span.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using quarn::util::spanLength;

TEST(Span, LengthIsComputedInSixtyFourBits) {
    EXPECT_EQ(spanLength(0, 0), 0);
    EXPECT_EQ(spanLength(3, 10), 7);
    EXPECT_EQ(spanLength(0, INT32_MAX), INT32_MAX);
}

TEST(Span, NegativePositionOrLimitBelowPositionIsNoRegion) {
    EXPECT_EQ(spanLength(8, 7), -1);
    EXPECT_EQ(spanLength(-1, 10), -1);
    EXPECT_EQ(spanLength(INT32_MIN, INT32_MAX), -1) << "the int difference would overflow";
    EXPECT_EQ(spanLength(0, -1), -1);
}

}  // namespace
