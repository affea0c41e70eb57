// A scripted JNI environment for testing module loads and throw paths without a JVM.
// Classes, methods and fields are fake handles; every call is recorded by name.
#pragma once

#include <jni.h>

#include <cstdarg>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace quarn::test {

class FakeJni {
public:
    FakeJni();
    ~FakeJni();
    FakeJni(const FakeJni &) = delete;
    FakeJni &operator=(const FakeJni &) = delete;

    JNIEnv *env() { return &env_; }
    JavaVM *vm() { return &vm_; }

    // The fake of a JNIEnv or JavaVM that this object made.
    static FakeJni &of(JNIEnv *env);
    static FakeJni &of(JavaVM *vm);

    // Scripted answers.
    std::set<std::string> missingClasses;   // FindClass answers null and raises
    std::set<std::string> missingMembers;   // GetMethodID/GetFieldID answer null and raise ("name:sig")
    std::set<std::string> failingRegistrations;  // RegisterNatives answers -1 for these classes
    bool getEnvFails = false;
    bool globalRefFails = false;
    bool newObjectFails = false;  // NewObject answers null and raises an OutOfMemoryError

    // Direct buffers and an object array of them. bufferHandle(i) is buffers[i]; an array
    // element of -1 is a null element; GetObjectArrayElement outside arrayElements raises.
    // GetIntField and CallIntMethod answer "position" and "limit" by the member's name;
    // a method named in failingMethods raises instead. A null address is a heap buffer.
    struct Buffer {
        void *address;
        jint position;
        jint limit;
        jlong capacity = 1 << 20;  // GetDirectBufferCapacity; -1 for a heap buffer
    };
    std::vector<Buffer> buffers;
    std::vector<int> arrayElements;
    std::set<std::string> failingMethods;
    bool newDirectBufferFails = false;   // NewDirectByteBuffer answers null
    bool directAddressUnsupported = false;  // GetDirectBufferAddress answers null for every buffer
    std::string directBufferClass = "java/nio/DirectByteBuffer";  // GetObjectClass of a buffer
    jobject bufferHandle(size_t index) const;
    int bufferIndex(jobject handle) const;  // -1 when handle is no buffer
    std::map<jfieldID, std::string> fieldNames;     // what GetFieldID handed out
    std::map<jmethodID, std::string> methodNames;   // what GetMethodID handed out

    // Java strings: GetStringUTFChars answers their text, or null and raises when
    // stringCharsFail is set; ReleaseStringUTFChars is recorded.
    jstring string(const std::string &text);
    bool stringCharsFail = false;
    std::vector<std::string> strings;

    // Recorded effects.
    struct Registration {
        std::string className;
        std::vector<std::string> names;
        std::vector<std::string> signatures;
        std::vector<void *> functions;
    };
    std::vector<std::string> calls;  // e.g. "FindClass io/quarn/channel/unix/Socket"
    std::vector<Registration> registrations;
    struct Thrown {
        std::string className;
        std::string message;
        bool hasMessage;
    };
    std::vector<Thrown> thrown;
    int liveGlobalRefs = 0;
    bool exceptionPending = false;

    // Handles the fake hands out.
    jclass classHandle(const std::string &name);
    std::string className(jobject handle) const;

    // Java byte arrays. NewByteArray, GetArrayLength, Get/SetByteArrayRegion work on them;
    // a region outside the array raises ArrayIndexOutOfBoundsException as the VM does.
    jbyteArray byteArray(std::vector<jbyte> contents);
    std::vector<jbyte> &bytes(jobject array);
    bool newByteArrayFails = false;  // NewByteArray answers null and raises OutOfMemoryError
    // Calls of the array and object functions made while an exception was pending (each is
    // a JNI error that -Xcheck:jni reports).
    int callsWithExceptionPending = 0;
    // NewObject/NewObjectV: answered by this hook when set (it may set exceptionPending),
    // else as newObjectFails says.
    std::function<jobject(jclass, jmethodID, va_list)> newObject;

private:
    JNINativeInterface_ functions_{};
    JNIInvokeInterface_ invoke_{};
    JNIEnv env_{};
    JavaVM vm_{};
    std::vector<std::string> classes_;  // handle i + 1 is classes_[i]
    std::vector<std::vector<jbyte>> arrays_;  // handle kArrayBase + i is arrays_[i]
};

}  // namespace quarn::test
