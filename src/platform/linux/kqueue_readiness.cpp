// How the layer turns what epoll reports into what FreeBSD's filters would report: which knotes
// are ready, which carry EV_EOF, and the data each filter measures. The rules follow the
// socket and pipe filters of FreeBSD 14 (filt_soread, filt_sowrite, filt_solisten, filt_piperead,
// filt_pipewrite) as seen through Linux's poll masks (tcp_poll, unix_poll, udp_poll, pipe_poll).
//
// The layer never reads SO_ERROR (getsockopt clears the pending error that a later connect check
// must see) and never receives to probe a socket.
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>

#include "platform/linux/kqueue_state.h"

namespace quarn::platform::kq {

Readiness readiness(FdType type, uint32_t events) {
    const bool in = events & EPOLLIN;
    const bool out = events & EPOLLOUT;
    const bool err = events & EPOLLERR;
    const bool hup = events & EPOLLHUP;
    const bool rdhup = events & EPOLLRDHUP;
    Readiness r;
    switch (type) {
        case FdType::Stream:
            // A stream socket that never connected reports HUP (and OUT) on Linux; FreeBSD reports
            // nothing for it. Any real end of the connection also shuts the receive side, so HUP
            // without RDHUP means exactly that case.
            if (hup && !rdhup) {
                break;
            }
            r.read = in || rdhup || err;
            r.readEof = rdhup;
            // Linux cannot show a local shutdown(SHUT_WR) here: tcp_poll and unix_poll only drop
            // EPOLLOUT, so the write filter of a socket shut down locally stays silent instead of
            // reporting EV_EOF as FreeBSD does.
            r.write = out || err || (hup && rdhup);
            r.writeEof = (hup && rdhup) || err;
            break;
        case FdType::Listener:
            r.read = in || err || rdhup;
            r.readEof = rdhup;
            break;
        case FdType::Datagram:
            // A pending error (an ICMP unreachable) wakes the reader without ending the socket, and
            // an empty datagram is data, not an end of file.
            r.read = in || err || rdhup;
            r.readEof = rdhup;
            r.write = out;
            r.writeEof = out && hup;
            break;
        case FdType::Pipe:
            r.read = in || hup;
            r.readEof = hup;
            r.write = out || err;
            r.writeEof = err;
            break;
        case FdType::Other:
            r.read = in || hup || err;
            r.readEof = hup;
            r.write = out || err;
            r.writeEof = err || hup;
            break;
    }
    return r;
}

int describe(int fd, FdType *type, int32_t *capacity) {
    int socketType = 0;
    socklen_t length = sizeof socketType;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &socketType, &length) == 0) {
        int listening = 0;
        length = sizeof listening;
        // A listener taken for a stream socket would never report its connections: a failure
        // here fails the registration rather than guessing.
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0) {
            return errno;
        }
        const bool listens = listening != 0;
        if (socketType == SOCK_DGRAM) {
            *type = FdType::Datagram;
        } else if (listens) {
            *type = FdType::Listener;
        } else if (socketType == SOCK_STREAM || socketType == SOCK_SEQPACKET) {
            *type = FdType::Stream;
        } else {
            *type = FdType::Other;
        }
        int sendBuffer = 0;
        length = sizeof sendBuffer;
        *capacity = getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &length) == 0 ? sendBuffer : 0;
        return 0;
    }
    const int error = errno;
    if (error != ENOTSOCK) {
        return error;
    }
    struct stat status;
    if (fstat(fd, &status) != 0) {
        return errno;
    }
    if (S_ISFIFO(status.st_mode)) {
        *type = FdType::Pipe;
        const int size = fcntl(fd, F_GETPIPE_SZ);
        *capacity = size > 0 ? size : 0;
    } else {
        *type = FdType::Other;
        *capacity = 0;
    }
    return 0;
}

namespace {

// FreeBSD reports the listen queue's length; Linux keeps it in tcpi_unacked of a listener.
int64_t pendingConnections(int fd) {
    struct tcp_info info {};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0) {
        return info.tcpi_unacked;
    }
    // A local listener has no such count; a readable one holds at least one connection.
    return 1;
}

}  // namespace

int64_t readData(int fd, FdType *type) {
    if (*type == FdType::Listener) {
        return pendingConnections(fd);
    }
    int bytes = 0;
    if (ioctl(fd, FIONREAD, &bytes) == 0) {
        return bytes;
    }
    // Linux refuses FIONREAD on a listening socket: a stream socket registered before
    // listen() is found to listen here, once.
    if (errno == EINVAL && *type == FdType::Stream) {
        *type = FdType::Listener;
        return pendingConnections(fd);
    }
    return 0;
}

int64_t writeData(int fd, FdType type, int64_t capacity) {
    int queued = 0;
    switch (type) {
        case FdType::Stream:
        case FdType::Datagram:
            // Linux reports SO_SNDBUF doubled for its own bookkeeping; the space is approximate,
            // as FreeBSD's sbspace() is an approximation of what a write will take.
            if (ioctl(fd, SIOCOUTQ, &queued) != 0) {
                queued = 0;
            }
            break;
        case FdType::Pipe:
            if (ioctl(fd, FIONREAD, &queued) != 0) {
                queued = 0;
            }
            break;
        default:
            return 0;
    }
    return capacity > queued ? capacity - queued : 0;
}

}  // namespace quarn::platform::kq
