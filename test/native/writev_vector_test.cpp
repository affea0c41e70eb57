#include <errno.h>
#include <gtest/gtest.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_jni.h"
#include "unix/filedescriptor_vector.h"
#include "unix/writev_budget.h"

namespace {

using quarn::fd::BufferAccess;
using quarn::fd::fillIoVector;
using quarn::test::FakeJni;

TEST(WritevBudget, EntriesAreCappedAndANegativeRequestRefused) {
    EXPECT_EQ(quarn::fd::vectorEntries(-1, 1024), -1);
    EXPECT_EQ(quarn::fd::vectorEntries(INT32_MIN, 1024), -1);
    EXPECT_EQ(quarn::fd::vectorEntries(0, 1024), 0);
    EXPECT_EQ(quarn::fd::vectorEntries(1024, 1024), 1024);
    EXPECT_EQ(quarn::fd::vectorEntries(INT32_MAX, 1024), 1024);
}

TEST(WritevBudget, FirstBufferSetsTheBudgetWithoutOverflow) {
    EXPECT_EQ(quarn::fd::budgetAfterFirst(30, 10), 20);
    EXPECT_EQ(quarn::fd::budgetAfterFirst(5, 10), -5);
    EXPECT_EQ(quarn::fd::budgetAfterFirst(INT64_MIN, 10), INT64_MIN);
    EXPECT_EQ(quarn::fd::budgetAfterFirst(INT64_MAX, -10), INT64_MAX);
}

// The signed reading: a budget below zero takes nothing more, not even an empty buffer.
TEST(WritevBudget, SignedReadingStopsOnceTheBudgetIsNegative) {
    int64_t budget = -1;
    EXPECT_FALSE(quarn::fd::takeWithinBudget(&budget, 0));
    EXPECT_FALSE(quarn::fd::takeWithinBudget(&budget, 1));
    budget = 0;
    EXPECT_TRUE(quarn::fd::takeWithinBudget(&budget, 0));
    EXPECT_EQ(budget, 0);
    EXPECT_FALSE(quarn::fd::takeWithinBudget(&budget, -1)) << "a negative length never fits";
}

// Fake direct buffers over one real block of memory; element i is buffer i.
class WritevVector : public ::testing::TestWithParam<std::pair<bool, bool>> {
  protected:
    void SetUp() override {
        memory_.assign(4096, 0);
        for (size_t i = 0; i < memory_.size(); ++i) {
            memory_[i] = static_cast<char>('a' + i % 26);
        }
        jclass bufferClass = fake.classHandle("java/nio/DirectByteBuffer");
        JNIEnv *env = fake.env();
        access.positionMethod = env->GetMethodID(bufferClass, "position", "()I");
        access.limitMethod = env->GetMethodID(bufferClass, "limit", "()I");
        access.positionField = usePositionField() ? env->GetFieldID(bufferClass, "position", "I") : nullptr;
        access.limitField = useLimitField() ? env->GetFieldID(bufferClass, "limit", "I") : nullptr;
        fake.calls.clear();
    }

    bool usePositionField() const { return GetParam().first; }
    bool useLimitField() const { return GetParam().second; }

    // Buffers of the given remaining lengths, each starting at position 3 of its own region.
    void buffersOf(const std::vector<jint> &lengths) {
        for (size_t i = 0; i < lengths.size(); ++i) {
            fake.buffers.push_back({memory_.data() + 256 * i, 3, 3 + lengths[i]});
            fake.arrayElements.push_back(static_cast<int>(i));
        }
    }

    int fill(jint offset, jint length, jlong maxBytes, int capacity = 8) {
        return fillIoVector(fake.env(), access, array(), offset, length, maxBytes, vector, capacity);
    }

    static jobjectArray array() { return reinterpret_cast<jobjectArray>(static_cast<uintptr_t>(0x9999)); }

    int callsNamed(const std::string &prefix) const {
        return static_cast<int>(std::count_if(fake.calls.begin(), fake.calls.end(),
                                              [&](const std::string &c) { return c.rfind(prefix, 0) == 0; }));
    }

