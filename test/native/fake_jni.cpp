#include "fake_jni.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <map>

namespace quarn::test {

namespace {

std::map<const void *, FakeJni *> &owners() {
    static std::map<const void *, FakeJni *> map;
    return map;
}

jclass findClass(JNIEnv *env, const char *name) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back(std::string("FindClass ") + name);
    if (fake.missingClasses.count(name) != 0) {
        fake.exceptionPending = true;
        return nullptr;
    }
    return fake.classHandle(name);
}

jint registerNatives(JNIEnv *env, jclass clazz, const JNINativeMethod *methods, jint count) {
    FakeJni &fake = FakeJni::of(env);
    FakeJni::Registration registration{fake.className(clazz), {}, {}};
    for (jint i = 0; i < count; ++i) {
        registration.names.emplace_back(methods[i].name);
        registration.signatures.emplace_back(methods[i].signature);
    }
    fake.calls.push_back("RegisterNatives " + registration.className);
    if (fake.failingRegistrations.count(registration.className) != 0) {
        fake.exceptionPending = true;
        return -1;
    }
    fake.registrations.push_back(registration);
    return 0;
}

jobject newGlobalRef(JNIEnv *env, jobject object) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("NewGlobalRef " + fake.className(object));
    if (fake.globalRefFails) {
        return nullptr;
    }
    ++fake.liveGlobalRefs;
    return object;
}

void deleteGlobalRef(JNIEnv *env, jobject object) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("DeleteGlobalRef " + fake.className(object));
    --fake.liveGlobalRefs;
}

void deleteLocalRef(JNIEnv *env, jobject) {
    FakeJni::of(env).calls.push_back("DeleteLocalRef");
}

jmethodID getMethodID(JNIEnv *env, jclass clazz, const char *name, const char *sig) {
    FakeJni &fake = FakeJni::of(env);
    std::string key = std::string(name) + ":" + sig;
    fake.calls.push_back("GetMethodID " + fake.className(clazz) + " " + key);
    if (fake.missingMembers.count(key) != 0) {
        fake.exceptionPending = true;
        return nullptr;
    }
    return reinterpret_cast<jmethodID>(static_cast<uintptr_t>(0x1000 + fake.calls.size()));
}

jfieldID getFieldID(JNIEnv *env, jclass clazz, const char *name, const char *sig) {
    FakeJni &fake = FakeJni::of(env);
    std::string key = std::string(name) + ":" + sig;
    fake.calls.push_back("GetFieldID " + fake.className(clazz) + " " + key);
    if (fake.missingMembers.count(key) != 0) {
        fake.exceptionPending = true;
        return nullptr;
    }
    return reinterpret_cast<jfieldID>(static_cast<uintptr_t>(0x2000 + fake.calls.size()));
}

void exceptionClear(JNIEnv *env) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("ExceptionClear");
    fake.exceptionPending = false;
}

jboolean exceptionCheck(JNIEnv *env) {
    return FakeJni::of(env).exceptionPending ? JNI_TRUE : JNI_FALSE;
}

jint throwNew(JNIEnv *env, jclass clazz, const char *message) {
    FakeJni &fake = FakeJni::of(env);
    fake.thrown.push_back({fake.className(clazz), message == nullptr ? "" : message, message != nullptr});
    fake.exceptionPending = true;
    return 0;
}

// An object is represented by its class's handle, so that Throw can record the class.
jobject newObjectV(JNIEnv *env, jclass clazz, jmethodID, va_list) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("NewObject " + fake.className(clazz));
    if (fake.newObjectFails) {
        fake.exceptionPending = true;
        return nullptr;
    }
    return clazz;
}

jint throwObject(JNIEnv *env, jthrowable object) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("Throw " + fake.className(object));
    fake.thrown.push_back({fake.className(object), "", false});
    fake.exceptionPending = true;
    return 0;
}

jint getEnv(JavaVM *vm, void **penv, jint) {
    FakeJni &fake = FakeJni::of(vm);
    if (fake.getEnvFails) {
        *penv = nullptr;
        return JNI_EDETACHED;
    }
    *penv = fake.env();
    return JNI_OK;
}

}  // namespace

FakeJni::FakeJni() {
    functions_.FindClass = &findClass;
    functions_.RegisterNatives = &registerNatives;
    functions_.NewGlobalRef = &newGlobalRef;
    functions_.DeleteGlobalRef = &deleteGlobalRef;
    functions_.DeleteLocalRef = &deleteLocalRef;
    functions_.GetMethodID = &getMethodID;
    functions_.GetFieldID = &getFieldID;
    functions_.ExceptionClear = &exceptionClear;
    functions_.ExceptionCheck = &exceptionCheck;
    functions_.ThrowNew = &throwNew;
    functions_.NewObjectV = &newObjectV;
    functions_.Throw = &throwObject;
    invoke_.GetEnv = &getEnv;
    env_.functions = &functions_;
    vm_.functions = &invoke_;
    owners()[&env_] = this;
    owners()[&vm_] = this;
}

FakeJni::~FakeJni() {
    owners().erase(&env_);
    owners().erase(&vm_);
}

FakeJni &FakeJni::of(JNIEnv *env) {
    return *owners().at(env);
}

FakeJni &FakeJni::of(JavaVM *vm) {
    return *owners().at(vm);
}

jclass FakeJni::classHandle(const std::string &name) {
    for (size_t i = 0; i < classes_.size(); ++i) {
        if (classes_[i] == name) {
            return reinterpret_cast<jclass>(static_cast<uintptr_t>(i + 1));
        }
    }
    classes_.push_back(name);
    return reinterpret_cast<jclass>(static_cast<uintptr_t>(classes_.size()));
}

std::string FakeJni::className(jobject handle) const {
    const auto index = reinterpret_cast<uintptr_t>(handle);
    if (index == 0 || index > classes_.size()) {
        return "<object>";
    }
    return classes_[index - 1];
}

}  // namespace quarn::test
