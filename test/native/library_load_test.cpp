// The whole load against the scripted JNI: every row of the library's load order under a package
// prefix, then the unload. Under the asan preset LeakSanitizer checks at exit that every prefixed
// class name, signature and dynamic method table that the loads built was freed; here the test
// checks what the VM sees: 105 natives on nine prefixed classes, no unprefixed library class in
// any name or signature, and no global reference left after the unload.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fake_jni.h"
#include "kqueue/load_sequence.h"
#include "kqueue/modules.h"
#include "quarn_transport_native_kqueue.h"

namespace {

using quarn::load::moduleRow;
using quarn::load::registrationRow;
using quarn::test::FakeJni;

// The library's own load order (src/kqueue/library.cpp), which keeps its table private.
const quarn::load::ModuleRow kRows[] = {
    registrationRow("io/quarn/channel/kqueue/KQueueStaticallyReferencedJniMethods",
                    quarn::kqueue::kStaticallyReferencedMethods, quarn::kqueue::kStaticallyReferencedMethodCount),
    registrationRow("io/quarn/channel/kqueue/Native", quarn::kqueue::kNativeMethods, quarn::kqueue::kNativeMethodCount),
    moduleRow(&quarn_unix_limits_JNI_OnLoad, &quarn_unix_limits_JNI_OnUnLoad, "io/quarn/channel/unix/LimitsStaticallyReferencedJniMethods"),
    moduleRow(&quarn_unix_errors_JNI_OnLoad, &quarn_unix_errors_JNI_OnUnLoad, "io/quarn/channel/unix/ErrorsStaticallyReferencedJniMethods"),
    moduleRow(&quarn_unix_filedescriptor_JNI_OnLoad, &quarn_unix_filedescriptor_JNI_OnUnLoad, "io/quarn/channel/unix/FileDescriptor"),
    moduleRow(&quarn_unix_socket_JNI_OnLoad, &quarn_unix_socket_JNI_OnUnLoad, "io/quarn/channel/unix/Socket"),
    moduleRow(&quarn_unix_buffer_JNI_OnLoad, &quarn_unix_buffer_JNI_OnUnLoad, "io/quarn/channel/unix/Buffer"),
    moduleRow(&quarn_kqueue_bsdsocket_JNI_OnLoad, &quarn_kqueue_bsdsocket_JNI_OnUnLoad, "io/quarn/channel/kqueue/BsdSocket"),
    moduleRow(&quarn_kqueue_eventarray_JNI_OnLoad, &quarn_kqueue_eventarray_JNI_OnUnLoad, "io/quarn/channel/kqueue/KQueueEventArray"),
};

const char *shadedPath() {
    return "/opt/lib/libshaded_prefix_quarn_transport_native_kqueue_x86_64.so";
}

// A library class named without the prefix: "io/quarn/" not preceded by "shaded/prefix/".
bool namesUnprefixedClass(const std::string &text) {
    for (size_t at = text.find("io/quarn/"); at != std::string::npos; at = text.find("io/quarn/", at + 1)) {
        if (at < 14 || text.compare(at - 14, 14, "shaded/prefix/") != 0) {
            return true;
        }
    }
    return false;
}

TEST(LibraryLoad, EveryRowLoadsUnderThePrefixAndUnloadsWithNothingHeld) {
    FakeJni jni;
    clockid_t clock = CLOCK_REALTIME;
    const quarn::load::LoadSequence sequence{kRows, std::size(kRows), &shadedPath,
                                             &quarn_unix_util_initialize_wait_clock, &clock, stderr};
    ASSERT_EQ(JNI_VERSION_1_6, quarn::load::loadLibrary(jni.vm(), sequence));
    EXPECT_FALSE(jni.exceptionPending);

    size_t natives = 0;
    for (const FakeJni::Registration &registration : jni.registrations) {
        EXPECT_EQ(0u, registration.className.rfind("shaded/prefix/io/quarn/channel/", 0)) << registration.className;
        for (size_t i = 0; i < registration.names.size(); ++i) {
            EXPECT_FALSE(namesUnprefixedClass(registration.signatures[i]))
                << registration.className << "." << registration.names[i] << registration.signatures[i];
            EXPECT_NE(nullptr, registration.functions[i]) << registration.names[i];
        }
        natives += registration.names.size();
    }
    ASSERT_EQ(9u, jni.registrations.size());
    EXPECT_EQ(105u, natives);
    // Each row names the class its natives go to, which a failed load unregisters.
    for (size_t i = 0; i < std::size(kRows); ++i) {
        EXPECT_EQ(jni.registrations[i].className, std::string("shaded/prefix/") + kRows[i].className);
    }
    for (const std::string &call : jni.calls) {
        if (call.rfind("FindClass ", 0) == 0) {
            EXPECT_FALSE(namesUnprefixedClass(call)) << call;
        }
    }

    quarn::load::unloadLibrary(jni.vm(), sequence);
    EXPECT_EQ(0, jni.liveGlobalRefs);
    EXPECT_EQ(0, jni.callsWithExceptionPending);
}

}  // namespace
