// The wrappers behind kqueue_wrap.h.
#if defined(__linux__)

#include "kqueue_wrap.h"

#include <poll.h>
#include <sys/epoll.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <utility>

extern "C" int __real_epoll_ctl(int epfd, int op, int fd, struct epoll_event *event);
extern "C" void *__real_calloc(size_t count, size_t size);
extern "C" int __real_poll(struct pollfd *fds, nfds_t count, int timeout);

namespace {

std::function<void()> pendingAction;
std::atomic<int> modError{0};
std::atomic<int> addError{0};
std::atomic<int> pollError{0};
thread_local int callocCountdown = 0;
thread_local int callocsSeen = 0;

}  // namespace

extern "C" int __wrap_epoll_ctl(int epfd, int op, int fd, struct epoll_event *event) {
    if (pendingAction && op == EPOLL_CTL_MOD && event != nullptr && event->data.u64 == ~uint64_t{0} &&
        (event->events & EPOLLOUT)) {
        std::function<void()> action = std::move(pendingAction);
        pendingAction = nullptr;
        action();
    }
    std::atomic<int> *armed = op == EPOLL_CTL_MOD ? &modError : op == EPOLL_CTL_ADD ? &addError : nullptr;
    if (armed != nullptr) {
        if (const int error = armed->exchange(0); error != 0) {
            errno = error;
            return -1;
        }
    }
    return __real_epoll_ctl(epfd, op, fd, event);
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
    callocsSeen++;
    if (callocCountdown > 0 && --callocCountdown == 0) {
        errno = ENOMEM;
        return nullptr;
    }
    return __real_calloc(count, size);
}

extern "C" int __wrap_poll(struct pollfd *fds, nfds_t count, int timeout) {
    if (const int error = pollError.exchange(0); error != 0) {
        errno = error;
        return -1;
    }
    return __real_poll(fds, count, timeout);
}

namespace kqwrap {

void beforeNextWakeArm(std::function<void()> action) { pendingAction = std::move(action); }

bool failNextMod(int error) { return modError.exchange(error) == 0; }

bool failNextAdd(int error) { return addError.exchange(error) == 0; }

bool failNextPoll(int error) { return pollError.exchange(error) == 0; }

int failCalloc(int nth) {
    const int seen = callocsSeen;
    callocsSeen = 0;
    callocCountdown = nth;
    return seen;
}

}  // namespace kqwrap

#endif
