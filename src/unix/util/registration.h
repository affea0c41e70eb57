// Building method tables: one row macro for static tables, and dynamic rows whose
// signature is head + package prefix + tail.
#pragma once

#include <jni.h>

// One JNINativeMethod row; the casts are the JNI record's own (char * fields, void * function).
#define QUARN_NATIVE(name, signature, function)                                          \
    JNINativeMethod {                                                                    \
        const_cast<char *>(name), const_cast<char *>(signature), reinterpret_cast<void *>(function) \
    }

#define QUARN_TABLE_SIZE(table) static_cast<jint>(sizeof(table) / sizeof((table)[0]))

namespace quarn::util {

struct DynamicMethod {
    const char *name;
    const char *signatureHead;
    const char *signatureTail;  // put behind the package prefix
    void *fnPtr;
};

// A heap table: the static rows copied in order, then the dynamic rows with heap signatures.
// Null when an allocation fails (everything built so far is freed). Free it with
// quarn_unix_util_free_dynamic_methods_table(table, staticCount, staticCount + dynamicCount).
JNINativeMethod *buildDynamicMethodsTable(const char *packagePrefix, const JNINativeMethod *staticMethods,
                                          jint staticCount, const DynamicMethod *dynamicMethods,
                                          jint dynamicCount);

// Builds the dynamic table, registers it on the prefixed class and frees it exactly once.
// 0 on success; -1 when building failed or the class is missing; otherwise RegisterNatives' result.
jint registerWithDynamicRows(JNIEnv *env, const char *packagePrefix, const char *className,
                             const JNINativeMethod *staticMethods, jint staticCount,
                             const DynamicMethod *dynamicMethods, jint dynamicCount);

}  // namespace quarn::util
