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
    FakeJni::Registration registration{fake.className(clazz), {}, {}, {}};
    for (jint i = 0; i < count; ++i) {
        registration.names.emplace_back(methods[i].name);
        registration.signatures.emplace_back(methods[i].signature);
        registration.functions.push_back(methods[i].fnPtr);
    }
    fake.calls.push_back("RegisterNatives " + registration.className);
    if (fake.failingRegistrations.count(registration.className) != 0) {
        fake.exceptionPending = true;
        return -1;
    }
    fake.registrations.push_back(registration);
    return 0;
}

jint unregisterNatives(JNIEnv *env, jclass clazz) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("UnregisterNatives " + fake.className(clazz));
    return 0;
}

// The pending exception is represented by the handle of a class named after it.
jthrowable exceptionOccurred(JNIEnv *env) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("ExceptionOccurred");
    return fake.exceptionPending ? reinterpret_cast<jthrowable>(fake.classHandle("<pending exception>")) : nullptr;
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
    const auto id = reinterpret_cast<jmethodID>(static_cast<uintptr_t>(0x1000 + fake.calls.size()));
    fake.methodNames[id] = name;
    return id;
}

jfieldID getFieldID(JNIEnv *env, jclass clazz, const char *name, const char *sig) {
    FakeJni &fake = FakeJni::of(env);
    std::string key = std::string(name) + ":" + sig;
    fake.calls.push_back("GetFieldID " + fake.className(clazz) + " " + key);
    if (fake.missingMembers.count(key) != 0) {
        fake.exceptionPending = true;
        return nullptr;
    }
    const auto id = reinterpret_cast<jfieldID>(static_cast<uintptr_t>(0x2000 + fake.calls.size()));
    fake.fieldNames[id] = name;
    return id;
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

jint bufferValue(const FakeJni::Buffer &buffer, const std::string &name) {
    return name == "position" ? buffer.position : name == "limit" ? buffer.limit : -1;
}

jobject getObjectArrayElement(JNIEnv *env, jobjectArray, jsize index) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("GetObjectArrayElement " + std::to_string(index));
    if (index < 0 || static_cast<size_t>(index) >= fake.arrayElements.size()) {
        fake.exceptionPending = true;
        return nullptr;
    }
    const int element = fake.arrayElements[static_cast<size_t>(index)];
    return element < 0 ? nullptr : fake.bufferHandle(static_cast<size_t>(element));
}

jint getIntField(JNIEnv *env, jobject object, jfieldID field) {
    FakeJni &fake = FakeJni::of(env);
    const std::string name = fake.fieldNames.count(field) != 0 ? fake.fieldNames.at(field) : "?";
    fake.calls.push_back("GetIntField " + name);
    const int index = fake.bufferIndex(object);
    return index < 0 ? -1 : bufferValue(fake.buffers[static_cast<size_t>(index)], name);
}

jint callIntMethodV(JNIEnv *env, jobject object, jmethodID method, va_list) {
    FakeJni &fake = FakeJni::of(env);
    const std::string name = fake.methodNames.count(method) != 0 ? fake.methodNames.at(method) : "?";
    fake.calls.push_back("CallIntMethod " + name);
    if (fake.failingMethods.count(name) != 0) {
        fake.exceptionPending = true;
        return 0;
    }
    const int index = fake.bufferIndex(object);
    return index < 0 ? -1 : bufferValue(fake.buffers[static_cast<size_t>(index)], name);
}

// The buffer NewDirectByteBuffer makes is kept as one more entry of buffers.
jobject newDirectByteBuffer(JNIEnv *env, void *address, jlong) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("NewDirectByteBuffer");
    if (fake.newDirectBufferFails) {
        fake.exceptionPending = true;
        return nullptr;
    }
    fake.buffers.push_back({address, 0, 1});
    return fake.bufferHandle(fake.buffers.size() - 1);
}

void *getDirectBufferAddress(JNIEnv *env, jobject object) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("GetDirectBufferAddress");
    const int index = fake.bufferIndex(object);
    if (index < 0 || fake.directAddressUnsupported) {
        return nullptr;
    }
    return fake.buffers[static_cast<size_t>(index)].address;
}

jlong getDirectBufferCapacity(JNIEnv *env, jobject object) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("GetDirectBufferCapacity");
    const int index = fake.bufferIndex(object);
    if (index < 0 || fake.buffers[static_cast<size_t>(index)].address == nullptr) {
        return -1;
    }
    return fake.buffers[static_cast<size_t>(index)].capacity;
}

constexpr uintptr_t kStringBase = 0x300000;

const char *getStringUTFChars(JNIEnv *env, jstring string, jboolean *isCopy) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("GetStringUTFChars");
    if (isCopy != nullptr) {
        *isCopy = JNI_FALSE;
    }
    if (fake.stringCharsFail) {
        fake.exceptionPending = true;
        return nullptr;
    }
    return fake.strings.at(reinterpret_cast<uintptr_t>(string) - kStringBase).c_str();
}

void releaseStringUTFChars(JNIEnv *env, jstring, const char *) {
    FakeJni::of(env).calls.push_back("ReleaseStringUTFChars");
}

jclass getObjectClass(JNIEnv *env, jobject) {
    FakeJni &fake = FakeJni::of(env);
    fake.calls.push_back("GetObjectClass");
    return fake.classHandle(fake.directBufferClass);
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
    if (regionFits(fake, array, start, length) && length > 0) {
        std::memcpy(out, fake.bytes(array).data() + start, static_cast<size_t>(length));
    }
}

void setByteArrayRegion(JNIEnv *env, jbyteArray array, jsize start, jsize length, const jbyte *in) {
    FakeJni &fake = FakeJni::of(env);
    notePending(fake);
    fake.calls.push_back("SetByteArrayRegion");
    if (regionFits(fake, array, start, length) && length > 0) {
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
    functions_.UnregisterNatives = &unregisterNatives;
    functions_.ExceptionOccurred = &exceptionOccurred;
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
    functions_.GetObjectArrayElement = &getObjectArrayElement;
    functions_.GetIntField = &getIntField;
    functions_.CallIntMethodV = &callIntMethodV;
    functions_.NewDirectByteBuffer = &newDirectByteBuffer;
    functions_.GetDirectBufferAddress = &getDirectBufferAddress;
    functions_.GetDirectBufferCapacity = &getDirectBufferCapacity;
    functions_.GetObjectClass = &getObjectClass;
    functions_.GetStringUTFChars = &getStringUTFChars;
    functions_.ReleaseStringUTFChars = &releaseStringUTFChars;
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

jstring FakeJni::string(const std::string &text) {
    strings.push_back(text);
    return reinterpret_cast<jstring>(kStringBase + strings.size() - 1);
}

// Buffer handles lie above class and array handles, so that none of them meet.
jobject FakeJni::bufferHandle(size_t index) const {
    return reinterpret_cast<jobject>(static_cast<uintptr_t>(0x200000 + index));
}

int FakeJni::bufferIndex(jobject handle) const {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (value < 0x200000 || value - 0x200000 >= buffers.size()) {
        return -1;
    }
    return static_cast<int>(value - 0x200000);
}

}  // namespace quarn::test
