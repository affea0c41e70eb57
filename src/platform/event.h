// The kqueue seam. Every implementation provides, in namespace quarn::platform:
//
//   struct kevent and the EVFILT_*, EV_*, NOTE_* values of FreeBSD 14 (the 64-byte record);
//   int kqueue();                        a new kqueue descriptor, or -1 with errno
//   int kevent(int kq, const struct kevent *changes, int nchanges,
//              struct kevent *events, int nevents, const struct timespec *timeout);
//                                        FreeBSD's kevent(2): applies the changes in order,
//                                        then waits; -1 with errno (EINTR is returned, never
//                                        retried inside)
//   void descriptorClosing(int fd);      called by the descriptor close native right before
//                                        close(2), so that knotes on fd are dropped as the
//                                        kernel does on close; a no-op where the kernel does it
//
// On FreeBSD these are the system's own; on Linux the library's layer over epoll, whose
// names stay hidden (the library exports no kqueue or kevent symbol).
#pragma once

#include <time.h>

#if defined(__FreeBSD__)
#include <sys/types.h>
#include <sys/event.h>

namespace quarn::platform {

// The system's own functions, not wrappers: a caller that names quarn::platform::kevent and also
// finds ::kevent through its record argument then sees one function, not two.
using ::kevent;
using ::kqueue;

inline void descriptorClosing(int) {
}

}  // namespace quarn::platform

#else
#include "platform/linux/kqueue_layer.h"
#endif
