// FreeBSD 14's kqueue interface, reproduced on Linux by the library's own layer over epoll and
// eventfd: the same 64-byte record, the same values, the same semantics for what the transport
// uses. The functions are hidden; nothing here is exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <time.h>

#include "platform/kqueue_values.h"

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

// FreeBSD's EVFILT_*, EV_* and NOTE_* values, as constants of the same names and types.
#define QUARN_DEFINE_KQUEUE_VALUE(name, value) inline constexpr auto name = value;
QUARN_KQUEUE_VALUES(QUARN_DEFINE_KQUEUE_VALUE)
#undef QUARN_DEFINE_KQUEUE_VALUE

namespace quarn::platform {

int kqueue();
int kevent(int kq, const struct kevent *changes, int nchanges, struct kevent *events, int nevents,
           const struct timespec *timeout);
void descriptorClosing(int fd);

}  // namespace quarn::platform
