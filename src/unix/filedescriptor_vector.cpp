#include "unix/filedescriptor_vector.h"

#include <errno.h>

#include <cstdint>

#include "unix/span.h"
#include "unix/writev_budget.h"

namespace quarn::fd {

namespace {

struct Span {
    jint position;
    jint limit;
};

// Position, then limit. False when a method call raised; GetIntField cannot raise.
bool readSpan(JNIEnv *env, const BufferAccess &access, jobject buffer, Span *span) {
    if (access.positionField != nullptr) {
        span->position = env->GetIntField(buffer, access.positionField);
    } else {
        span->position = env->CallIntMethod(buffer, access.positionMethod);
        if (env->ExceptionCheck()) {
            return false;
        }
    }
    if (access.limitField != nullptr) {
        span->limit = env->GetIntField(buffer, access.limitField);
    } else {
        span->limit = env->CallIntMethod(buffer, access.limitMethod);
        if (env->ExceptionCheck()) {
            return false;
        }
    }
    return true;
}

enum class Step { kTaken, kOverBudget, kFailed };

// Takes buffers[index] into *entry when it fits the budget (the first buffer always fits and
// sets the budget). On kFailed, *error holds the negated errno to return.
Step takeBuffer(JNIEnv *env, const BufferAccess &access, jobjectArray buffers, jint index, bool first, jlong maxBytes,
                int64_t *budget, struct iovec *entry, int *error) {
    jobject buffer = env->GetObjectArrayElement(buffers, index);
    if (buffer == nullptr) {
        // Either the index raised (the exception stays pending) or the element is null; both
        // are the caller's mistake, and a null element must not reach the field reads.
        *error = -EINVAL;
        return Step::kFailed;
    }
    Span span{};
    if (!readSpan(env, access, buffer, &span)) {
        env->DeleteLocalRef(buffer);
        *error = -EINVAL;
        return Step::kFailed;
    }
    // The capacity is checked once the buffer is taken: one over the budget is not read at all.
    const int64_t length = util::spanLength(span.position, span.limit, util::kUnknownCapacity);
    if (length < 0) {
        // A buffer keeps 0 <= position <= limit; anything else has no region to write.
        env->DeleteLocalRef(buffer);
        *error = -EINVAL;
        return Step::kFailed;
    }
    if (first) {
        *budget = budgetAfterFirst(maxBytes, length);
    } else if (!takeWithinBudget(budget, length)) {
        env->DeleteLocalRef(buffer);
        return Step::kOverBudget;
    }
    const util::DirectMemory memory = util::directMemory(env, buffer);
    env->DeleteLocalRef(buffer);
    if (memory.address == nullptr) {
        *error = -EFAULT;
        return Step::kFailed;
    }
    if (util::spanLength(span.position, span.limit, memory.capacity) < 0) {
        *error = -EINVAL;  // a limit past the buffer's capacity would write what lies behind it
        return Step::kFailed;
    }
    entry->iov_base = util::spanStart(memory.address, span.position);
    entry->iov_len = static_cast<size_t>(length);
    return Step::kTaken;
}

}  // namespace

int fillIoVector(JNIEnv *env, const BufferAccess &access, jobjectArray buffers, jint offset, jint length,
                 jlong maxBytes, struct iovec *vector, int capacity) {
    const int entries = vectorEntries(length, capacity);
    if (entries < 0) {
        return -EINVAL;
    }
    int64_t budget = 0;
    for (int i = 0; i < entries; ++i) {
        int error = 0;
        // An index past the largest int wraps to a negative one, which the VM refuses like any
        // other index out of range.
        switch (takeBuffer(env, access, buffers, static_cast<jint>(static_cast<int64_t>(offset) + i), i == 0, maxBytes,
                           &budget, &vector[i], &error)) {
            case Step::kTaken:
                break;
            case Step::kOverBudget:
                return i;
            case Step::kFailed:
                return error;
        }
    }
    return entries;
}

}  // namespace quarn::fd
