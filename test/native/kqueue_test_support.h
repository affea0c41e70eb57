// Helpers shared by the kqueue layer's tests: descriptors that close themselves (through the
// close hook, as the library's close native does), change records, waits and loopback pairs.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/event.h"

namespace kqtest {

using quarn::platform::descriptorClosing;

// A descriptor closed the way the library closes descriptors: the hook first, then close(2).
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            descriptorClosing(fd_);
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// The descriptors open in the process among the first 4,096 numbers.
inline int openDescriptorCount() {
    int count = 0;
    for (int fd = 0; fd < 4096; fd++) {
        count += fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    }
    return count;
}

inline Fd newKqueue() {
    int kq = quarn::platform::kqueue();
    EXPECT_GE(kq, 0) << "kqueue() failed with errno " << errno;
    return Fd(kq);
}

inline struct kevent change(uint64_t ident, int16_t filter, uint16_t flags, uint32_t fflags = 0,
                            void *udata = nullptr) {
    struct kevent record {};
    record.ident = ident;
    record.filter = filter;
    record.flags = flags;
    record.fflags = fflags;
    record.udata = udata;
    return record;
}

inline int apply(int kq, std::vector<struct kevent> changes) {
    return quarn::platform::kevent(kq, changes.data(), static_cast<int>(changes.size()), nullptr, 0, nullptr);
}

inline struct timespec millis(long ms) { return timespec{ms / 1000, (ms % 1000) * 1000000}; }

// Waits up to ms milliseconds (negative: forever) for at most capacity events.
inline std::vector<struct kevent> wait(int kq, int capacity, long ms) {
    std::vector<struct kevent> events(static_cast<size_t>(capacity));
    struct timespec timeout = millis(ms);
    int n = quarn::platform::kevent(kq, nullptr, 0, events.data(), capacity, ms < 0 ? nullptr : &timeout);
    EXPECT_GE(n, 0) << "kevent failed with errno " << errno;
    events.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return events;
}

inline const struct kevent *find(const std::vector<struct kevent> &events, uint64_t ident, int16_t filter) {
    for (const struct kevent &event : events) {
        if (event.ident == ident && event.filter == filter) {
            return &event;
        }
    }
    return nullptr;
}

inline int64_t elapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

inline void makePipe(Fd &readEnd, Fd &writeEnd) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
}

inline Fd tcpSocket() { return Fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)); }

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A listening loopback socket on an ephemeral port; the port is written to *port.
inline Fd tcpListener(uint16_t *port) {
    Fd listener = tcpSocket();
    sockaddr_in address = loopback(0);
    EXPECT_EQ(bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener.get(), 16), 0);
    socklen_t length = sizeof address;
    getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return listener;
}

// A connected local stream pair whose first socket takes the given (free) descriptor number,
// as a new file does when a closed descriptor's number is reused.
inline void localPairOnNumber(int number, Fd &owner, Fd &peer) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    if (pair[1] == number) {
        std::swap(pair[0], pair[1]);
    }
    if (pair[0] != number) {
        ASSERT_EQ(dup3(pair[0], number, O_CLOEXEC), number);
        close(pair[0]);
    }
    owner.reset(number);
    peer.reset(pair[1]);
}

// A connected local stream pair, both non-blocking.
inline void localStreamPair(Fd &one, Fd &two) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    one.reset(pair[0]);
    two.reset(pair[1]);
}

// A UDP socket bound to an ephemeral loopback port (written to *address) and one to send to it.
inline void udpReceiverAndSender(Fd &receiver, Fd &sender, sockaddr_in *address) {
    receiver.reset(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sender.reset(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    *address = loopback(0);
    ASSERT_EQ(bind(receiver.get(), reinterpret_cast<sockaddr *>(address), sizeof *address), 0);
    socklen_t length = sizeof *address;
    ASSERT_EQ(getsockname(receiver.get(), reinterpret_cast<sockaddr *>(address), &length), 0);
}

// A connected loopback TCP pair, both non-blocking.
inline void tcpPair(Fd &client, Fd &server) {
    uint16_t port = 0;
    Fd listener = tcpListener(&port);
    client = tcpSocket();
    sockaddr_in address = loopback(port);
    int result = connect(client.get(), reinterpret_cast<sockaddr *>(&address), sizeof address);
    ASSERT_TRUE(result == 0 || errno == EINPROGRESS);
    int accepted = -1;
    for (int i = 0; i < 2000 && accepted < 0; i++) {
        accepted = accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (accepted < 0) {
            usleep(1000);
        }
    }
    ASSERT_GE(accepted, 0);
    server.reset(accepted);
}

}  // namespace kqtest
