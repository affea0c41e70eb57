// io/quarn/channel/kqueue/KQueueEventArray: writing change records into the Java side's change
// list, and the event-array module's load and unload.
#include <cstdint>

#include "kqueue/records.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/util/registration.h"

namespace {

// Called once per queued change: a few stores, no check of the address (the Java side owns the
// list and passes addresses inside it), no JNI call.
void evSet(JNIEnv *, jclass, jlong keventAddress, jint ident, jshort filter, jshort flags, jint fflags) {
    quarn::kqueue::writeChangeRecord(reinterpret_cast<void *>(static_cast<intptr_t>(keventAddress)), ident, filter,
                                     flags, fflags);
}

const JNINativeMethod kMethods[] = {
    QUARN_NATIVE("evSet", "(JISSI)V", evSet),
};

}  // namespace

extern "C" jint quarn_kqueue_eventarray_JNI_OnLoad(JNIEnv *env, const char *packagePrefix) {
    return quarn_unix_util_register_natives(env, packagePrefix, "io/quarn/channel/kqueue/KQueueEventArray", kMethods,
                                            QUARN_TABLE_SIZE(kMethods)) == 0
               ? JNI_VERSION_1_6
               : -1;
}

// The module caches nothing, so there is nothing to release.
extern "C" void quarn_kqueue_eventarray_JNI_OnUnLoad(JNIEnv *) {
}
