// io/quarn/channel/unix/LimitsStaticallyReferencedJniMethods: fixed system limits and sizes.
#include <sys/un.h>

#include "platform/limits.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/util/registration.h"

namespace {

jlong ssizeMax(JNIEnv *, jclass) {
    return SSIZE_MAX;
}

jint iovMax(JNIEnv *, jclass) {
    return quarn::platform::kIovMax;
}

jint uioMaxIov(JNIEnv *, jclass) {
    return quarn::platform::kUioMaxIov;
}

jint sizeOfjlong(JNIEnv *, jclass) {
    return sizeof(jlong);
}

jint udsSunPathSize(JNIEnv *, jclass) {
    return sizeof(sockaddr_un::sun_path);
}

const JNINativeMethod kMethods[] = {
    QUARN_NATIVE("ssizeMax", "()J", ssizeMax),
    QUARN_NATIVE("iovMax", "()I", iovMax),
    QUARN_NATIVE("uioMaxIov", "()I", uioMaxIov),
    QUARN_NATIVE("sizeOfjlong", "()I", sizeOfjlong),
    QUARN_NATIVE("udsSunPathSize", "()I", udsSunPathSize),
};

}  // namespace

extern "C" jint quarn_unix_limits_JNI_OnLoad(JNIEnv *env, const char *packagePrefix) {
    return quarn_unix_util_register_natives(env, packagePrefix, "io/quarn/channel/unix/LimitsStaticallyReferencedJniMethods",
                                            kMethods, QUARN_TABLE_SIZE(kMethods)) == 0
               ? JNI_VERSION_1_6
               : -1;
}

extern "C" void quarn_unix_limits_JNI_OnUnLoad(JNIEnv *) {
}
