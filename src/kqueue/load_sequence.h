// The library's load order as data: rows walked in order by load, unload and rollback.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdio>
#include <time.h>

namespace quarn::load {

// Either a direct registration of methods (load null) or a module with a load/unload pair.
// className is the class the row registers natives on (before the package prefix).
struct ModuleRow {
    const char *className;
    const JNINativeMethod *methods;
    jint methodCount;
    jint (*load)(JNIEnv *env, const char *packagePrefix);
    void (*unload)(JNIEnv *env);
};

constexpr ModuleRow registrationRow(const char *className, const JNINativeMethod *methods, jint count) {
    return ModuleRow{className, methods, count, nullptr, nullptr};
}

constexpr ModuleRow moduleRow(jint (*load)(JNIEnv *, const char *), void (*unload)(JNIEnv *),
                              const char *className) {
    return ModuleRow{className, nullptr, 0, load, unload};
}

struct LoadSequence {
    const ModuleRow *rows;
    size_t rowCount;
    // The path of the library's own file, or null when the system cannot tell.
    const char *(*libraryPath)();
    bool (*initializeWaitClock)(clockid_t *clockId);
    clockid_t *waitClock;
    FILE *errorStream;
};

// Walks the rows in order; on a failure unloads the rows loaded before it, in table order,
// unregisters the natives of every row up to the failed one (unregisterRows), and returns
// -1. 0 when every row loaded.
jint loadRows(JNIEnv *env, const char *packagePrefix, const ModuleRow *rows, size_t rowCount);

// Unregisters the natives on the rows' classes. The VM unmaps a library whose load failed,
// and a native left registered would then jump into unmapped memory; unregistered, a call
// raises UnsatisfiedLinkError. The exception pending on entry (the failure's) is pending
// again on return; a class that cannot be found is passed over.
void unregisterRows(JNIEnv *env, const char *packagePrefix, const ModuleRow *rows, size_t rowCount);

// Calls every unload the rows have, in table order.
void unloadRows(JNIEnv *env, const ModuleRow *rows, size_t rowCount);

// The whole load: environment, own path, package prefix, rows, wait clock.
// JNI_VERSION_1_6 or -1 (JNI_ERR).
jint loadLibrary(JavaVM *vm, const LoadSequence &sequence);

void unloadLibrary(JavaVM *vm, const LoadSequence &sequence);

}  // namespace quarn::load
