// The Linux kqueue layer's own state: what one kqueue knows about its knotes, and the table
// through which a kqueue descriptor finds it. Internal to src/platform/linux.
//
// A kqueue descriptor is an epoll descriptor. Its state is found through a table indexed by that
// number; a new kqueue that gets the same number resets the state in place, and the small state
// itself is never freed, so a thread still holding a pointer to it never touches freed memory.
// What grows with the registrations (the descriptor pages, the user events) is allocated on
// demand, given back when it empties and when the kqueue closes. Every field below the mutex is
// guarded by it. epoll data never holds a pointer: a descriptor's registration carries
// (incarnation << 32 | descriptor), and the private wake-up eventfd carries kWakeData.
//
// Nothing here throws: every allocation goes through allocateZeroed, and a failure is ENOMEM.
#pragma once

#include <cstdint>
#include <atomic>
#include <cstddef>
#include <mutex>

#include "platform/linux/kqueue_layer.h"

namespace quarn::platform::kq {

inline constexpr uint64_t kWakeData = ~uint64_t{0};
inline constexpr uint8_t kReadBit = 1;
inline constexpr uint8_t kWriteBit = 2;

// Flags a knote keeps from the change that created it and reports back with every event:
// FreeBSD strips the action flags and the system flags.
inline constexpr uint16_t kKeptFlags = static_cast<uint16_t>(~(EV_ADD | EV_DELETE | EV_ENABLE | EV_DISABLE | 0xF000));

// What the readiness rules need to know about a descriptor; found when it is first registered.
// A stream socket becomes a Listener when the read filter's data shows it listens.
enum class FdType : uint8_t { Other, Stream, Listener, Datagram, Pipe };

struct Knote {
    bool present = false;
    bool enabled = false;
    uint16_t flags = 0;
    uint32_t emittedCall = 0;  // the kevent call whose results hold it, to report it once per call
    void *udata = nullptr;
    uint64_t ext[4] = {};
};

struct FdEntry {
    Knote read;
    Knote write;
    uint32_t incarnation = 0;  // of the current epoll registration, so stale events are dropped
    uint32_t mask = 0;         // the events registered with epoll; 0 when not registered
    int32_t capacity = 0;      // send buffer or pipe size, for the write filter's data
    int32_t nextActive = -1;
    FdType type = FdType::Other;
    uint8_t rearm = 0;     // level knotes to re-arm by one EPOLL_CTL_MOD on the next call
    uint8_t pending = 0;   // other knotes to evaluate again at the start of the next call
    bool listed = false;   // on the active list
    bool demoted = false;  // level knotes registered edge-triggered after a spurious level event
    bool counted = false;  // counted among its page's entries in use
};

// Forgets everything about a descriptor's knotes but keeps its place on the active list,
// which is unlinked lazily, and its count in the page.
inline void resetEntry(FdEntry &entry) {
    const bool listed = entry.listed;
    const int32_t next = entry.nextActive;
    const bool counted = entry.counted;
    entry = FdEntry{};
    entry.listed = listed;
    entry.nextActive = next;
    entry.counted = counted;
}

inline bool isLevel(const Knote &knote) { return !(knote.flags & (EV_CLEAR | EV_ONESHOT | EV_DISPATCH)); }

// Pages of descriptor entries, allocated when a descriptor in their range is first registered
// and freed when none of their entries is in use any more.
struct FdPage;
struct FdTable {
    FdPage **pages = nullptr;
    uint32_t pageCount = 0;  // length of pages
    uint32_t pagesInUse = 0;
};

struct UserKnote {
    uint64_t ident = 0;
    bool enabled = false;
    bool triggered = false;
    uint16_t flags = 0;
    uint32_t fflags = 0;
    int64_t data = 0;
    void *udata = nullptr;
    uint64_t ext[4] = {};
    uint32_t emittedCall = 0;
    bool listed = false;  // on the ready list
    UserKnote *prev = nullptr;
    UserKnote *next = nullptr;
};

// User knotes by identifier: open addressing over pointers to knotes allocated one by one, so
// that a knote never moves while the ready list links it.
struct UserTable {
    UserKnote **slots = nullptr;
    uint32_t capacity = 0;  // a power of two, or 0
    uint32_t count = 0;
};

struct State {
    std::mutex mutex;
    int kq = -1;
    bool open = false;
    uint32_t generation = 0;  // changes whenever the slot is reset or closed
    int wakeFd = -1;          // the private eventfd, registered edge-triggered without EPOLLOUT
    bool wakePosted = false;  // its EPOLLOUT is armed (or owed) and not yet collected
    bool deferWake = false;   // a call without an event list arms it after unlocking
    bool wakeOwed = false;
    // A closed kqueue's wakeFd while threads still use it; the last one to unpin closes it.
    std::atomic<bool> wakeFdOrphaned{false};
    // Threads using kq or wakeFd outside the mutex (waits, wake arms). Changed under the mutex,
    // except by unpinUnlocked.
    std::atomic<int> pins{0};
    uint32_t callCounter = 0;
    uint32_t incarnationCounter = 0;
    FdTable fds;
    int activeHead = -1;
    int activeTail = -1;
    UserTable users;
    UserKnote *readyHead = nullptr;
    UserKnote *readyTail = nullptr;
    State *nextLive = nullptr;  // written once, before the state is published
};

// The events of one kevent call, written in place into the caller's list.
struct Output {
    struct kevent *events;
    int capacity;
    int count;
    uint32_t call;

