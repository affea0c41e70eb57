// Non-blocking pipes. Every implementation provides, in namespace quarn::platform:
//
//   int openNonBlockingPipe(int pair[2]);   both ends non-blocking, read end in pair[0];
//                                           0, or the negated errno with no descriptor left open
//
// It uses pipe2 when the C library has it (the symbol is bound weakly, so that a library
// without it still loads) and otherwise pipe + fcntl. Both paths are here, portable, so that
// the fallback is compiled and tested everywhere.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace quarn::platform {

using Pipe2Function = int (*)(int pair[2], int flags);
using SetNonBlockingFunction = int (*)(int fd);

// A new pipe's ends have no other file status flag, so setting O_NONBLOCK alone loses nothing.
inline int setNonBlocking(int fd) { return fcntl(fd, F_SETFL, O_NONBLOCK); }

// pipe, then the read end and after it the write end made non-blocking. When that fails both
// ends are closed, so the caller never receives or leaks a half-made pipe.
inline int openPipeWithFcntl(int pair[2], SetNonBlockingFunction makeNonBlocking = &setNonBlocking) {
    int ends[2];
    if (pipe(ends) != 0) {
        return -errno;
    }
    if (makeNonBlocking(ends[0]) != 0 || makeNonBlocking(ends[1]) != 0) {
        const int error = errno;
        close(ends[0]);
        close(ends[1]);
        return -error;
    }
    pair[0] = ends[0];
    pair[1] = ends[1];
    return 0;
}

// pipe2 when given, the fallback when null. Neither path retries EINTR.
inline int openNonBlockingPipeWith(int pair[2], Pipe2Function pipe2Function) {
    if (pipe2Function == nullptr) {
        return openPipeWithFcntl(pair);
    }
    return pipe2Function(pair, O_NONBLOCK) == 0 ? 0 : -errno;
}

int openNonBlockingPipe(int pair[2]);

}  // namespace quarn::platform
