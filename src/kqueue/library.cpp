// The library's entry points and its load order.
#include <dlfcn.h>

#include "kqueue/load_sequence.h"
#include "kqueue/modules.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/util/time.h"

namespace {

using quarn::load::moduleRow;
using quarn::load::registrationRow;

// The load order. Unload and rollback walk the same rows in the same order (never reversed).
const quarn::load::ModuleRow kModuleRows[] = {
    // Each module's row is enabled by the change that builds the module. Keep one comment line
    // between rows so that separate changes never touch neighbouring lines.
    //
    registrationRow("io/quarn/channel/kqueue/KQueueStaticallyReferencedJniMethods",
                    quarn::kqueue::kStaticallyReferencedMethods, quarn::kqueue::kStaticallyReferencedMethodCount),
    //
    registrationRow("io/quarn/channel/kqueue/Native", quarn::kqueue::kNativeMethods,
                    quarn::kqueue::kNativeMethodCount),
    //
    moduleRow(&quarn_unix_limits_JNI_OnLoad, &quarn_unix_limits_JNI_OnUnLoad,
              "io/quarn/channel/unix/LimitsStaticallyReferencedJniMethods"),
    //
    moduleRow(&quarn_unix_errors_JNI_OnLoad, &quarn_unix_errors_JNI_OnUnLoad,
              "io/quarn/channel/unix/ErrorsStaticallyReferencedJniMethods"),
    //
    moduleRow(&quarn_unix_filedescriptor_JNI_OnLoad, &quarn_unix_filedescriptor_JNI_OnUnLoad,
              "io/quarn/channel/unix/FileDescriptor"),
    //
    moduleRow(&quarn_unix_socket_JNI_OnLoad, &quarn_unix_socket_JNI_OnUnLoad,
              "io/quarn/channel/unix/Socket"),
    //
    moduleRow(&quarn_unix_buffer_JNI_OnLoad, &quarn_unix_buffer_JNI_OnUnLoad,
              "io/quarn/channel/unix/Buffer"),
    //
    moduleRow(&quarn_kqueue_bsdsocket_JNI_OnLoad, &quarn_kqueue_bsdsocket_JNI_OnUnLoad,
              "io/quarn/channel/kqueue/BsdSocket"),
    //
    moduleRow(&quarn_kqueue_eventarray_JNI_OnLoad, &quarn_kqueue_eventarray_JNI_OnUnLoad,
              "io/quarn/channel/kqueue/KQueueEventArray"),
    //
};

void unloadAllModules(JNIEnv *env) {
    quarn::load::unloadRows(env, kModuleRows, sizeof(kModuleRows) / sizeof(kModuleRows[0]));
}

const char *ownLibraryPath() {
    Dl_info info{};
    // Any function of this library serves to find its file.
    if (dladdr(reinterpret_cast<void *>(&unloadAllModules), &info) == 0) {
        return nullptr;
    }
    return info.dli_fname;
}

// Built afresh on each call: a function-local static would need the C++ runtime's guard
// functions (__cxa_guard_acquire), which the library must not depend on.
quarn::load::LoadSequence sequence() {
    return {kModuleRows,
            sizeof(kModuleRows) / sizeof(kModuleRows[0]),
            &ownLibraryPath,
            &quarn_unix_util_initialize_wait_clock,
            quarn::util::waitClockStorage(),
            stderr};
}

}  // namespace

extern "C" jint JNI_OnLoad(JavaVM *vm, void *) {
    return quarn::load::loadLibrary(vm, sequence());
}

extern "C" void JNI_OnUnload(JavaVM *vm, void *) {
    quarn::load::unloadLibrary(vm, sequence());
}

// A statically linked library's entry point must answer at least JNI 1.8, or the VM refuses it.
extern "C" jint JNI_OnLoad_quarn_transport_native_kqueue(JavaVM *vm, void *) {
    const jint result = quarn::load::loadLibrary(vm, sequence());
    return result == JNI_ERR ? JNI_ERR : JNI_VERSION_1_8;
}

extern "C" void JNI_OnUnload_quarn_transport_native_kqueue(JavaVM *vm, void *) {
    quarn::load::unloadLibrary(vm, sequence());
}
