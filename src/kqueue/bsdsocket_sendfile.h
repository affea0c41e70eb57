// The transfer loop under the sendFile native, over any function of FreeBSD's sendfile shape
// (platform/bsd_socket.h), so that interruption and partial progress can be tested with
// scripted results.
#pragma once

#include <errno.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace quarn::bsdsocket {

// Sends length (at least 1) bytes from position with send(position, count, &sent). An
// interrupted call continues exactly where it stopped; any other outcome ends the transfer.
// The result is the number of bytes sent by all calls together when that is at least 1 (a
// failure after progress is not reported), otherwise the negated errno of the failed call,
// or 0 when the system sent nothing without failing.
template <typename Send>
int64_t sendRegion(Send &&send, off_t position, int64_t length) {
    size_t remaining = static_cast<size_t>(length);
    int result = 0;
    int error = 0;
    for (;;) {
        off_t sent = 0;
        result = send(position, remaining, &sent);
        error = result < 0 ? errno : 0;
        remaining -= static_cast<size_t>(sent);
        // A zero count must never reach the system, which reads it as "to the end of the file".
        if (result == 0 || error != EINTR || remaining == 0) {
            break;
        }
        position += sent;
    }
    const int64_t written = length - static_cast<int64_t>(remaining);
    if (written > 0) {
        return written;
    }
    return result < 0 ? -error : 0;
}

}  // namespace quarn::bsdsocket
