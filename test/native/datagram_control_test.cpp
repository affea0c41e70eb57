// The datagram receive's plain decisions: the destination probe, receive errors and the
// control walk that finds the original destination, on crafted and on kernel-made control data.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "unix/socket/datagram.h"
#include "emulation.h"

namespace {

// A control message of IPPROTO_IP that the kernel puts ahead of the original destination: the
// packet information where the system has it, the BSDs' destination address message otherwise.
#if defined(IP_PKTINFO)
constexpr int kPacketInfoOption = IP_PKTINFO;
#else
constexpr int kPacketInfoOption = IP_RECVDSTADDR;
#endif

using quarn::socket::classifyProbe;
using quarn::socket::classifyReceiveError;
using quarn::socket::DatagramControl;
using quarn::socket::DestinationProbe;
using quarn::socket::findOriginalDestination;
using quarn::socket::ReceiveFailure;

TEST(DatagramProbeTest, OptionThatDoesNotApplyCountsAsOffAndOtherFailuresStopTheReceive) {
    EXPECT_EQ(DestinationProbe::On, classifyProbe(0, 1, 0));
    EXPECT_EQ(DestinationProbe::Off, classifyProbe(0, 0, 0));
    EXPECT_EQ(DestinationProbe::Off, classifyProbe(-1, 0, EINVAL));  // FreeBSD, any IPv6 socket
    EXPECT_EQ(DestinationProbe::Off, classifyProbe(-1, 0, ENOPROTOOPT));
    EXPECT_EQ(DestinationProbe::Off, classifyProbe(-1, 0, EOPNOTSUPP));
    EXPECT_EQ(DestinationProbe::Failed, classifyProbe(-1, 0, EBADF));
    EXPECT_EQ(DestinationProbe::Failed, classifyProbe(-1, 0, ENOTSOCK));
    EXPECT_EQ(DestinationProbe::Failed, classifyProbe(-1, 1, ENOMEM));
}

TEST(DatagramProbeTest, ReceiveErrors) {
    EXPECT_EQ(ReceiveFailure::Retry, classifyReceiveError(EINTR));
    EXPECT_EQ(ReceiveFailure::Closed, classifyReceiveError(EBADF));
    EXPECT_EQ(ReceiveFailure::NothingWaiting, classifyReceiveError(EAGAIN));
    EXPECT_EQ(ReceiveFailure::NothingWaiting, classifyReceiveError(EWOULDBLOCK));
    EXPECT_EQ(ReceiveFailure::PortUnreachable, classifyReceiveError(ECONNREFUSED));
    EXPECT_EQ(ReceiveFailure::Other, classifyReceiveError(ENOTSOCK));
}

// Control data laid out message by message with the platform's macros.
class CraftedControl {
public:
    CraftedControl() {
        std::memset(&control_, 0, sizeof(control_));
        header_.msg_control = control_.bytes;
        header_.msg_controllen = sizeof(control_.bytes);
        next_ = CMSG_FIRSTHDR(&header_);
    }

    // Appends a message with the given data; returns its header for further tampering.
    cmsghdr *add(int level, int type, const void *data, size_t length) {
        cmsghdr *message = next_;
        message->cmsg_level = level;
        message->cmsg_type = type;
        message->cmsg_len = CMSG_LEN(length);
        std::memcpy(CMSG_DATA(message), data, length);
        used_ += CMSG_SPACE(length);
        header_.msg_controllen = used_;
        next_ = reinterpret_cast<cmsghdr *>(control_.bytes + used_);
        return message;
    }

