// FreeBSD 14's kqueue interface, reproduced on Linux by the library's own layer over epoll and
// eventfd: the same 64-byte record, the same values, the same semantics for what the transport
// uses. The functions are hidden; nothing here is exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <time.h>

struct kevent {
    uint64_t ident;   // a descriptor, or the number of a user event
    int16_t filter;   // EVFILT_*
    uint16_t flags;   // EV_*
    uint32_t fflags;  // NOTE_*
    int64_t data;     // filter-specific data
    void *udata;      // passed through untouched
    uint64_t ext[4];
};

static_assert(sizeof(struct kevent) == 64);
static_assert(offsetof(struct kevent, ident) == 0);
static_assert(offsetof(struct kevent, filter) == 8);
static_assert(offsetof(struct kevent, flags) == 10);
static_assert(offsetof(struct kevent, fflags) == 12);
static_assert(offsetof(struct kevent, data) == 16);
static_assert(offsetof(struct kevent, udata) == 24);
static_assert(offsetof(struct kevent, ext) == 32);

#define EVFILT_READ (-1)
#define EVFILT_WRITE (-2)
#define EVFILT_USER (-11)

#define EV_ADD 0x0001
#define EV_DELETE 0x0002
#define EV_ENABLE 0x0004
#define EV_DISABLE 0x0008
#define EV_ONESHOT 0x0010
#define EV_CLEAR 0x0020
#define EV_RECEIPT 0x0040
#define EV_DISPATCH 0x0080
#define EV_ERROR 0x4000
#define EV_EOF 0x8000

#define NOTE_FFNOP 0x00000000
#define NOTE_FFAND 0x40000000
#define NOTE_FFOR 0x80000000
#define NOTE_FFCOPY 0xc0000000
#define NOTE_FFCTRLMASK 0xc0000000
#define NOTE_FFLAGSMASK 0x00ffffff
#define NOTE_TRIGGER 0x01000000

namespace quarn::platform {

int kqueue();
int kevent(int kq, const struct kevent *changes, int nchanges, struct kevent *events, int nevents,
           const struct timespec *timeout);
void descriptorClosing(int fd);

}  // namespace quarn::platform
