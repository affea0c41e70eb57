// io/quarn/channel/kqueue/KQueueStaticallyReferencedJniMethods: the event filter, flag and note
// values the Java side puts into change records and tests in returned events. They are
// FreeBSD's values on every platform: the Linux kqueue layer defines them so.
#include <cstdint>

#include "kqueue/modules.h"
#include "platform/event.h"
#include "unix/util/registration.h"

namespace {

// Each value is handed over as its 16-bit pattern: EV_EOF (0x8000) becomes the short -32768, so
// that the Java side can test the bit in a flags field that it reads as a short.
constexpr jshort shortPattern(long value) {
    return static_cast<jshort>(static_cast<uint16_t>(value));
}

jshort evfiltRead(JNIEnv *, jclass) {
    return shortPattern(EVFILT_READ);
}

jshort evfiltWrite(JNIEnv *, jclass) {
    return shortPattern(EVFILT_WRITE);
}

jshort evfiltUser(JNIEnv *, jclass) {
    return shortPattern(EVFILT_USER);
}

// FreeBSD has no socket filter and none of its notes (read side closed, connection reset,
// disconnected); the Java side takes 0 as "not available".
jshort evfiltSock(JNIEnv *, jclass) {
    return 0;
}

jshort evAdd(JNIEnv *, jclass) {
    return shortPattern(EV_ADD);
}

jshort evEnable(JNIEnv *, jclass) {
    return shortPattern(EV_ENABLE);
}

jshort evDisable(JNIEnv *, jclass) {
    return shortPattern(EV_DISABLE);
}

jshort evDelete(JNIEnv *, jclass) {
    return shortPattern(EV_DELETE);
}

jshort evClear(JNIEnv *, jclass) {
    return shortPattern(EV_CLEAR);
}

jshort evEOF(JNIEnv *, jclass) {
    return shortPattern(EV_EOF);
}

jshort evError(JNIEnv *, jclass) {
    return shortPattern(EV_ERROR);
}

jshort noteReadClosed(JNIEnv *, jclass) {
    return 0;
}

jshort noteConnReset(JNIEnv *, jclass) {
    return 0;
}

jshort noteDisconnected(JNIEnv *, jclass) {
    return 0;
}

}  // namespace

namespace quarn::kqueue {

const JNINativeMethod kStaticallyReferencedMethods[] = {
    QUARN_NATIVE("evfiltRead", "()S", evfiltRead),
    QUARN_NATIVE("evfiltWrite", "()S", evfiltWrite),
    QUARN_NATIVE("evfiltUser", "()S", evfiltUser),
    QUARN_NATIVE("evfiltSock", "()S", evfiltSock),
    QUARN_NATIVE("evAdd", "()S", evAdd),
    QUARN_NATIVE("evEnable", "()S", evEnable),
    QUARN_NATIVE("evDisable", "()S", evDisable),
    QUARN_NATIVE("evDelete", "()S", evDelete),
    QUARN_NATIVE("evClear", "()S", evClear),
    QUARN_NATIVE("evEOF", "()S", evEOF),
    QUARN_NATIVE("evError", "()S", evError),
    QUARN_NATIVE("noteReadClosed", "()S", noteReadClosed),
    QUARN_NATIVE("noteConnReset", "()S", noteConnReset),
    QUARN_NATIVE("noteDisconnected", "()S", noteDisconnected),
};

const jint kStaticallyReferencedMethodCount = QUARN_TABLE_SIZE(kStaticallyReferencedMethods);

}  // namespace quarn::kqueue
