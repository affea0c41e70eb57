// kqueue(), kevent() and the close hook of the Linux layer: FreeBSD 14's kqueue over epoll. This
// file holds the scan's outer loop: when a call sleeps, what it collects from epoll, and who is
// woken when it leaves knotes queued.
//
// The kqueue descriptor is the epoll descriptor, so the Java side closes it with plain close(2)
// and a kqueue costs one epoll instance plus one private eventfd. A kevent call applies its
// changes under the kqueue's mutex; then, as FreeBSD's kqueue_scan, it collects what epoll has
// (without blocking while the ready queue holds knotes, otherwise waiting for the rest of the
// timeout, with the mutex released), scans the queue, and sleeps again while it delivered nothing
// and time is left. epoll wakes one waiter per report: a call that leaves knotes queued while
// another thread sleeps on the kqueue wakes it through the eventfd, so every waiter is woken
// while knotes are queued. No signal, no helper thread.
//
// Where Linux shows less than FreeBSD, the layer reports less, never more, or reports a knote
// once more than FreeBSD would, which a non-blocking reader or writer meets as EAGAIN:
//   - a local shutdown(SHUT_WR) is no write EV_EOF (Linux only drops EPOLLOUT);
//   - epoll reports a descriptor with everything it shows, so a report for one filter (or the
//     EPOLL_CTL_MOD of a change to it) also activates the other filter's EV_CLEAR knote if that
//     filter is ready at that moment;
//   - a datagram socket's read data is the size of the next datagram, not the whole queue, so an
//     EV_CLEAR read knote goes back to the queue's tail while a datagram is still queued;
//   - regular files cannot be registered (epoll_ctl gives EPERM, returned as the change's error);
//   - the write filter's data is the send buffer's free space as Linux counts it: SO_SNDBUF
//     (doubled by Linux, read at delivery) less SIOCOUTQ; a local listener's data is 1, since
//     Linux does not count its queue.
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

// Reports fetched from epoll per epoll_wait. A call with room for more fetches again, without
// blocking, until epoll has no more or the reports cover the room.
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

// One epoll_wait with the mutex released; its reports activate their knotes. Returns the number
// of reports or -1 with errno (EBADF when the kqueue closed meanwhile).
int fetch(State &state, std::unique_lock<std::mutex> &lock, uint32_t generation, const struct timespec *timeout) {
    struct epoll_event reports[kBatch];
    const bool mayBlock = timeout == nullptr || timeout->tv_sec != 0 || timeout->tv_nsec != 0;
    state.pins.fetch_add(1);
    state.sleepers += mayBlock ? 1 : 0;
    lock.unlock();
    const int ready = waitOnce(state.kq, reports, kBatch, timeout);
    const int error = errno;
    lock.lock();
    state.sleepers -= mayBlock ? 1 : 0;
    // A new collection: only what it takes in counts as fresh for the scan that follows.
    state.collections++;
    if (!stillOurs(state, generation)) {
        errno = EBADF;
        return -1;
    }
    if (ready < 0) {
        errno = error;
        return -1;
    }
    for (int i = 0; i < ready; i++) {
        kq::activate(state, reports[i].data.u64, reports[i].events);
    }
    return ready;
}

// Collects and scans until something is delivered or the time is up; returns the count or -1
// with errno.
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
    for (;;) {
        // What epoll has is collected before the scan, so that a knote it reports queues behind
        // those already waiting; the wait blocks only while nothing is queued.
        const bool block = !poll && queueEmpty(state);
        int fetched = 0;
        int interrupted = 0;
        for (;;) {
            // Every report epoll has, not only as many as there is room for: a report left in
            // epoll would queue its knote behind those delivered now and again.
            const int ready = fetch(state, lock, generation, block && fetched == 0 ? (forever ? nullptr : &left) : &zero);
            if (ready < 0) {
                // EINTR is returned, never retried here: the changes are applied, and the caller
                // decides how long to wait again. Knotes already queued are delivered first.
                if (errno == EBADF || queueEmpty(state)) {
                    return -1;
                }
                interrupted = errno;
                break;
            }
            fetched += ready;
            if (ready < kBatch || fetched >= out.capacity) {
                break;
            }
        }
        kq::scan(state, out);
        // epoll wakes one waiter per report: the others hear of what is left through the eventfd.
        if (!queueEmpty(state) && state.sleepers > 0) {
            kq::postWake(state);
        }
        if (out.count > 0 || poll) {
            return out.count;
        }
        if (interrupted != 0) {
            errno = interrupted;
            return -1;
        }
        // Nothing was ready in FreeBSD's terms (a never-connected socket's HUP, a stale report,
        // a knote whose bytes another thread took): sleep for the rest of the time.
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
    Output out{events, nevents, 0};

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
            // FreeBSD's kqueue_kevent returns 0 here, whatever records it wrote before.
            return owed != 0 ? -1 : 0;
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
