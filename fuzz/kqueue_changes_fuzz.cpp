// The kqueue layer's change processing against a real epoll: random change lists (filters,
// flags, notes, identifiers among a few real pipes, sockets and user events, closed numbers and
// identifiers too large for a descriptor), interleaved with traffic, peer closes and descriptors
// closed behind the layer's back, every kevent call with a zero timeout.
//
// Each call is checked against what FreeBSD's kevent promises: the result fits the event list
// and nothing past it is written; error records are copies of their change with flags exactly
// EV_ERROR and an errno (0 only for a receipt), in change order, and the call returns them at
// once; the errors that follow from the change alone (both enable and disable, an unknown
// filter, an identifier above INT_MAX, a closed descriptor, a missing knote, a delete of a
// present knote) are the expected ones; events belong to knotes that exist, each at most once
// per call, carry their own knote's udata, and never an action flag. A one-shot knote is gone
// after its event, a dispatch knote disabled. Between short event lists, traffic, shutdowns and
// datagram queues, a collection with room for everything checks that nothing was lost: a ready
// read knote with something new since its last event is reported, a level knote and a datagram
// reader on every call while a datagram is queued (a reader taking what data announces gets
// every datagram, an error or a shut receive side alone is reported once), and an ended stream
// with EV_EOF. Short lists share the ready queue fairly: with m knotes and room for k, a ready
// level reader comes within ceil(m/k) calls, and no call returns nothing while one is ready.
// Write events always announce room; a refused change leaves the layer's memory as it was. At
// the end every descriptor is closed and the process has exactly as many open descriptors as
// before the input.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "platform/event.h"
#include "platform/linux/kqueue_state.h"

namespace {

void require(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

int openDescriptors() {
    DIR *dir = opendir("/proc/self/fd");
    require(dir != nullptr, "/proc/self/fd");
    int count = 0;
    while (readdir(dir) != nullptr) {
        count++;
    }
    closedir(dir);
    return count;
}

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) >= 0;
}

// The library's way of closing: the hook, then close(2).
void closeWithHook(int fd) {
    quarn::platform::descriptorClosing(fd);
    close(fd);
}

enum Slot { kPipeRead, kPipeWrite, kPairA, kPairB, kUdp, kListener, kUnconnected, kQueue, kClosed, kFdSlots };

struct Fixture {
    int fds[kFdSlots];
    bool own[kFdSlots] = {};       // still to be closed at the end
    bool replaced[kFdSlots] = {};  // the number now names another file than the fixture's
    sockaddr_in udpAddress{};
};

Fixture openFixture() {
    Fixture f;
    int pipeFds[2];
    int pair[2];
    require(pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) == 0, "pipe2");
    require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    f.fds[kPipeRead] = pipeFds[0];
    f.fds[kPipeWrite] = pipeFds[1];
    f.fds[kPairA] = pair[0];
    f.fds[kPairB] = pair[1];
    f.fds[kUdp] = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    f.udpAddress.sin_family = AF_INET;
    f.udpAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    require(bind(f.fds[kUdp], reinterpret_cast<sockaddr *>(&f.udpAddress), sizeof(f.udpAddress)) == 0, "bind udp");
    socklen_t length = sizeof(f.udpAddress);
    getsockname(f.fds[kUdp], reinterpret_cast<sockaddr *>(&f.udpAddress), &length);
    f.fds[kListener] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    require(bind(f.fds[kListener], reinterpret_cast<sockaddr *>(&any), sizeof(any)) == 0 &&
                listen(f.fds[kListener], 4) == 0,
            "listener");
    f.fds[kUnconnected] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    f.fds[kQueue] = quarn::platform::kqueue();
    require(f.fds[kQueue] >= 0, "kqueue");
    // A number that is closed now: nothing opens descriptors while the changes run.
    f.fds[kClosed] = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(f.fds[kClosed]);
    if (std::getenv("QUARN_FUZZ_TRACE") != nullptr) {
        std::fprintf(stderr, "pipe %d %d, pair %d %d, udp %d, listener %d, unconnected %d, kqueue %d, closed %d\n",
                     f.fds[kPipeRead], f.fds[kPipeWrite], f.fds[kPairA], f.fds[kPairB], f.fds[kUdp],
                     f.fds[kListener], f.fds[kUnconnected], f.fds[kQueue], f.fds[kClosed]);
    }
    for (int i = 0; i < kFdSlots; i++) {
        require(i == kClosed || f.fds[i] >= 0, "fixture descriptor");
        f.own[i] = i != kClosed;
    }
    return f;
}

