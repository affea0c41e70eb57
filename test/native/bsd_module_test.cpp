// The BSD socket module's load and unload against the scripted JNI environment.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_jni.h"
#include "quarn_transport_native_kqueue.h"

namespace {

using quarn::test::FakeJni;

std::vector<std::string> foundClasses(const FakeJni &fake) {
    std::vector<std::string> found;
    for (const auto &call : fake.calls) {
        if (call.rfind("FindClass ", 0) == 0) {
            found.push_back(call.substr(10));
        }
    }
    return found;
}

class BsdSocketModule : public ::testing::Test {
protected:
    void TearDown() override {
        quarn_kqueue_bsdsocket_JNI_OnUnLoad(fake.env());
        EXPECT_EQ(0, fake.liveGlobalRefs) << "every global reference released";
    }

    FakeJni fake;
};

TEST_F(BsdSocketModule, LoadRegistersEightRowsWithPrefixedSignaturesAndCachesItsClasses) {
    ASSERT_EQ(JNI_VERSION_1_6, quarn_kqueue_bsdsocket_JNI_OnLoad(fake.env(), "shaded/prefix/"));
    ASSERT_EQ(1u, fake.registrations.size());
    const auto &rows = fake.registrations[0];
    EXPECT_EQ("shaded/prefix/io/quarn/channel/kqueue/BsdSocket", rows.className);
    const std::vector<std::string> names = {"setAcceptFilter", "setTcpNoPush", "setSndLowAt", "getAcceptFilter",
                                            "getTcpNoPush",    "getSndLowAt",  "sendFile",    "getPeerCredentials"};
    EXPECT_EQ(names, rows.names);
    ASSERT_EQ(8u, rows.signatures.size());
    EXPECT_EQ("(ILjava/lang/String;Ljava/lang/String;)V", rows.signatures[0]);
    EXPECT_EQ("(I)[Ljava/lang/String;", rows.signatures[3]);
    EXPECT_EQ("(ILshaded/prefix/io/quarn/channel/DefaultFileRegion;JJJ)J", rows.signatures[6]);
    EXPECT_EQ("(I)Lshaded/prefix/io/quarn/channel/unix/PeerCredentials;", rows.signatures[7]);

    // The library's own classes under the prefix, the platform's by their plain names.
    const std::vector<std::string> expected = {"shaded/prefix/io/quarn/channel/kqueue/BsdSocket",
                                               "shaded/prefix/io/quarn/channel/DefaultFileRegion",
                                               "sun/nio/ch/FileChannelImpl",
                                               "java/io/FileDescriptor",
                                               "java/lang/String",
                                               "shaded/prefix/io/quarn/channel/unix/PeerCredentials"};
    EXPECT_EQ(expected, foundClasses(fake));
    EXPECT_EQ(3, fake.liveGlobalRefs);
    EXPECT_FALSE(fake.exceptionPending);

    quarn_kqueue_bsdsocket_JNI_OnUnLoad(fake.env());
    EXPECT_EQ(0, fake.liveGlobalRefs);
    const size_t callsAfterFirstUnload = fake.calls.size();
    quarn_kqueue_bsdsocket_JNI_OnUnLoad(fake.env());
    EXPECT_EQ(callsAfterFirstUnload, fake.calls.size()) << "a second unload does nothing";
}

TEST_F(BsdSocketModule, WithoutPrefixSignaturesNameThePlainClasses) {
    ASSERT_EQ(JNI_VERSION_1_6, quarn_kqueue_bsdsocket_JNI_OnLoad(fake.env(), nullptr));
    EXPECT_EQ("(ILio/quarn/channel/DefaultFileRegion;JJJ)J", fake.registrations.at(0).signatures.at(6));
    EXPECT_EQ("(I)Lio/quarn/channel/unix/PeerCredentials;", fake.registrations.at(0).signatures.at(7));
}

TEST_F(BsdSocketModule, MissingClassFailsTheLoadWithItsExceptionClearedAndNothingHeld) {
    for (const char *missing : {"io/quarn/channel/DefaultFileRegion", "sun/nio/ch/FileChannelImpl",
                                "java/io/FileDescriptor", "java/lang/String", "io/quarn/channel/unix/PeerCredentials"}) {
        FakeJni local;
        local.missingClasses.insert(missing);
        EXPECT_EQ(-1, quarn_kqueue_bsdsocket_JNI_OnLoad(local.env(), nullptr)) << missing;
        EXPECT_FALSE(local.exceptionPending) << missing;
        EXPECT_EQ(0, local.liveGlobalRefs) << missing;
    }
}

TEST_F(BsdSocketModule, MissingMemberFailsTheLoadWithItsExceptionPendingAndNothingHeld) {
    for (const char *missing : {"file:Ljava/nio/channels/FileChannel;", "transferred:J", "fd:Ljava/io/FileDescriptor;",
                                "fd:I", "<init>:(II[I)V"}) {
        FakeJni local;
        local.missingMembers.insert(missing);
        EXPECT_EQ(-1, quarn_kqueue_bsdsocket_JNI_OnLoad(local.env(), nullptr)) << missing;
        EXPECT_TRUE(local.exceptionPending) << missing;
        EXPECT_EQ(0, local.liveGlobalRefs) << missing;
    }
}

TEST_F(BsdSocketModule, FailedRegistrationOrGlobalReferenceFailsTheLoad) {
    {
        FakeJni local;
        local.failingRegistrations.insert("io/quarn/channel/kqueue/BsdSocket");
        EXPECT_EQ(-1, quarn_kqueue_bsdsocket_JNI_OnLoad(local.env(), nullptr));
        EXPECT_EQ(1u, foundClasses(local).size()) << "nothing looked up after the registration failed";
    }
    {
        FakeJni local;
        local.globalRefFails = true;
        EXPECT_EQ(-1, quarn_kqueue_bsdsocket_JNI_OnLoad(local.env(), nullptr));
        EXPECT_EQ(0, local.liveGlobalRefs);
    }
}

}  // namespace
