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

namespace quarn::platform {

bool isNewConnectionError(int listener, int error);

// After a successful disconnect of fd, whose local address was before: binds a datagram
// socket whose kernel-chosen port was cleared back to that port, on the local address it
// kept (the wildcard when its address was not bound explicitly). 0 or -errno (the port may
// have been taken in between: -EADDRINUSE).
int restoreLocalPort(int fd, const sockaddr_storage &before);

template <typename Disconnect>
int disconnectKeepingLocalPort(int fd, Disconnect &&disconnect) {
    sockaddr_storage before{};
    socklen_t length = sizeof(before);
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&before), &length) != 0) {
        before.ss_family = AF_UNSPEC;  // the disconnect reports what is wrong with fd
    }
    const int result = disconnect();
    return result != 0 ? result : restoreLocalPort(fd, before);
}

}  // namespace quarn::platform
