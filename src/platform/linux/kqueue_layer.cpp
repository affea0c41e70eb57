// Placeholder until the epoll-based layer lands: every call fails with ENOSYS.
#include "platform/linux/kqueue_layer.h"

#include <cerrno>

namespace quarn::platform {

int kqueue() {
    errno = ENOSYS;
    return -1;
}

int kevent(int, const struct kevent *, int, struct kevent *, int, const struct timespec *) {
    errno = ENOSYS;
    return -1;
}

void descriptorClosing(int) {
}

}  // namespace quarn::platform
