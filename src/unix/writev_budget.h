// How many buffers one gathering write over an array of buffers takes.
//
// The first buffer is always taken; each following one only while its length fits what is
// left of the caller's maximum, and the first that does not fit ends the vector (buffers are
// never split: the caller writes the rest on a later call). The budget is read as a signed
// number: once the first buffer alone exceeds the maximum, or the maximum is negative, nothing
// after the first buffer is taken. (An unsigned reading would make a negative remainder admit
// every following buffer, so a maximum just below the first buffer's length would write the
// whole array.) A negative length, which no valid buffer has, never fits.
#pragma once

#include <cstdint>

namespace quarn::fd {

// The number of vector entries a call may build for a requested number of buffers: at most
// maxEntries (the system's IOV_MAX; the rest are a short write the caller continues), or -1
// when the request is negative.
int vectorEntries(int32_t requested, int maxEntries);

// The budget left after the first buffer: maxBytes - firstLength, saturated rather than
// overflowing at the ends of the 64-bit range.
int64_t budgetAfterFirst(int64_t maxBytes, int64_t firstLength);

// Whether a following buffer of this length is taken; when it is, the budget shrinks by it.
bool takeWithinBudget(int64_t *budget, int64_t length);

}  // namespace quarn::fd
