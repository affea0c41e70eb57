// The socket module's load against a scripted JNI: the 41 + 2 rows, the prefixed receive
// signatures and constructor, the direct-buffer probe, and every failure leaving nothing held.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fake_jni.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/socket/socket_internal.h"

namespace {

using quarn::test::FakeJni;

constexpr const char kSocket[] = "io/quarn/channel/unix/Socket";
constexpr const char kAddress[] = "io/quarn/channel/unix/DatagramSocketAddress";

bool called(const FakeJni &fake, const std::string &call) {
    return std::find(fake.calls.begin(), fake.calls.end(), call) != fake.calls.end();
}

class SocketModuleLoadTest : public ::testing::Test {
protected:
    void TearDown() override {
        // The cached type is module-wide; leave it as an unloaded module has it.
        quarn_unix_socket_JNI_OnUnLoad(fake_.env());
        EXPECT_EQ(nullptr, quarn::socket::datagramAddressType().type);
    }
    FakeJni fake_;
};

TEST_F(SocketModuleLoadTest, RegistersAllRowsAndCachesTheTypeWithoutPrefix) {
    ASSERT_EQ(JNI_VERSION_1_6, quarn_unix_socket_JNI_OnLoad(fake_.env(), nullptr));
    ASSERT_EQ(1u, fake_.registrations.size());
    const FakeJni::Registration &rows = fake_.registrations[0];
    EXPECT_EQ(kSocket, rows.className);
    ASSERT_EQ(43u, rows.names.size());
    const char *const datagramAndLocal[] = {"sendTo", "sendToAddress", "sendToAddresses", "recvFd",
                                            "sendFd", "bindDomainSocket", "connectDomainSocket"};
    for (size_t i = 0; i < 7; i++) {
        EXPECT_EQ(datagramAndLocal[i], rows.names[12 + i]) << i;
    }
    EXPECT_EQ("(IZLjava/nio/ByteBuffer;II[BII)I", rows.signatures[12]);
    EXPECT_EQ("setTcpNoDelay", rows.names[19]);
    EXPECT_EQ("recvFrom", rows.names[41]);
    EXPECT_EQ("(ILjava/nio/ByteBuffer;II)Lio/quarn/channel/unix/DatagramSocketAddress;", rows.signatures[41]);
    EXPECT_EQ("recvFromAddress", rows.names[42]);
    EXPECT_EQ("(IJII)Lio/quarn/channel/unix/DatagramSocketAddress;", rows.signatures[42]);
    EXPECT_TRUE(called(fake_, std::string("GetMethodID ") + kAddress +
                                  " <init>:([BIIILio/quarn/channel/unix/DatagramSocketAddress;)V"));
    EXPECT_TRUE(called(fake_, "NewDirectByteBuffer"));
    EXPECT_EQ(1, fake_.liveGlobalRefs);
    EXPECT_NE(nullptr, quarn::socket::datagramAddressType().constructor);
    EXPECT_FALSE(fake_.exceptionPending);

    quarn_unix_socket_JNI_OnUnLoad(fake_.env());
    EXPECT_EQ(0, fake_.liveGlobalRefs);
    quarn_unix_socket_JNI_OnUnLoad(fake_.env());  // a second unload does nothing
    EXPECT_EQ(0, fake_.liveGlobalRefs);
}

TEST_F(SocketModuleLoadTest, EveryClassNameGoesBehindThePrefix) {
    ASSERT_EQ(JNI_VERSION_1_6, quarn_unix_socket_JNI_OnLoad(fake_.env(), "shaded/"));
    const FakeJni::Registration &rows = fake_.registrations.at(0);
    EXPECT_EQ(std::string("shaded/") + kSocket, rows.className);
    EXPECT_EQ("(ILjava/nio/ByteBuffer;II)Lshaded/io/quarn/channel/unix/DatagramSocketAddress;", rows.signatures[41]);
    EXPECT_EQ("(IJII)Lshaded/io/quarn/channel/unix/DatagramSocketAddress;", rows.signatures[42]);
    EXPECT_TRUE(called(fake_, std::string("FindClass shaded/") + kAddress));
    EXPECT_TRUE(called(fake_, std::string("GetMethodID shaded/") + kAddress +
                                  " <init>:([BIIILshaded/io/quarn/channel/unix/DatagramSocketAddress;)V"));
}

TEST_F(SocketModuleLoadTest, FailedRegistrationCachesNothing) {
    fake_.failingRegistrations.insert(kSocket);
    EXPECT_EQ(-1, quarn_unix_socket_JNI_OnLoad(fake_.env(), nullptr));
    EXPECT_FALSE(called(fake_, std::string("FindClass ") + kAddress));
    EXPECT_EQ(0, fake_.liveGlobalRefs);
}

TEST_F(SocketModuleLoadTest, FailuresAfterCachingReleaseTheClass) {
    {
        FakeJni fake;  // the constructor is missing: its exception stays pending
        fake.missingMembers.insert("<init>:([BIIILio/quarn/channel/unix/DatagramSocketAddress;)V");
        EXPECT_EQ(-1, quarn_unix_socket_JNI_OnLoad(fake.env(), nullptr));
        EXPECT_TRUE(fake.exceptionPending);
        EXPECT_EQ(0, fake.liveGlobalRefs);
    }
    {
        FakeJni fake;  // a VM without direct buffer access
        fake.directAddressUnsupported = true;
        EXPECT_EQ(-1, quarn_unix_socket_JNI_OnLoad(fake.env(), nullptr));
        EXPECT_EQ(0, fake.liveGlobalRefs);
        EXPECT_EQ(0, fake.callsWithExceptionPending);
    }
    {
        FakeJni fake;  // the probe buffer cannot be made
        fake.newDirectBufferFails = true;
        EXPECT_EQ(-1, quarn_unix_socket_JNI_OnLoad(fake.env(), nullptr));
        EXPECT_EQ(0, fake.liveGlobalRefs);
    }
    {
        FakeJni fake;  // the class is missing: its lookup's exception is cleared
        fake.missingClasses.insert(kAddress);
        EXPECT_EQ(-1, quarn_unix_socket_JNI_OnLoad(fake.env(), nullptr));
        EXPECT_FALSE(fake.exceptionPending);
        EXPECT_EQ(0, fake.liveGlobalRefs);
    }
    {
        FakeJni fake;  // the global reference cannot be made
        fake.globalRefFails = true;
        EXPECT_EQ(-1, quarn_unix_socket_JNI_OnLoad(fake.env(), nullptr));
        EXPECT_EQ(0, fake.liveGlobalRefs);
    }
}

TEST_F(SocketModuleLoadTest, PrefixTooLongForTheConstructorSignatureFailsTheLoad) {
    const std::string prefix = std::string(1000, 'p') + "/";
    EXPECT_EQ(-1, quarn_unix_socket_JNI_OnLoad(fake_.env(), prefix.c_str()));
    for (const std::string &call : fake_.calls) {
        EXPECT_EQ(std::string::npos, call.find("GetMethodID")) << "a cut signature was looked up: " << call;
    }
    EXPECT_EQ(0, fake_.liveGlobalRefs);
}

}  // namespace
