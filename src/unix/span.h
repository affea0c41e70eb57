// A region of memory the caller owns, given as a position and a limit (Java ints) from a base
// address: the bytes from base + position up to base + limit.
#pragma once

#include <jni.h>

#include <cstdint>

namespace quarn::util {

// The region's length, computed in 64 bits; -1 when the pair describes no region: a negative
// position, or a limit below the position. Passed on, such a pair would reach the kernel as a
// length near 2^64 (a read then writes past the caller's memory, a stream send sends memory
// past it), or overflow int arithmetic on the way.
inline int64_t spanLength(jint position, jint limit) {
    if (position < 0 || limit < position) {
        return -1;
    }
    return static_cast<int64_t>(limit) - static_cast<int64_t>(position);
}

// base + position, for a position spanLength accepted.
inline char *spanStart(void *base, jint position) {
    return reinterpret_cast<char *>(reinterpret_cast<uintptr_t>(base) + static_cast<uintptr_t>(position));
}

}  // namespace quarn::util
