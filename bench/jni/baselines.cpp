// The raw C baselines of the Java benchmark harness: the same work the harness does through the
// library's natives and through JDK NIO, written directly against the system calls. They run in the
// harness's own process, so every variant shares the JVM, the pinning and the machine's mood.
//
// Each function times only its measured loop, with CLOCK_MONOTONIC (the clock System.nanoTime
// reads), and returns nanoseconds, or a negated errno when a system call failed. Every loop is
// bounded by its count and by a deadline.
#include <jni.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
// No measured loop may run longer than this, whatever its count.
constexpr int64_t kDeadlineNanos = 30 * kNanosPerSecond;

int64_t nowNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * kNanosPerSecond + ts.tv_nsec;
}

int64_t negatedErrno() {
    int error = errno;
    return -static_cast<int64_t>(error != 0 ? error : EIO);
}

// Closes a descriptor when the scope ends.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// A connected TCP pair over 127.0.0.1, both ends non-blocking with TCP_NODELAY, as the Java variants
// set theirs up. A buffer size of 0 leaves the kernel's default.
int64_t connectedPair(Fd &server, Fd &client, int bufferSize) {
    Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener.get() < 0) {
        return negatedErrno();
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        return negatedErrno();
    }
    client.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (client.get() < 0) {
        return negatedErrno();
    }
    // Buffer sizes go on before connect so that the window scale agrees with them.
    if (bufferSize > 0) {
        setsockopt(client.get(), SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
        setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
        setsockopt(listener.get(), SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
        setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    }
    if (connect(client.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        return negatedErrno();
    }
    server.reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (server.get() < 0) {
        return negatedErrno();
    }
    int one = 1;
    if (fcntl(client.get(), F_SETFL, fcntl(client.get(), F_GETFL) | O_NONBLOCK) != 0 ||
        setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
        setsockopt(server.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        return negatedErrno();
    }
    return 0;
}

// Reads whatever the socket holds, up to EAGAIN. Returns the bytes read or a negated errno.
int64_t drain(int fd, char *buffer, size_t capacity) {
    int64_t total = 0;
    for (;;) {
        ssize_t n = read(fd, buffer, capacity);
        if (n > 0) {
            total += n;
        } else if (n < 0 && errno == EAGAIN) {
            return total;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n == 0 ? -EPIPE : negatedErrno();
        }
    }
}

// The shape every bulk loop shares: the writer fills the socket until EAGAIN, the reader empties it,
// until `total` bytes have crossed. `writeSome(limit)` writes at most `limit` bytes once.
template <typename WriteSome>
int64_t bulkLoop(int server, int64_t total, WriteSome writeSome) {
    std::vector<char> sink(64 * 1024);
    int64_t sent = 0;
    int64_t received = 0;
    const int64_t start = nowNanos();
    const int64_t deadline = start + kDeadlineNanos;
    while (received < total) {
        while (sent < total) {
            int64_t n = writeSome(total - sent);
            if (n > 0) {
                sent += n;
            } else if (n == -EAGAIN || n == 0) {
                break;
            } else if (n != -EINTR) {
                return n;
            }
        }
        int64_t n = drain(server, sink.data(), sink.size());
        if (n < 0) {
            return n;
        }
        received += n;
        if (nowNanos() > deadline) {
            return -ETIMEDOUT;
        }
    }
    return nowNanos() - start;
}

struct WakeupShared {
    int epoll = -1;
    int eventFd = -1;
    int samples = 0;
    std::vector<int64_t> latencies;
    std::atomic<int64_t> triggeredAt{0};
    std::atomic<int> completed{0};
    std::atomic<bool> failed{false};
};

// The waiter of the eventfd wakeup: blocks in epoll_wait, notes the time it returned, resets the
// eventfd as an event loop would, and goes back to waiting.
void *wakeupWaiter(void *argument) {
    auto *shared = static_cast<WakeupShared *>(argument);
    epoll_event event{};
    uint64_t value = 0;
    for (int i = 0; i < shared->samples; i++) {
        int n = epoll_wait(shared->epoll, &event, 1, 5000);
        int64_t now = nowNanos();
        if (n < 0 && errno == EINTR) {
            i--;
            continue;
        }
        if (n != 1 || read(shared->eventFd, &value, sizeof value) != sizeof value) {
            shared->failed.store(true);
            return nullptr;
        }
        shared->latencies[i] = now - shared->triggeredAt.load(std::memory_order_acquire);
        shared->completed.store(i + 1, std::memory_order_release);
    }
    return nullptr;
}

}  // namespace

extern "C" {

// `count` one-byte write(2) calls on a pipe from `address`. The pipe must hold them all.
JNIEXPORT jlong JNICALL Java_io_quarn_bench_Baselines_pipeWrite(JNIEnv *, jclass, jint fd, jlong address,
                                                                jint count) {
    const void *source = reinterpret_cast<const void *>(static_cast<intptr_t>(address));
    const int64_t start = nowNanos();
    for (jint i = 0; i < count; i++) {
        if (write(fd, source, 1) != 1) {
            return negatedErrno();
        }
    }
    return nowNanos() - start;
}

// CPU nanoseconds of this thread over `count` system calls: getppid(2) with fd -1 (a bare entry
// and exit), else ioctl(FIONREAD) on fd (the call the kqueue layer adds per read event).
JNIEXPORT jlong JNICALL Java_io_quarn_bench_Baselines_systemCalls(JNIEnv *, jclass, jint fd, jint count) {
    struct timespec start, end;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    for (jint i = 0; i < count; i++) {
        int queued = 0;
        if (fd < 0 ? getppid() < 0 : ioctl(fd, FIONREAD, &queued) != 0) {
            return negatedErrno();
        }
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    return (end.tv_sec - start.tv_sec) * 1000000000L + end.tv_nsec - start.tv_nsec;
}

// One write(2) of one byte, as thin as a JNI native can be: what a Java loop of these costs above
// the C loop is the JVM's own cost of a native call around a system call.
JNIEXPORT jint JNICALL Java_io_quarn_bench_Baselines_writeOne(JNIEnv *, jclass, jint fd, jlong address) {
    ssize_t n = write(fd, reinterpret_cast<const void *>(static_cast<intptr_t>(address)), 1);
    return n >= 0 ? static_cast<jint>(n) : -errno;
}

// `rounds` round trips of `size` bytes over one loopback connection, client and server on one epoll
// loop in this thread: the client writes, the server echoes what it reads, the client waits for all
// of it and checks the first byte before it sends the next message. With `bytesReadable` set, each
// read event also asks FIONREAD how many bytes are queued, as the kqueue layer does to fill a read
// event's data.
JNIEXPORT jlong JNICALL Java_io_quarn_bench_Baselines_echoEpoll(JNIEnv *, jclass, jint rounds, jint size,
                                                                jboolean bytesReadable) {
    Fd server;
    Fd client;
    int64_t status = connectedPair(server, client, 0);
    if (status < 0) {
        return status;
    }
    Fd epoll(epoll_create1(EPOLL_CLOEXEC));
    if (epoll.get() < 0) {
        return negatedErrno();
    }
    epoll_event registration{};
    registration.events = EPOLLIN;
    registration.data.fd = server.get();
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, server.get(), &registration) != 0) {
        return negatedErrno();
    }
    registration.data.fd = client.get();
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, client.get(), &registration) != 0) {
        return negatedErrno();
    }
    std::vector<char> message(static_cast<size_t>(size));
    std::vector<char> echoed(static_cast<size_t>(size));
    std::vector<char> relay(64 * 1024);
    epoll_event events[8];
    int done = 0;
    int received = 0;
    const int64_t start = nowNanos();
    const int64_t deadline = start + kDeadlineNanos;
    message[0] = 0;
    if (write(client.get(), message.data(), message.size()) != size) {
        return negatedErrno();
    }
    while (done < rounds) {
        int ready = epoll_wait(epoll.get(), events, 8, 1000);
        if (ready < 0 && errno != EINTR) {
            return negatedErrno();
        }
        for (int i = 0; i < ready; i++) {
            if (bytesReadable) {
                int queued = 0;
                if (ioctl(events[i].data.fd, FIONREAD, &queued) != 0) {
                    return negatedErrno();
                }
            }
            if (events[i].data.fd == server.get()) {
                ssize_t n = read(server.get(), relay.data(), relay.size());
                if (n <= 0 || write(server.get(), relay.data(), static_cast<size_t>(n)) != n) {
                    return n == 0 ? -EPIPE : negatedErrno();
                }
            } else {
                ssize_t n = read(client.get(), echoed.data() + received, echoed.size() - received);
                if (n <= 0) {
                    return n == 0 ? -EPIPE : negatedErrno();
                }
                received += static_cast<int>(n);
                if (received == size) {
                    if (echoed[0] != message[0]) {
                        return -EBADMSG;
                    }
                    received = 0;
                    done++;
                    message[0] = static_cast<char>(done);
                    if (done < rounds && write(client.get(), message.data(), message.size()) != size) {
                        return negatedErrno();
                    }
                }
            }
        }
        if (nowNanos() > deadline) {
            return -ETIMEDOUT;
        }
    }
    return nowNanos() - start;
}

