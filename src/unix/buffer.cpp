// io/quarn/channel/unix/Buffer: direct-buffer addresses and the size of a native address.
#include "quarn_transport_native_kqueue.h"
#include "unix/util/registration.h"

namespace {

jlong memoryAddress0(JNIEnv *env, jclass, jobject buffer) {
    // Zero when the object is not a direct buffer (null included, which the VM's lookup would
    // dereference); no exception of the library's own.
    if (buffer == nullptr) {
        return 0;
    }
    return static_cast<jlong>(reinterpret_cast<intptr_t>(env->GetDirectBufferAddress(buffer)));
}

jint addressSize0(JNIEnv *, jclass) {
    return sizeof(void *);
}

const JNINativeMethod kMethods[] = {
    QUARN_NATIVE("memoryAddress0", "(Ljava/nio/ByteBuffer;)J", memoryAddress0),
    QUARN_NATIVE("addressSize0", "()I", addressSize0),
};

}  // namespace

extern "C" jint quarn_unix_buffer_JNI_OnLoad(JNIEnv *env, const char *packagePrefix) {
    return quarn_unix_util_register_natives(env, packagePrefix, "io/quarn/channel/unix/Buffer", kMethods,
                                            QUARN_TABLE_SIZE(kMethods)) == 0
               ? JNI_VERSION_1_6
               : -1;
}

extern "C" void quarn_unix_buffer_JNI_OnUnLoad(JNIEnv *) {
}
