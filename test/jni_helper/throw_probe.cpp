// Test-only natives of io.quarn.test.ThrowProbe: call the product library's exported throw
// functions from Java, in whichever loaded copy of the library (plain or shaded) is named.
// Never part of the product library.
#include <dlfcn.h>
#include <jni.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using ThrowErrorNo = void (*)(JNIEnv *, const char *, int);
using ThrowMessage = void (*)(JNIEnv *, const char *);
using ThrowPlain = void (*)(JNIEnv *);

bool endsWith(const std::string &text, const char *suffix) {
    const size_t length = std::strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

void illegalArgument(JNIEnv *env, const std::string &message) {
    jclass type = env->FindClass("java/lang/IllegalArgumentException");
    if (type != nullptr) {
        env->ThrowNew(type, message.c_str());
    }
}

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_io_quarn_test_ThrowProbe_bind(JNIEnv *env, jclass, jstring path) {
    const char *chars = env->GetStringUTFChars(path, nullptr);
    if (chars == nullptr) {
        return 0;
    }
    // The JVM has loaded the library already; this only takes another reference to it.
    void *handle = dlopen(chars, RTLD_LAZY | RTLD_NOLOAD);
    env->ReleaseStringUTFChars(path, chars);
    return static_cast<jlong>(reinterpret_cast<intptr_t>(handle));
}

extern "C" JNIEXPORT void JNICALL Java_io_quarn_test_ThrowProbe_call(JNIEnv *env, jclass, jlong handle,
                                                                     jstring function, jstring message,
                                                                     jint errorNumber) {
    const char *chars = env->GetStringUTFChars(function, nullptr);
    if (chars == nullptr) {
        return;
    }
    const std::string name = std::string("quarn_unix_errors_") + chars;
    env->ReleaseStringUTFChars(function, chars);
    void *symbol = dlsym(reinterpret_cast<void *>(static_cast<intptr_t>(handle)), name.c_str());
    if (symbol == nullptr) {
        illegalArgument(env, "no such function: " + name);
        return;
    }
    if (name.find("ClosedChannelException") != std::string::npos ||
        name.find("OutOfMemoryError") != std::string::npos) {
        reinterpret_cast<ThrowPlain>(symbol)(env);
        return;
    }
    const char *text = message == nullptr ? nullptr : env->GetStringUTFChars(message, nullptr);
    if (message != nullptr && text == nullptr) {
        return;
    }
    if (endsWith(name, "ErrorNo")) {
        reinterpret_cast<ThrowErrorNo>(symbol)(env, text, errorNumber);
    } else {
        reinterpret_cast<ThrowMessage>(symbol)(env, text);
    }
    if (text != nullptr) {
        // Releasing UTF characters is allowed while the thrown exception is pending.
        env->ReleaseStringUTFChars(message, text);
    }
}