// Wakeup latency of an eventfd: a waiter thread blocks in epoll_wait on it; this thread notes the
// time, writes the eventfd, sleeps `gapNanos` so that the waiter runs and blocks again, and repeats.
// Each latency (trigger to the waiter's return) goes into `latencies`; the result is 0 or a negated
// errno.
JNIEXPORT jlong JNICALL Java_io_quarn_bench_Baselines_wakeupEventfd(JNIEnv *env, jclass, jlongArray latencies,
                                                                    jlong gapNanos) {
    WakeupShared shared;
    shared.samples = env->GetArrayLength(latencies);
    shared.latencies.assign(static_cast<size_t>(shared.samples), 0);
    Fd epoll(epoll_create1(EPOLL_CLOEXEC));
    Fd eventFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (epoll.get() < 0 || eventFd.get() < 0) {
        return negatedErrno();
    }
    shared.epoll = epoll.get();
    shared.eventFd = eventFd.get();
    epoll_event registration{};
    registration.events = EPOLLIN;
    registration.data.fd = eventFd.get();
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, eventFd.get(), &registration) != 0) {
        return negatedErrno();
    }
    pthread_t waiter;
    if (int error = pthread_create(&waiter, nullptr, &wakeupWaiter, &shared); error != 0) {
        return -error;
    }
    const timespec gap{static_cast<time_t>(gapNanos / kNanosPerSecond), static_cast<long>(gapNanos % kNanosPerSecond)};
    const int64_t deadline = nowNanos() + kDeadlineNanos;
    int64_t status = 0;
    uint64_t one = 1;
    for (int i = 0; i < shared.samples && status == 0; i++) {
        // Let the waiter finish the previous sample and block again before the next trigger.
        nanosleep(&gap, nullptr);
        while (shared.completed.load(std::memory_order_acquire) < i && !shared.failed.load()) {
            if (nowNanos() > deadline) {
                status = -ETIMEDOUT;
                break;
            }
            nanosleep(&gap, nullptr);
        }
        if (status != 0 || shared.failed.load()) {
            break;
        }
        shared.triggeredAt.store(nowNanos(), std::memory_order_release);
        if (write(eventFd.get(), &one, sizeof one) != sizeof one) {
            status = negatedErrno();
        }
    }
    if (status != 0 || shared.failed.load()) {
        // Release a waiter that may still be blocked: it reads no more than it was triggered.
        shared.failed.store(true);
        write(eventFd.get(), &one, sizeof one);
    }
    pthread_join(waiter, nullptr);
    if (status == 0 && shared.failed.load()) {
        status = -EIO;
    }
    if (status == 0) {
        env->SetLongArrayRegion(latencies, 0, shared.samples, reinterpret_cast<const jlong *>(shared.latencies.data()));
    }
    return status;
}