    FakeJni fake;
    BufferAccess access{};
    struct iovec vector[8]{};
    std::vector<char> memory_;
};

TEST_P(WritevVector, BudgetDecidesHowManyBuffersAreTaken) {
    buffersOf({10, 20, 30});
    EXPECT_EQ(fill(0, 3, 30), 2);
    EXPECT_EQ(fill(0, 3, 29), 1);
    EXPECT_EQ(fill(0, 3, 60), 3);
    EXPECT_EQ(fill(0, 3, 59), 2);
    EXPECT_EQ(vector[0].iov_base, memory_.data() + 3);
    EXPECT_EQ(vector[0].iov_len, 10u);
    EXPECT_EQ(vector[1].iov_base, memory_.data() + 256 + 3);
    EXPECT_EQ(vector[1].iov_len, 20u);
    EXPECT_EQ(fill(1, 2, 20), 1) << "the first buffer is the one at the offset";
    EXPECT_EQ(vector[0].iov_len, 20u);
}

TEST_P(WritevVector, PositionAndLimitAreReadAsConfigured) {
    buffersOf({10, 20});
    ASSERT_EQ(fill(0, 2, 100), 2);
    const int fields = (usePositionField() ? 2 : 0) + (useLimitField() ? 2 : 0);
    EXPECT_EQ(callsNamed("GetIntField"), fields);
    EXPECT_EQ(callsNamed("CallIntMethod"), 4 - fields);
    EXPECT_EQ(callsNamed("DeleteLocalRef"), 2) << "each element's reference is released";
}

TEST_P(WritevVector, EmptyBufferWithExactlyNoBudgetLeftIsTakenAndTheWalkGoesOn) {
    buffersOf({10, 0, 0, 5});
    EXPECT_EQ(fill(0, 4, 10), 3);
}

TEST_P(WritevVector, SingleBufferNeverConsultsTheMaximum) {
    buffersOf({10, 0});
    EXPECT_EQ(fill(0, 1, -1), 1);
    EXPECT_EQ(fill(0, 1, INT64_MIN), 1);
    // Signed reading: with the maximum below the first buffer nothing follows it.
    EXPECT_EQ(fill(0, 2, 5), 1);
    EXPECT_EQ(fill(0, 2, -1), 1);
}

TEST_P(WritevVector, OverBudgetBufferIsReleasedBeforeItsAddressIsTaken) {
    buffersOf({10, 20});
    ASSERT_EQ(fill(0, 2, 15), 1);
    EXPECT_EQ(callsNamed("GetDirectBufferAddress"), 1);
    EXPECT_EQ(callsNamed("DeleteLocalRef"), 2);
}

TEST_P(WritevVector, NegativeLengthIsRefusedWithoutAnyJniCall) {
    buffersOf({10});
    EXPECT_EQ(fill(0, -1, 100), -EINVAL);
    EXPECT_TRUE(fake.calls.empty());
}

TEST_P(WritevVector, MoreBuffersThanTheSystemTakesAreAShortVector) {
    buffersOf({1, 1, 1, 1, 1, 1});
    EXPECT_EQ(fill(0, 6, 100, 4), 4);
    EXPECT_EQ(callsNamed("GetObjectArrayElement"), 4);
}

TEST_P(WritevVector, IndexOutOfRangeStopsWithTheExceptionPending) {
    buffersOf({1, 1});
    EXPECT_EQ(fill(0, 3, 100), -EINVAL);
    EXPECT_TRUE(fake.exceptionPending);
    EXPECT_EQ(fake.calls.back(), "GetObjectArrayElement 2") << "no JNI call after the one that raised";
}

TEST_P(WritevVector, NullElementIsRefusedBeforeAnyRead) {
    buffersOf({1, 1});
    fake.arrayElements[1] = -1;
    EXPECT_EQ(fill(0, 2, 100), -EINVAL);
    EXPECT_FALSE(fake.exceptionPending);
    EXPECT_EQ(fake.calls.back(), "GetObjectArrayElement 1");
}

TEST_P(WritevVector, RaisingMethodStopsTheWalk) {
    if (usePositionField() && useLimitField()) {
        GTEST_SKIP() << "reading both values by field calls no method that could raise";
    }
    fake.failingMethods = {"position", "limit"};
    buffersOf({1, 1});
    EXPECT_EQ(fill(0, 2, 100), -EINVAL);
    EXPECT_TRUE(fake.exceptionPending);
    EXPECT_EQ(fake.calls.back(), "DeleteLocalRef") << "only the exception-safe release follows";
    EXPECT_EQ(callsNamed("GetObjectArrayElement"), 1);
}

TEST_P(WritevVector, BufferWithoutARegionIsRefusedBeforeItsAddressIsTaken) {
    for (const auto &[position, limit] : {std::pair{5, 4}, std::pair{-1, 4}, std::pair{INT32_MIN, INT32_MAX}}) {
        buffersOf({1, 1});
        fake.buffers[1].position = position;
        fake.buffers[1].limit = limit;
        fake.calls.clear();
        EXPECT_EQ(fill(0, 2, INT64_MAX), -EINVAL) << position << ".." << limit;
        EXPECT_EQ(callsNamed("GetDirectBufferAddress"), 1) << "only the first buffer's";
        EXPECT_EQ(callsNamed("DeleteLocalRef"), 2);
        fake.buffers.clear();
        fake.arrayElements.clear();
    }
}

TEST_P(WritevVector, LimitPastTheCapacityIsRefusedForEveryBufferTaken) {
    for (const size_t bad : {0u, 1u}) {
        buffersOf({1, 1});
        fake.buffers[bad].capacity = 3;  // the limit, 4, lies past it
        EXPECT_EQ(fill(0, 2, 100), -EINVAL) << "buffer " << bad;
        fake.buffers.clear();
        fake.arrayElements.clear();
    }
}

TEST_P(WritevVector, HeapBufferHasNoAddressAndIsRefused) {
    buffersOf({1, 1});
    fake.buffers[1].address = nullptr;
    EXPECT_EQ(fill(0, 2, 100), -EFAULT);
}

TEST_P(WritevVector, VectorWritesTheBuffersSpans) {
    buffersOf({4, 6});
    ASSERT_EQ(fill(0, 2, 100), 2);
    int pair[2];
    ASSERT_EQ(pipe(pair), 0);
    EXPECT_EQ(writev(pair[1], vector, 2), 10);
    char text[16] = {};
    EXPECT_EQ(read(pair[0], text, sizeof(text)), 10);
    EXPECT_EQ(std::string(text), std::string(memory_.data() + 3, 4) + std::string(memory_.data() + 256 + 3, 6));
    close(pair[0]);
    close(pair[1]);
}

INSTANTIATE_TEST_SUITE_P(FieldOrMethod, WritevVector,
                         ::testing::Values(std::make_pair(true, true), std::make_pair(true, false),
                                           std::make_pair(false, true), std::make_pair(false, false)),
                         [](const auto &info) {
                             return std::string(info.param.first ? "PositionField" : "PositionMethod") +
                                    (info.param.second ? "LimitField" : "LimitMethod");
                         });

}  // namespace
