// Turning readiness into kevent records: writing a knote's event, what happens to the knote after
// it (EV_ONESHOT deletes it, EV_DISPATCH disables it, a level knote is re-armed on the next call),
// and keeping what did not fit for the next call instead of losing it.
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

// Writes the event of one descriptor knote, or keeps it for the next call when the list is full.
void emitFd(State &state, int fd, bool isRead, bool eof, uint32_t events, Output &out) {
    FdEntry &entry = state.fds[fd];
    Knote &knote = isRead ? entry.read : entry.write;
    const uint8_t bit = isRead ? kReadBit : kWriteBit;
    if (!knote.present || !knote.enabled || knote.emittedCall == out.call) {
        return;
    }
    const bool level = !(knote.flags & (EV_CLEAR | EV_ONESHOT | EV_DISPATCH));
    if (out.full()) {
        // A level knote is simply re-armed: epoll then says whether it is still ready. An edge
        // knote has no second chance from epoll, so it waits here for the next call.
        if (level) {
            entry.rearm |= bit;
        } else {
            entry.pending |= bit;
            entry.pendingEvents |= events;
        }
        listActive(state, fd);
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
    } else if (level) {
        entry.rearm |= bit;
        listActive(state, fd);
    }
}

void emitEntry(State &state, int fd, uint32_t events, uint8_t which, Output &out) {
    const Readiness ready = readiness(state.fds[fd].type, events);
    if ((which & kReadBit) && ready.read) {
        emitFd(state, fd, true, ready.readEof, events, out);
    }
    // The read data may have found a listener, which has no write readiness at all.
    const Readiness again = state.fds[fd].type == FdType::Listener ? Readiness{} : ready;
    if ((which & kWriteBit) && again.write && state.fds[fd].mask != 0) {
        emitFd(state, fd, false, again.writeEof, events, out);
    }
}

}  // namespace

void drainActive(State &state, Output &out) {
    int fd = state.activeHead;
    state.activeHead = state.activeTail = -1;
    while (fd >= 0) {
        FdEntry &entry = state.fds[fd];
        const int next = entry.nextActive;
        entry.listed = false;
        entry.nextActive = -1;
        const uint8_t rearm = entry.rearm;
        const uint8_t pending = entry.pending;
        const uint32_t events = entry.pendingEvents;
        entry.rearm = entry.pending = 0;
        entry.pendingEvents = 0;
        if (entry.mask != 0) {
            if (pending != 0) {
                emitEntry(state, fd, events, pending, out);
            }
            // One EPOLL_CTL_MOD queues the descriptor again if it is still ready, so the wait
            // below reports it; a closed descriptor's entry is dropped by the failure.
            if (rearm != 0 && state.fds[fd].mask != 0) {
                syncRegistration(state, fd);
            }
        }
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
                state.users.erase(knote->ident);
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
    if (fd < 0 || static_cast<size_t>(fd) >= state.fds.size()) {
        return;
    }
    const FdEntry &entry = state.fds[fd];
    // An event queued before the knotes of this number were dropped or replaced.
    if (entry.mask == 0 || entry.incarnation != incarnation) {
        return;
    }
    emitEntry(state, fd, events, kReadBit | kWriteBit, out);
}

}  // namespace quarn::platform::kq
