// kqueue(), kevent() and the close hook of the Linux layer: FreeBSD 14's kqueue over epoll.
//
// The kqueue descriptor is the epoll descriptor, so the Java side closes it with plain close(2)
// and a kqueue costs one epoll instance plus one private eventfd. A kevent call applies its
// changes under the kqueue's mutex, delivers what earlier calls left (knotes that did not fit,
// evaluated as they are now; triggered user events), then releases the mutex for one
// epoll_pwait2 and takes it again to translate what epoll returned. No signal, no helper thread.
//
// Where Linux shows less than FreeBSD, the layer reports less, never more, or reports a knote
// once more than FreeBSD would, which a non-blocking reader or writer meets as EAGAIN:
//   - a local shutdown(SHUT_WR) is no write EV_EOF (Linux only drops EPOLLOUT);
//   - a change to one filter of a descriptor makes epoll re-evaluate both, so the other filter's
//     EV_CLEAR knote may be reported once more if it is ready at that moment; so does the
//     re-arm of a level knote that shares its descriptor with an EV_CLEAR knote;
//   - a knote that epoll reports again in the call that already wrote it (an edge after it was
//     measured) is evaluated again by the next call, and reported there if still ready;
//   - a datagram socket's read data is the size of the next datagram, not the whole queue, so
//     its read knote is reported on every call while the queue is not empty, EV_CLEAR or not;
//   - regular files cannot be registered (epoll_ctl gives EPERM, returned as the change's error);
//   - the write filter's data is an estimate: SO_SNDBUF (doubled by Linux, read at registration)
//     less SIOCOUTQ; a local listener's data is 1, since Linux does not count its queue.
#include "platform/linux/kqueue_layer.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "platform/linux/kqueue_state.h"

namespace quarn::platform {
namespace {

using kq::Output;
using kq::State;

// Events fetched from epoll per wait. A descriptor gives at most two records, and what does
// not fit the caller's list waits for the next call, so a bounded batch loses nothing.
constexpr int kBatch = 128;

std::atomic<bool> pwait2Missing{false};

int64_t nanosOf(const struct timespec &ts) { return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec; }

int64_t monotonicNanos() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return nanosOf(now);
}

// One wait. Kernels before 5.11 lack epoll_pwait2: epoll_wait then gets the milliseconds
// rounded up, so that a short timeout never becomes a poll.
int waitOnce(int kq, struct epoll_event *events, int max, const struct timespec *timeout) {
    if (!pwait2Missing.load(std::memory_order_relaxed)) {
        const int result = epoll_pwait2(kq, events, max, timeout, nullptr);
        if (result >= 0 || errno != ENOSYS) {
            return result;
        }
        pwait2Missing.store(true, std::memory_order_relaxed);
    }
    int milliseconds = -1;
    if (timeout != nullptr) {
        const int64_t rounded = timeout->tv_sec > INT_MAX / 1000 ? INT_MAX : (nanosOf(*timeout) + 999999) / 1000000;
        milliseconds = rounded > INT_MAX ? INT_MAX : static_cast<int>(rounded);
    }
    return epoll_wait(kq, events, max, milliseconds);
}

bool validTimeout(const struct timespec *timeout) {
    return timeout == nullptr || (timeout->tv_sec >= 0 && timeout->tv_nsec >= 0 && timeout->tv_nsec < 1000000000);
}

// After a wait, under the mutex again: the kqueue may have been closed (and its number even
// reused) meanwhile. The last thread out of a closed kqueue closes its orphaned eventfd.
bool stillOurs(State &state, uint32_t generation) {
    unpin(state);
    return state.open && state.generation == generation;
}

// Waits for events while the list has room; returns the count or -1 with errno.
int collect(State &state, std::unique_lock<std::mutex> &lock, Output &out, const struct timespec *timeout) {
    const uint32_t generation = state.generation;
    const bool forever = timeout == nullptr;
    const bool poll = !forever && timeout->tv_sec == 0 && timeout->tv_nsec == 0;
    int64_t deadline = 0;
    struct timespec left {};
    if (!forever && !poll) {
        deadline = monotonicNanos() + (timeout->tv_sec > INT64_MAX / 2000000000 ? INT64_MAX / 2 : nanosOf(*timeout));
        left = *timeout;
    }
    static const struct timespec zero {};
    struct epoll_event events[kBatch];
    for (;;) {
        const int room = out.capacity - out.count;
        if (room <= 0) {
            return out.count;
        }
        // Events already in hand are returned now; the wait only collects what else is ready.
        const struct timespec *wait = out.count > 0 || poll ? &zero : (forever ? nullptr : &left);
        state.pins.fetch_add(1);
        lock.unlock();
        const int ready = waitOnce(state.kq, events, room < kBatch ? room : kBatch, wait);
        const int error = errno;
        lock.lock();
        if (!stillOurs(state, generation)) {
            errno = EBADF;
            return -1;
        }
        if (ready < 0) {
            if (out.count > 0) {
                return out.count;
            }
            // EINTR is returned, never retried here: the changes are applied, and the caller
            // decides how long to wait again.
            errno = error;
            return -1;
        }
        for (int i = 0; i < ready; i++) {
            kq::translate(state, events[i].data.u64, events[i].events, out);
        }
        if (out.count > 0 || ready == 0 || wait == &zero) {
            return out.count;
        }
        // Everything epoll returned was stale or silent in FreeBSD's terms (a never-connected
        // socket's HUP, a disabled knote's error, a knote deleted meanwhile): wait for the rest
        // of the time instead of returning nothing early.
        if (!forever) {
            const int64_t remaining = deadline - monotonicNanos();
            if (remaining <= 0) {
                return 0;
            }
            left.tv_sec = remaining / 1000000000;
            left.tv_nsec = remaining % 1000000000;
        }
    }
}

// Ends a call without an event list: arms the wake-up owed by its changes once the mutex is
// released, so that the woken waiter does not at once block on it. The eventfd stays pinned
// meanwhile: a close of the kqueue cannot close it, so its number cannot name another file (a
// socket registered in a new kqueue on the same number) when the arm reaches epoll. Returns 0,
// or -1 with errno when the kqueue descriptor is not ours any more.
int finishChanges(State &state, std::unique_lock<std::mutex> &lock) {
    state.deferWake = false;
    const bool owed = state.wakeOwed;
    state.wakeOwed = false;
    if (!owed) {
        return 0;
    }
    const int kq = state.kq;
    const int wakeFd = state.wakeFd;
    state.pins.fetch_add(1);
    lock.unlock();
    // A close meanwhile leaves kq to a new kqueue at worst, which then took over this very
    // eventfd (or never registered it): the arm wakes it once, or fails. The mutex is taken
    // again only if the kqueue closed meanwhile, so the woken waiter finds it free.
    const int error = kq::armWake(kq, wakeFd);
    kq::unpinUnlocked(state, lock);
    if (error != 0) {
        // Nothing is armed after all: a wake-up still marked as posted would make every later
        // trigger skip arming, and the next wait would not collect the triggered events either.
        if (!lock.owns_lock()) {
            lock.lock();
        }
        state.wakePosted = false;
        errno = error;
        return -1;
    }
    return 0;
}

}  // namespace

