// Clock reading, nanosecond arithmetic on time values, and the choice of the wait clock.
#include <cstdint>

#include "platform/clock.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/util/time.h"

namespace quarn::util {

bool initializeWaitClock(clockid_t *clockId, const clockid_t *candidates, size_t count, ClockReader reader) {
    for (size_t i = 0; i < count; ++i) {
        *clockId = candidates[i];
        struct timespec scratch {};
        if (reader(candidates[i], &scratch) == 0) {
            return true;
        }
    }
    *clockId = CLOCK_REALTIME;
    return false;
}

}  // namespace quarn::util

extern "C" bool quarn_unix_util_initialize_wait_clock(clockid_t *clockId) {
    const auto &candidates = quarn::platform::kWaitClockCandidates;
    return quarn::util::initializeWaitClock(clockId, candidates, sizeof(candidates) / sizeof(candidates[0]),
                                            &quarn_unix_util_clock_gettime);
}

extern "C" int quarn_unix_util_clock_gettime(clockid_t clockId, struct timespec *tp) {
    return clock_gettime(clockId, tp);
}

// Both helpers take time values as they come, unnormalised or extreme, so every difference is
// taken in 64-bit wrap-around unsigned arithmetic (a signed one could overflow), and only
// comparisons look at the values as signed.

extern "C" uint64_t quarn_unix_util_timespec_elapsed_ns(const struct timespec *begin, const struct timespec *end) {
    // An end before the beginning wraps to a huge count, which the subtraction below treats as
    // used up.
    const uint64_t seconds = static_cast<uint64_t>(end->tv_sec) - static_cast<uint64_t>(begin->tv_sec);
    const uint64_t nanos = static_cast<uint64_t>(end->tv_nsec) - static_cast<uint64_t>(begin->tv_nsec);
    return seconds * UINT64_C(1000000000) + nanos;
}

extern "C" bool quarn_unix_util_timespec_subtract_ns(struct timespec *ts, uint64_t nanos) {
    // WHOLE is below 2^35 and REST below 10^9: both fit a signed value.
    const int64_t whole = static_cast<int64_t>(nanos / UINT64_C(1000000000));
    const int64_t rest = static_cast<int64_t>(nanos % UINT64_C(1000000000));
    const int64_t seconds = ts->tv_sec;
    const int64_t nanoseconds = ts->tv_nsec;
    // Compared as signed, so that a negative nanosecond field borrows too.
    const bool borrow = rest > nanoseconds;
    // The remaining seconds after the borrow, compared without forming them: one below the most
    // negative second is below every count.
    const bool usedUp = borrow ? (seconds == INT64_MIN || seconds - 1 < whole) : seconds < whole;
    const uint64_t borrowed = borrow ? 1 : 0;
    ts->tv_sec = static_cast<time_t>(static_cast<uint64_t>(seconds) - borrowed - static_cast<uint64_t>(whole));
    ts->tv_nsec = static_cast<long>(static_cast<uint64_t>(nanoseconds) + borrowed * UINT64_C(1000000000) -
                                    static_cast<uint64_t>(rest));
    return usedUp;
}

namespace quarn::util {

namespace {
// Written once by the library load (before any native runs) and only read afterwards.
clockid_t gWaitClock = CLOCK_REALTIME;
}  // namespace

clockid_t waitClock() {
    return gWaitClock;
}

clockid_t *waitClockStorage() {
    return &gWaitClock;
}

}  // namespace quarn::util
