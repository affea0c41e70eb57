// Turning readiness into kevent records: writing a knote's event, what happens to the knote after
// it (EV_ONESHOT deletes it, EV_DISPATCH disables it, a level knote is reported again while it is
// ready), and evaluating again what did not fit instead of losing it.
#include <poll.h>
#include <sys/epoll.h>

#include <cerrno>

#include "platform/linux/kqueue_state.h"

namespace quarn::platform::kq {
namespace {

void fillRecord(struct kevent &record, uint64_t ident, int16_t filter, uint16_t flags, uint32_t fflags, int64_t data,
                void *udata, const uint64_t ext[4]) {
    record.ident = ident;
    record.filter = filter;
    record.flags = flags;
    record.fflags = fflags;
    record.data = data;
    record.udata = udata;
    for (int i = 0; i < 4; i++) {
        record.ext[i] = ext[i];
    }
}

bool levelTriggered(const FdEntry &entry) { return entry.mask != 0 && !(entry.mask & EPOLLET); }

// The knote is to be reported again, as it will be then. A level-triggered registration does that
// by itself. A level knote of an edge-triggered registration is re-armed by an EPOLL_CTL_MOD on
// the next call, which queues the descriptor again if it is still ready and finds out when its
// file has closed. Any other knote is evaluated again at the start of the next call, by a poll of
// the descriptor: a MOD would make epoll report the other filter's EV_CLEAR knote once more.
void reportAgain(State &state, int fd, FdEntry &entry, const Knote &knote, uint8_t bit) {
    if (levelTriggered(entry)) {
        return;
    }
    if (isLevel(knote)) {
        entry.rearm |= bit;
    } else {
        entry.pending |= bit;
    }
    listActive(state, fd);
}

// Writes the event of one descriptor knote, or leaves it for the next call. A knote is never
// written from what an earlier call saw: FreeBSD evaluates the filter when the event is
// collected, so a knote that did not fit is measured again when it is delivered (an end of
// stream that came meanwhile carries EV_EOF). A knote already written by this call may be
// reported by epoll again for an edge that came after it was measured: it is evaluated again
// on the next call rather than dropped.
void emitFd(State &state, int fd, FdEntry &entry, bool isRead, bool eof, Output &out) {
    Knote &knote = isRead ? entry.read : entry.write;
    const uint8_t bit = isRead ? kReadBit : kWriteBit;
    if (!knote.present || !knote.enabled) {
        return;
    }
    if (out.full() || knote.emittedCall == out.call) {
        reportAgain(state, fd, entry, knote, bit);
        return;
    }
    const int64_t data = isRead ? readData(fd, &entry.type) : writeData(fd, entry.type, entry.capacity);
    const uint16_t flags = static_cast<uint16_t>(knote.flags | (eof ? EV_EOF : 0));
    // fflags stays 0 on EOF: FreeBSD would put so_error there, and reading it would clear it.
    fillRecord(out.events[out.count++], static_cast<uint64_t>(fd), isRead ? EVFILT_READ : EVFILT_WRITE, flags, 0, data,
               knote.udata, knote.ext);
    knote.emittedCall = out.call;
    if (knote.flags & EV_ONESHOT) {
        knote = Knote{};
        entry.rearm &= ~bit;
        entry.pending &= ~bit;
        syncRegistration(state, fd);
    } else if (knote.flags & EV_DISPATCH) {
        knote.enabled = false;
        entry.rearm &= ~bit;
        entry.pending &= ~bit;
        syncRegistration(state, fd);
    } else if (isLevel(knote) || (isRead && entry.type == FdType::Datagram)) {
        // A level knote is reported while it is ready. So is a datagram reader with EV_CLEAR:
        // Linux measures only the next datagram where FreeBSD counts the whole queue, and a
        // reader that takes what data announces must still hear of the datagrams behind it.
        reportAgain(state, fd, entry, knote, bit);
    }
}

// Writes the events of fd's knotes among `which` that these epoll events make ready.
void emitEntry(State &state, int fd, uint32_t events, uint8_t which, Output &out) {
    FdEntry &entry = *findEntry(state, fd);
    const bool wasLevelTriggered = levelTriggered(entry);
    const Readiness ready = readiness(entry.type, events);
    bool taken = false;
    if ((which & kReadBit) && ready.read && entry.read.present && entry.read.enabled) {
        taken = true;
        emitFd(state, fd, entry, true, ready.readEof, out);
    }
    // The read data may have found a listener, which has no write readiness at all.
    const Readiness again = entry.type == FdType::Listener ? Readiness{} : ready;
    if ((which & kWriteBit) && again.write && entry.mask != 0 && entry.write.present && entry.write.enabled) {
        taken = true;
        emitFd(state, fd, entry, false, again.writeEof, out);
    }
    // A level-triggered registration reporting what no knote takes as ready would report it
    // again on every wait: from now on the descriptor is edge-triggered.
    if (wasLevelTriggered && !taken && entry.mask != 0) {
        entry.demoted = true;
        syncRegistration(state, fd);
    }
}

// The knotes of fd left pending by an earlier call, evaluated as they are now.
void emitPending(State &state, int fd, uint8_t pending, Output &out) {
    struct pollfd probe {};
    probe.fd = fd;
    probe.events = POLLIN | POLLOUT | POLLRDHUP;
    if (poll(&probe, 1, 0) < 0) {
        return;
    }
    if (probe.revents & POLLNVAL) {
        // Closed behind the layer's back: its registration went with the file.
        resetEntry(*findEntry(state, fd));
        return;
    }
    // poll(2) and epoll share the values of IN, OUT, ERR, HUP and RDHUP.
    emitEntry(state, fd, static_cast<uint32_t>(probe.revents), pending, out);
}

}  // namespace

void drainActive(State &state, Output &out) {
    int fd = state.activeHead;
    state.activeHead = state.activeTail = -1;
    while (fd >= 0) {
        FdEntry &entry = *findEntry(state, fd);
        const int next = entry.nextActive;
        entry.listed = false;
        entry.nextActive = -1;
        const uint8_t rearm = entry.rearm;
        const uint8_t pending = entry.pending;
        entry.rearm = entry.pending = 0;
        if (entry.mask != 0 && pending != 0) {
            emitPending(state, fd, pending, out);
        }
        // One EPOLL_CTL_MOD queues the descriptor again if it is still ready, so the wait
        // below reports it; a closed descriptor's entry is dropped by the failure. If the
        // re-arm fails and the registration stands, the knote stays listed and is re-armed by
        // the next call rather than never being reported again.
        if (entry.mask != 0 && rearm != 0 && syncRegistration(state, fd) != 0 && entry.mask != 0) {
            entry.rearm |= rearm;
            listActive(state, fd);
        }
        settleEntry(state, fd);
        fd = next;
    }
}

void drainUsers(State &state, Output &out) {
    UserKnote *knote = state.readyHead;
    while (knote != nullptr && !out.full()) {
        UserKnote *next = knote->next;
        if (knote->emittedCall != out.call) {
            // FreeBSD's filt_usertouch(EVENT_PROCESS): the knote's own flags and data.
            fillRecord(out.events[out.count++], knote->ident, EVFILT_USER, knote->flags, knote->fflags, knote->data,
                       knote->udata, knote->ext);
            knote->emittedCall = out.call;
            if (knote->flags & EV_ONESHOT) {
                unlistReady(state, *knote);
                eraseUser(state, knote);
            } else {
                if (knote->flags & EV_CLEAR) {
                    knote->triggered = false;
                }
                if (knote->flags & EV_DISPATCH) {
                    knote->enabled = false;
                }
                // Still ready (no EV_CLEAR): to the back of the list, so that a short event
                // list does not hand the same user event out forever while others wait.
                unlistReady(state, *knote);
                if (knote->triggered && knote->enabled) {
                    listReady(state, *knote);
                }
            }
        }
        knote = next;
    }
}

void translate(State &state, uint64_t data, uint32_t events, Output &out) {
    if (data == kWakeData) {
        state.wakePosted = false;
        drainUsers(state, out);
        return;
    }
    const int fd = static_cast<int>(static_cast<uint32_t>(data));
    const uint32_t incarnation = static_cast<uint32_t>(data >> 32);
    const FdEntry *entry = findEntry(state, fd);
    // An event queued before the knotes of this number were dropped or replaced.
    if (entry == nullptr || entry->mask == 0 || entry->incarnation != incarnation) {
        return;
    }
    emitEntry(state, fd, events, kReadBit | kWriteBit, out);
    settleEntry(state, fd);
}

}  // namespace quarn::platform::kq
