// The wait clock candidates, best first: a coarse (tick-based) monotonic clock, the precise
// monotonic clock, then the same two for the real-time clock.
#pragma once

#include <time.h>

namespace quarn::platform {

#if defined(__FreeBSD__)
inline constexpr clockid_t kWaitClockCandidates[] = {CLOCK_MONOTONIC_FAST, CLOCK_MONOTONIC, CLOCK_REALTIME_FAST,
                                                     CLOCK_REALTIME};
#else
inline constexpr clockid_t kWaitClockCandidates[] = {CLOCK_MONOTONIC_COARSE, CLOCK_MONOTONIC,
                                                     CLOCK_REALTIME_COARSE, CLOCK_REALTIME};
#endif

}  // namespace quarn::platform
