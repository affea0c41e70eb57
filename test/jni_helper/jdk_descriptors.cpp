// Test-only native of io.quarn.test.JdkDescriptors: the descriptor number behind a JDK
// channel. JNI field access is not subject to the module system, so the tests need no
// --add-opens to reach the JDK's private fd fields. Never part of the product library.
#include <jni.h>

extern "C" JNIEXPORT jint JNICALL Java_io_quarn_test_JdkDescriptors_of(JNIEnv *env, jclass, jobject channel) {
    jclass type = env->GetObjectClass(channel);
    // SocketChannelImpl, ServerSocketChannelImpl, FileChannelImpl and the pipe channels all
    // keep a java.io.FileDescriptor in a field named fd, declared on the class or a superclass.
    jfieldID holderField = env->GetFieldID(type, "fd", "Ljava/io/FileDescriptor;");
    if (holderField == nullptr) {
        return -1;  // NoSuchFieldError pending
    }
    jobject holder = env->GetObjectField(channel, holderField);
    if (holder == nullptr) {
        return -1;
    }
    jclass holderType = env->GetObjectClass(holder);
    jfieldID numberField = env->GetFieldID(holderType, "fd", "I");
    if (numberField == nullptr) {
        return -1;
    }
    return env->GetIntField(holder, numberField);
}
