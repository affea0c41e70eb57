// Building the vector of a gathering write from an array of direct buffers.
#pragma once

#include <jni.h>
#include <sys/uio.h>

namespace quarn::fd {

// How a buffer's position and limit are read: through the int field when the VM has it,
// otherwise through the method. Each value chooses on its own, so four combinations exist.
struct BufferAccess {
    jmethodID positionMethod;
    jmethodID limitMethod;
    jfieldID positionField;  // may be null
    jfieldID limitField;     // may be null
};

// Fills vector (capacity entries) from buffers[offset ...], each entry spanning a buffer's
// position to its limit, within the budget of writev_budget.h and at most capacity entries.
// Returns the number of entries, or a negated errno without any entry to write:
//   -EINVAL  length is negative, an element is null, or an element's position is negative
//            or above its limit, or a limit of an element it takes is past its capacity;
//   -EFAULT  an element is not a direct buffer (it has no native address);
//   -EINVAL  with the VM's exception pending, when a JNI call raised (an index out of range,
//            a failing method); no JNI call but DeleteLocalRef follows it.
// Each element's local reference is released as soon as its entry is built.
int fillIoVector(JNIEnv *env, const BufferAccess &access, jobjectArray buffers, jint offset, jint length,
                 jlong maxBytes, struct iovec *vector, int capacity);

}  // namespace quarn::fd
