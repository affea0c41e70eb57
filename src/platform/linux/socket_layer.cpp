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

int localAddress(int fd, sockaddr_storage *address) {
    socklen_t length = sizeof(*address);
    return ::getsockname(fd, reinterpret_cast<sockaddr *>(address), &length);
}

// 0 or the errno of bind(2).
int bindTo(int fd, const sockaddr_storage &address) {
    const socklen_t length = address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    return ::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0 ? 0 : errno;
}

bool optionIs(int fd, int option, int expected) {
    int value = 0;
    socklen_t length = sizeof(value);
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 && value == expected;
}

// 0 or the errno of getsockopt(2), with *value the option's value.
int readOption(int fd, int option, int *value) {
    socklen_t length = sizeof(*value);
    return ::getsockopt(fd, SOL_SOCKET, option, value, &length) == 0 ? 0 : errno;
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
    if (localAddress(fd, &after) != 0) {
        return -errno;
    }
    if (after.ss_family != before.ss_family || portOf(after) == port) {
        return 0;  // the port was kept (it was bound explicitly)
    }
    int type = 0;
    if (const int error = readOption(fd, SO_TYPE, &type); error != 0) {
        return -error;  // a port that may be lost is never reported as kept
    }
    if (type != SOCK_DGRAM) {
        return 0;  // a stream socket's disconnect is an abort, with no port to keep
    }
    if (portOf(after) != 0) {
        return -kLocalPortLost;  // a send on another thread has given the socket a new port
    }
    // Back on its port at the address it kept: the wildcard, unless it was bound explicitly.
    setPort(&after, port);
    int error = bindTo(fd, after);
    if (error == EADDRINUSE) {
        // Another socket holds the port on another address, which the wildcard would overlap
        // (it could take it while this one was connected and so on one address only). That
        // address, the one the socket had while connected, does not.
        error = bindTo(fd, before);
    }
    if (error == 0) {
        return 0;
    }
    // A bind a concurrent send beat fails too (the socket has a port by then).
    sockaddr_storage now{};
    if (localAddress(fd, &now) != 0 || portOf(now) == 0) {
        return -error;
    }
    return portOf(now) == port ? 0 : -kLocalPortLost;
}

}  // namespace quarn::platform
