// The region of a position and a limit, as the data-path natives compute it.
#include "unix/span.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using quarn::util::kUnknownCapacity;
using quarn::util::spanLength;

TEST(Span, LengthIsComputedInSixtyFourBits) {
    EXPECT_EQ(spanLength(0, 0, 0), 0);
    EXPECT_EQ(spanLength(3, 10, 10), 7);
    EXPECT_EQ(spanLength(0, INT32_MAX, kUnknownCapacity), INT32_MAX);
}

TEST(Span, RegionOutsideZeroPositionLimitCapacityIsNoRegion) {
    struct Case {
        jint position, limit;
        int64_t capacity;
    };
    for (const Case c : {Case{8, 7, 16}, Case{-1, 10, 16}, Case{INT32_MIN, INT32_MAX, kUnknownCapacity},
                         Case{0, -1, 16}, Case{0, 64, 16}, Case{16, 17, 16}, Case{0, 0, -1}}) {
        EXPECT_EQ(spanLength(c.position, c.limit, c.capacity), -1)
            << c.position << ".." << c.limit << " in " << c.capacity;
    }
}

}  // namespace
