// A region of memory the caller owns, given as a position and a limit (Java ints) from a base
// address: the bytes from base + position up to base + limit.
#pragma once

#include <jni.h>

#include <cstdint>

namespace quarn::util {

// The room behind a raw native address: the library cannot know it, so only the pair itself
// is checked.
inline constexpr int64_t kUnknownCapacity = INT64_MAX;

// The region's length, computed in 64 bits; -1 when the pair describes no region inside the
// capacity bytes the base has: a negative position, a limit below the position, or a limit
// past the capacity. Passed on, such a pair would reach the kernel as a length near 2^64 or as
// a length past the caller's memory (a read then writes past it, a send sends what lies
// behind it), or overflow int arithmetic on the way.
inline int64_t spanLength(jint position, jint limit, int64_t capacity) {
    if (position < 0 || limit < position || limit > capacity) {
        return -1;
    }
    return static_cast<int64_t>(limit) - static_cast<int64_t>(position);
}

// base + position, for a position spanLength accepted.
inline char *spanStart(void *base, jint position) {
    return reinterpret_cast<char *>(reinterpret_cast<uintptr_t>(base) + static_cast<uintptr_t>(position));
}

// A direct buffer's memory as the VM reports it. A null or heap buffer has no address (and a
// capacity of -1): the natives refuse it rather than use address 0 plus the position.
struct DirectMemory {
    void *address;
    int64_t capacity;
};

inline DirectMemory directMemory(JNIEnv *env, jobject buffer) {
    // The VM's lookups would dereference a null buffer.
    void *address = buffer == nullptr ? nullptr : env->GetDirectBufferAddress(buffer);
    if (address == nullptr) {
        return {nullptr, -1};
    }
    return {address, static_cast<int64_t>(env->GetDirectBufferCapacity(buffer))};
}

}  // namespace quarn::util