// Identifiers: the descriptors, a descriptor number with high bits set (never to be truncated
// into that descriptor), the largest identifier, and small user event numbers.
std::vector<uint64_t> identifiers(const Fixture &f) {
    std::vector<uint64_t> ids;
    for (int i = 0; i < kFdSlots; i++) {
        ids.push_back(static_cast<uint64_t>(f.fds[i]));
    }
    ids.push_back((uint64_t{1} << 32) | static_cast<uint64_t>(f.fds[kPipeRead]));
    ids.push_back(~uint64_t{0});
    ids.push_back(0);
    ids.push_back(1);
    ids.push_back(uint64_t{INT_MAX} + 1);
    return ids;
}

// Every change for a knote carries the same udata, so an event with another knote's udata is
// a crossed wire.
void *udataOf(uint64_t ident, int16_t filter) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(ident * 1000003u + static_cast<uint16_t>(filter) + 1));
}

using Key = std::pair<uint64_t, int16_t>;

struct KnoteModel {
    bool oneshot = false;
    bool dispatch = false;
    bool clear = false;
    bool enabled = true;
};

struct Model {
    std::map<Key, KnoteModel> knotes;
    // Slots with something new for their read knote since it was last reported or changed:
    // bytes or a datagram written to them, an end of their stream. FreeBSD reports such a
    // ready knote, EV_CLEAR or not, at the next collection.
    bool fresh[kFdSlots] = {};
    // Descriptor numbers closed without the hook: the layer learns of it lazily, so its answers
    // for them are not predicted (beyond well-formedness) for the rest of the input.
    std::set<uint64_t> limbo;
    bool certain = true;
};

bool isFdFilter(int16_t filter) {
    return filter == EVFILT_READ || filter == EVFILT_WRITE;
}

uint16_t randomFlags(FuzzedDataProvider &input) {
    if (input.ConsumeIntegralInRange<int>(0, 9) == 0) {
        return input.ConsumeIntegral<uint16_t>();
    }
    static constexpr uint16_t kBits[] = {EV_ADD,   EV_DELETE, EV_ENABLE,  EV_DISABLE,
                                         EV_ONESHOT, EV_CLEAR, EV_RECEIPT, EV_DISPATCH};
    const auto pick = input.ConsumeIntegral<uint8_t>();
    uint16_t flags = 0;
    for (int i = 0; i < 8; i++) {
        if (pick & (1u << i)) {
            flags |= kBits[i];
        }
    }
    return flags;
}

int16_t randomFilter(FuzzedDataProvider &input) {
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
    case 1:
        return EVFILT_READ;
    case 2:
    case 3:
        return EVFILT_WRITE;
    case 4:
    case 5:
        return EVFILT_USER;
    case 6:
        return 0;
    default:
        return input.ConsumeIntegral<int16_t>();
    }
}

uint32_t randomNotes(FuzzedDataProvider &input) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return 0;
    case 1:
        return NOTE_TRIGGER;
    case 2:
        return (input.ConsumeIntegralInRange<uint32_t>(0, 3) << 30) | input.ConsumeIntegralInRange<uint32_t>(0, 7) |
               (input.ConsumeBool() ? NOTE_TRIGGER : 0);
    default:
        return input.ConsumeIntegral<uint32_t>();
    }
}

