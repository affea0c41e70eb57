// The event loop's wait, driven by a scripted kevent and a scripted clock: interruptions must
// never resubmit the changes, and each retry must wait only for the time left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "kqueue/timed_wait.h"

namespace {

struct Call {
    int changeCount;
    struct timespec timeout;
};

// A kevent that answers from a script (a result, or -errno) and records every call; and a clock
// that returns the next reading of its script (the last one repeats).
struct Script {
    Script(std::vector<int> scriptedResults, std::vector<struct timespec> clockReadings)
        : results(std::move(scriptedResults)), clock(std::move(clockReadings)) {}

    std::vector<int> results;
    std::vector<struct timespec> clock;
    std::vector<Call> calls;
    size_t clockReads = 0;

    int run(int timeoutSeconds, int timeoutNanoseconds, int changeCount = 3) {
        return quarn::kqueue::waitRetryingInterrupts(
            [this](int count, const struct timespec *timeout) {
                EXPECT_NE(timeout, nullptr) << "the wait is always bounded";
                calls.push_back(Call{count, *timeout});
                const size_t index = calls.size() - 1;
                const int result = index < results.size() ? results[index] : 0;
                if (result < 0) {
                    errno = -result;
                    return -1;
                }
                return result;
            },
            [this](struct timespec *now) {
                *now = clock.empty() ? timespec{} : clock[std::min(clockReads, clock.size() - 1)];
                ++clockReads;
            },
            changeCount, timeoutSeconds, timeoutNanoseconds);
    }
};

void expectTimeout(const Call &call, time_t seconds, long nanoseconds) {
    EXPECT_EQ(call.timeout.tv_sec, seconds);
    EXPECT_EQ(call.timeout.tv_nsec, nanoseconds);
}

TEST(KeventWait, ReadyEventsAreReturnedFromTheFirstCall) {
    Script script{{2}, {{100, 0}}};
    EXPECT_EQ(script.run(1, 500), 2);
    ASSERT_EQ(script.calls.size(), 1u);
    EXPECT_EQ(script.calls[0].changeCount, 3);
    expectTimeout(script.calls[0], 1, 500);
}

TEST(KeventWait, InterruptedTimedWaitSubmitsChangesOnceAndWaitsOnlyTheTimeLeft) {
    // 5 s wait; interrupted after 1.25 s and again after another 2.5 s; then one event.
    Script script{{-EINTR, -EINTR, 1}, {{100, 0}, {101, 250000000}, {103, 750000000}}};
    EXPECT_EQ(script.run(5, 0), 1);
    ASSERT_EQ(script.calls.size(), 3u);
    EXPECT_EQ(script.calls[0].changeCount, 3);
    expectTimeout(script.calls[0], 5, 0);
    EXPECT_EQ(script.calls[1].changeCount, 0);
    expectTimeout(script.calls[1], 3, 750000000);
    EXPECT_EQ(script.calls[2].changeCount, 0);
    expectTimeout(script.calls[2], 1, 250000000);
    EXPECT_EQ(script.clockReads, 3u) << "one reading before the wait and one per interruption";
}

TEST(KeventWait, InterruptionAfterTheTimeRanOutReturnsZero) {
    // 1 s wait, interrupted 1.2 s later: the time is used up, so no second call.
    Script script{{-EINTR}, {{100, 0}, {101, 200000000}}};
    EXPECT_EQ(script.run(1, 0), 0);
    EXPECT_EQ(script.calls.size(), 1u);
}

TEST(KeventWait, SubSecondOverrunWithZeroSecondsLeftIsUsedUp) {
    // {0, 400 ms} left, 600 ms elapsed: the borrow makes the seconds negative.
    Script script{{-EINTR}, {{100, 0}, {100, 600000000}}};
    EXPECT_EQ(script.run(0, 400000000), 0);
    EXPECT_EQ(script.calls.size(), 1u);
}

TEST(KeventWait, ExactlyNothingLeftRetriesAsAPoll) {
    Script script{{-EINTR, 0}, {{100, 0}, {101, 0}}};
    EXPECT_EQ(script.run(1, 0), 0);
    ASSERT_EQ(script.calls.size(), 2u);
    EXPECT_EQ(script.calls[1].changeCount, 0);
    expectTimeout(script.calls[1], 0, 0);
}

TEST(KeventWait, ClockSteppingBackwardsEndsTheWait) {
    Script script{{-EINTR, 7}, {{100, 0}, {99, 0}}};
    EXPECT_EQ(script.run(10, 0), 0);
    EXPECT_EQ(script.calls.size(), 1u);
}

TEST(KeventWait, ZeroTimeoutRetriesInterruptionsWithoutChangesAndWithoutTheClock) {
    Script script{{-EINTR, -EINTR, 4}, {}};
    EXPECT_EQ(script.run(0, 0), 4);
    ASSERT_EQ(script.calls.size(), 3u);
    EXPECT_EQ(script.calls[0].changeCount, 3);
    for (const Call &call : script.calls) {
        expectTimeout(call, 0, 0);
    }
    EXPECT_EQ(script.calls[1].changeCount, 0);
    EXPECT_EQ(script.calls[2].changeCount, 0);
    EXPECT_EQ(script.clockReads, 0u);
}

TEST(KeventWait, OtherFailuresAreNegatedWithoutRetry) {
    Script timed{{-EBADF}, {{100, 0}}};
    EXPECT_EQ(timed.run(1, 0), -EBADF);
    EXPECT_EQ(timed.calls.size(), 1u);

    Script poll{{-EINTR, -ENOENT}, {}};
    EXPECT_EQ(poll.run(0, 0), -ENOENT);
    EXPECT_EQ(poll.calls.size(), 2u);

    // After an interruption a later failure is still reported as such, not as a timeout.
    Script later{{-EINTR, -EINVAL}, {{100, 0}, {100, 1000}}};
    EXPECT_EQ(later.run(1, 0), -EINVAL);
}

TEST(KeventWait, TimeoutArgumentsAreSignExtendedAndPassedUnchanged) {
    // Invalid timeouts are the system's to reject; the wait must not fix them up into a poll.
    Script negative{{-EINVAL}, {{100, 0}}};
    EXPECT_EQ(negative.run(-1, 0), -EINVAL);
    expectTimeout(negative.calls[0], -1, 0);

    Script tooManyNanoseconds{{-EINVAL}, {{100, 0}}};
    EXPECT_EQ(tooManyNanoseconds.run(0, 1000000000), -EINVAL);
    expectTimeout(tooManyNanoseconds.calls[0], 0, 1000000000);

    Script negativeNanoseconds{{-EINVAL}, {{100, 0}}};
    EXPECT_EQ(negativeNanoseconds.run(0, -5), -EINVAL);
    expectTimeout(negativeNanoseconds.calls[0], 0, -5);
}

}  // namespace