// `total` bytes over one loopback connection in write(2) calls of `chunk` bytes, the reader emptying
// the socket whenever the writer meets EAGAIN.
JNIEXPORT jlong JNICALL Java_io_quarn_bench_Baselines_bulkWrite(JNIEnv *, jclass, jlong total, jint chunk,
                                                                jint bufferSize) {
    Fd server;
    Fd client;
    int64_t status = connectedPair(server, client, bufferSize);
    if (status < 0) {
        return status;
    }
    std::vector<char> source(static_cast<size_t>(chunk), 'q');
    const int fd = client.get();
    return bulkLoop(server.get(), total, [&](int64_t limit) -> int64_t {
        size_t length = static_cast<size_t>(limit < chunk ? limit : chunk);
        ssize_t n = write(fd, source.data(), length);
        return n >= 0 ? n : negatedErrno();
    });
}

// `total` bytes over one loopback connection with sendfile(2) from the file at `path` (of
// `fileLength` bytes), each call asking for the rest of the file from where the last one stopped.
JNIEXPORT jlong JNICALL Java_io_quarn_bench_Baselines_sendFile(JNIEnv *env, jclass, jstring path, jlong fileLength,
                                                               jlong total, jint bufferSize) {
    const char *chars = env->GetStringUTFChars(path, nullptr);
    if (chars == nullptr) {
        return -ENOMEM;
    }
    Fd file(open(chars, O_RDONLY | O_CLOEXEC));
    env->ReleaseStringUTFChars(path, chars);
    if (file.get() < 0) {
        return negatedErrno();
    }
    Fd server;
    Fd client;
    int64_t status = connectedPair(server, client, bufferSize);
    if (status < 0) {
        return status;
    }
    const int fd = client.get();
    const int fileFd = file.get();
    int64_t position = 0;
    return bulkLoop(server.get(), total, [&](int64_t limit) -> int64_t {
        int64_t rest = fileLength - position;
        off_t offset = static_cast<off_t>(position);
        ssize_t n = sendfile(fd, fileFd, &offset, static_cast<size_t>(limit < rest ? limit : rest));
        if (n < 0) {
            return negatedErrno();
        }
        position = (position + n) % fileLength;
        return n;
    });
}

