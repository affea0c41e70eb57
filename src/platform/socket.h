// The socket seam. Every implementation provides, in namespace quarn::platform:
//
//   kSocketNonBlocking, kSocketCloseOnExec   the socket(2)/accept4(2) type flags
//   int addressFamily(const sockaddr_storage &)
//                                            the family of a socket address: the one-byte
//                                            field after sin_len on the BSDs, the two-byte
//                                            field at offset 0 on Linux; ss_family on both
//   Accept4Function accept4Function          the accept4(2) the accept path calls, or null
//                                            when the C library has none; then accept(2) and
//                                            two fcntl(2) calls give the same flags. Tests
//                                            may set it to null to exercise that path.
//   bool isNewConnectionError(int listener, int error)
//                                            true when accept(2) on listener failed with an
//                                            error of the connection it took off the queue
//                                            (that connection is gone; the listener is fine)
//   int disconnectKeepingLocalPort(int fd, Disconnect disconnect)
//                                            runs disconnect() (0 or -errno), which connects
//                                            a datagram socket to AF_UNSPEC, and keeps the
//                                            socket on its local port; 0 only when the socket
//                                            is on the port it had, else -errno
//   size_t kDestinationControlBytes          room for the control data of an IPv4 datagram
//                                            received with IP_RECVORIGDSTADDR on: the
//                                            destination message and every message the
//                                            kernel may put ahead of it, whatever other
//                                            receive options are on
//
// Option levels, option names and errno values are the system headers' own everywhere.
#pragma once

#include <sys/types.h>

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

// Bound weakly: a C library without accept4 leaves the address null instead of failing the
// library's load, and the accept path falls back to accept(2).
extern "C" int accept4(int fd, struct sockaddr *addr, socklen_t *addrlen, int flags) __attribute__((weak));

namespace quarn::platform {

inline constexpr int kSocketNonBlocking = SOCK_NONBLOCK;
inline constexpr int kSocketCloseOnExec = SOCK_CLOEXEC;

inline int addressFamily(const sockaddr_storage &address) {
    return address.ss_family;
}

using Accept4Function = int (*)(int, struct sockaddr *, socklen_t *, int);

inline Accept4Function accept4Function = &::accept4;

}  // namespace quarn::platform

#if defined(__FreeBSD__)

namespace quarn::platform {

// FreeBSD's accept(2) reports one error of a connection it took off the queue: ECONNABORTED,
// for a connection reset or dropped while it waited there. That connection is gone and the
// listener is fine; the error is passed on as it is, and the next accept takes the next
// connection. Nothing else that fails is a connection's error.
inline bool isNewConnectionError(int, int) {
    return false;
}

// ip_savecontrol's messages in the order it writes them, then udp_append's destination.
inline constexpr size_t kDestinationControlBytes =
    2 * CMSG_SPACE(16)     // SO_BINTIME and SO_TIMESTAMP (timeval, bintime or timespec)
    + CMSG_SPACE(64)       // SCM_TIME_INFO of a hardware time stamp
    + CMSG_SPACE(4)        // IP_RECVDSTADDR
    + CMSG_SPACE(1)        // IP_RECVTTL
    + CMSG_SPACE(54)       // IP_RECVIF: struct sockaddr_dl
    + CMSG_SPACE(1)        // IP_RECVTOS
    + 3 * CMSG_SPACE(4)    // IP_RECVFLOWID (flow id and type), IP_RECVRSSBUCKETID
    + CMSG_SPACE(16);      // IP_ORIGDSTADDR: struct sockaddr_in

// FreeBSD's UDP disconnect keeps the local address and port.
template <typename Disconnect>
int disconnectKeepingLocalPort(int, Disconnect &&disconnect) {
    return disconnect();
}

}  // namespace quarn::platform

#else
#include "platform/linux/socket_layer.h"
#endif

namespace quarn::platform {

// At most this many failed connections are passed over by one accept; a listener whose queue
// holds more gets ECONNABORTED, FreeBSD's own answer for a connection that went away before
// it was taken, and finds the rest on its next accept.
inline constexpr int kFailedConnectionsPassedOver = 32;

// Calls accept() (a descriptor, or -1 with errno) until it gives a connection or an error of
// the listener itself; EAGAIN when the failed connections were all the queue held.
template <typename Accept>
int acceptNextConnection(int listener, Accept &&accept) {
    for (int passed = 0;; ++passed) {
        const int fd = accept();
        if (fd != -1 || !isNewConnectionError(listener, errno)) {
            return fd;
        }
        if (passed == kFailedConnectionsPassedOver) {
            errno = ECONNABORTED;
            return -1;
        }
    }
}

}  // namespace quarn::platform