    bool full() const { return count >= capacity; }
};

// --- memory (kqueue_tables.cpp) ---

// calloc, counted; null on failure (errno ENOMEM).
void *allocateZeroed(size_t bytes);
// Gives back what allocateZeroed returned, with the same size.
void release(void *memory, size_t bytes);
// Bytes the layer holds now, over every kqueue.
size_t heldBytes();

// --- descriptor entries and user knotes (kqueue_tables.cpp). Caller holds the mutex. ---

// The entry of fd, or null when its page was never allocated.
FdEntry *findEntry(State &state, int fd);
// The entry of fd, allocating its page; null when memory runs out.
FdEntry *obtainEntry(State &state, int fd);
// Counts the entry in its page while it is in use and frees the page when none is. Call it
// when no reference to an entry of that page is held any more.
void settleEntry(State &state, int fd);
// Every entry and page gone.
void clearEntries(State &state);

UserKnote *findUser(State &state, uint64_t ident);
// A new knote with that identifier (not yet present); null when memory runs out.
UserKnote *insertUser(State &state, uint64_t ident);
void eraseUser(State &state, UserKnote *knote);
void clearUsers(State &state);

// --- table (kqueue_state.cpp) ---

// The state of kqueue descriptor kq, or null when it never was one.
State *findState(int kq);
// The slot for a new kqueue descriptor, reset and open, with its wake-up eventfd registered.
// Returns 0 or an errno value.
int openState(int kq);
// Marks the kqueue closed and drops everything it held. Caller holds the mutex.
void closeState(State &state);
// A thread done with kq and wakeFd outside the mutex; the last one closes an orphaned wakeFd.
// Caller holds the mutex.
void unpin(State &state);
// The same without the mutex, which `lock` (released) takes only when there is an orphan.
void unpinUnlocked(State &state, std::unique_lock<std::mutex> &lock);
// Closes an orphaned wakeFd that nobody uses any more. Caller holds the mutex.
void closeOrphanedWakeFd(State &state);
// The first of every state ever created (a list that only grows).
State *firstState();

// Active list of descriptors with re-arm or pending bits. Caller holds the mutex.
void listActive(State &state, int fd);
// User knotes that are enabled and triggered. Caller holds the mutex.
void listReady(State &state, UserKnote &knote);
void unlistReady(State &state, UserKnote &knote);

// --- registrations (kqueue_changes.cpp) ---

// Applies one change; returns 0 or the errno value FreeBSD would report for it.
int applyChange(State &state, const struct kevent &change);
// Brings the epoll registration of fd in line with its knotes (an EPOLL_CTL_MOD re-evaluates
// readiness). A registration found stale drops the entry. Returns 0 or an errno value.
int syncRegistration(State &state, int fd);
// The events a registration of these knotes asks epoll for; without EPOLLET when every enabled
// knote is a level knote and the descriptor was not demoted.
uint32_t wantedMask(const FdEntry &entry);
// Drops both knotes of fd and its registration (EPOLL_CTL_DEL while fd is still open).
void dropEntry(State &state, int fd, bool unregister);
// Arms the wake-up eventfd so that a waiter returns or, while deferWake is set, leaves that
// to the caller (wakeOwed). Returns 0 or an errno value.
int postWake(State &state);
// The EPOLL_CTL_MOD that arms it. Returns 0 or an errno value.
int armWake(int kq, int wakeFd);

// --- delivery (kqueue_deliver.cpp) ---

// Delivers what the previous calls left (knotes that did not fit, datagram readers, knotes with
// an edge after their event), evaluated as they are now, and re-arms level knotes delivered from
// an edge-triggered registration so that the wait reports them if they are still ready.
void drainActive(State &state, Output &out);
// Delivers triggered user events while there is room.
void drainUsers(State &state, Output &out);
// Translates one epoll event into kevent records.
void translate(State &state, uint64_t data, uint32_t events, Output &out);

// --- readiness (kqueue_readiness.cpp) ---

struct Readiness {
    bool read = false;
    bool readEof = false;
    bool write = false;
    bool writeEof = false;
};

// FreeBSD's view of a descriptor of this type, from the epoll events Linux reported.
Readiness readiness(FdType type, uint32_t events);
// The type of fd and the capacity its write filter measures against. Returns 0 or an errno.
int describe(int fd, FdType *type, int32_t *capacity);
// The read filter's data; may find out that a stream socket listens and update *type.
int64_t readData(int fd, FdType *type);
// The write filter's data.
int64_t writeData(int fd, FdType type, int64_t capacity);

}  // namespace quarn::platform::kq
