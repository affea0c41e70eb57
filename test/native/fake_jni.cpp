#include "fake_jni.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>

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
jobject newObjectV(JNIEnv *env, jclass clazz, jmethodID constructor, va_list args) {
    FakeJni &fake = FakeJni::of(env);
    if (fake.exceptionPending) {
        ++fake.callsWithExceptionPending;
    }
    fake.calls.push_back("NewObject " + fake.className(clazz));
    if (fake.newObject) {
        return fake.newObject(clazz, constructor, args);
    }
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

constexpr uintptr_t kArrayBase = 0x100000;

void notePending(FakeJni &fake) {
    if (fake.exceptionPending) {
        ++fake.callsWithExceptionPending;
    }
}

jbyteArray newByteArray(JNIEnv *env, jsize length) {
    FakeJni &fake = FakeJni::of(env);
    notePending(fake);
    fake.calls.push_back("NewByteArray " + std::to_string(length));
    if (fake.newByteArrayFails) {
        fake.thrown.push_back({"java/lang/OutOfMemoryError", "", false});
        fake.exceptionPending = true;
        return nullptr;
    }
    return fake.byteArray(std::vector<jbyte>(static_cast<size_t>(length)));
}

jsize getArrayLength(JNIEnv *env, jarray array) {
    FakeJni &fake = FakeJni::of(env);
    notePending(fake);
    fake.calls.push_back("GetArrayLength");
    return static_cast<jsize>(fake.bytes(array).size());
}

bool regionFits(FakeJni &fake, jobject array, jsize start, jsize length) {
    const auto size = static_cast<jsize>(fake.bytes(array).size());
    if (start < 0 || length < 0 || start > size || length > size - start) {
        fake.thrown.push_back({"java/lang/ArrayIndexOutOfBoundsException", "", false});
        fake.exceptionPending = true;
        return false;
    }
    return true;
}

void getByteArrayRegion(JNIEnv *env, jbyteArray array, jsize start, jsize length, jbyte *out) {
    FakeJni &fake = FakeJni::of(env);
    notePending(fake);
    fake.calls.push_back("GetByteArrayRegion");
    if (regionFits(fake, array, start, length)) {
        std::memcpy(out, fake.bytes(array).data() + start, static_cast<size_t>(length));
    }
}

void setByteArrayRegion(JNIEnv *env, jbyteArray array, jsize start, jsize length, const jbyte *in) {
    FakeJni &fake = FakeJni::of(env);
    notePending(fake);
    fake.calls.push_back("SetByteArrayRegion");
    if (regionFits(fake, array, start, length)) {
        std::memcpy(fake.bytes(array).data() + start, in, static_cast<size_t>(length));
    }
}

jobject newObjectVariadic(JNIEnv *env, jclass clazz, jmethodID constructor, ...) {
    va_list args;
    va_start(args, constructor);
    jobject result = newObjectV(env, clazz, constructor, args);
    va_end(args);
    return result;
}

}  // namespace

FakeJni::FakeJni() {
    functions_.NewByteArray = &newByteArray;
    functions_.GetArrayLength = &getArrayLength;
    functions_.GetByteArrayRegion = &getByteArrayRegion;
    functions_.SetByteArrayRegion = &setByteArrayRegion;
    functions_.NewObject = &newObjectVariadic;
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

jbyteArray FakeJni::byteArray(std::vector<jbyte> contents) {
    arrays_.push_back(std::move(contents));
    return reinterpret_cast<jbyteArray>(kArrayBase + arrays_.size() - 1);
}

std::vector<jbyte> &FakeJni::bytes(jobject array) {
    return arrays_.at(reinterpret_cast<uintptr_t>(array) - kArrayBase);
}

std::string FakeJni::className(jobject handle) const {
    const auto index = reinterpret_cast<uintptr_t>(handle);
    if (index == 0 || index > classes_.size()) {
        return "<object>";
    }
    return classes_[index - 1];
}

}  // namespace quarn::test
