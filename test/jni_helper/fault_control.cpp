// Test-only natives of io.quarn.faults.FaultControl: the control functions of the fault
// injector (test/faults/injector.c), found with dlsym when it is preloaded, and direct calls of
// the product library's load and unload entry points so that one JVM can load it many times.
// Never part of the product library.
#include <dlfcn.h>
#include <jni.h>

#include "errno_names.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

template <typename Function>
Function lookup(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
}

using Count = int (*)();
using Name = const char *(*)(int);
using Arm = void (*)(int, long, int);
using Calls = long (*)(int);
using Fired = long (*)();
using Site = uintptr_t (*)();
using Sites = int (*)(int, uintptr_t *, int);
using OnLoad = jint (*)(JavaVM *, void *);
using OnUnload = void (*)(JavaVM *, void *);

// Calls JNI_OnLoad or JNI_OnUnload of the library at path; the library stays as loaded as it was.
template <typename Entry, typename Call>
bool callEntry(JNIEnv *env, jstring path, const char *symbol, Call call) {
    const char *chars = env->GetStringUTFChars(path, nullptr);
    if (chars == nullptr) {
        return false;
    }
    void *handle = dlopen(chars, RTLD_NOW);
    env->ReleaseStringUTFChars(path, chars);
    if (handle == nullptr) {
        return false;
    }
    auto entry = reinterpret_cast<Entry>(dlsym(handle, symbol));
    JavaVM *vm = nullptr;
    const bool called = entry != nullptr && env->GetJavaVM(&vm) == 0;
    if (called) {
        call(entry, vm);
    }
    dlclose(handle);
    return called;
}

}  // namespace

extern "C" {

JNIEXPORT jboolean JNICALL Java_io_quarn_faults_FaultControl_available(JNIEnv *, jclass) {
    return lookup<Arm>("quarn_fault_arm") != nullptr;
}

JNIEXPORT jint JNICALL Java_io_quarn_faults_FaultControl_functions(JNIEnv *, jclass) {
    auto functions = lookup<Count>("quarn_fault_functions");
    return functions == nullptr ? 0 : functions();
}

JNIEXPORT jint JNICALL Java_io_quarn_faults_FaultControl_ranges(JNIEnv *, jclass) {
    auto ranges = lookup<Count>("quarn_fault_ranges");
    return ranges == nullptr ? 0 : ranges();
}

JNIEXPORT jstring JNICALL Java_io_quarn_faults_FaultControl_name(JNIEnv *env, jclass, jint id) {
    auto name = lookup<Name>("quarn_fault_name");
    const char *text = name == nullptr ? nullptr : name(id);
    return text == nullptr ? nullptr : env->NewStringUTF(text);
}

JNIEXPORT void JNICALL Java_io_quarn_faults_FaultControl_arm(JNIEnv *, jclass, jint id, jlong nth, jint error) {
    auto arm = lookup<Arm>("quarn_fault_arm");
    if (arm != nullptr) {
        arm(id, static_cast<long>(nth), error);
    }
}

JNIEXPORT jlong JNICALL Java_io_quarn_faults_FaultControl_calls(JNIEnv *, jclass, jint id) {
    auto calls = lookup<Calls>("quarn_fault_calls");
    return calls == nullptr ? -1 : calls(id);
}

JNIEXPORT jlong JNICALL Java_io_quarn_faults_FaultControl_fired(JNIEnv *, jclass) {
    auto fired = lookup<Fired>("quarn_fault_fired");
    return fired == nullptr ? 0 : fired();
}

JNIEXPORT jlong JNICALL Java_io_quarn_faults_FaultControl_heldBytes(JNIEnv *, jclass) {
    auto held = lookup<Fired>("quarn_fault_held_bytes");
    return held == nullptr ? -1 : held();
}

JNIEXPORT jlong JNICALL Java_io_quarn_faults_FaultControl_firedSite(JNIEnv *, jclass) {
    auto site = lookup<Site>("quarn_fault_fired_site");
    return site == nullptr ? 0 : static_cast<jlong>(site());
}

JNIEXPORT jlongArray JNICALL Java_io_quarn_faults_FaultControl_sites(JNIEnv *env, jclass, jint id) {
    auto sites = lookup<Sites>("quarn_fault_sites");
    uintptr_t offsets[64];
    const int count = sites == nullptr ? 0 : sites(id, offsets, 64);
    const jsize length = count < 64 ? count : 64;
    jlongArray result = env->NewLongArray(length);
    if (result == nullptr) {
        return nullptr;
    }
    jlong values[64];
    for (jsize i = 0; i < length; i++) {
        values[i] = static_cast<jlong>(offsets[i]);
    }
    env->SetLongArrayRegion(result, 0, length, values);
    return result;
}

// JNI_OnLoad's result, or 0 when the library or its entry point cannot be found.
JNIEXPORT jint JNICALL Java_io_quarn_faults_FaultControl_callOnLoad(JNIEnv *env, jclass, jstring path) {
    jint result = 0;
    callEntry<OnLoad>(env, path, "JNI_OnLoad", [&](OnLoad entry, JavaVM *vm) { result = entry(vm, nullptr); });
    return result;
}

JNIEXPORT jboolean JNICALL Java_io_quarn_faults_FaultControl_callOnUnload(JNIEnv *env, jclass, jstring path) {
    return callEntry<OnUnload>(env, path, "JNI_OnUnload", [](OnUnload entry, JavaVM *vm) { entry(vm, nullptr); });
}

// The platform's value of an errno name the sweep injects.
JNIEXPORT jint JNICALL Java_io_quarn_faults_FaultControl_errno(JNIEnv *env, jclass, jstring name) {
    return errnoByName(env, name);
}

}  // extern "C"
