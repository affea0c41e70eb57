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

// Flags a knote keeps from the change that created it and reports back with every event:
// FreeBSD strips the action flags and the system flags.
inline constexpr uint16_t kKeptFlags = static_cast<uint16_t>(~(EV_ADD | EV_DELETE | EV_ENABLE | EV_DISABLE | 0xF000));

// What the readiness rules need to know about a descriptor; found when it is first registered.
// A stream socket becomes a Listener when the read filter's data shows it listens.
enum class FdType : uint8_t { Other, Stream, Listener, Datagram, Pipe };

// A place in the ready queue: a descriptor knote, a user knote, or the marker a scan puts at
// the tail to know where the knotes it found end. Knotes and user knotes begin with it.
enum class LinkKind : uint8_t { Read, Write, User, Marker };
struct QueueLink {
    QueueLink *prev = nullptr;
    QueueLink *next = nullptr;
    LinkKind kind = LinkKind::Marker;
    bool queued = false;
};

struct Knote {
    QueueLink link;
    bool present = false;
    bool enabled = false;
    bool eof = false;  // EV_ONESHOT: the end its activation saw, delivered as it fired
    bool again = false;  // queued again after its event, not by a report (an EV_CLEAR datagram reader)
    uint16_t flags = 0;
    int64_t data = 0;  // EV_ONESHOT: the data its activation measured (-1: the measure failed)
    void *udata = nullptr;
    uint64_t ext[4] = {};
};

struct FdEntry {
    Knote read;
    Knote write;
    uint32_t incarnation = 0;  // of the current epoll registration, so stale events are dropped
    uint32_t mask = 0;         // the events registered with epoll; 0 when not registered
    uint32_t seen = 0;         // the events of the latest report (or probe) of the descriptor
    uint32_t reportedIn = 0;   // the collection that took in that report
    int32_t fd = -1;           // set while a knote is present
    FdType type = FdType::Other;
    bool counted = false;      // counted among its page's entries in use

    FdEntry() {
        read.link.kind = LinkKind::Read;
        write.link.kind = LinkKind::Write;
    }
};

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
    QueueLink link;
    uint64_t ident = 0;
    bool enabled = false;
    bool triggered = false;
    uint16_t flags = 0;
    uint32_t fflags = 0;
    int64_t data = 0;
    void *udata = nullptr;
    uint64_t ext[4] = {};
};

// User knotes by identifier: open addressing over pointers to knotes allocated one by one, so
// that a knote never moves while the ready queue links it.
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
    int sleepers = 0;  // threads in a wait that may block
    uint32_t collections = 0;
    uint32_t incarnationCounter = 0;
    FdTable fds;
    // The ready queue: a circular list through this head, in the order knotes became active.
    QueueLink queue;
    UserTable users;
    State *nextLive = nullptr;  // written once, before the state is published
};

// The knote a queue link begins, and the entry of a descriptor knote (both are standard-layout).
inline Knote &knoteOf(QueueLink &link) { return reinterpret_cast<Knote &>(link); }
inline FdEntry &entryOf(Knote &knote) {
    auto *bytes = reinterpret_cast<unsigned char *>(&knote);
    return *reinterpret_cast<FdEntry *>(knote.link.kind == LinkKind::Read ? bytes : bytes - offsetof(FdEntry, write));
}
inline UserKnote &userOf(QueueLink &link) { return reinterpret_cast<UserKnote &>(link); }
inline bool queueEmpty(const State &state) { return state.queue.next == &state.queue || state.queue.next == nullptr; }

// The events of one kevent call, written in place into the caller's list.
struct Output {
    struct kevent *events;
    int capacity;
    int count;

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
// Counts the entry in its page while it is in use and frees the page when none is (also a page
// obtained for a change that was then refused). Call it when no reference to an entry of that
// page is held any more.
void settleEntry(State &state, int fd);
// Forgets everything about a descriptor's knotes (they leave the ready queue) but keeps its
// count in the page.
void resetEntry(State &state, FdEntry &entry);
// Every entry and page gone.
void clearEntries(State &state);

UserKnote *findUser(State &state, uint64_t ident);
// A new knote with that identifier (not yet present); null when memory runs out.
UserKnote *insertUser(State &state, uint64_t ident);
// Takes the knote out of the ready queue and the table, and frees it.
void eraseUser(State &state, UserKnote *knote);
void clearUsers(State &state);

// --- table and ready queue (kqueue_state.cpp) ---

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

// The ready queue. Caller holds the mutex. enqueue puts a link at the tail unless it is queued.
void enqueue(State &state, QueueLink &link);
void dequeue(QueueLink &link);
void clearQueue(State &state);

// --- registrations (kqueue_changes.cpp) ---

// Applies one change; returns 0 or the errno value FreeBSD would report for it.
int applyChange(State &state, const struct kevent &change);
// Brings the epoll registration of fd in line with its knotes (an EPOLL_CTL_MOD re-evaluates
// readiness, so a ready knote is reported again). A registration found stale drops the entry.
// Returns 0 or an errno value.
int syncRegistration(State &state, int fd);
// The events a registration of these knotes asks epoll for: always edge-triggered.
uint32_t wantedMask(const FdEntry &entry);
// Drops both knotes of fd and its registration (EPOLL_CTL_DEL while fd is still open).
void dropEntry(State &state, int fd, bool unregister);
// Arms the wake-up eventfd so that a waiter returns or, while deferWake is set, leaves that
// to the caller (wakeOwed). Returns 0 or an errno value.
int postWake(State &state);
// The EPOLL_CTL_MOD that arms it. Returns 0 or an errno value.
int armWake(int kq, int wakeFd);

// --- the scan (kqueue_deliver.cpp) ---

// Activates the knotes one epoll report makes ready: they join the ready queue's tail.
void activate(State &state, uint64_t data, uint32_t events);
// FreeBSD's kqueue_scan: takes knotes from the head of the queue up to a marker put at its tail,
// re-checks each (EV_ONESHOT excepted), writes what is ready while there is room, and puts a
// delivered level knote back at the tail.
void scan(State &state, Output &out);

// --- filter functions (kqueue_readiness.cpp) ---

struct Readiness {
    bool read = false;
    bool readEof = false;
    bool write = false;
    bool writeEof = false;
};

// FreeBSD's view of a descriptor of this type, from the epoll events Linux reported.
Readiness readiness(FdType type, uint32_t events);
// The type of fd. Returns 0 or an errno.
int describe(int fd, FdType *type);
// The read filter's data, or -1 when it cannot be had; may find out that a stream socket listens
// and update *type.
int64_t readData(int fd, FdType *type);
// The write filter's data: the free space of the send buffer or pipe at this moment, or -1 when
// it cannot be measured.
int64_t writeData(int fd, FdType type);

// What a filter function says of one knote now.
struct Verdict {
    bool ready = false;
    bool eof = false;
    int64_t data = 0;
};
// Re-checks a knote of fd. `fresh`: the entry's latest report was collected for this very scan
// and stands for the descriptor's state. Returns 0, or the errno of a probe that failed (the
// knote is then neither ready nor lost: ENOBUFS when a write knote's room cannot be measured). A
// descriptor found closed gives EBADF.
int filter(FdEntry &entry, bool isRead, bool fresh, bool datagramsOnly, Verdict *verdict);

}  // namespace quarn::platform::kq
