// The exception classes every native throws through, and
// io/quarn/channel/unix/ErrorsStaticallyReferencedJniMethods: the platform's errno values and
// error texts.
#include "unix/errors.h"

#include <errno.h>

#include <cstdlib>

#include "platform/strerror.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/errno_message.h"
#include "unix/util/registration.h"

namespace {

// Global references from the module's load to its unload; null outside that span.
jclass gOutOfMemoryError = nullptr;
jclass gRuntimeException = nullptr;
jclass gChannelException = nullptr;
jclass gClosedChannelException = nullptr;
jmethodID gClosedChannelExceptionInit = nullptr;
jclass gIOException = nullptr;
jclass gPortUnreachableException = nullptr;

char *buildMessage(const char *prefix, int errorNumber) {
    return quarn::errors::buildErrnoMessage(prefix, errorNumber);
}

// The numbers below are the platform's own: the Java side compares negated errno results
// with them, so they must be the very values the system calls put into errno.
jint errnoENOENT(JNIEnv *, jclass) { return ENOENT; }

jint errnoENOTCONN(JNIEnv *, jclass) { return ENOTCONN; }

jint errnoEBADF(JNIEnv *, jclass) { return EBADF; }

jint errnoEPIPE(JNIEnv *, jclass) { return EPIPE; }

jint errnoECONNRESET(JNIEnv *, jclass) { return ECONNRESET; }

jint errnoEAGAIN(JNIEnv *, jclass) { return EAGAIN; }

jint errnoEWOULDBLOCK(JNIEnv *, jclass) { return EWOULDBLOCK; }

jint errnoEINPROGRESS(JNIEnv *, jclass) { return EINPROGRESS; }

jint errorECONNREFUSED(JNIEnv *, jclass) { return ECONNREFUSED; }

jint errorEISCONN(JNIEnv *, jclass) { return EISCONN; }

jint errorEALREADY(JNIEnv *, jclass) { return EALREADY; }

jint errorENETUNREACH(JNIEnv *, jclass) { return ENETUNREACH; }

// The number goes to the system unchanged, sign included: a negative number gets the
// system's text for an unknown number. strerror_r into this call's own buffer gives the same
// text as strerror without strerror's buffer shared between threads.
jstring strError(JNIEnv *env, jclass, jint errorNumber) {
    char text[1024];
    quarn::platform::errorText(errorNumber, text, sizeof(text));
    return env->NewStringUTF(text);
}

const JNINativeMethod kMethods[] = {
    QUARN_NATIVE("errnoENOENT", "()I", errnoENOENT),
    QUARN_NATIVE("errnoENOTCONN", "()I", errnoENOTCONN),
    QUARN_NATIVE("errnoEBADF", "()I", errnoEBADF),
    QUARN_NATIVE("errnoEPIPE", "()I", errnoEPIPE),
    QUARN_NATIVE("errnoECONNRESET", "()I", errnoECONNRESET),
    QUARN_NATIVE("errnoEAGAIN", "()I", errnoEAGAIN),
    QUARN_NATIVE("errnoEWOULDBLOCK", "()I", errnoEWOULDBLOCK),
    QUARN_NATIVE("errnoEINPROGRESS", "()I", errnoEINPROGRESS),
    QUARN_NATIVE("errorECONNREFUSED", "()I", errorECONNREFUSED),
    QUARN_NATIVE("errorEISCONN", "()I", errorEISCONN),
    QUARN_NATIVE("errorEALREADY", "()I", errorEALREADY),
    QUARN_NATIVE("errorENETUNREACH", "()I", errorENETUNREACH),
    QUARN_NATIVE("strError", "(I)Ljava/lang/String;", strError),
};

// Stores a global reference to the class found under name. A missing class leaves nothing
// pending; a failed global reference leaves the VM's exception for the library's load.
bool cacheClass(JNIEnv *env, const char *name, jclass *slot) {
    jclass local = env->FindClass(name);
    if (local == nullptr) {
        env->ExceptionClear();
        return false;
    }
    *slot = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return *slot != nullptr;
}

void releaseClass(JNIEnv *env, jclass *slot) {
    if (*slot != nullptr) {
        env->DeleteGlobalRef(*slot);
        *slot = nullptr;
    }
}

}  // namespace

