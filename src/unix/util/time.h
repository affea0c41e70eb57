#pragma once

#include <cstddef>
#include <time.h>

namespace quarn::util {

using ClockReader = int (*)(clockid_t, struct timespec *);

// The first candidate the reader accepts is stored and true returned; otherwise
// CLOCK_REALTIME is stored and false returned. Each candidate is stored before it is tried.
bool initializeWaitClock(clockid_t *clockId, const clockid_t *candidates, size_t count, ClockReader reader);

// The wait clock chosen at load; CLOCK_REALTIME (0) before load.
clockid_t waitClock();

// Where the library load stores its choice.
clockid_t *waitClockStorage();

}  // namespace quarn::util