// The error a change must get, from the change and the knotes alone; -1 when it depends on
// more than that (the descriptor's kind, or a descriptor closed behind the layer's back).
int predictedError(const struct kevent &change, const Model &model, const Fixture &f) {
    if ((change.flags & (EV_ENABLE | EV_DISABLE)) == (EV_ENABLE | EV_DISABLE)) {
        return EINVAL;
    }
    if (change.filter == EVFILT_USER) {
        const bool present = model.knotes.count({change.ident, change.filter}) != 0;
        return present || (change.flags & EV_ADD) ? 0 : ENOENT;
    }
    if (!isFdFilter(change.filter)) {
        return EINVAL;
    }
    if (change.ident > static_cast<uint64_t>(INT_MAX)) {
        return EBADF;
    }
    const int fd = static_cast<int>(change.ident);
    const bool present = model.knotes.count({change.ident, change.filter}) != 0;
    if (model.limbo.count(change.ident) != 0 && (change.flags & EV_DELETE) && (change.flags & EV_ADD)) {
        // FreeBSD would create the knote on the new file; the layer first meets the old file's
        // knote, deletes it, and learns only then that the file changed (ENOENT).
        return -1;
    }
    if (!isOpen(fd)) {
        return EBADF;
    }
    if (present) {
        return 0;
    }
    if (!(change.flags & EV_ADD)) {
        return ENOENT;
    }
    // A kqueue inside its own epoll set is refused by Linux (FreeBSD can watch a kqueue), and
    // the small identifiers also name the process's standard descriptors, of any kind.
    for (int slot = 0; slot < kFdSlots; slot++) {
        if (slot != kQueue && f.own[slot] && f.fds[slot] == fd) {
            // FreeBSD refuses a write knote on a pipe whose reader is gone.
            const bool readerGone = !f.own[kPipeRead] || f.replaced[kPipeRead];
            const bool pipeWriter = slot == kPipeWrite && !f.replaced[slot];
            return pipeWriter && change.filter == EVFILT_WRITE && readerGone ? EPIPE : 0;
        }
    }
    return -1;
}

// The fixture slot whose descriptor is ident, or -1.
int slotOf(const Fixture &f, uint64_t ident) {
    for (int slot = 0; slot < kFdSlots; slot++) {
        if (f.own[slot] && static_cast<uint64_t>(f.fds[slot]) == ident) {
            return slot;
        }
    }
    return -1;
}

void applyToModel(Model &model, const Fixture &f, const struct kevent &change) {
    const Key key{change.ident, change.filter};
    auto found = model.knotes.find(key);
    // Every change to a knote makes FreeBSD evaluate its filter again.
    if (const int slot = slotOf(f, change.ident); slot >= 0 && change.filter == EVFILT_READ) {
        model.fresh[slot] = true;
    }
    if (found != model.knotes.end()) {
        if (change.flags & EV_DELETE) {
            model.knotes.erase(found);
        } else if (change.flags & EV_ENABLE) {
            found->second.enabled = true;
        } else if (change.flags & EV_DISABLE) {
            found->second.enabled = false;
        }
        return;
    }
    if (change.flags & EV_ADD) {
        KnoteModel &knote = model.knotes[key];
        knote.oneshot = (change.flags & EV_ONESHOT) != 0;
        knote.dispatch = (change.flags & EV_DISPATCH) != 0;
        knote.clear = (change.flags & EV_CLEAR) != 0;
        knote.enabled = !(change.flags & EV_DISABLE);
        if (isFdFilter(change.filter)) {
            model.limbo.erase(change.ident);
        }
    }
}

// What an event does to its knote: a one-shot knote goes, a dispatch knote is disabled, and the
// read side has nothing new until the next write or end.
void deliveredToModel(Model &model, const Fixture &f, const struct kevent &event) {
    if (event.filter == EVFILT_READ) {
        if (const int slot = slotOf(f, event.ident); slot >= 0) {
            model.fresh[slot] = false;
        }
    }
    auto found = model.knotes.find({event.ident, event.filter});
    if (found == model.knotes.end()) {
        return;
    }
    if (found->second.oneshot) {
        model.knotes.erase(found);
    } else if (found->second.dispatch) {
        found->second.enabled = false;
    }
}

bool sameExceptFlagsAndData(const struct kevent &a, const struct kevent &b) {
    return a.ident == b.ident && a.filter == b.filter && a.fflags == b.fflags && a.udata == b.udata &&
           std::memcmp(a.ext, b.ext, sizeof(a.ext)) == 0;
}

bool knownErrno(int64_t value) {
    return value == EINVAL || value == EBADF || value == ENOENT || value == EPERM || value == ELOOP ||
           value == ENOMEM || value == EPIPE;
}

