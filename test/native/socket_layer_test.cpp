// The socket seam on this system: accept passes over connections that failed before they were
// taken, and a datagram disconnect never reports a port kept that a concurrent send replaced.
// (That a datagram disconnect keeps the local port is tested through the natives.)
#include "platform/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "unix/socket/lifecycle.h"

namespace {

using quarn::platform::acceptNextConnection;
using quarn::platform::kFailedConnectionsPassedOver;

// Answers of a scripted accept: a descriptor, or -1 with the error.
struct ScriptedAccept {
    std::vector<std::pair<int, int>> answers;
    size_t calls = 0;

    int operator()() {
        const auto [result, error] = answers.at(std::min(calls, answers.size() - 1));
        ++calls;
        errno = error;
        return result;
    }
};

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

TEST(AcceptNextConnection, FailedConnectionsArePassedOverForTheNextOne) {
    for (const int error : {ENETDOWN, EPROTO, ENOPROTOOPT, EHOSTDOWN, ENONET, EHOSTUNREACH, ENETUNREACH}) {
        ScriptedAccept accept{{{-1, error}, {-1, EPROTO}, {7, 0}}};
        EXPECT_EQ(acceptNextConnection(-1, accept), 7) << error;
        EXPECT_EQ(accept.calls, 3u);
    }
}

TEST(AcceptNextConnection, NothingLeftAfterFailedConnectionsIsEagain) {
    ScriptedAccept accept{{{-1, EHOSTUNREACH}, {-1, EAGAIN}}};
    EXPECT_EQ(acceptNextConnection(-1, accept), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(accept.calls, 2u);
}

TEST(AcceptNextConnection, ErrorsOfTheListenerComeBackAtOnce) {
    for (const int error : {EBADF, EMFILE, EINVAL, ECONNABORTED}) {
        ScriptedAccept accept{{{-1, error}}};
        EXPECT_EQ(acceptNextConnection(-1, accept), -1);
        EXPECT_EQ(errno, error);
        EXPECT_EQ(accept.calls, 1u);
    }
}

TEST(AcceptNextConnection, PassingOverIsBounded) {
    ScriptedAccept accept{{{-1, ENETUNREACH}}};
    EXPECT_EQ(acceptNextConnection(-1, accept), -1);
    EXPECT_EQ(errno, ECONNABORTED);
    EXPECT_EQ(accept.calls, static_cast<size_t>(kFailedConnectionsPassedOver) + 1);
}

TEST(AcceptNextConnection, OperationNotSupportedBelongsToAConnectionOnlyOnAListener) {
    Socket datagram(socket(AF_INET, SOCK_DGRAM, 0));
    ScriptedAccept onDatagram{{{-1, EOPNOTSUPP}, {7, 0}}};
    EXPECT_EQ(acceptNextConnection(datagram.get(), onDatagram), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    Socket listener(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(listen(listener.get(), 1), 0);
    ScriptedAccept onListener{{{-1, EOPNOTSUPP}, {7, 0}}};
    EXPECT_EQ(acceptNextConnection(listener.get(), onListener), 7);
}

// The accept path over a real listener whose first answer is a connection that failed.
int gFailuresLeft = 0;
int acceptAfterAFailure(int fd, sockaddr *address, socklen_t *length, int flags) {
    if (gFailuresLeft > 0) {
        --gFailuresLeft;
        std::memset(address, 0x5a, *length);  // what a failed attempt may leave behind
        errno = EPROTO;
        return -1;
    }
    return ::accept4(fd, address, length, flags);
}

struct ScriptedAccept4 {
    quarn::platform::Accept4Function saved = quarn::platform::accept4Function;
    ScriptedAccept4() { quarn::platform::accept4Function = &acceptAfterAFailure; }
    ~ScriptedAccept4() { quarn::platform::accept4Function = saved; }
};

TEST(AcceptNextConnection, AcceptPathTakesTheNextRealConnection) {
    const ScriptedAccept4 scripted;
    Socket listener(quarn::socket::openSocket(AF_INET, SOCK_STREAM));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener.get(), 4), 0);
    ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length), 0);
    Socket client(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);

    gFailuresLeft = 2;
    sockaddr_storage peer;
    const Socket accepted(quarn::socket::acceptConnection(listener.get(), &peer));
    EXPECT_GE(accepted.get(), 0);
    EXPECT_EQ(gFailuresLeft, 0);
    EXPECT_EQ(peer.ss_family, AF_INET);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(&peer)[sizeof(peer) - 1], 0) << "peer zeroed for each attempt";
    gFailuresLeft = 1;
    EXPECT_EQ(quarn::socket::acceptConnection(listener.get(), &peer), -EAGAIN) << "the queue is empty";
}

in_port_t localPort(int fd, sockaddr_storage *address) {
    socklen_t length = sizeof(*address);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(address), &length), 0);
    return address->ss_family == AF_INET ? reinterpret_cast<sockaddr_in *>(address)->sin_port
                                         : reinterpret_cast<sockaddr_in6 *>(address)->sin6_port;
}

// The race, made certain: a send from another thread lands between the disconnect and the
// rebind, so the kernel gives the socket a new port.
TEST(DisconnectKeepingLocalPort, PortReplacedByASendDuringTheDisconnectIsAFailure) {
    for (const int family : {AF_INET, AF_INET6}) {
        Socket fd(socket(family, SOCK_DGRAM, 0));
        Socket peer(socket(family, SOCK_DGRAM, 0));
        sockaddr_storage address{};
        address.ss_family = static_cast<sa_family_t>(family);
        if (family == AF_INET) {
            reinterpret_cast<sockaddr_in &>(address).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        } else {
            reinterpret_cast<sockaddr_in6 &>(address).sin6_addr = in6addr_loopback;
        }
        const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (bind(peer.get(), reinterpret_cast<sockaddr *>(&address), length) != 0) {
            continue;  // no IPv6 loopback here
        }
        localPort(peer.get(), &address);
        ASSERT_EQ(connect(fd.get(), reinterpret_cast<sockaddr *>(&address), length), 0);
        sockaddr_storage local{};
        const in_port_t before = localPort(fd.get(), &local);
        const int result = quarn::platform::disconnectKeepingLocalPort(fd.get(), [&] {
            sockaddr_storage unspecified{};
            unspecified.ss_family = AF_UNSPEC;
            // Linux clears the port here and the send chooses a new one; FreeBSD refuses both.
            (void)connect(fd.get(), reinterpret_cast<sockaddr *>(&unspecified), length);
            (void)sendto(fd.get(), "x", 1, 0, reinterpret_cast<sockaddr *>(&address), length);
            return 0;
        });
        const in_port_t after = localPort(fd.get(), &local);
        // EBUSY: the socket is on another port. The new port may, rarely, be the old one.
        EXPECT_EQ(result, after == before ? 0 : -EBUSY) << family;
        EXPECT_NE(after, 0) << family;
    }
}

}  // namespace
