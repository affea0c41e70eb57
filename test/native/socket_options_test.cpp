// Socket options: the conversions of the option natives, the traffic-class fallback and the
// exported function that raises nothing.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "quarn_transport_native_kqueue.h"
#include "unix/socket/options.h"

namespace {

using quarn::socket::lingerFromJava;
using quarn::socket::lingerToJava;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

TEST(SocketOptions, LingerFromAndToJava) {
    EXPECT_EQ(lingerFromJava(-1).l_onoff, 0);
    EXPECT_EQ(lingerFromJava(-1).l_linger, 0);
    EXPECT_EQ(lingerFromJava(0).l_onoff, 1);
    EXPECT_EQ(lingerFromJava(0).l_linger, 0);
    EXPECT_EQ(lingerFromJava(5).l_onoff, 1);
    EXPECT_EQ(lingerFromJava(5).l_linger, 5);
    EXPECT_EQ(lingerToJava(linger{0, 7}), -1);
    EXPECT_EQ(lingerToJava(linger{1, 0}), 0);
    EXPECT_EQ(lingerToJava(linger{1, 5}), 5);
}

TEST(SocketOptions, LingerRoundTripsThroughTheSystem) {
    Descriptor fd(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_GE(fd.get(), 0);
    for (int value : {5, 0, -1}) {
        const linger set = lingerFromJava(value);
        ASSERT_EQ(setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &set, sizeof(set)), 0);
        linger read{};
        ASSERT_EQ(quarn_unix_socket_getOption0(fd.get(), SOL_SOCKET, SO_LINGER, &read, sizeof(read)), 0);
        EXPECT_EQ(lingerToJava(read), value);
    }
}

TEST(SocketOptions, TrafficClassFallsBackWhereTheIPv6OptionDoesNotApply) {
    // What this system answers for the IPv6 traffic class on an IPv4 socket must be one of
    // the errors that fall back to IP_TOS; a closed descriptor must not fall back.
    Descriptor fd(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_GE(fd.get(), 0);
    int value = 0;
    ASSERT_EQ(quarn_unix_socket_getOption0(fd.get(), IPPROTO_IPV6, IPV6_TCLASS, &value, sizeof(value)), -1);
    EXPECT_TRUE(quarn::socket::trafficClassFallsBackToIPv4(errno)) << "errno " << errno;
    for (int error : {ENOPROTOOPT, EINVAL, EOPNOTSUPP}) {
        EXPECT_TRUE(quarn::socket::trafficClassFallsBackToIPv4(error));
    }
    for (int error : {EBADF, ENOTSOCK, ENOMEM, 0}) {
        EXPECT_FALSE(quarn::socket::trafficClassFallsBackToIPv4(error));
    }
}

TEST(SocketOptions, GetOption0RaisesNothingAndLeavesErrno) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    close(fds[1]);
    int value = 77;
    errno = 0;
    EXPECT_EQ(quarn_unix_socket_getOption0(fds[0], SOL_SOCKET, SO_ERROR, &value, sizeof(value)), -1);
    EXPECT_EQ(errno, EBADF);

    Descriptor fd(socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_GE(fd.get(), 0);
    const int on = 1;
    ASSERT_EQ(setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)), 0);
    value = 0;
    EXPECT_EQ(quarn_unix_socket_getOption0(fd.get(), SOL_SOCKET, SO_BROADCAST, &value, sizeof(value)), 0);
    EXPECT_NE(value, 0);
}

}  // namespace
