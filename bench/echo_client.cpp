// The client driver of the many-connection echo benchmark: a process of its own, so that the
// server under test (a JVM running the natives, NIO or a C loop) has the descriptor limit and the
// resident memory to itself. It opens N connections to 127.0.0.1:PORT, keeps one request of SIZE
// bytes in flight on each, and counts completed round trips, all on one level-triggered epoll loop
// on one core.
//
//   quarn_echo_client PORT CONNECTIONS SIZE CORE CONTROL_FILE MAX_SECONDS
//
// CONTROL_FILE is a small file the server's harness created and maps too; the two sides talk through
// it without system calls, so that reading the count costs the client nothing:
//
//   slot 0 (client writes): 0 starting, 1 all connected, 2 running, 3 finished, -errno on failure
//   slot 1 (harness writes): 1 go (send the first requests), 2 stop
//   slot 8 (client writes): round trips completed so far
//
// Slots are 64-bit integers in the machine's byte order; slot 8 sits on its own cache line. The
// client checks every echo's first byte against the request it sent. It exits after MAX_SECONDS
// whatever happens, and its sockets close with an RST (SO_LINGER 0), so that thousands of
// connections per run leave no TIME_WAIT behind to exhaust the loopback's ports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kStatus = 0;
constexpr int kCommand = 1;
constexpr int kRoundTrips = 8;
constexpr int kControlSlots = 16;
constexpr int64_t kStop = 2;
constexpr int kMaxEvents = 1024;
constexpr int kMaxSize = 4096;

int64_t nowNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

struct Control {
    std::atomic<int64_t> *slots = nullptr;

    void set(int slot, int64_t value) { slots[slot].store(value, std::memory_order_release); }
    int64_t get(int slot) const { return slots[slot].load(std::memory_order_acquire); }
};

// One connection: how much of the current echo has come back, and the first byte it must carry.
struct Connection {
    int fd = -1;
    int received = 0;
    uint8_t sequence = 0;
};

int connectOne(const sockaddr_in &server) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -errno;
    }
    const linger reset{1, 0};
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
        connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0 ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        int error = errno;
        close(fd);
        return -error;
    }
    return fd;
}

int sendRequest(Connection &c, char *message, int size) {
    message[0] = static_cast<char>(c.sequence);
    ssize_t n = write(c.fd, message, static_cast<size_t>(size));
    if (n == size) {
        return 0;
    }
    // A 64-byte write into an empty socket buffer is never short; anything else is a failure.
    return n < 0 ? -errno : -EIO;
}

// Reads what one ready connection holds; returns 1 when an echo completed (and the next request
// went out), 0 when it is still partial, or -errno.
int onReadable(Connection &c, char *message, char *echoed, int size) {
    ssize_t n = read(c.fd, echoed + c.received, static_cast<size_t>(size - c.received));
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR ? 0 : -errno;
    }
    if (n == 0) {
        return -ECONNRESET;
    }
    if (c.received == 0 && static_cast<uint8_t>(echoed[0]) != c.sequence) {
        return -EBADMSG;
    }
    c.received += static_cast<int>(n);
    if (c.received < size) {
        return 0;
    }
    c.received = 0;
    c.sequence++;
    int status = sendRequest(c, message, size);
    return status < 0 ? status : 1;
}

int pinTo(int core) {
    if (core < 0) {
        return 0;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0 ? 0 : -errno;
}

int run(Control &control, int port, int count, int size, int core, int64_t deadline) {
    if (int status = pinTo(core); status < 0) {
        return status;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) {
        return -errno;
    }
    // Descriptors are left to the process's exit, which resets every connection.
    std::vector<Connection> connections(static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        int fd = connectOne(server);
        if (fd < 0) {
            return fd;
        }
        connections[static_cast<size_t>(i)].fd = fd;
        epoll_event registration{};
        registration.events = EPOLLIN;
        registration.data.u32 = static_cast<uint32_t>(i);
        if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &registration) != 0) {
            return -errno;
        }
    }
    control.set(kStatus, 1);
    while (control.get(kCommand) == 0) {
        if (nowNanos() > deadline) {
            return -ETIMEDOUT;
        }
        const timespec pause{0, 200'000};
        nanosleep(&pause, nullptr);
    }
    char message[kMaxSize] = {};
    char echoed[kMaxSize];
    for (Connection &c : connections) {
        if (int status = sendRequest(c, message, size); status < 0) {
            return status;
        }
    }
    control.set(kStatus, 2);
    epoll_event events[kMaxEvents];
    int64_t trips = 0;
    for (;;) {
        if (control.get(kCommand) == kStop || nowNanos() > deadline) {
            return 0;
        }
        int ready = epoll_wait(epoll, events, kMaxEvents, 100);
        if (ready < 0 && errno != EINTR) {
            return -errno;
        }
        for (int i = 0; i < ready; i++) {
            int status = onReadable(connections[events[i].data.u32], message, echoed, size);
            if (status < 0) {
                return status;
            }
            trips += status;
        }
        control.slots[kRoundTrips].store(trips, std::memory_order_relaxed);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s PORT CONNECTIONS SIZE CORE CONTROL_FILE MAX_SECONDS\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int count = std::atoi(argv[2]);
    const int size = std::atoi(argv[3]);
    const int core = std::atoi(argv[4]);
    const int seconds = std::atoi(argv[6]);
    if (port <= 0 || port > 65535 || count <= 0 || size <= 0 || size > kMaxSize || seconds <= 0) {
        std::fprintf(stderr, "quarn_echo_client: bad arguments\n");
        return 2;
    }
    int file = open(argv[5], O_RDWR | O_CLOEXEC);
    if (file < 0) {
        std::perror("quarn_echo_client: control file");
        return 1;
    }
    void *mapped = mmap(nullptr, kControlSlots * sizeof(int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    close(file);
    if (mapped == MAP_FAILED) {
        std::perror("quarn_echo_client: mmap");
        return 1;
    }
    Control control{static_cast<std::atomic<int64_t> *>(mapped)};
    int status = run(control, port, count, size, core, nowNanos() + seconds * 1'000'000'000LL);
    control.set(kStatus, status < 0 ? status : 3);
    if (status < 0) {
        std::fprintf(stderr, "quarn_echo_client: failed with errno %d\n", -status);
        return 1;
    }
    return 0;
}
