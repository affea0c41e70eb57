// The socket seam on Linux (see platform/socket.h): two places where Linux sockets differ from
// FreeBSD's in a way a caller notices.
//
//   accept      Linux passes a new connection's pending network errors on as the result of
//               accept(2) (its manual page, "Error handling"); the connection is gone and the
//               listener is fine, so the accept path takes the next connection instead.
//   disconnect  connecting a UDP socket to AF_UNSPEC clears a local port the kernel chose
//               (bind to port 0, or a send or connect without a bind), and with it any local
//               address not bound explicitly; the layer binds the socket back to its port.
//
// Included only through platform/socket.h.
#pragma once

#include <errno.h>
#include <sys/socket.h>

#include <cstddef>

namespace quarn::platform {

// udp_recvmsg's messages in the order it writes them: the socket level's (time stamps, drops,
// mark, priority), GRO, then ip_cmsg_recv_offset's up to the destination.
inline constexpr size_t kDestinationControlBytes =
    CMSG_SPACE(16)         // SO_TIMESTAMP or SO_TIMESTAMPNS, old or new layout
    + CMSG_SPACE(48)       // SO_TIMESTAMPING: three timespecs
    + CMSG_SPACE(12)       // its SCM_TS_OPT_PKTINFO
    + 4 * CMSG_SPACE(4)    // SO_WIFI_STATUS, SO_RXQ_OVFL, SO_RCVMARK, SO_RCVPRIORITY
    + CMSG_SPACE(4)        // UDP_GRO
    + CMSG_SPACE(12)       // IP_PKTINFO: struct in_pktinfo
    + CMSG_SPACE(4)        // IP_TTL
    + CMSG_SPACE(1)        // IP_TOS
    + 2 * CMSG_SPACE(40)   // IP_OPTIONS and IP_RETOPTS
    + CMSG_SPACE(256)      // IP_PASSSEC: a security label of up to 256 bytes
    + CMSG_SPACE(16);      // IP_ORIGDSTADDR: struct sockaddr_in

bool isNewConnectionError(int listener, int error);

// What disconnect answers when a send on another thread gave the socket a new port while the
// disconnect had cleared its own: the socket is on another port than it had.
inline constexpr int kLocalPortLost = EBUSY;

// After a successful disconnect of fd, whose local address was before (while connected):
// binds a datagram socket whose kernel-chosen port was cleared back to that port, on the
// local address it kept (the wildcard when its address was not bound explicitly), or, when
// another socket holds the port on another address, on the address it had while connected.
// 0 only when the socket is on its port again; -kLocalPortLost when a concurrent send gave it
// another one; otherwise -errno of the last bind (-EADDRINUSE: the port is taken there too).
int restoreLocalPort(int fd, const sockaddr_storage &before);

template <typename Disconnect>
int disconnectKeepingLocalPort(int fd, Disconnect &&disconnect) {
    sockaddr_storage before{};
    socklen_t length = sizeof(before);
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&before), &length) != 0) {
        // Without the port it has, the disconnect could lose it and still report success;
        // nothing is changed yet.
        return -errno;
    }
    const int result = disconnect();
    return result != 0 ? result : restoreLocalPort(fd, before);
}

}  // namespace quarn::platform
