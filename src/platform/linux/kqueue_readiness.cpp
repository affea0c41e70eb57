// The scan's filter functions: whether a descriptor knote is ready, whether it carries EV_EOF,
// and the data it reports, decided when the scan takes the knote from the ready queue. The rules
// follow the socket and pipe filters of FreeBSD 14 (filt_soread, filt_sowrite, filt_solisten,
// filt_piperead, filt_pipewrite) as seen through Linux's poll masks (tcp_poll, unix_poll,
// udp_poll, pipe_poll), the byte counts of FIONREAD and the send buffer's free space.
//
// The layer never reads SO_ERROR (getsockopt clears the pending error that a later connect check
// must see) and never receives to probe a socket.
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

int describe(int fd, FdType *type) {
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
    *type = S_ISFIFO(status.st_mode) ? FdType::Pipe : FdType::Other;
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
    return -1;
}

int64_t writeData(int fd, FdType type) {
    int queued = 0;
    int size = 0;
    switch (type) {
        case FdType::Stream:
        case FdType::Datagram: {
            // The buffer's size now: Linux grows a TCP send buffer as the connection runs (16 KB
            // to 4 MB), so a size read at registration would soon announce no room at all.
            // SO_SNDBUF reads doubled, for Linux's own bookkeeping; the space is approximate, as
            // FreeBSD's sbspace() is an approximation of what a write will take.
            socklen_t length = sizeof size;
            if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length) != 0 || ioctl(fd, SIOCOUTQ, &queued) != 0) {
                return -1;
            }
            break;
        }
        case FdType::Pipe:
            size = fcntl(fd, F_GETPIPE_SZ);
            if (size < 0 || ioctl(fd, FIONREAD, &queued) != 0) {
                return -1;
            }
            break;
        default:
            return 0;
    }
    return size > queued ? size - queued : 0;
}

int filter(FdEntry &entry, bool isRead, bool fresh, bool datagramsOnly, Verdict *verdict) {
    const int fd = entry.fd;
    *verdict = Verdict{};
    uint32_t events = entry.seen;
    int64_t bytes = -1;
    if (!fresh) {
        // A reader with bytes queued is ready and the count is its data: the one ioctl the event
        // needs anyway. An end or an error that came since the latest report comes with a report
        // of its own, which the collection before this scan took in; without one, an empty
        // stream or pipe is not ready, and only a report that showed more is probed again.
        constexpr uint32_t kMore = EPOLLRDHUP | EPOLLHUP | EPOLLERR;
        if (isRead && entry.type != FdType::Listener && entry.type != FdType::Other) {
            int count = 0;
            if (ioctl(fd, FIONREAD, &count) == 0) {
                bytes = count;
                if (count > 0) {
                    events |= EPOLLIN;
                } else if (!(events & kMore) && entry.type != FdType::Datagram) {
                    return 0;
                }
            }
        }
        if (bytes <= 0) {
            struct pollfd probe {};
            probe.fd = fd;
            probe.events = POLLIN | POLLOUT | POLLRDHUP;
            // A probe that does not wait: an interruption is retried, never the caller's error.
            int result;
            do {
                result = poll(&probe, 1, 0);
            } while (result < 0 && errno == EINTR);
            if (result < 0) {
                return errno;
            }
            if (probe.revents & POLLNVAL) {
                return EBADF;
            }
            // poll(2) and epoll share the values of IN, OUT, ERR, HUP and RDHUP.
            events = static_cast<uint32_t>(probe.revents);
            entry.seen = events;
        }
    }
    const Readiness ready = readiness(entry.type, events);
    if (isRead) {
        if (!ready.read) {
            return 0;
        }
        verdict->eof = ready.readEof;
        verdict->data = bytes >= 0 ? bytes : readData(fd, &entry.type);
        if (verdict->data < 0) {
            // The count could not be had: the event keeps its place, with 0 in data.
            verdict->data = 0;
            verdict->ready = true;
            return 0;
        }
        const bool empty = verdict->data == 0 && !verdict->eof && !(events & EPOLLERR);
        if (entry.type == FdType::Datagram) {
            // FreeBSD counts every queued byte, Linux only the next datagram: a reader with
            // EV_CLEAR comes back while a datagram is queued, never for an error or a shut
            // receive side alone. An empty datagram is data.
            verdict->ready = !datagramsOnly || verdict->data > 0 || ((events & EPOLLIN) && !(events & EPOLLRDHUP));
        } else {
            // An empty stream or pipe that was readable when reported: another thread took it.
            verdict->ready = !(empty && (entry.type == FdType::Stream || entry.type == FdType::Pipe));
        }
        return 0;
    }
    // The read data may have found a listener, which has no write readiness at all.
    if (!ready.write || entry.type == FdType::Listener) {
        return 0;
    }
    verdict->eof = ready.writeEof;
    verdict->data = writeData(fd, entry.type);
    if (verdict->data < 0) {
        // The room could not be measured: never announced as 0, the knote waits for the next call.
        verdict->data = 0;
        return ENOBUFS;
    }
    // A ready writer always has room: with none left it waits for the next report.
    verdict->ready = verdict->eof || verdict->data > 0 || entry.type == FdType::Other;
    return 0;
}

}  // namespace quarn::platform::kq