    msghdr &header() { return header_; }

private:
    DatagramControl control_;
    msghdr header_{};
    cmsghdr *next_;
    size_t used_ = 0;
};

sockaddr_in destination(const char *ip, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

TEST(DatagramControlWalkTest, FindsTheDestinationBehindOtherMessages) {
    CraftedControl control;
    const int ttl = 64;
    control.add(IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl));
    const sockaddr_in sent = destination("192.0.2.7", 700);
    control.add(IPPROTO_IP, IP_ORIGDSTADDR, &sent, sizeof(sent));
    sockaddr_storage found;
    std::memset(&found, 0x77, sizeof(found));
    ASSERT_TRUE(findOriginalDestination(control.header(), &found));
    const auto *in = reinterpret_cast<const sockaddr_in *>(&found);
    EXPECT_EQ(AF_INET, in->sin_family);
    EXPECT_EQ(700, ntohs(in->sin_port));
    EXPECT_EQ(0, std::memcmp(&in->sin_addr, &sent.sin_addr, 4));
    // Everything past the sockaddr_in is zero, not what the storage held before.
    const auto *bytes = reinterpret_cast<const unsigned char *>(&found);
    for (size_t i = sizeof(sockaddr_in); i < sizeof(found); i++) {
        ASSERT_EQ(0, bytes[i]) << i;
    }
}

TEST(DatagramControlWalkTest, RefusesShortForeignOrOverrunningMessages) {
    sockaddr_storage found;
    const sockaddr_in sent = destination("192.0.2.7", 700);
    {
        CraftedControl control;  // data shorter than a sockaddr_in
        control.add(IPPROTO_IP, IP_ORIGDSTADDR, &sent, 8);
        EXPECT_FALSE(findOriginalDestination(control.header(), &found));
    }
    {
        CraftedControl control;  // not an IPv4 address
        sockaddr_in other = sent;
        other.sin_family = AF_INET6;
        control.add(IPPROTO_IP, IP_ORIGDSTADDR, &other, sizeof(other));
        EXPECT_FALSE(findOriginalDestination(control.header(), &found));
    }
    {
        CraftedControl control;  // the message runs past the returned control length
        control.add(IPPROTO_IP, IP_ORIGDSTADDR, &sent, sizeof(sent));
        control.header().msg_controllen = CMSG_LEN(sizeof(sent)) - 1;
        EXPECT_FALSE(findOriginalDestination(control.header(), &found));
    }
    {
        CraftedControl control;  // a zero-length message ahead ends the walk
        const int ttl = 1;
        cmsghdr *first = control.add(IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl));
        control.add(IPPROTO_IP, IP_ORIGDSTADDR, &sent, sizeof(sent));
        first->cmsg_len = 0;
        EXPECT_FALSE(findOriginalDestination(control.header(), &found));
    }
    {
        CraftedControl control;  // less than one header of control data
        control.add(IPPROTO_IP, IP_ORIGDSTADDR, &sent, sizeof(sent));
        control.header().msg_controllen = sizeof(cmsghdr) - 1;
        EXPECT_FALSE(findOriginalDestination(control.header(), &found));
        control.header().msg_controllen = sizeof(DatagramControl);
        control.header().msg_control = nullptr;
        EXPECT_FALSE(findOriginalDestination(control.header(), &found));
    }
}

// A bound UDP socket on 127.0.0.1 with the given receive options, and a sender to it.
class KernelControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        receiver_ = socket(AF_INET, SOCK_DGRAM, 0);
        sender_ = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(receiver_, 0);
        ASSERT_GE(sender_, 0);
        address_ = destination("127.0.0.1", 0);
        ASSERT_EQ(0, bind(receiver_, reinterpret_cast<sockaddr *>(&address_), sizeof(address_)));
        socklen_t length = sizeof(address_);
        ASSERT_EQ(0, getsockname(receiver_, reinterpret_cast<sockaddr *>(&address_), &length));
    }
    void TearDown() override {
        close(receiver_);
        close(sender_);
    }
    void enable(int option, int level = IPPROTO_IP) {
        const int on = 1;
        ASSERT_EQ(0, setsockopt(receiver_, level, option, &on, sizeof(on))) << level << "/" << option;
    }
    // Sends one datagram and receives it as the receive routine does with the option on.
    bool receiveDestination(sockaddr_storage *found, int *flags) {
        EXPECT_EQ(3, sendto(sender_, "abc", 3, 0, reinterpret_cast<sockaddr *>(&address_), sizeof(address_)));
        char data[8];
        iovec region{data, sizeof(data)};
        sockaddr_storage from;
        DatagramControl control;
        msghdr header{};
        header.msg_name = &from;
        header.msg_namelen = sizeof(from);
        header.msg_iov = &region;
        header.msg_iovlen = 1;
        header.msg_control = control.bytes;
        header.msg_controllen = sizeof(control.bytes);
        EXPECT_EQ(3, recvmsg(receiver_, &header, 0));
        *flags = header.msg_flags;
        return findOriginalDestination(header, found);
    }
    int receiver_ = -1;
    int sender_ = -1;
    sockaddr_in address_{};
};

TEST_F(KernelControlTest, DestinationFoundBehindTheKernelsOwnMessageAhead) {
    QUARN_SKIP_UNDER_EMULATION("the IP_TTL control message");
    enable(IP_RECVORIGDSTADDR);
    enable(IP_RECVTTL);  // the kernel puts the TTL message before the destination
    sockaddr_storage found;
    int flags = 0;
    ASSERT_TRUE(receiveDestination(&found, &flags));
    EXPECT_EQ(0, std::memcmp(&found, &address_, sizeof(address_)));
}

TEST_F(KernelControlTest, DestinationFitsBehindEveryOtherReceiveOption) {
    QUARN_SKIP_UNDER_EMULATION("the IP_TTL control message");
    enable(IP_RECVORIGDSTADDR);
    // Each puts a message ahead of the destination (two of them once pushed it out of 64 bytes).
    for (const int option : {IP_RECVTTL, kPacketInfoOption, IP_RECVTOS, IP_RECVRETOPTS}) {
        enable(option);
    }
    enable(SO_TIMESTAMP, SOL_SOCKET);
#if defined(SO_RXQ_OVFL)
    enable(SO_RXQ_OVFL, SOL_SOCKET);
#endif
#if defined(SO_BINTIME)
    enable(SO_BINTIME, SOL_SOCKET);
#endif
    sockaddr_storage found;
    int flags = 0;
    ASSERT_TRUE(receiveDestination(&found, &flags));
    EXPECT_FALSE(flags & MSG_CTRUNC);
    EXPECT_EQ(0, std::memcmp(&found, &address_, sizeof(address_)));
}

}  // namespace
