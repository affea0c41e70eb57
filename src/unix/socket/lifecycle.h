// The plain steps under the socket lifecycle natives: each returns a result or a negated
// errno and raises nothing, so that it can be tested without a virtual machine.
#pragma once

#include <sys/socket.h>

#include <cerrno>

namespace quarn::socket {

// Repeats a system call while it fails with EINTR.
template <typename Call>
auto retryOnInterrupt(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

// A new non-blocking socket without close-on-exec, or -errno.
int openSocket(int family, int type);

// Clears IPV6_V6ONLY so that an IPv6 socket also serves IPv4-mapped peers. 0 when set or
// when the system ignores the option (EAFNOSUPPORT); otherwise the errno, positive.
int allowMappedPeers(int fd);

// The family that the probe of initialize finds: AF_INET6 unless the system has no IPv6
// sockets or cannot bind one to ::1.
int probePreferredFamily();

// Accepts one connection into peer (zeroed first) and returns the new descriptor, which is
// non-blocking and close-on-exec, or -errno. Uses accept4 when the platform offers it, else
// accept and two fcntl calls; a descriptor whose flags cannot be set is closed. A connection
// that failed before it was taken is passed over for the next one (platform/socket.h).
int acceptConnection(int fd, sockaddr_storage *peer);

// The shutdown(2) direction for the two Java flags, or -1 when neither is asked for.
int shutdownDirection(bool input, bool output);

// Dissolves a datagram socket's association: connect to AF_UNSPEC. The socket stays on its
// local address and port. 0 or -errno; a system that answers EAFNOSUPPORT counts as done.
int dissolveAssociation(int fd, bool ipv6);

}  // namespace quarn::socket