void keventCall(FuzzedDataProvider &input, const Fixture &f, Model &model) {
    const std::vector<uint64_t> ids = identifiers(f);
    const int nchanges = input.ConsumeIntegralInRange<int>(0, 6);
    std::vector<struct kevent> changes(static_cast<size_t>(nchanges));
    for (int i = 0; i < nchanges; i++) {
        struct kevent &c = changes[static_cast<size_t>(i)];
        std::memset(&c, 0, sizeof(c));
        c.ident = ids[input.ConsumeIntegralInRange<size_t>(0, ids.size() - 1)];
        c.filter = randomFilter(input);
        c.flags = randomFlags(input);
        c.fflags = randomNotes(input);
        c.data = input.ConsumeIntegralInRange<int64_t>(-2, 2);
        c.udata = udataOf(c.ident, c.filter);
        c.ext[0] = reinterpret_cast<uintptr_t>(c.udata);
        c.ext[1] = static_cast<uint64_t>(i) + 1;  // ties an error record to its change
    }
    const int nevents = input.ConsumeIntegralInRange<int>(0, 6);
    const int timeoutKind = input.ConsumeIntegralInRange<int>(0, 15);
    struct timespec timeout {};
    if (timeoutKind == 0) {
        timeout.tv_nsec = 1000000000;  // invalid: EINVAL, after the changes are applied
    } else if (timeoutKind == 1) {
        timeout.tv_sec = -1;
    }

    std::vector<struct kevent> events(static_cast<size_t>(nevents) + 1);
    std::memset(events.data(), 0xEE, events.size() * sizeof(struct kevent));
    const std::vector<struct kevent> untouched = events;
    const auto started = std::chrono::steady_clock::now();
    const size_t heldBefore = quarn::platform::kq::heldBytes();
    errno = 0;
    const int result = quarn::platform::kevent(f.fds[kQueue], changes.data(), nchanges, events.data(), nevents,
                                               &timeout);
    const int error = errno;
    const size_t heldAfter = quarn::platform::kq::heldBytes();
    // One change, refused: nothing it allocated outlives it.
    if (nchanges == 1 && changes[0].filter != 0 &&
        ((result < 0 && nevents == 0) || (result == 1 && (events[0].flags & EV_ERROR) && events[0].data != 0))) {
        require(heldAfter <= heldBefore, "a refused change leaves the layer's memory as it was");
    }
    if (std::getenv("QUARN_FUZZ_TRACE") != nullptr) {
        // Reproducing a finding: QUARN_FUZZ_TRACE=1 kqueue_changes_fuzz crash-file
        for (const struct kevent &c : changes) {
            std::fprintf(stderr, "  change ident=%llu filter=%d flags=0x%x fflags=0x%x\n",
                         static_cast<unsigned long long>(c.ident), c.filter, c.flags, c.fflags);
        }
        std::fprintf(stderr, "kevent(nevents=%d, timeout kind %d) = %d errno %d\n", nevents, timeoutKind, result,
                     result < 0 ? error : 0);
        for (int i = 0; i < result; i++) {
            const struct kevent &e = events[static_cast<size_t>(i)];
            std::fprintf(stderr, "  event ident=%llu filter=%d flags=0x%x fflags=0x%x data=%lld\n",
                         static_cast<unsigned long long>(e.ident), e.filter, e.flags, e.fflags,
                         static_cast<long long>(e.data));
        }
    }
    require(std::chrono::steady_clock::now() - started < std::chrono::seconds(2), "a zero timeout does not wait");
    require(result >= -1 && result <= nevents, "result within the event list");
    require(std::memcmp(&events[static_cast<size_t>(nevents)], &untouched[0], sizeof(struct kevent)) == 0,
            "nothing written past the event list");
    if (result < 0) {
        require(knownErrno(error), "a known errno");
        if (nevents > 0 || !model.certain) {
            // A change failed with no room left for its record, or the timeout was refused
            // after every change was applied: which one, the model cannot tell.
            model.certain = false;
            return;
        }
        // With no event list the first failing change ends the call with its errno, after
        // the changes before it were applied and before the rest.
        for (const struct kevent &change : changes) {
            if (change.filter == 0) {
                continue;
            }
            const int predicted = predictedError(change, model, f);
            if (predicted < 0) {
                model.certain = false;
                return;
            }
            if (predicted > 0) {
                require(error == predicted, "the first failing change's errno");
                return;
            }
            // A receipt without room would have ended the call with its count instead.
            require(!(change.flags & EV_RECEIPT), "a change that should succeed failed");
            applyToModel(model, f, change);
        }
        require(false, "a change that should succeed failed");
    }
    if (result == 0 && nevents > 0 && std::memcmp(&events[0], &untouched[0], sizeof(struct kevent)) != 0) {
        // A receipt met a full list: FreeBSD's kqueue_kevent returns 0 there, whatever records it
        // wrote before, and the changes after it are not applied.
        for (int i = 0; i < nevents; i++) {
            require(events[static_cast<size_t>(i)].flags == EV_ERROR, "a full list of records before a receipt");
        }
        model.certain = false;
        return;
    }
    for (size_t i = static_cast<size_t>(result); i < static_cast<size_t>(nevents); i++) {
        require(std::memcmp(&events[i], &untouched[i], sizeof(struct kevent)) == 0, "nothing written past the result");
    }

    // Error records, in change order, each matched to its change through ext[1].
    size_t next = 0;
    bool anyRecord = false;
    bool stopped = false;
    for (size_t i = 0; i < changes.size() && !stopped; i++) {
        const struct kevent &change = changes[i];
        if (change.filter == 0) {
            continue;
        }
        // Predicted from the knotes as the changes before this one left them.
        const int predicted = model.certain ? predictedError(change, model, f) : -1;
        const bool hasRecord = next < static_cast<size_t>(result) && (events[next].flags & EV_ERROR) &&
                               events[next].ext[1] == change.ext[1];
        int got = 0;
        if (hasRecord) {
            const struct kevent &record = events[next++];
            anyRecord = true;
            require(record.flags == EV_ERROR, "an error record's flags are exactly EV_ERROR");
            require(sameExceptFlagsAndData(record, change), "an error record is a copy of its change");
            require(record.data == 0 ? (change.flags & EV_RECEIPT) != 0 : knownErrno(record.data),
                    "an error record's data is an errno, or 0 for a receipt");
            got = static_cast<int>(record.data);
        } else if (change.flags & EV_RECEIPT) {
            // No room for the receipt: the change was applied and the rest were not.
            require(next == static_cast<size_t>(nevents), "a receipt is dropped only when the list is full");
            model.certain = false;
            stopped = true;
            continue;
        }
        if (predicted >= 0) {
            require(got == predicted, "the error that follows from the change");
        }
        if (got == 0 && model.certain) {
            applyToModel(model, f, change);
        }
        if (got != 0 && predicted < 0) {
            // An unpredicted failure leaves the knote as it was, as far as anyone can tell.
            if (!isFdFilter(change.filter) || model.limbo.count(change.ident) == 0) {
                if ((change.flags & EV_ADD) && change.ident != static_cast<uint64_t>(f.fds[kQueue])) {
                    model.certain = false;
                }
            }
        }
    }
    if (anyRecord) {
        // A call that wrote error records returns them at once, without events.
        require(next == static_cast<size_t>(result), "error records only");
        return;
    }
    require(timeoutKind > 1 || nevents == 0, "an invalid timeout is refused");

    // Events.
    std::set<Key> seen;
    for (int i = 0; i < result; i++) {
        const struct kevent &event = events[static_cast<size_t>(i)];
        const Key key{event.ident, event.filter};
        require(event.filter == EVFILT_READ || event.filter == EVFILT_WRITE || event.filter == EVFILT_USER,
                "an event of a known filter");
        require(!(event.flags & (EV_ADD | EV_DELETE | EV_ENABLE | EV_DISABLE | EV_ERROR)),
                "no action or error flag on an event");
        require(event.udata == udataOf(event.ident, event.filter), "an event carries its own knote's udata");
        require(seen.insert(key).second, "each knote at most once per call");
        if (event.filter == EVFILT_WRITE && !(event.flags & EV_EOF)) {
            require(event.data > 0, "a write event announces room");
        }
        if (event.filter != EVFILT_USER) {
            require(event.ident <= static_cast<uint64_t>(INT_MAX), "a descriptor event names a descriptor");
            require(event.fflags == 0, "no notes on a descriptor event");
            require(event.data >= 0, "descriptor event data is a count");
        }
        // A level read knote of a stream whose descriptor was closed without the hook is
        // re-checked by its byte count, not by epoll, and goes on firing for the number's next
        // file (FreeBSD drops it at the close): events of such numbers are not checked here.
        if (!model.certain || (isFdFilter(event.filter) && model.limbo.count(event.ident) != 0)) {
            continue;
        }
        auto found = model.knotes.find(key);
        require(found != model.knotes.end(), "an event of a knote that exists");
        require(found->second.enabled, "an event of an enabled knote");
        deliveredToModel(model, f, event);
    }
}

