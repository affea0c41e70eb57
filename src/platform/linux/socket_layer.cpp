// The socket seam on Linux (see socket_layer.h).
#include <netinet/in.h>

#include "platform/socket.h"

namespace quarn::platform {

namespace {

// The port of an inet address, in network order; 0 for any other family.
in_port_t portOf(const sockaddr_storage &address) {
    if (address.ss_family == AF_INET) {
        return reinterpret_cast<const sockaddr_in &>(address).sin_port;
    }
    if (address.ss_family == AF_INET6) {
        return reinterpret_cast<const sockaddr_in6 &>(address).sin6_port;
    }
    return 0;
}

void setPort(sockaddr_storage *address, in_port_t port) {
    if (address->ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in *>(address)->sin_port = port;
    } else {
        reinterpret_cast<sockaddr_in6 *>(address)->sin6_port = port;
    }
}

bool optionIs(int fd, int option, int expected) {
    int value = 0;
    socklen_t length = sizeof(value);
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 && value == expected;
}

}  // namespace

bool isNewConnectionError(int listener, int error) {
    switch (error) {
    case ENETDOWN:
    case EPROTO:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return true;
    case EOPNOTSUPP:
        // Also the answer for a socket that cannot accept at all (a datagram socket): only a
        // listener's EOPNOTSUPP belongs to a connection.
        return optionIs(listener, SO_ACCEPTCONN, 1);
    default:
        return false;
    }
}

int restoreLocalPort(int fd, const sockaddr_storage &before) {
    const in_port_t port = portOf(before);
    if (port == 0) {
        return 0;  // not an inet socket, or it had no port to lose
    }
    sockaddr_storage after{};
    socklen_t length = sizeof(after);
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&after), &length) != 0) {
        return -errno;
    }
    if (after.ss_family != before.ss_family || portOf(after) != 0 || !optionIs(fd, SO_TYPE, SOCK_DGRAM)) {
        return 0;  // the port was kept (it was bound explicitly), or this is no datagram socket
    }
    setPort(&after, port);
    return ::bind(fd, reinterpret_cast<const sockaddr *>(&after), length) == 0 ? 0 : -errno;
}

}  // namespace quarn::platform
