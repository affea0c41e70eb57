// The event loop's wait: one kevent call that applies the caller's changes and collects what is
// ready, retried after an interruption without ever submitting the changes twice.
//
// The kevent call and the clock are parameters so that the retry logic can be driven by scripted
// results (EINTR, a clock that jumps) without a kqueue, a JVM or a signal.
#pragma once

#include <cerrno>
#include <cstdint>
#include <time.h>

#include "quarn_transport_native_kqueue.h"

namespace quarn::kqueue {

// keventCall(int changeCount, const struct timespec *timeout) performs the system's kevent with
// the caller's kqueue, change list and event list; it returns the number of events, or -1 with
// errno set. readClock(struct timespec *now) reads the wait clock.
//
// Returns the number of events; 0 when a timed wait's time ran out across interruptions; the
// negated errno of any failure other than EINTR. The timeout is never null: this wait is always
// bounded. Invalid timeouts are passed on unchanged so that the system rejects them (EINVAL).
template <typename KeventCall, typename ClockRead>
int waitRetryingInterrupts(KeventCall &&keventCall, ClockRead &&readClock, int changeCount, int32_t seconds,
                           int32_t nanoseconds) {
    struct timespec timeout {};
    timeout.tv_sec = static_cast<time_t>(seconds);
    timeout.tv_nsec = static_cast<long>(nanoseconds);

    if (seconds == 0 && nanoseconds == 0) {
        // A poll: an interrupted poll is simply asked again. The interrupted call has already
        // applied the changes, so the retry submits none.
        for (;;) {
            const int result = keventCall(changeCount, &timeout);
            if (result >= 0) {
                return result;
            }
            const int error = errno;
            if (error != EINTR) {
                return -error;
            }
            changeCount = 0;
        }
    }

    struct timespec start {};
    readClock(&start);
    for (;;) {
        const int result = keventCall(changeCount, &timeout);
        if (result >= 0) {
            return result;
        }
        const int error = errno;
        if (error != EINTR) {
            return -error;
        }
        // Only the time since the previous reading is taken off, so the timeout always holds what
        // is left of the caller's wait. A clock that steps backwards gives a huge elapsed count,
        // which ends the wait as if its time had run out.
        struct timespec now {};
        readClock(&now);
        if (quarn_unix_util_timespec_subtract_ns(&timeout, quarn_unix_util_timespec_elapsed_ns(&start, &now))) {
            return 0;
        }
        start = now;
        changeCount = 0;
    }
}

}  // namespace quarn::kqueue