// The slots whose read knote the collection below checks, and what poll(2) says of them.
constexpr Slot kReaders[] = {kPipeRead, kPairA, kPairB, kUdp};

struct ReadState {
    bool ready = false;
    bool ended = false;
    bool datagram = false;  // a datagram is queued
};

ReadState readState(const Fixture &f, Slot slot) {
    struct pollfd probe {};
    probe.fd = f.fds[slot];
    probe.events = POLLIN | POLLRDHUP;
    ReadState state;
    if (poll(&probe, 1, 0) != 1 || (probe.revents & POLLNVAL)) {
        return state;
    }
    const short in = probe.revents & POLLIN;
    const short err = probe.revents & POLLERR;
    switch (slot) {
    case kPipeRead:
        state.ended = probe.revents & POLLHUP;
        state.ready = in || state.ended;
        break;
    case kUdp: {
        state.ready = in || err;
        int bytes = 0;
        state.datagram = (in && !(probe.revents & POLLRDHUP)) || (ioctl(f.fds[slot], FIONREAD, &bytes) == 0 && bytes > 0);
        break;
    }
    default:
        state.ended = probe.revents & POLLRDHUP;
        state.ready = in || err || state.ended;
        break;
    }
    return state;
}

// Short lists over the one ready queue: with m knotes and room for k, every level reader that is
// ready (and stays so: nothing reads meanwhile) comes within ceil(m/k) calls, and no call
// returns nothing while one is ready.
void shortCalls(FuzzedDataProvider &input, const Fixture &f, Model &model) {
    if (!model.certain || !model.limbo.empty() || model.knotes.empty()) {
        return;
    }
    const int room = input.ConsumeIntegralInRange<int>(1, 3);
    const int calls = (static_cast<int>(model.knotes.size()) + room - 1) / room;
    std::set<Key> due;
    for (Slot slot : kReaders) {
        const Key key{static_cast<uint64_t>(f.fds[slot]), EVFILT_READ};
        auto found = model.knotes.find(key);
        if (f.own[slot] && !f.replaced[slot] && found != model.knotes.end() && found->second.enabled &&
            !found->second.clear && !found->second.oneshot && !found->second.dispatch && readState(f, slot).ready) {
            due.insert(key);
        }
    }
    for (int call = 0; call < calls; call++) {
        struct kevent events[3];
        struct timespec zero {};
        const int result = quarn::platform::kevent(f.fds[kQueue], nullptr, 0, events, room, &zero);
        require(result >= 0 && result <= room, "a short collection succeeds within its room");
        require(result > 0 || due.empty(), "no call returns nothing while a knote is ready");
        for (int i = 0; i < result; i++) {
            const struct kevent &event = events[i];
            require(model.knotes.count({event.ident, event.filter}) != 0, "an event of a knote that exists");
            require(event.filter != EVFILT_WRITE || (event.flags & EV_EOF) || event.data > 0,
                    "a write event announces room");
            due.erase({event.ident, event.filter});
            deliveredToModel(model, f, event);
        }
    }
    require(due.empty(), "with m knotes and room for k, a ready level reader comes within ceil(m/k) calls");
}

