// Socket lifecycle steps over loopback: creation flags, the dual-stack option, accept with
// accept4 and with its accept + fcntl fallback, shutdown directions and disconnect.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "fake_jni.h"
#include "platform/socket.h"
#include "unix/socket/lifecycle.h"
#include "unix/socket/socket_internal.h"

namespace {

using quarn::test::FakeJni;

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

bool nonBlocking(int fd) {
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

bool closeOnExec(int fd) {
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// A listening IPv4 loopback socket and a blocking client connected to it.
struct Connection {
    Descriptor listener;
    Descriptor client;
    Connection() {
        listener.reset(quarn::socket::openSocket(AF_INET, SOCK_STREAM));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        EXPECT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        EXPECT_EQ(::listen(listener.get(), 4), 0);
        EXPECT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length), 0);
        client.reset(socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_EQ(::connect(client.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    }
};

// Swaps the platform's accept4 for the duration of a test.
class Accept4Override {
public:
    explicit Accept4Override(quarn::platform::Accept4Function replacement)
        : saved_(quarn::platform::accept4Function) {
        quarn::platform::accept4Function = replacement;
    }
    ~Accept4Override() { quarn::platform::accept4Function = saved_; }

private:
    quarn::platform::Accept4Function saved_;
};

TEST(SocketLifecycle, NewSocketsAreNonBlockingWithoutCloseOnExec) {
    for (int family : {AF_INET, AF_UNIX}) {
        Descriptor fd(quarn::socket::openSocket(family, SOCK_STREAM));
        ASSERT_GE(fd.get(), 0);
        EXPECT_TRUE(nonBlocking(fd.get()));
        EXPECT_FALSE(closeOnExec(fd.get()));
    }
    EXPECT_EQ(quarn::socket::openSocket(-1, SOCK_STREAM), -EAFNOSUPPORT);
}

TEST(SocketLifecycle, DualStackOptionIsCleared) {
    Descriptor fd(quarn::socket::openSocket(AF_INET6, SOCK_DGRAM));
    if (fd.get() == -EAFNOSUPPORT) {
        GTEST_SKIP() << "no IPv6 sockets on this machine";
    }
    ASSERT_GE(fd.get(), 0);
    const int on = 1;
    ASSERT_EQ(setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)), 0);
    EXPECT_EQ(quarn::socket::allowMappedPeers(fd.get()), 0);
    int value = 1;
    socklen_t length = sizeof(value);
    ASSERT_EQ(getsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &value, &length), 0);
    EXPECT_EQ(value, 0);
    // On a non-socket the errno comes back for the caller's exception.
    EXPECT_EQ(quarn::socket::allowMappedPeers(-1), EBADF);
}

TEST(SocketLifecycle, AcceptGivesNonBlockingCloseOnExecWithAndWithoutAccept4) {
    for (bool useAccept4 : {true, false}) {
        Accept4Override override(useAccept4 ? quarn::platform::accept4Function : nullptr);
        Connection connection;
        sockaddr_storage peer;
        std::memset(&peer, 0xa5, sizeof(peer));
        Descriptor accepted(quarn::socket::acceptConnection(connection.listener.get(), &peer));
        ASSERT_GE(accepted.get(), 0) << "accept4 " << useAccept4;
        EXPECT_TRUE(nonBlocking(accepted.get())) << "accept4 " << useAccept4;
        EXPECT_TRUE(closeOnExec(accepted.get())) << "accept4 " << useAccept4;
        EXPECT_EQ(quarn::platform::addressFamily(peer), AF_INET);
        // The storage was zeroed before the kernel filled its part.
        const auto *raw = reinterpret_cast<const uint8_t *>(&peer);
        EXPECT_EQ(raw[sizeof(sockaddr_in)], 0);
        EXPECT_EQ(raw[sizeof(peer) - 1], 0);
        // Nothing else is pending: the non-blocking listener answers -EAGAIN.
        EXPECT_EQ(quarn::socket::acceptConnection(connection.listener.get(), &peer), -EAGAIN);
    }
}

int failingAccept4(int, sockaddr *, socklen_t *, int) {
    errno = EMFILE;
    return -1;
}

TEST(SocketLifecycle, AcceptReportsNegatedErrno) {
    Accept4Override override(&failingAccept4);
    sockaddr_storage peer;
    EXPECT_EQ(quarn::socket::acceptConnection(0, &peer), -EMFILE);
}

TEST(SocketLifecycle, AcceptIntoTooShortArrayClosesTheConnection) {
    // 8 bytes cannot hold the 9-byte accepted-peer form of an IPv4 peer.
    Connection connection;
    FakeJni fake;
    jbyteArray shortArray = fake.byteArray(std::vector<jbyte>(8, 0x11));
    const int before = dup(0);
    close(before);
    EXPECT_EQ(quarn::socket::accept(fake.env(), nullptr, connection.listener.get(), shortArray), -1);
    EXPECT_TRUE(fake.exceptionPending);
    EXPECT_EQ(fake.callsWithExceptionPending, 0);
    EXPECT_EQ(fake.bytes(shortArray), std::vector<jbyte>(8, 0x11));
    // The accepted descriptor (the lowest free one) is closed, and the peer sees the end.
    EXPECT_FALSE(isOpen(before));
    char byte;
    EXPECT_EQ(recv(connection.client.get(), &byte, 1, 0), 0);
}

TEST(SocketLifecycle, AcceptWritesTheAcceptedPeerForm) {
    Connection connection;
    FakeJni fake;
    jbyteArray peer = fake.byteArray(std::vector<jbyte>(25, 0x11));
    Descriptor accepted(quarn::socket::accept(fake.env(), nullptr, connection.listener.get(), peer));
    ASSERT_GE(accepted.get(), 0);
    sockaddr_in client{};
    socklen_t length = sizeof(client);
    ASSERT_EQ(getsockname(connection.client.get(), reinterpret_cast<sockaddr *>(&client), &length), 0);
    const std::vector<jbyte> &bytes = fake.bytes(peer);
    EXPECT_EQ(bytes[0], 8);
    EXPECT_EQ(bytes[1], 127);
    EXPECT_EQ(bytes[4], 1);
    EXPECT_EQ(((bytes[7] & 0xff) << 8) | (bytes[8] & 0xff), ntohs(client.sin_port));
    EXPECT_EQ(bytes[9], 0x11);  // nothing beyond the record
    EXPECT_EQ(quarn::socket::accept(fake.env(), nullptr, connection.listener.get(), nullptr), -EINVAL);
}

TEST(SocketLifecycle, ShutdownDirections) {
    EXPECT_EQ(quarn::socket::shutdownDirection(true, true), SHUT_RDWR);
    EXPECT_EQ(quarn::socket::shutdownDirection(true, false), SHUT_RD);
    EXPECT_EQ(quarn::socket::shutdownDirection(false, true), SHUT_WR);
    EXPECT_EQ(quarn::socket::shutdownDirection(false, false), -1);
    Connection connection;
    FakeJni fake;
    EXPECT_EQ(quarn::socket::shutdown(fake.env(), nullptr, connection.client.get(), JNI_FALSE, JNI_FALSE), -EINVAL);
    EXPECT_EQ(send(connection.client.get(), "x", 1, MSG_NOSIGNAL), 1);  // still open for output
    EXPECT_EQ(quarn::socket::shutdown(fake.env(), nullptr, connection.client.get(), JNI_FALSE, JNI_TRUE), 0);
    EXPECT_EQ(send(connection.client.get(), "x", 1, MSG_NOSIGNAL), -1);
    EXPECT_EQ(errno, EPIPE);
}

TEST(SocketLifecycle, DisconnectDissolvesADatagramAssociation) {
    Descriptor fd(quarn::socket::openSocket(AF_INET, SOCK_DGRAM));
    ASSERT_GE(fd.get(), 0);
    // Unconnected: the system answers success or EAFNOSUPPORT, both count as done.
    EXPECT_EQ(quarn::socket::dissolveAssociation(fd.get(), false), 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(9);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr *>(&peer), sizeof(peer)), 0);
    EXPECT_EQ(quarn::socket::dissolveAssociation(fd.get(), false), 0);
    sockaddr_in after{};
    socklen_t length = sizeof(after);
    EXPECT_EQ(getpeername(fd.get(), reinterpret_cast<sockaddr *>(&after), &length), -1);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(quarn::socket::dissolveAssociation(-1, true), -EBADF);
}

TEST(SocketLifecycle, RetryOnInterruptRepeatsOnlyEintr) {
    int calls = 0;
    EXPECT_EQ(quarn::socket::retryOnInterrupt([&] {
                  errno = ++calls < 3 ? EINTR : 0;
                  return calls < 3 ? -1 : 7;
              }),
              7);
    EXPECT_EQ(calls, 3);
    calls = 0;
    EXPECT_EQ(quarn::socket::retryOnInterrupt([&] {
                  ++calls;
                  errno = EAGAIN;
                  return -1;
              }),
              -1);
    EXPECT_EQ(calls, 1);
}

}  // namespace
