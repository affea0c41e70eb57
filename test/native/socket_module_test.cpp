// The order and signatures of every static row of the socket module's method table.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_jni.h"
#include "quarn_transport_native_kqueue.h"

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

TEST(SocketModule, StaticRowsStandInTableOrder) {
    FakeJni fake;
    ASSERT_EQ(quarn_unix_socket_JNI_OnLoad(fake.env(), nullptr), JNI_VERSION_1_6);
    ASSERT_EQ(fake.registrations.size(), 1u);
    const FakeJni::Registration &registration = fake.registrations[0];
    ASSERT_EQ(registration.names.size(), kTableOrder.size() + 2);
    for (size_t i = 0; i < kTableOrder.size(); ++i) {
        EXPECT_EQ(registration.names[i], kTableOrder[i].first) << "row " << i;
        EXPECT_EQ(registration.signatures[i], kTableOrder[i].second) << "row " << i;
    }
    quarn_unix_socket_JNI_OnUnLoad(fake.env());
}

}  // namespace