// Collects until nothing is left, with room for everything, as an event loop does after the
// short lists and the traffic of the other steps: a ready read knote with something new is
// reported, a level knote and a datagram reader on every call while ready, an ended stream with
// EV_EOF. The datagram reader takes what data announces (at least one datagram), as a FreeBSD
// reader may, and must still be told of the rest.
void collectAll(FuzzedDataProvider &input, const Fixture &f, Model &model) {
    if (input.ConsumeBool()) {
        shortCalls(input, f, model);
    }
    const int calls = input.ConsumeIntegralInRange<int>(1, 3);
    for (int call = 0; call < calls; call++) {
        if (!model.certain) {
            return;
        }
        ReadState before[kFdSlots];
        for (Slot slot : kReaders) {
            if (f.own[slot] && !f.replaced[slot] && model.limbo.count(static_cast<uint64_t>(f.fds[slot])) == 0) {
                before[slot] = readState(f, slot);
            }
        }
        struct kevent events[64];
        struct timespec zero {};
        const int result = quarn::platform::kevent(f.fds[kQueue], nullptr, 0, events, 64, &zero);
        require(result >= 0, "a collection without changes succeeds");
        if (std::getenv("QUARN_FUZZ_TRACE") != nullptr) {
            std::fprintf(stderr, "collect = %d\n", result);
            for (int i = 0; i < result; i++) {
                std::fprintf(stderr, "  event ident=%llu filter=%d flags=0x%x data=%lld\n",
                             static_cast<unsigned long long>(events[i].ident), events[i].filter, events[i].flags,
                             static_cast<long long>(events[i].data));
            }
            for (Slot slot : kReaders) {
                std::fprintf(stderr, "  slot %d fd %d ready %d ended %d fresh %d\n", slot, f.fds[slot],
                             before[slot].ready, before[slot].ended, model.fresh[slot]);
            }
        }
        std::set<Key> reported;
        for (int i = 0; i < result; i++) {
            const struct kevent &event = events[i];
            reported.insert({event.ident, event.filter});
            const int slot = slotOf(f, event.ident);
            if (event.filter == EVFILT_READ && slot >= 0 && before[slot].ended) {
                require(event.flags & EV_EOF, "a stream that ended is reported with EV_EOF");
            }
        }
        for (Slot slot : kReaders) {
            const Key key{static_cast<uint64_t>(f.fds[slot]), EVFILT_READ};
            auto found = model.knotes.find(key);
            if (!before[slot].ready || found == model.knotes.end() || !found->second.enabled) {
                continue;
            }
            const KnoteModel &knote = found->second;
            const bool again =
                !knote.clear || (slot == kUdp && !knote.oneshot && !knote.dispatch && before[slot].datagram);
            if (model.fresh[slot] || again) {
                require(reported.count(key) != 0, "a ready read knote with news is reported");
            }
        }
        for (int i = 0; i < result; i++) {
            const struct kevent &event = events[i];
            require(model.knotes.count({event.ident, event.filter}) != 0 ||
                        (isFdFilter(event.filter) && model.limbo.count(event.ident) != 0),
                    "an event of a knote that exists");
            deliveredToModel(model, f, event);
            if (event.filter == EVFILT_READ && f.own[kUdp] && event.ident == static_cast<uint64_t>(f.fds[kUdp])) {
                char buffer[1500];
                int64_t taken = 0;
                do {
                    const ssize_t size = recv(f.fds[kUdp], buffer, sizeof buffer, 0);
                    if (size < 0) {
                        break;
                    }
                    taken += size;
                } while (taken < event.data);
            }
        }
    }
}

