// A scripted JNI environment for testing module loads and throw paths without a JVM.
// Classes, methods and fields are fake handles; every call is recorded by name.
#pragma once

#include <jni.h>

#include <cstdarg>
#include <functional>
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

    // Recorded effects.
    struct Registration {
        std::string className;
        std::vector<std::string> names;
        std::vector<std::string> signatures;
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
