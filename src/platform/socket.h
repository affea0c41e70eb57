// The socket seam. Every implementation provides, in namespace quarn::platform:
//
//   kSocketNonBlocking, kSocketCloseOnExec   the socket(2)/accept4(2) type flags
//   int addressFamily(const sockaddr_storage &)
//                                            the family of a socket address: the one-byte
//                                            field after sin_len on the BSDs, the two-byte
//                                            field at offset 0 on Linux; ss_family on both
//   Accept4Function accept4Function          the accept4(2) the accept path calls, or null
//                                            when the C library has none; then accept(2) and
//                                            two fcntl(2) calls give the same flags. Tests
//                                            may set it to null to exercise that path.
//
// Option levels, option names and errno values are the system headers' own everywhere.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

// Bound weakly: a C library without accept4 leaves the address null instead of failing the
// library's load, and the accept path falls back to accept(2).
extern "C" int accept4(int fd, struct sockaddr *addr, socklen_t *addrlen, int flags) __attribute__((weak));

namespace quarn::platform {

inline constexpr int kSocketNonBlocking = SOCK_NONBLOCK;
inline constexpr int kSocketCloseOnExec = SOCK_CLOEXEC;

inline int addressFamily(const sockaddr_storage &address) {
    return address.ss_family;
}

using Accept4Function = int (*)(int, struct sockaddr *, socklen_t *, int);

inline Accept4Function accept4Function = &::accept4;

}  // namespace quarn::platform