void traffic(FuzzedDataProvider &input, Fixture &f, Model &model) {
    char buffer[4096];
    std::memset(buffer, 'q', sizeof(buffer));
    const size_t amount = input.ConsumeIntegralInRange<size_t>(0, sizeof(buffer));
    const int kind = input.ConsumeIntegralInRange<int>(0, 7);
    if (std::getenv("QUARN_FUZZ_TRACE") != nullptr) {
        std::fprintf(stderr, "traffic %d, %zu bytes\n", kind, amount);
    }
    switch (kind) {
    case 0:
        model.fresh[kPipeRead] |= f.own[kPipeWrite] && write(f.fds[kPipeWrite], buffer, amount) > 0;
        break;
    case 1:
        (void)!read(f.fds[kPipeRead], buffer, amount);
        break;
    case 2:
        model.fresh[kPairA] |= f.own[kPairB] && write(f.fds[kPairB], buffer, amount) > 0;
        break;
    case 3:
        (void)!read(f.fds[kPairA], buffer, amount);
        break;
    case 4:
        model.fresh[kPairB] |= f.own[kPairA] && write(f.fds[kPairA], buffer, amount) > 0;
        break;
    case 5:
        (void)!read(f.fds[kPairB], buffer, amount);
        break;
    case 6:
        model.fresh[kUdp] |= f.own[kUdp] && sendto(f.fds[kUdp], buffer, amount % 1500, 0,
                                                    reinterpret_cast<const sockaddr *>(&f.udpAddress),
                                                    sizeof(f.udpAddress)) >= 0;
        break;
    default:
        (void)!recv(f.fds[kUdp], buffer, sizeof(buffer), 0);
        break;
    }
}

