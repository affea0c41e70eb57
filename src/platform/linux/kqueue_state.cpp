// The table of kqueue states, indexed by the kqueue descriptor, and the small list helpers.
#include "platform/linux/kqueue_state.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

namespace quarn::platform::kq {
namespace {

// Two levels, so that a process with a million descriptors pays only for the chunks its
// kqueue numbers fall in. Linux caps descriptors at fs.nr_open, 1,048,576 by default.
constexpr int kChunkBits = 10;
constexpr int kChunkSize = 1 << kChunkBits;
constexpr int kChunks = 1024;

struct Chunk {
    std::atomic<State *> slots[kChunkSize];
};

std::atomic<Chunk *> chunks[kChunks];
std::atomic<State *> liveHead{nullptr};
std::mutex tableMutex;

std::atomic<State *> *slotFor(int kq, bool create) {
    if (kq < 0 || kq >= kChunkSize * kChunks) {
        return nullptr;
    }
    std::atomic<Chunk *> &chunkRef = chunks[kq >> kChunkBits];
    Chunk *chunk = chunkRef.load(std::memory_order_acquire);
    if (chunk == nullptr) {
        if (!create) {
            return nullptr;
        }
        chunk = new (std::nothrow) Chunk{};
        if (chunk == nullptr) {
            return nullptr;
        }
        // Called under tableMutex, so no other thread installs a chunk here meanwhile.
        chunkRef.store(chunk, std::memory_order_release);
    }
    return &chunk->slots[kq & (kChunkSize - 1)];
}

void clearTables(State &state) {
    state.fds.clear();
    state.users.clear();
    state.activeHead = state.activeTail = -1;
    state.readyHead = state.readyTail = nullptr;
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
            state = new (std::nothrow) State;
            if (state == nullptr) {
                return ENOMEM;
            }
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
    // An eventfd left by a kqueue closed during a wait is simply taken over.
    state->wakeFdOrphaned = false;
    // Edge-triggered and without EPOLLOUT, the eventfd never fires until a user event arms it.
    struct epoll_event event {};
    event.events = EPOLLET;
    event.data.u64 = kWakeData;
    if (epoll_ctl(kq, EPOLL_CTL_ADD, state->wakeFd, &event) != 0) {
        return errno;
    }
    state->open = true;
    return 0;
}

void closeState(State &state) {
    clearTables(state);
    state.open = false;
    state.generation++;
    if (state.wakeFd >= 0) {
        if (state.waiters == 0) {
            // Never retried: Linux releases the descriptor even when close reports EINTR.
            close(state.wakeFd);
            state.wakeFd = -1;
        } else {
            state.wakeFdOrphaned = true;
        }
    }
}

void listActive(State &state, int fd) {
    FdEntry &entry = state.fds[fd];
    if (entry.listed) {
        return;
    }
    entry.listed = true;
    entry.nextActive = -1;
    if (state.activeTail < 0) {
        state.activeHead = fd;
    } else {
        state.fds[state.activeTail].nextActive = fd;
    }
    state.activeTail = fd;
}

void listReady(State &state, UserKnote &knote) {
    if (knote.listed) {
        return;
    }
    knote.listed = true;
    knote.next = nullptr;
    knote.prev = state.readyTail;
    if (state.readyTail == nullptr) {
        state.readyHead = &knote;
    } else {
        state.readyTail->next = &knote;
    }
    state.readyTail = &knote;
}

void unlistReady(State &state, UserKnote &knote) {
    if (!knote.listed) {
        return;
    }
    knote.listed = false;
    (knote.prev == nullptr ? state.readyHead : knote.prev->next) = knote.next;
    (knote.next == nullptr ? state.readyTail : knote.next->prev) = knote.prev;
    knote.prev = knote.next = nullptr;
}

}  // namespace quarn::platform::kq