namespace quarn::errors {

void throwErrorNo(JNIEnv *env, jclass exceptionClass, const char *prefix, int errorNumber, MessageBuilder build) {
    char *message = build(prefix, errorNumber);
    if (message == nullptr) {
        env->ThrowNew(exceptionClass, prefix != nullptr ? prefix : "");
        return;
    }
    env->ThrowNew(exceptionClass, message);
    std::free(message);
}

}  // namespace quarn::errors

extern "C" void quarn_unix_errors_throwRuntimeException(JNIEnv *env, const char *message) {
    env->ThrowNew(gRuntimeException, message);
}

extern "C" void quarn_unix_errors_throwRuntimeExceptionErrorNo(JNIEnv *env, const char *message, int errorNumber) {
    quarn::errors::throwErrorNo(env, gRuntimeException, message, errorNumber, &buildMessage);
}

extern "C" void quarn_unix_errors_throwChannelExceptionErrorNo(JNIEnv *env, const char *message, int errorNumber) {
    quarn::errors::throwErrorNo(env, gChannelException, message, errorNumber, &buildMessage);
}

extern "C" void quarn_unix_errors_throwIOException(JNIEnv *env, const char *message) {
    env->ThrowNew(gIOException, message);
}

extern "C" void quarn_unix_errors_throwPortUnreachableException(JNIEnv *env, const char *message) {
    env->ThrowNew(gPortUnreachableException, message);
}

extern "C" void quarn_unix_errors_throwIOExceptionErrorNo(JNIEnv *env, const char *message, int errorNumber) {
    quarn::errors::throwErrorNo(env, gIOException, message, errorNumber, &buildMessage);
}

extern "C" void quarn_unix_errors_throwClosedChannelException(JNIEnv *env) {
    jobject exception = env->NewObject(gClosedChannelException, gClosedChannelExceptionInit);
    if (exception == nullptr) {
        // NewObject's own exception (an OutOfMemoryError) is the one left pending.
        return;
    }
    env->Throw(static_cast<jthrowable>(exception));
    env->DeleteLocalRef(exception);
}

extern "C" void quarn_unix_errors_throwOutOfMemoryError(JNIEnv *env) {
    // An empty message rather than none, so that getMessage() is "" and not null.
    env->ThrowNew(gOutOfMemoryError, "");
}

namespace {

bool loadErrors(JNIEnv *env, const char *packagePrefix) {
    if (quarn_unix_util_register_natives(env, packagePrefix,
                                         "io/quarn/channel/unix/ErrorsStaticallyReferencedJniMethods", kMethods,
                                         QUARN_TABLE_SIZE(kMethods)) != 0) {
        return false;
    }
    if (!cacheClass(env, "java/lang/OutOfMemoryError", &gOutOfMemoryError) ||
        !cacheClass(env, "java/lang/RuntimeException", &gRuntimeException)) {
        return false;
    }
    char *channelExceptionName = quarn_unix_util_prepend(packagePrefix, "io/quarn/channel/ChannelException");
    if (channelExceptionName == nullptr) {
        return false;
    }
    const bool channelExceptionFound = cacheClass(env, channelExceptionName, &gChannelException);
    quarn_unix_util_free_dynamic_name(&channelExceptionName);
    if (!channelExceptionFound) {
        return false;
    }
    if (!cacheClass(env, "java/nio/channels/ClosedChannelException", &gClosedChannelException)) {
        return false;
    }
    gClosedChannelExceptionInit = env->GetMethodID(gClosedChannelException, "<init>", "()V");
    if (gClosedChannelExceptionInit == nullptr) {
        return false;
    }
    if (!cacheClass(env, "java/io/IOException", &gIOException) ||
        !cacheClass(env, "java/net/PortUnreachableException", &gPortUnreachableException)) {
        return false;
    }
    return true;
}

}  // namespace

extern "C" jint quarn_unix_errors_JNI_OnLoad(JNIEnv *env, const char *packagePrefix) {
    if (!loadErrors(env, packagePrefix)) {
        // The library never unloads a module whose own load failed, so a failed load releases
        // the references it had made (DeleteGlobalRef is safe with an exception pending).
        quarn_unix_errors_JNI_OnUnLoad(env);
        return -1;
    }
    return JNI_VERSION_1_6;
}

extern "C" void quarn_unix_errors_JNI_OnUnLoad(JNIEnv *env) {
    releaseClass(env, &gOutOfMemoryError);
    releaseClass(env, &gRuntimeException);
    releaseClass(env, &gChannelException);
    releaseClass(env, &gIOException);
    releaseClass(env, &gPortUnreachableException);
    releaseClass(env, &gClosedChannelException);
}