void closing(FuzzedDataProvider &input, Fixture &f, Model &model) {
    static constexpr Slot kClosable[] = {kPipeRead, kPipeWrite, kPairA, kPairB, kUdp, kListener, kUnconnected};
    const Slot slot = kClosable[input.ConsumeIntegralInRange<size_t>(0, std::size(kClosable) - 1)];
    if (!f.own[slot]) {
        return;
    }
    const int fd = f.fds[slot];
    const int how = input.ConsumeIntegralInRange<int>(0, 3);
    if (std::getenv("QUARN_FUZZ_TRACE") != nullptr) {
        std::fprintf(stderr, "%s %d\n", how == 0 ? "shutdown" : how == 1 ? "close without the hook, reuse" : "close",
                     fd);
    }
    // The other end of a pair or pipe sees its stream end (or a shutdown of its own side).
    Slot other = slot == kPairA ? kPairB : slot == kPairB ? kPairA : slot == kPipeWrite ? kPipeRead : kFdSlots;
    if (f.replaced[slot] || (other != kFdSlots && f.replaced[other])) {
        other = kFdSlots;
    }
    switch (how) {
    case 0: {
        const int direction = input.ConsumeIntegralInRange<int>(SHUT_RD, SHUT_RDWR);
        if (shutdown(fd, direction) == 0 && other != kFdSlots) {
            model.fresh[other] |= direction != SHUT_RD;
            model.fresh[slot] |= direction != SHUT_WR;
        }
        return;
    }
    case 1: {
        // Closed behind the layer's back and the number taken by another socket at once.
        close(fd);
        if (other != kFdSlots) {
            model.fresh[other] = true;
        }
        const int reused = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        model.limbo.insert(static_cast<uint64_t>(fd));
        f.replaced[slot] = true;
        model.knotes.erase({static_cast<uint64_t>(fd), EVFILT_READ});
        model.knotes.erase({static_cast<uint64_t>(fd), EVFILT_WRITE});
        if (reused != fd) {
            // Some other number came back: keep the fixture's slot pointing at a real descriptor.
            if (reused >= 0) {
                close(reused);
            }
            f.own[slot] = false;
        }
        return;
    }
    default:
        // The library's close: FreeBSD drops the knotes of a closed descriptor.
        closeWithHook(fd);
        if (other != kFdSlots) {
            model.fresh[other] = true;
        }
        f.own[slot] = false;
        model.knotes.erase({static_cast<uint64_t>(fd), EVFILT_READ});
        model.knotes.erase({static_cast<uint64_t>(fd), EVFILT_WRITE});
        return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Writes to a pipe or socket whose peer is closed are part of the traffic.
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Counted per input: between inputs libFuzzer may start a symbolizer with pipes of its own.
    const int baseline = openDescriptors();
    FuzzedDataProvider input(data, size);
    Fixture f = openFixture();
    Model model;
    int steps = 0;
    while (input.remaining_bytes() > 0 && steps++ < 64) {
        switch (input.ConsumeIntegralInRange<int>(0, 6)) {
        case 0:
        case 1:
        case 2:
            keventCall(input, f, model);
            break;
        case 3:
        case 4:
            traffic(input, f, model);
            break;
        case 5:
            collectAll(input, f, model);
            break;
        default:
            closing(input, f, model);
            break;
        }
    }
    for (int i = 0; i < kFdSlots; i++) {
        if (f.own[i]) {
            closeWithHook(f.fds[i]);
        }
    }
    require(openDescriptors() == baseline, "every descriptor closed: the layer keeps none of its own");
    return 0;
}
