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

extern "C" uint64_t quarn_unix_util_timespec_elapsed_ns(const struct timespec *begin, const struct timespec *end) {
    // Wrap-around arithmetic: an end before the beginning gives a huge count, which the
    // subtraction below treats as used up.
    return static_cast<uint64_t>(end->tv_sec - begin->tv_sec) * UINT64_C(1000000000) +
           static_cast<uint64_t>(end->tv_nsec - begin->tv_nsec);
}

extern "C" bool quarn_unix_util_timespec_subtract_ns(struct timespec *ts, uint64_t nanos) {
    const uint64_t seconds = nanos / UINT64_C(1000000000);
    const uint64_t rest = nanos % UINT64_C(1000000000);
    if (rest > static_cast<uint64_t>(ts->tv_nsec)) {
        --ts->tv_sec;
        ts->tv_nsec += 1000000000L;
    }
    // Compared as signed: seconds beyond INT64_MAX always mean the time is used up.
    const bool usedUp = seconds > static_cast<uint64_t>(INT64_MAX) || static_cast<int64_t>(ts->tv_sec) < static_cast<int64_t>(seconds);
    ts->tv_sec = static_cast<time_t>(static_cast<uint64_t>(ts->tv_sec) - seconds);
    ts->tv_nsec = static_cast<long>(static_cast<uint64_t>(ts->tv_nsec) - rest);
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
