// Applying one change record, as FreeBSD's kqueue_register does, and keeping each descriptor's
// epoll registration in line with its knotes: the sources of the ready queue other than epoll's
// reports (a user event's trigger, an enable) and the registrations that produce those reports.
//
// Every descriptor is registered edge-triggered: a report is a wake-up of the descriptor, and
// the scan's filter functions decide what is ready. A level knote delivered goes back to the
// ready queue by itself, so no registration is ever level-triggered: one would spin on a socket
// that never connected (Linux reports OUT|HUP for it) and could not be removed once its number
// was closed behind the layer's back. A descriptor whose knotes are all disabled stays
// registered dormant, EPOLLET|EPOLLONESHOT with no IN or OUT, because even an empty mask still
// reports HUP and ERR.
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>

#include <cerrno>
#include <climits>

#include "platform/linux/kqueue_state.h"

namespace quarn::platform::kq {

uint32_t wantedMask(const FdEntry &entry) {
    // RDHUP goes with either filter: without it a stream socket's end (HUP with RDHUP) could
    // not be told from a socket that never connected (HUP alone).
    uint32_t mask = 0;
    if (entry.read.present && entry.read.enabled) {
        mask |= EPOLLIN | EPOLLRDHUP;
    }
    if (entry.write.present && entry.write.enabled) {
        mask |= EPOLLOUT | EPOLLRDHUP;
    }
    return mask == 0 ? EPOLLET | EPOLLONESHOT : mask | EPOLLET;
}

namespace {

// FreeBSD's filt_pipewrite refuses a write knote on a pipe whose reader is gone: Linux shows
// that as POLLERR on the write end.
int attachWrite(int fd, FdType type) {
    if (type != FdType::Pipe) {
        return 0;
    }
    struct pollfd probe {};
    probe.fd = fd;
    probe.events = POLLOUT;
    // A probe that does not wait: an interruption is retried, never the change's error.
    int result;
    do {
        result = poll(&probe, 1, 0);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        return errno;
    }
    return (probe.revents & POLLERR) ? EPIPE : 0;
}

int applyFd(State &state, const struct kevent &change) {
    // A descriptor is an int: a larger identifier is not truncated into some other descriptor.
    if (change.ident > static_cast<uint64_t>(INT_MAX)) {
        return EBADF;
    }
    const int fd = static_cast<int>(change.ident);
    const bool isRead = change.filter == EVFILT_READ;
    const bool add = change.flags & EV_ADD;

    FdEntry *entry = findEntry(state, fd);
    Knote *knote = entry == nullptr ? nullptr : (isRead ? &entry->read : &entry->write);
    if (knote != nullptr && knote->present) {
        if (change.flags & EV_DELETE) {
            dequeue(knote->link);
            *knote = Knote{};
            knote->link.kind = isRead ? LinkKind::Read : LinkKind::Write;
            return syncRegistration(state, fd);
        }
        if (change.flags & EV_ENABLE) {
            knote->enabled = true;
        } else if (change.flags & EV_DISABLE) {
            knote->enabled = false;
            dequeue(knote->link);
        }
        knote->udata = change.udata;
        // An EPOLL_CTL_MOD re-evaluates readiness, as FreeBSD does on every change to a knote.
        const int error = syncRegistration(state, fd);
        // ENOENT: the number now names another file (the old one was closed without the close
        // hook), so its knotes are gone; an EV_ADD makes a fresh one below.
        if (error != ENOENT || !add) {
            return error;
        }
    } else if (!add) {
        // FreeBSD looks the descriptor up before the knote: a closed one is EBADF.
        return fcntl(fd, F_GETFD) < 0 ? EBADF : ENOENT;
    }

    // At most twice: the registration the other filter left may be stale (the number names
    // another file now, the old one closed without the close hook). syncRegistration then drops
    // the old knotes with ENOENT, and the new file is registered afresh, as FreeBSD sees it.
    for (int attempt = 0;; attempt++) {
        entry = findEntry(state, fd);
        const bool registered = entry != nullptr && entry->mask != 0;
        FdType type = registered ? entry->type : FdType::Other;
        // Looked at before any memory is taken for it: a refused add keeps nothing.
        if (!registered) {
            const int error = describe(fd, &type);
            if (error != 0) {
                return error;
            }
        }
        if (const int error = isRead ? 0 : attachWrite(fd, type); error != 0) {
            return error;
        }
        entry = obtainEntry(state, fd);
        if (entry == nullptr) {
            return ENOMEM;
        }
        knote = isRead ? &entry->read : &entry->write;
        if (!registered) {
            // Not registered: whatever the entry held belongs to an earlier file.
            resetEntry(state, *entry);
            entry->type = type;
        }
        knote->present = true;
        knote->enabled = !(change.flags & EV_DISABLE);
        knote->flags = change.flags & kKeptFlags;
        entry->fd = fd;
        knote->udata = change.udata;
        for (int i = 0; i < 4; i++) {
            knote->ext[i] = change.ext[i];
        }
        const int error = syncRegistration(state, fd);
        if (error == ENOENT && registered && attempt == 0) {
            continue;
        }
        if (error != 0 && entry->mask == 0) {
            resetEntry(state, *entry);
        }
        return error;
    }
}

// A user knote is in the ready queue while it is enabled and triggered.
void updateReady(State &state, UserKnote &knote) {
    if (knote.enabled && knote.triggered) {
        enqueue(state, knote.link);
    } else {
        dequeue(knote.link);
    }
}

// FreeBSD's filt_usertouch: NOTE_TRIGGER fires, the control bits combine the user flags.
void touchUser(UserKnote &knote, const struct kevent &change) {
    if (change.fflags & NOTE_TRIGGER) {
        knote.triggered = true;
    }
    const uint32_t control = change.fflags & NOTE_FFCTRLMASK;
    const uint32_t userFlags = change.fflags & NOTE_FFLAGSMASK;
    switch (control) {
        case NOTE_FFAND:
            knote.fflags &= userFlags;
            break;
        case NOTE_FFOR:
            knote.fflags |= userFlags;
            break;
        case NOTE_FFCOPY:
            knote.fflags = userFlags;
            break;
        default:
            break;
    }
    knote.data = change.data;
    if (change.flags & EV_CLEAR) {
        knote.triggered = false;
    }
}

int applyUser(State &state, const struct kevent &change) {
    UserKnote *found = findUser(state, change.ident);
    if (found == nullptr) {
        if (!(change.flags & EV_ADD)) {
            return ENOENT;
        }
        UserKnote *added = insertUser(state, change.ident);
        if (added == nullptr) {
            return ENOMEM;
        }
        UserKnote &knote = *added;
        knote.enabled = !(change.flags & EV_DISABLE);
        knote.triggered = change.fflags & NOTE_TRIGGER;
        knote.flags = change.flags & kKeptFlags;
        knote.fflags = change.fflags;
        knote.data = change.data;
        knote.udata = change.udata;
        for (int i = 0; i < 4; i++) {
            knote.ext[i] = change.ext[i];
        }
        updateReady(state, knote);
        return knote.link.queued ? postWake(state) : 0;
    }
    UserKnote &knote = *found;
    if (change.flags & EV_DELETE) {
        eraseUser(state, found);
        return 0;
    }
    if (change.flags & EV_ENABLE) {
        knote.enabled = true;
    } else if (change.flags & EV_DISABLE) {
        knote.enabled = false;
    }
    knote.udata = change.udata;
    touchUser(knote, change);
    updateReady(state, knote);
    return knote.link.queued ? postWake(state) : 0;
}

}  // namespace

int applyChange(State &state, const struct kevent &change) {
    if ((change.flags & (EV_ENABLE | EV_DISABLE)) == (EV_ENABLE | EV_DISABLE)) {
        return EINVAL;
    }
    switch (change.filter) {
        case EVFILT_READ:
        case EVFILT_WRITE: {
            const int error = applyFd(state, change);
            if (change.ident <= static_cast<uint64_t>(INT_MAX)) {
                settleEntry(state, static_cast<int>(change.ident));
            }
            return error;
        }
        case EVFILT_USER:
            return applyUser(state, change);
        default:
            return EINVAL;
    }
}

int syncRegistration(State &state, int fd) {
    FdEntry &entry = *findEntry(state, fd);
    if (!entry.read.present && !entry.write.present) {
        if (entry.mask == 0) {
            return 0;
        }
        struct epoll_event unused {};
        const int result = epoll_ctl(state.kq, EPOLL_CTL_DEL, fd, &unused);
        const int error = result == 0 ? 0 : errno;
        resetEntry(state, entry);
        return error;
    }
    struct epoll_event event {};
    event.events = wantedMask(entry);
    int operation = EPOLL_CTL_MOD;
    if (entry.mask == 0) {
        operation = EPOLL_CTL_ADD;
        // Incarnations tell events of this registration from those of an earlier one that
        // epoll had already queued for the same number; 0 is never used.
        if (++state.incarnationCounter == 0) {
            ++state.incarnationCounter;
        }
        entry.incarnation = state.incarnationCounter;
    }
    event.data.u64 = (static_cast<uint64_t>(entry.incarnation) << 32) | static_cast<uint32_t>(fd);
    if (epoll_ctl(state.kq, operation, fd, &event) != 0) {
        const int error = errno;
        if (operation == EPOLL_CTL_MOD && (error == ENOENT || error == EBADF)) {
            // The registered file is gone: closed without the close hook, and perhaps the
            // number reused. FreeBSD dropped its knotes at close; so does the layer, now.
            resetEntry(state, entry);
        }
        return error;
    }
    entry.mask = event.events;
    return 0;
}

void dropEntry(State &state, int fd, bool unregister) {
    FdEntry *entry = findEntry(state, fd);
    if (entry == nullptr) {
        return;
    }
    if (entry->mask != 0 && unregister) {
        struct epoll_event unused {};
        epoll_ctl(state.kq, EPOLL_CTL_DEL, fd, &unused);
    }
    resetEntry(state, *entry);
    settleEntry(state, fd);
}

int postWake(State &state) {
    if (state.wakePosted) {
        return 0;
    }
    if (state.deferWake) {
        // The caller arms it after releasing the mutex, so the woken waiter does not at once
        // block on the mutex still held here.
        state.wakePosted = true;
        state.wakeOwed = true;
        return 0;
    }
    const int error = armWake(state.kq, state.wakeFd);
    if (error == 0) {
        state.wakePosted = true;
    }
    return error;
}

int armWake(int kq, int wakeFd) {
    // Re-arming the eventfd with EPOLLOUT queues it at once (an eventfd is always writable) and
    // wakes a waiter; further triggers before the waiter collects it cost nothing.
    struct epoll_event event {};
    event.events = EPOLLOUT | EPOLLET;
    event.data.u64 = kWakeData;
    return epoll_ctl(kq, EPOLL_CTL_MOD, wakeFd, &event) == 0 ? 0 : errno;
}

}  // namespace quarn::platform::kq
