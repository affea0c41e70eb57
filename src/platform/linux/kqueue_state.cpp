// The table of kqueue states, indexed by the kqueue descriptor, and the ready queue's links: the
// one FIFO of active knotes per kqueue that every source feeds at the tail.
#include "platform/linux/kqueue_state.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

namespace quarn::platform::kq {
namespace {

// Three levels over every non-negative int, so that any kqueue number has a slot and a process
// pays only for the ranges its kqueue numbers fall in: the top level is static, the others are
// allocated on first use and, like the states, never freed (readers find them without a lock).
constexpr int kLeafBits = 10;
constexpr int kMiddleBits = 10;
constexpr int kTopBits = 31 - kLeafBits - kMiddleBits;

struct Leaf {
    std::atomic<State *> slots[1 << kLeafBits];
};
struct Middle {
    std::atomic<Leaf *> leaves[1 << kMiddleBits];
};

std::atomic<Middle *> top[1 << kTopBits];
std::atomic<State *> liveHead{nullptr};
std::mutex tableMutex;

// Installs a zeroed level below `ref` when there is none. Called under tableMutex, so no other
// thread installs one meanwhile. Null when memory runs out.
template <typename T>
T *levelBelow(std::atomic<T *> &ref, bool create) {
    T *level = ref.load(std::memory_order_acquire);
    if (level == nullptr && create) {
        level = static_cast<T *>(std::calloc(1, sizeof(T)));
        if (level != nullptr) {
            ref.store(level, std::memory_order_release);
        }
    }
    return level;
}

std::atomic<State *> *slotFor(int kq, bool create) {
    if (kq < 0) {
        return nullptr;
    }
    const uint32_t number = static_cast<uint32_t>(kq);
    Middle *middle = levelBelow(top[number >> (kLeafBits + kMiddleBits)], create);
    if (middle == nullptr) {
        return nullptr;
    }
    Leaf *leaf = levelBelow(middle->leaves[(number >> kLeafBits) & ((1u << kMiddleBits) - 1)], create);
    if (leaf == nullptr) {
        return nullptr;
    }
    return &leaf->slots[number & ((1u << kLeafBits) - 1)];
}

void clearTables(State &state) {
    clearQueue(state);
    clearEntries(state);
    clearUsers(state);
    state.wakePosted = false;
}

}  // namespace

State *findState(int kq) {
    std::atomic<State *> *slot = slotFor(kq, false);
    return slot == nullptr ? nullptr : slot->load(std::memory_order_acquire);
}

State *firstState() { return liveHead.load(std::memory_order_acquire); }

int openState(int kq) {
    State *state;
    {
        std::lock_guard<std::mutex> tableLock(tableMutex);
        std::atomic<State *> *slot = slotFor(kq, true);
        if (slot == nullptr) {
            return kq < 0 ? EBADF : ENOMEM;
        }
        state = slot->load(std::memory_order_acquire);
        if (state == nullptr) {
            void *memory = std::calloc(1, sizeof(State));
            if (memory == nullptr) {
                return ENOMEM;
            }
            state = new (memory) State;
            state->kq = kq;
            state->nextLive = liveHead.load(std::memory_order_relaxed);
            slot->store(state, std::memory_order_release);
            liveHead.store(state, std::memory_order_release);
        }
    }

    std::lock_guard<std::mutex> lock(state->mutex);
    // The number was a kqueue before, closed with plain close(2) or by the close hook: reset
    // in place. A waiter still blocked on the old epoll instance sees the new generation when
    // it returns and leaves this state alone.
    clearTables(*state);
    state->generation++;
    if (state->wakeFd < 0) {
        state->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (state->wakeFd < 0) {
            return errno;
        }
    }
    // An eventfd left by a kqueue closed while a thread used it is simply taken over.
    state->wakeFdOrphaned.store(false);
    // Edge-triggered and without EPOLLOUT, the eventfd never fires until a user event arms it.
    struct epoll_event event {};
    event.events = EPOLLET;
    event.data.u64 = kWakeData;
    if (epoll_ctl(kq, EPOLL_CTL_ADD, state->wakeFd, &event) != 0) {
        const int error = errno;
        // The kqueue is not made, so nothing may keep its eventfd open: closed now, or by the
        // last thread of an earlier kqueue on this number that still uses it.
        state->wakeFdOrphaned.store(true);
        closeOrphanedWakeFd(*state);
        return error;
    }
    state->open = true;
    return 0;
}

void closeState(State &state) {
    clearTables(state);
    state.open = false;
    state.generation++;
    if (state.wakeFd >= 0) {
        // Orphaned first, pins read second; unpinUnlocked does the opposite, so one of the two
        // always sees the other and the eventfd is closed exactly once, when nobody uses it.
        state.wakeFdOrphaned.store(true);
        closeOrphanedWakeFd(state);
    }
}

void closeOrphanedWakeFd(State &state) {
    if (state.pins.load() == 0 && state.wakeFdOrphaned.load() && state.wakeFd >= 0) {
        // Never retried: Linux releases the descriptor even when close reports EINTR.
        close(state.wakeFd);
        state.wakeFd = -1;
        state.wakeFdOrphaned.store(false);
    }
}

void unpin(State &state) {
    state.pins.fetch_sub(1);
    closeOrphanedWakeFd(state);
}

void unpinUnlocked(State &state, std::unique_lock<std::mutex> &lock) {
    if (state.pins.fetch_sub(1) == 1 && state.wakeFdOrphaned.load()) {
        lock.lock();
        closeOrphanedWakeFd(state);
    }
}

void enqueue(State &state, QueueLink &link) {
    if (link.queued) {
        return;
    }
    if (state.queue.next == nullptr) {
        clearQueue(state);
    }
    link.queued = true;
    link.next = &state.queue;
    link.prev = state.queue.prev;
    state.queue.prev->next = &link;
    state.queue.prev = &link;
}

void dequeue(QueueLink &link) {
    if (!link.queued) {
        return;
    }
    link.prev->next = link.next;
    link.next->prev = link.prev;
    link.prev = link.next = nullptr;
    link.queued = false;
}

void clearQueue(State &state) {
    // The knotes themselves are freed with their tables; only the head is reset here.
    state.queue.next = state.queue.prev = &state.queue;
}

}  // namespace quarn::platform::kq
