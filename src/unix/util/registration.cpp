// Prefixed names, native registration and the dynamic method tables whose signatures
// embed the package prefix.
#include <cstdlib>
#include <cstring>

#include "quarn_transport_native_kqueue.h"
#include "unix/util/registration.h"

extern "C" char *quarn_unix_util_prepend(const char *prefix, const char *str) {
    if (prefix == nullptr) {
        return strdup(str);
    }
    const size_t prefixLength = std::strlen(prefix);
    const size_t strLength = std::strlen(str);
    char *result = static_cast<char *>(std::malloc(prefixLength + strLength + 1));
    if (result == nullptr) {
        return nullptr;
    }
    std::memcpy(result, prefix, prefixLength);
    std::memcpy(result + prefixLength, str, strLength + 1);
    return result;
}

extern "C" jint quarn_unix_util_register_natives(JNIEnv *env, const char *packagePrefix, const char *className,
                                                 const JNINativeMethod *methods, jint numMethods) {
    char *fullName = quarn_unix_util_prepend(packagePrefix, className);
    if (fullName == nullptr) {
        return -1;
    }
    jclass nativeClass = env->FindClass(fullName);
    if (nativeClass == nullptr) {
        // The exception FindClass raised stays pending for the caller.
        std::free(fullName);
        return -1;
    }
    const jint result = env->RegisterNatives(nativeClass, methods, numMethods);
    std::free(fullName);
    return result;
}

extern "C" void quarn_unix_util_free_dynamic_methods_table(JNINativeMethod *dynamicMethods,
                                                           jint fixedMethodTableSize, jint fullMethodTableSize) {
    if (dynamicMethods == nullptr) {
        return;
    }
    for (jint i = fixedMethodTableSize; i < fullMethodTableSize; ++i) {
        std::free(dynamicMethods[i].signature);
    }
    std::free(dynamicMethods);
}

extern "C" void quarn_unix_util_free_dynamic_name(char **dynamicName) {
    if (dynamicName != nullptr && *dynamicName != nullptr) {
        std::free(*dynamicName);
        *dynamicName = nullptr;
    }
}

namespace quarn::util {

JNINativeMethod *buildDynamicMethodsTable(const char *packagePrefix, const JNINativeMethod *staticMethods,
                                          jint staticCount, const DynamicMethod *dynamicMethods,
                                          jint dynamicCount) {
    const jint total = staticCount + dynamicCount;
    auto *table = static_cast<JNINativeMethod *>(std::malloc(sizeof(JNINativeMethod) * static_cast<size_t>(total)));
    if (table == nullptr) {
        return nullptr;
    }
    std::memset(table + staticCount, 0, sizeof(JNINativeMethod) * static_cast<size_t>(dynamicCount));
    std::memcpy(table, staticMethods, sizeof(JNINativeMethod) * static_cast<size_t>(staticCount));
    for (jint i = 0; i < dynamicCount; ++i) {
        const DynamicMethod &row = dynamicMethods[i];
        char *tail = quarn_unix_util_prepend(packagePrefix, row.signatureTail);
        if (tail == nullptr) {
            quarn_unix_util_free_dynamic_methods_table(table, staticCount, total);
            return nullptr;
        }
        char *signature = quarn_unix_util_prepend(row.signatureHead, tail);
        quarn_unix_util_free_dynamic_name(&tail);
        if (signature == nullptr) {
            quarn_unix_util_free_dynamic_methods_table(table, staticCount, total);
            return nullptr;
        }
        JNINativeMethod &target = table[staticCount + i];
        target.signature = signature;
        target.name = const_cast<char *>(row.name);
        target.fnPtr = row.fnPtr;
    }
    return table;
}

jint registerWithDynamicRows(JNIEnv *env, const char *packagePrefix, const char *className,
                             const JNINativeMethod *staticMethods, jint staticCount,
                             const DynamicMethod *dynamicMethods, jint dynamicCount) {
    JNINativeMethod *table =
        buildDynamicMethodsTable(packagePrefix, staticMethods, staticCount, dynamicMethods, dynamicCount);
    if (table == nullptr) {
        return -1;
    }
    const jint result =
        quarn_unix_util_register_natives(env, packagePrefix, className, table, staticCount + dynamicCount);
    // RegisterNatives copies what it needs; the table is not used after it returns.
    quarn_unix_util_free_dynamic_methods_table(table, staticCount, staticCount + dynamicCount);
    return result;
}

}  // namespace quarn::util
