// The ready queue's epoll source and FreeBSD's kqueue_scan over it: an epoll report activates
// the knotes it makes ready (they join the tail), and a scan takes knotes from the head up to a
// marker put at the tail, re-checks each with its filter function (EV_ONESHOT excepted, which is
// delivered as it fired), writes what is ready while the caller's list has room, and decides
// what happens to the knote after its event: EV_ONESHOT deletes it, EV_DISPATCH disables it,
// EV_CLEAR takes it out of the queue until its next report, and a level knote goes back to the
// tail, behind the marker, so that everything that became ready meanwhile comes first and no
// call returns the same knote twice.
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

// An EV_CLEAR datagram reader after its event: FreeBSD counts every queued byte, Linux only the
// next datagram, so a reader that takes what data announced must still hear of the rest.
bool datagramReader(const FdEntry &entry, const Knote &knote) {
    return &knote == &entry.read && entry.type == FdType::Datagram && (knote.flags & EV_CLEAR);
}

// One descriptor knote taken from the head of the queue.
void scanFd(State &state, Knote &knote, bool isRead, Output &out) {
    FdEntry &entry = entryOf(knote);
    const int fd = entry.fd;
    if (!knote.present || !knote.enabled) {
        return;  // a disabled knote leaves the queue; its enable registers it afresh
    }
    Verdict verdict;
    if ((knote.flags & EV_ONESHOT) && knote.data >= 0) {
        // Delivered as it was when it fired, without a re-check.
        verdict.ready = true;
        verdict.eof = knote.eof;
        verdict.data = knote.data;
    } else {
        // The knote's own report, taken in for this scan, stands for the descriptor; one that
        // waited in the queue since an earlier call is looked at again.
        const bool fresh = entry.reportedIn == state.collections;
        // An EV_CLEAR datagram reader queued again after its event, with no report since, needs a
        // datagram still queued.
        const bool datagramsOnly = knote.again && !fresh;
        knote.again = false;
        const int error = filter(entry, isRead, fresh, datagramsOnly, &verdict);
        if (error == EBADF) {
            // Closed behind the layer's back: its registration went with the file.
            resetEntry(state, entry);
            return;
        }
        if (error != 0) {
            // The probe failed, not the knote: it waits behind the marker for the next call.
            knote.again = datagramsOnly;
            enqueue(state, knote.link);
            return;
        }
    }
    if (!verdict.ready) {
        return;
    }
    const uint16_t flags = static_cast<uint16_t>(knote.flags | (verdict.eof ? EV_EOF : 0));
    // fflags stays 0 on EOF: FreeBSD would put so_error there, and reading it would clear it.
    fillRecord(out.events[out.count++], static_cast<uint64_t>(fd), isRead ? EVFILT_READ : EVFILT_WRITE, flags, 0,
               verdict.data, knote.udata, knote.ext);
    if (knote.flags & EV_ONESHOT) {
        knote = Knote{};
        knote.link.kind = isRead ? LinkKind::Read : LinkKind::Write;
        syncRegistration(state, fd);
    } else if (knote.flags & EV_DISPATCH) {
        knote.enabled = false;
        syncRegistration(state, fd);
    } else if (isLevel(knote)) {
        enqueue(state, knote.link);
    } else if (datagramReader(entry, knote)) {
        knote.again = true;
        enqueue(state, knote.link);
    }
}

// One user knote taken from the head: FreeBSD's filt_usertouch(EVENT_PROCESS) writes the
// knote's own flags and data.
void scanUser(State &state, UserKnote &knote, Output &out) {
    if (!knote.enabled || !knote.triggered) {
        return;
    }
    fillRecord(out.events[out.count++], knote.ident, EVFILT_USER, knote.flags, knote.fflags, knote.data, knote.udata,
               knote.ext);
    if (knote.flags & EV_ONESHOT) {
        eraseUser(state, &knote);
        return;
    }
    if (knote.flags & EV_CLEAR) {
        knote.triggered = false;
    }
    if (knote.flags & EV_DISPATCH) {
        knote.enabled = false;
    }
    if (knote.triggered && knote.enabled) {
        enqueue(state, knote.link);
    }
}

}  // namespace

void activate(State &state, uint64_t data, uint32_t events) {
    if (data == kWakeData) {
        state.wakePosted = false;
        return;
    }
    const int fd = static_cast<int>(static_cast<uint32_t>(data));
    const uint32_t incarnation = static_cast<uint32_t>(data >> 32);
    FdEntry *entry = findEntry(state, fd);
    // A report queued before the knotes of this number were dropped or replaced.
    if (entry == nullptr || entry->mask == 0 || entry->incarnation != incarnation) {
        return;
    }
    entry->seen = events;
    entry->reportedIn = state.collections;
    const Readiness ready = readiness(entry->type, events);
    for (Knote *knote : {&entry->read, &entry->write}) {
        const bool isRead = knote == &entry->read;
        if (!knote->present || !knote->enabled || !(isRead ? ready.read : ready.write)) {
            continue;
        }
        if ((knote->flags & EV_ONESHOT) && !knote->link.queued) {
            // FreeBSD measures a knote when it fires; a one-shot knote is delivered as measured.
            Verdict verdict;
            const int error = filter(*entry, isRead, true, false, &verdict);
            if (error == 0 && !verdict.ready) {
                continue;
            }
            // A measure that failed is taken again by the scan (-1: not measured).
            knote->eof = verdict.eof;
            knote->data = error == 0 ? verdict.data : -1;
        }
        knote->again = false;
        enqueue(state, knote->link);
    }
}

void scan(State &state, Output &out) {
    if (queueEmpty(state)) {
        return;
    }
    QueueLink marker;
    enqueue(state, marker);
    while (!out.full()) {
        QueueLink *link = state.queue.next;
        if (link == &marker) {
            break;
        }
        dequeue(*link);
        switch (link->kind) {
            case LinkKind::Read:
            case LinkKind::Write: {
                Knote &knote = knoteOf(*link);
                const int fd = entryOf(knote).fd;
                scanFd(state, knote, link->kind == LinkKind::Read, out);
                settleEntry(state, fd);
                break;
            }
            case LinkKind::User:
                scanUser(state, userOf(*link), out);
                break;
            case LinkKind::Marker:
                break;  // another scan's marker cannot be here: scans hold the mutex throughout
        }
    }
    dequeue(marker);
}

}  // namespace quarn::platform::kq
