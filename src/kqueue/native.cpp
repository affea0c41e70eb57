// io/quarn/channel/kqueue/Native: kqueue creation, the event loop's wait, user events, and the
// layout of the kevent record that the Java side reads and writes in its own memory.
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "kqueue/modules.h"
#include "kqueue/records.h"
#include "kqueue/timed_wait.h"
#include "platform/event.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/util/registration.h"
#include "unix/util/time.h"

namespace {

// The Java side addresses records only through the numbers below, so the platform's record must
// have exactly this layout.
static_assert(sizeof(struct kevent) == 64);
static_assert(offsetof(struct kevent, ident) == 0);
static_assert(offsetof(struct kevent, filter) == 8);
static_assert(offsetof(struct kevent, flags) == 10);
static_assert(offsetof(struct kevent, fflags) == 12);
static_assert(offsetof(struct kevent, data) == 16);

struct kevent *recordsAt(jlong address) {
    return reinterpret_cast<struct kevent *>(static_cast<intptr_t>(address));
}

jint kqueueCreate(JNIEnv *env, jclass) {
    const int kq = quarn::platform::kqueue();
    if (kq < 0) {
        const int error = errno;
        quarn_unix_errors_throwChannelExceptionErrorNo(env, "kqueue() failed: ", error);
    }
    return kq;
}

int submitOne(jint kq, const struct kevent &change) {
    return quarn::kqueue::submitUserEvent(
        [kq](const struct kevent *record) { return quarn::platform::kevent(kq, record, 1, nullptr, 0, nullptr); },
        change);
}

jint keventTriggerUserEvent(JNIEnv *, jclass, jint kq, jint ident) {
    return submitOne(kq, quarn::kqueue::triggerUserEventRecord(ident));
}

jint keventAddUserEvent(JNIEnv *, jclass, jint kq, jint ident) {
    return submitOne(kq, quarn::kqueue::addUserEventRecord(ident));
}

jint keventWait(JNIEnv *, jclass, jint kq, jlong changeListAddress, jint changeCount, jlong eventListAddress,
                jint eventCapacity, jint timeoutSeconds, jint timeoutNanoseconds) {
    const struct kevent *changes = recordsAt(changeListAddress);
    struct kevent *events = recordsAt(eventListAddress);
    const clockid_t clock = quarn::util::waitClock();
    return quarn::kqueue::waitRetryingInterrupts(
        [&](int count, const struct timespec *timeout) {
            return quarn::platform::kevent(kq, changes, count, events, eventCapacity, timeout);
        },
        // The clock was proven to work at load, so its result is not checked here.
        [clock](struct timespec *now) { quarn_unix_util_clock_gettime(clock, now); }, changeCount,
        timeoutSeconds, timeoutNanoseconds);
}

jint sizeofKEvent(JNIEnv *, jclass) {
    return sizeof(struct kevent);
}

jint offsetofKEventIdent(JNIEnv *, jclass) {
    return offsetof(struct kevent, ident);
}

jint offsetofKEventFlags(JNIEnv *, jclass) {
    return offsetof(struct kevent, flags);
}

jint offsetofKEventFFlags(JNIEnv *, jclass) {
    return offsetof(struct kevent, fflags);
}

jint offsetofKEventFilter(JNIEnv *, jclass) {
    return offsetof(struct kevent, filter);
}

jint offsetofKeventData(JNIEnv *, jclass) {
    return offsetof(struct kevent, data);
}

}  // namespace

namespace quarn::kqueue {

const JNINativeMethod kNativeMethods[] = {
    QUARN_NATIVE("kqueueCreate", "()I", kqueueCreate),
    QUARN_NATIVE("keventTriggerUserEvent", "(II)I", keventTriggerUserEvent),
    QUARN_NATIVE("keventAddUserEvent", "(II)I", keventAddUserEvent),
    QUARN_NATIVE("keventWait", "(IJIJIII)I", keventWait),
    QUARN_NATIVE("sizeofKEvent", "()I", sizeofKEvent),
    QUARN_NATIVE("offsetofKEventIdent", "()I", offsetofKEventIdent),
    QUARN_NATIVE("offsetofKEventFlags", "()I", offsetofKEventFlags),
    QUARN_NATIVE("offsetofKEventFFlags", "()I", offsetofKEventFFlags),
    QUARN_NATIVE("offsetofKEventFilter", "()I", offsetofKEventFilter),
    QUARN_NATIVE("offsetofKeventData", "()I", offsetofKeventData),
};

const jint kNativeMethodCount = QUARN_TABLE_SIZE(kNativeMethods);

}  // namespace quarn::kqueue
