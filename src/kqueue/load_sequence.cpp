#include "kqueue/load_sequence.h"

#include <cstdlib>

#include "quarn_transport_native_kqueue.h"

namespace quarn::load {

namespace {

constexpr const char kLibraryName[] = "quarn_transport_native_kqueue";

bool loadRow(JNIEnv *env, const char *packagePrefix, const ModuleRow &row) {
    if (row.load == nullptr) {
        return quarn_unix_util_register_natives(env, packagePrefix, row.className, row.methods, row.methodCount) ==
               0;
    }
    // A module load counts as failed only when it answers exactly -1.
    return row.load(env, packagePrefix) != -1;
}

void writeFatal(FILE *stream, const char *message, size_t length) {
    std::fwrite(message, 1, length, stream);
}

}  // namespace

jint loadRows(JNIEnv *env, const char *packagePrefix, const ModuleRow *rows, size_t rowCount) {
    for (size_t i = 0; i < rowCount; ++i) {
        if (!loadRow(env, packagePrefix, rows[i])) {
            // The failed module itself is not unloaded; the ones before it are, in table order.
            unloadRows(env, rows, i);
            // The failed module may have registered its natives before it failed.
            unregisterRows(env, packagePrefix, rows, i + 1);
            return -1;
        }
    }
    return 0;
}

void unloadRows(JNIEnv *env, const ModuleRow *rows, size_t rowCount) {
    for (size_t i = 0; i < rowCount; ++i) {
        if (rows[i].unload != nullptr) {
            rows[i].unload(env);
        }
    }
}

void unregisterRows(JNIEnv *env, const char *packagePrefix, const ModuleRow *rows, size_t rowCount) {
    // The failure's exception is what the VM reports for the load: set aside while classes are
    // looked up, since no JNI call but a few may run with an exception pending.
    jthrowable failure = env->ExceptionOccurred();
    if (failure != nullptr) {
        env->ExceptionClear();
    }
    for (size_t i = 0; i < rowCount; ++i) {
        char *name = quarn_unix_util_prepend(packagePrefix, rows[i].className);
        if (name == nullptr) {
            continue;
        }
        jclass type = env->FindClass(name);
        std::free(name);
        if (type == nullptr) {
            env->ExceptionClear();  // nothing was registered on a class that is not there
            continue;
        }
        env->UnregisterNatives(type);
        env->DeleteLocalRef(type);
    }
    if (failure != nullptr) {
        env->Throw(failure);
        env->DeleteLocalRef(failure);
    }
}

jint loadLibrary(JavaVM *vm, const LoadSequence &sequence) {
    JNIEnv *env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) != JNI_OK) {
        return JNI_ERR;
    }
    const char *path = sequence.libraryPath();
    if (path == nullptr) {
        static constexpr char kMessage[] = "FATAL: transport-native-kqueue JNI call to dladdr failed!\n";
        writeFatal(sequence.errorStream, kMessage, sizeof(kMessage) - 1);
        return JNI_ERR;
    }
    jint status = 0;
    char *packagePrefix = quarn_unix_util_parse_package_prefix(path, kLibraryName, &status);
    if (status == -1) {
        std::fprintf(sequence.errorStream,
                     "FATAL: transport-native-kqueue JNI encountered unexpected dlinfo.dli_fname: %s\n", path);
        return JNI_ERR;
    }
    jint result = JNI_ERR;
    if (loadRows(env, packagePrefix, sequence.rows, sequence.rowCount) == 0) {
        if (sequence.initializeWaitClock(sequence.waitClock)) {
            result = JNI_VERSION_1_6;
        } else {
            static constexpr char kMessage[] = "FATAL: could not find a clock for clock_gettime!\n";
            writeFatal(sequence.errorStream, kMessage, sizeof(kMessage) - 1);
            unloadRows(env, sequence.rows, sequence.rowCount);
            unregisterRows(env, packagePrefix, sequence.rows, sequence.rowCount);
        }
    }
    std::free(packagePrefix);
    return result;
}

void unloadLibrary(JavaVM *vm, const LoadSequence &sequence) {
    JNIEnv *env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) != JNI_OK) {
        return;
    }
    unloadRows(env, sequence.rows, sequence.rowCount);
}

}  // namespace quarn::load
