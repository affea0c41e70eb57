#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fake_jni.h"
#include "quarn_transport_native_kqueue.h"

namespace {

using quarn::test::FakeJni;

bool called(const FakeJni &fake, const std::string &call) {
    return std::find(fake.calls.begin(), fake.calls.end(), call) != fake.calls.end();
}

TEST(FileDescriptorLoad, RegistersNineRowsAndLooksUpTheDirectBufferClass) {
    FakeJni fake;
    fake.directBufferClass = "java/nio/DirectByteBufferR";
    ASSERT_EQ(quarn_unix_filedescriptor_JNI_OnLoad(fake.env(), "shaded/"), JNI_VERSION_1_6);
    ASSERT_EQ(fake.registrations.size(), 1u);
    EXPECT_EQ(fake.registrations[0].className, "shaded/io/quarn/channel/unix/FileDescriptor");
    const std::vector<std::string> names = {"close",  "open", "write",       "writeAddress", "writevAddresses",
                                            "writev", "read", "readAddress", "newPipe"};
    EXPECT_EQ(fake.registrations[0].names, names);
    EXPECT_EQ(fake.registrations[0].signatures[5], "(I[Ljava/nio/ByteBuffer;IIJ)J");
    EXPECT_TRUE(called(fake, "GetMethodID java/nio/DirectByteBufferR position:()I"));
    EXPECT_TRUE(called(fake, "GetMethodID java/nio/DirectByteBufferR limit:()I"));
    EXPECT_TRUE(called(fake, "GetFieldID java/nio/DirectByteBufferR position:I"));
    EXPECT_TRUE(called(fake, "GetFieldID java/nio/DirectByteBufferR limit:I"));
    EXPECT_FALSE(fake.exceptionPending);
}

TEST(FileDescriptorLoad, MissingFieldsAreClearedAndTheLoadGoesOn) {
    FakeJni fake;
    fake.missingMembers = {"position:I", "limit:I"};
    EXPECT_EQ(quarn_unix_filedescriptor_JNI_OnLoad(fake.env(), nullptr), JNI_VERSION_1_6);
    EXPECT_FALSE(fake.exceptionPending);
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "ExceptionClear"), 2);
}

TEST(FileDescriptorLoad, MissingMethodFailsWithTheExceptionPending) {
    FakeJni fake;
    fake.missingMembers = {"limit:()I"};
    EXPECT_EQ(quarn_unix_filedescriptor_JNI_OnLoad(fake.env(), nullptr), -1);
    EXPECT_TRUE(fake.exceptionPending);
    EXPECT_FALSE(called(fake, "GetFieldID java/nio/DirectByteBuffer position:I"));
}

TEST(FileDescriptorLoad, VmWithoutDirectBuffersFailsTheLoad) {
    FakeJni unsupported;
    unsupported.directAddressUnsupported = true;
    EXPECT_EQ(quarn_unix_filedescriptor_JNI_OnLoad(unsupported.env(), nullptr), -1);
    FakeJni noBuffer;
    noBuffer.newDirectBufferFails = true;
    EXPECT_EQ(quarn_unix_filedescriptor_JNI_OnLoad(noBuffer.env(), nullptr), -1);
    EXPECT_FALSE(called(noBuffer, "GetObjectClass"));
}

}  // namespace