int kqueue() {
    const int kq = epoll_create1(EPOLL_CLOEXEC);
    if (kq < 0) {
        return -1;
    }
    const int error = kq::openState(kq);
    if (error != 0) {
        close(kq);
        errno = error;
        return -1;
    }
    return kq;
}

int kevent(int kq, const struct kevent *changes, int nchanges, struct kevent *events, int nevents,
           const struct timespec *timeout) {
    if (nchanges < 0 || nevents < 0) {
        errno = EINVAL;
        return -1;
    }
    // FreeBSD's kernel copies both lists in and out and answers a bad address with EFAULT. This
    // layer reads and writes them in place, so it refuses at least the null address instead of
    // crashing the process.
    if ((nchanges > 0 && changes == nullptr) || (nevents > 0 && events == nullptr)) {
        errno = EFAULT;
        return -1;
    }
    State *state = kq::findState(kq);
    if (state == nullptr) {
        errno = EBADF;
        return -1;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    if (!state->open) {
        errno = EBADF;
        return -1;
    }
    Output out{events, nevents, 0, ++state->callCounter};

    // FreeBSD's kqueue_register loop: a failing change, or one asking for a receipt, takes a
    // record of the event list; with no room left the call fails with that error and the rest
    // of the changes are not applied.
    int records = 0;
    // A call that only applies changes (a trigger from another thread, typically) wakes the
    // waiter after releasing the mutex.
    state->deferWake = nevents == 0;
    state->wakeOwed = false;
    for (int i = 0; i < nchanges; i++) {
        struct kevent change = changes[i];  // the lists may be one array: read before writing
        if (change.filter == 0) {
            continue;
        }
        const int error = kq::applyChange(*state, change);
        if (error == 0 && !(change.flags & EV_RECEIPT)) {
            continue;
        }
        if (out.full()) {
            const int owed = nevents == 0 ? finishChanges(*state, lock) : 0;
            if (error != 0) {
                errno = error;
                return -1;
            }
            return owed != 0 ? -1 : records;
        }
        change.flags = EV_ERROR;
        change.data = error;
        out.events[out.count++] = change;
        records++;
    }
    if (nevents == 0) {
        return finishChanges(*state, lock);
    }
    if (records > 0) {
        return records;
    }
    if (!validTimeout(timeout)) {
        errno = EINVAL;
        return -1;
    }
    kq::drainActive(*state, out);
    // With a wake-up armed, the triggered user events come with its event in the wait.
    if (!state->wakePosted) {
        kq::drainUsers(*state, out);
    }
    return collect(*state, lock, out, timeout);
}

void descriptorClosing(int fd) {
    if (fd < 0) {
        return;
    }
    if (State *own = kq::findState(fd); own != nullptr) {
        std::lock_guard<std::mutex> lock(own->mutex);
        if (own->open) {
            kq::closeState(*own);
        }
    }
    // FreeBSD's knote_fdclose: the descriptor's knotes leave every kqueue. EPOLL_CTL_DEL works
    // only while fd is still open; after close(2) a dup of the socket elsewhere would keep
    // delivering events that no one asked for.
    for (State *state = kq::firstState(); state != nullptr; state = state->nextLive) {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (const kq::FdEntry *entry = state->open ? kq::findEntry(*state, fd) : nullptr;
            entry != nullptr && entry->mask != 0) {
            kq::dropEntry(*state, fd, true);
        }
    }
}

}  // namespace quarn::platform
