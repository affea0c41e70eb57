#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "fake_jni.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/errors.h"

namespace {

using quarn::test::FakeJni;

int count(const FakeJni &fake, const std::string &call) {
    return static_cast<int>(std::count(fake.calls.begin(), fake.calls.end(), call));
}

class ErrorsModule : public ::testing::Test {
  protected:
    void TearDown() override { quarn_unix_errors_JNI_OnUnLoad(fake.env()); }

    FakeJni fake;
};

TEST_F(ErrorsModule, LoadRegistersThirteenRowsAndCachesClassesInOrder) {
    ASSERT_EQ(quarn_unix_errors_JNI_OnLoad(fake.env(), "shaded/"), JNI_VERSION_1_6);
    ASSERT_EQ(fake.registrations.size(), 1u);
    const auto &rows = fake.registrations[0];
    EXPECT_EQ(rows.className, "shaded/io/quarn/channel/unix/ErrorsStaticallyReferencedJniMethods");
    ASSERT_EQ(rows.names.size(), 13u);
    EXPECT_EQ(rows.names[0], "errnoENOENT");
    EXPECT_EQ(rows.names[7], "errnoEINPROGRESS");
    EXPECT_EQ(rows.names[8], "errorECONNREFUSED");
    EXPECT_EQ(rows.names[12], "strError");
    EXPECT_EQ(rows.signatures[12], "(I)Ljava/lang/String;");

    std::vector<std::string> found;
    for (const auto &call : fake.calls) {
        if (call.rfind("FindClass ", 0) == 0) {
            found.push_back(call.substr(10));
        }
    }
    const std::vector<std::string> expected = {"shaded/io/quarn/channel/unix/ErrorsStaticallyReferencedJniMethods",
                                               "java/lang/OutOfMemoryError",
                                               "java/lang/RuntimeException",
                                               "shaded/io/quarn/channel/ChannelException",
                                               "java/nio/channels/ClosedChannelException",
                                               "java/io/IOException",
                                               "java/net/PortUnreachableException"};
    EXPECT_EQ(found, expected);
    EXPECT_EQ(fake.liveGlobalRefs, 6);
    EXPECT_EQ(count(fake, "GetMethodID java/nio/channels/ClosedChannelException <init>:()V"), 1);
}

TEST_F(ErrorsModule, UnloadTwiceDeletesEachReferenceOnce) {
    ASSERT_EQ(quarn_unix_errors_JNI_OnLoad(fake.env(), nullptr), JNI_VERSION_1_6);
    quarn_unix_errors_JNI_OnUnLoad(fake.env());
    quarn_unix_errors_JNI_OnUnLoad(fake.env());
    EXPECT_EQ(fake.liveGlobalRefs, 0);
    EXPECT_EQ(count(fake, "DeleteGlobalRef io/quarn/channel/ChannelException"), 1);
    EXPECT_EQ(count(fake, "DeleteGlobalRef java/nio/channels/ClosedChannelException"), 1);
}

TEST_F(ErrorsModule, MissingClassClearsItsExceptionAndFails) {
    fake.missingClasses.insert("io/quarn/channel/ChannelException");
    EXPECT_EQ(quarn_unix_errors_JNI_OnLoad(fake.env(), nullptr), -1);
    EXPECT_FALSE(fake.exceptionPending);
    EXPECT_EQ(count(fake, "FindClass java/nio/channels/ClosedChannelException"), 0);
    // What it had cached before the failure is released: the library never unloads it.
    EXPECT_EQ(fake.liveGlobalRefs, 0);
}

TEST_F(ErrorsModule, MissingConstructorFailsWithItsExceptionPending) {
    fake.missingMembers.insert("<init>:()V");
    EXPECT_EQ(quarn_unix_errors_JNI_OnLoad(fake.env(), nullptr), -1);
    EXPECT_TRUE(fake.exceptionPending);
    EXPECT_EQ(count(fake, "ExceptionClear"), 0);
    EXPECT_EQ(fake.liveGlobalRefs, 0);
}

TEST_F(ErrorsModule, FailedRegistrationFailsBeforeAnyLookup) {
    fake.failingRegistrations.insert("io/quarn/channel/unix/ErrorsStaticallyReferencedJniMethods");
    EXPECT_EQ(quarn_unix_errors_JNI_OnLoad(fake.env(), nullptr), -1);
    EXPECT_EQ(fake.liveGlobalRefs, 0);
}

TEST_F(ErrorsModule, ErrnoThrowsUseTheirClassAndTheErrnoMessage) {
    ASSERT_EQ(quarn_unix_errors_JNI_OnLoad(fake.env(), "shaded/"), JNI_VERSION_1_6);
    quarn_unix_errors_throwChannelExceptionErrorNo(fake.env(), "getsockopt() failed: ", -EBADF);
    quarn_unix_errors_throwIOExceptionErrorNo(fake.env(), "read() failed: ", ECONNRESET);
    quarn_unix_errors_throwRuntimeExceptionErrorNo(fake.env(), nullptr, EPIPE);
    ASSERT_EQ(fake.thrown.size(), 3u);
    EXPECT_EQ(fake.thrown[0].className, "shaded/io/quarn/channel/ChannelException");
    EXPECT_EQ(fake.thrown[0].message, std::string("getsockopt() failed: ") + std::strerror(EBADF));
    EXPECT_EQ(fake.thrown[1].className, "java/io/IOException");
    EXPECT_EQ(fake.thrown[1].message, std::string("read() failed: ") + std::strerror(ECONNRESET));
    EXPECT_EQ(fake.thrown[2].className, "java/lang/RuntimeException");
    EXPECT_EQ(fake.thrown[2].message, std::strerror(EPIPE));
}

TEST_F(ErrorsModule, PlainThrowsCarryTheCallersMessage) {
    ASSERT_EQ(quarn_unix_errors_JNI_OnLoad(fake.env(), nullptr), JNI_VERSION_1_6);
    quarn_unix_errors_throwRuntimeException(fake.env(), "r");
    quarn_unix_errors_throwIOException(fake.env(), "i");
    quarn_unix_errors_throwPortUnreachableException(fake.env(), "p");
    quarn_unix_errors_throwOutOfMemoryError(fake.env());
    ASSERT_EQ(fake.thrown.size(), 4u);
    EXPECT_EQ(fake.thrown[0].className, "java/lang/RuntimeException");
    EXPECT_EQ(fake.thrown[1].className, "java/io/IOException");
    EXPECT_EQ(fake.thrown[2].className, "java/net/PortUnreachableException");
    EXPECT_EQ(fake.thrown[2].message, "p");
    EXPECT_EQ(fake.thrown[3].className, "java/lang/OutOfMemoryError");
    EXPECT_TRUE(fake.thrown[3].hasMessage) << "an empty message, not a null one";
    EXPECT_EQ(fake.thrown[3].message, "");
}

TEST_F(ErrorsModule, ClosedChannelExceptionIsBuiltWithoutMessageAndThrown) {
    ASSERT_EQ(quarn_unix_errors_JNI_OnLoad(fake.env(), nullptr), JNI_VERSION_1_6);
    quarn_unix_errors_throwClosedChannelException(fake.env());
    ASSERT_EQ(fake.thrown.size(), 1u);
    EXPECT_EQ(fake.thrown[0].className, "java/nio/channels/ClosedChannelException");
    EXPECT_FALSE(fake.thrown[0].hasMessage);
}

TEST_F(ErrorsModule, ClosedChannelExceptionLeavesNewObjectsFailurePending) {
    ASSERT_EQ(quarn_unix_errors_JNI_OnLoad(fake.env(), nullptr), JNI_VERSION_1_6);
    fake.newObjectFails = true;
    quarn_unix_errors_throwClosedChannelException(fake.env());
    EXPECT_TRUE(fake.thrown.empty());
    EXPECT_TRUE(fake.exceptionPending);
    EXPECT_EQ(count(fake, "Throw java/nio/channels/ClosedChannelException"), 0);
}

char *noMessage(const char *, int) { return nullptr; }

// A message that cannot be built must not let the failure reach Java as a success.
TEST_F(ErrorsModule, ErrnoThrowStillThrowsWhenTheMessageCannotBeBuilt) {
    ASSERT_EQ(quarn_unix_errors_JNI_OnLoad(fake.env(), nullptr), JNI_VERSION_1_6);
    jclass ioException = fake.classHandle("java/io/IOException");
    quarn::errors::throwErrorNo(fake.env(), ioException, "writev() failed: ", EPIPE, &noMessage);
    quarn::errors::throwErrorNo(fake.env(), ioException, nullptr, EPIPE, &noMessage);
    ASSERT_EQ(fake.thrown.size(), 2u);
    EXPECT_EQ(fake.thrown[0].message, "writev() failed: ");
    EXPECT_TRUE(fake.thrown[1].hasMessage);
    EXPECT_EQ(fake.thrown[1].message, "");
}

}  // namespace
