// What the natives and the Java side take for granted about FreeBSD, checked against FreeBSD's own
// headers whenever the library is built for it. Nothing here generates code: a wrong fact fails
// the build.
#include <sys/types.h>

#include <limits.h>
#include <sys/event.h>
#include <sys/socket.h>
#include <sys/ucred.h>
#include <sys/un.h>

#include <cstddef>

#include "platform/kqueue_values.h"

namespace {

// The kevent record the Java side reads and writes in its own memory (the 64-byte interface of
// FreeBSD 12 and later, kevent@FBSD_1.5).
static_assert(sizeof(struct kevent) == 64);
static_assert(offsetof(struct kevent, ident) == 0);
static_assert(offsetof(struct kevent, filter) == 8);
static_assert(offsetof(struct kevent, flags) == 10);
static_assert(offsetof(struct kevent, fflags) == 12);
static_assert(offsetof(struct kevent, data) == 16);

// The records the BSD socket natives hand to the kernel and read back.
static_assert(sizeof(struct xucred) == 88);
static_assert(XU_NGROUPS == 16);
static_assert(sizeof(struct accept_filter_arg) == 256);
static_assert(sizeof(sockaddr_un::sun_path) == 104);
static_assert(IOV_MAX == 1024);

// The values the Linux layer defines from the same list.
#define QUARN_CHECK_KQUEUE_VALUE(name, value) \
    static_assert((name) == (value), #name " differs from the value the Linux layer defines");
QUARN_KQUEUE_VALUES(QUARN_CHECK_KQUEUE_VALUE)
#undef QUARN_CHECK_KQUEUE_VALUE

}  // namespace