// Pins the calling thread to one core; 0 or a negated errno.
JNIEXPORT jint JNICALL Java_io_quarn_bench_Baselines_pinThread(JNIEnv *, jclass, jint core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0 ? 0 : -errno;
}

// The C echo server of the many-connection benchmark: one level-triggered epoll loop over the first
// `count` descriptors of `fds`, echoing whatever each ready connection holds, until the stop slot of
// the control block at `control` (slot 0) becomes non-zero. After every wait it publishes the waits
// (slot 8) and events (slot 9) so far. With `bytesReadable`, one FIONREAD per read event, as the
// kqueue layer does to fill a read event's data. With `edge`, edge-triggered and each ready
// connection read until a read comes back short: the system calls of the natives' loop over
// EV_CLEAR knotes, and so the bound for it. A connection that fails or ends is dropped from the loop. Returns 0 or a
// negated errno; every wait is bounded by 100 ms.
JNIEXPORT jint JNICALL Java_io_quarn_bench_Baselines_echoServe(JNIEnv *env, jclass, jintArray fds, jint count,
                                                               jboolean bytesReadable, jboolean edge, jlong control) {
    auto *slots = reinterpret_cast<std::atomic<int64_t> *>(static_cast<intptr_t>(control));
    std::vector<jint> connections(static_cast<size_t>(count));
    env->GetIntArrayRegion(fds, 0, count, connections.data());
    if (env->ExceptionCheck()) {
        return -EINVAL;
    }
    Fd epoll(epoll_create1(EPOLL_CLOEXEC));
    if (epoll.get() < 0) {
        return static_cast<jint>(negatedErrno());
    }
    for (jint fd : connections) {
        epoll_event registration{};
        registration.events = edge ? EPOLLIN | EPOLLET : EPOLLIN;
        registration.data.fd = fd;
        if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd, &registration) != 0) {
            return static_cast<jint>(negatedErrno());
        }
    }
    std::vector<char> relay(64 * 1024);
    std::vector<epoll_event> events(1024);
    int64_t waits = 0;
    int64_t delivered = 0;
    while (slots[0].load(std::memory_order_acquire) == 0) {
        int ready = epoll_wait(epoll.get(), events.data(), static_cast<int>(events.size()), 100);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return static_cast<jint>(negatedErrno());
        }
        for (int i = 0; i < ready; i++) {
            const int fd = events[static_cast<size_t>(i)].data.fd;
            int queued = 0;
            if (bytesReadable && ioctl(fd, FIONREAD, &queued) != 0) {
                return static_cast<jint>(negatedErrno());
            }
            ssize_t n = read(fd, relay.data(), relay.size());
            // Edge-triggered, a read shorter than the relay has emptied the socket (as the natives' loop reads).
            while (edge && n > 0 && write(fd, relay.data(), static_cast<size_t>(n)) == n) {
                n = static_cast<size_t>(n) < relay.size() ? -2 : read(fd, relay.data(), relay.size());
            }
            if (n == -2) {
                continue;
            }
            if (!edge && n > 0 && write(fd, relay.data(), static_cast<size_t>(n)) == n) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
        }
        slots[8].store(++waits, std::memory_order_relaxed);
        slots[9].store(delivered += ready, std::memory_order_relaxed);
    }
    return 0;
}

}  // extern "C"
