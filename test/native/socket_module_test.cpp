// The socket module's load and unload against the scripted JNI environment.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_jni.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/socket/socket_internal.h"

namespace {

using quarn::test::FakeJni;

// Every static row of io/quarn/channel/unix/Socket, in table order.
const std::vector<std::pair<std::string, std::string>> kTableOrder = {
    {"shutdown", "(IZZ)I"},
    {"bind", "(IZ[BII)I"},
    {"listen", "(II)I"},
    {"connect", "(IZ[BII)I"},
    {"finishConnect", "(I)I"},
    {"disconnect", "(IZ)I"},
    {"accept", "(I[B)I"},
    {"remoteAddress", "(I)[B"},
    {"localAddress", "(I)[B"},
    {"newSocketDgramFd", "(Z)I"},
    {"newSocketStreamFd", "(Z)I"},
    {"newSocketDomainFd", "()I"},
    {"sendTo", "(IZLjava/nio/ByteBuffer;II[BII)I"},
    {"sendToAddress", "(IZJII[BII)I"},
    {"sendToAddresses", "(IZJI[BII)I"},
    {"recvFd", "(I)I"},
    {"sendFd", "(II)I"},
    {"bindDomainSocket", "(I[B)I"},
    {"connectDomainSocket", "(I[B)I"},
    {"setTcpNoDelay", "(II)V"},
    {"setReusePort", "(II)V"},
    {"setBroadcast", "(II)V"},
    {"setReuseAddress", "(II)V"},
    {"setReceiveBufferSize", "(II)V"},
    {"setSendBufferSize", "(II)V"},
    {"setKeepAlive", "(II)V"},
    {"setSoLinger", "(II)V"},
    {"setTrafficClass", "(IZI)V"},
    {"isKeepAlive", "(I)I"},
    {"isTcpNoDelay", "(I)I"},
    {"isBroadcast", "(I)I"},
    {"isReuseAddress", "(I)I"},
    {"isReusePort", "(I)I"},
    {"getReceiveBufferSize", "(I)I"},
    {"getSendBufferSize", "(I)I"},
    {"getSoLinger", "(I)I"},
    {"getTrafficClass", "(IZ)I"},
    {"getSoError", "(I)I"},
    {"initialize", "(Z)V"},
    {"isIPv6Preferred", "()Z"},
    {"isIPv6", "(I)Z"},
};

TEST(SocketModule, RegistersItsRowsInTableOrderUnderThePrefix) {
    FakeJni fake;
    ASSERT_EQ(quarn_unix_socket_JNI_OnLoad(fake.env(), "shaded/"), JNI_VERSION_1_6);
    ASSERT_EQ(fake.registrations.size(), 1u);
    const FakeJni::Registration &registration = fake.registrations[0];
    EXPECT_EQ(registration.className, "shaded/io/quarn/channel/unix/Socket");
    // The rows built here stand in table order; rows of other files may stand between them.
    size_t next = 0;
    for (size_t i = 0; i < registration.names.size(); ++i) {
        if (registration.signatures[i].find("DatagramSocketAddress") != std::string::npos) {
            continue;  // the rows built at load follow the static ones
        }
        while (next < kTableOrder.size() && kTableOrder[next].first != registration.names[i]) {
            ++next;
        }
        ASSERT_LT(next, kTableOrder.size()) << registration.names[i] << " out of order";
        EXPECT_EQ(registration.signatures[i], kTableOrder[next].second) << registration.names[i];
    }
    EXPECT_GE(registration.names.size(), 34u);
    quarn_unix_socket_JNI_OnUnLoad(fake.env());
}

TEST(SocketModule, FailedRegistrationFailsTheLoad) {
    FakeJni fake;
    fake.failingRegistrations.insert("io/quarn/channel/unix/Socket");
    EXPECT_EQ(quarn_unix_socket_JNI_OnLoad(fake.env(), nullptr), -1);
}

TEST(SocketModule, UnloadReleasesTheCachedClassOnce) {
    FakeJni fake;
    quarn::socket::DatagramAddressType &type = quarn::socket::datagramAddressType();
    type.type = fake.classHandle("io/quarn/channel/unix/DatagramSocketAddress");
    ++fake.liveGlobalRefs;  // as if the load had made it a global reference
    quarn_unix_socket_JNI_OnUnLoad(fake.env());
    EXPECT_EQ(type.type, nullptr);
    EXPECT_EQ(fake.liveGlobalRefs, 0);
    quarn_unix_socket_JNI_OnUnLoad(fake.env());
    EXPECT_EQ(fake.liveGlobalRefs, 0);
    type.constructor = nullptr;
}

}  // namespace
