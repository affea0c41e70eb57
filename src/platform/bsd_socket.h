// The BSD socket seam: sendfile, the accept filter, TCP_NOPUSH, the send low-water mark and the
// credentials of a local socket's peer. Every implementation provides, in namespace quarn::platform:
//
//   AcceptFilterRecord     FreeBSD's struct accept_filter_arg, 256 bytes: char af_name[16],
//                          then char af_arg[240], each a zero-terminated text
//   PeerCredentialRecord   FreeBSD's struct xucred, 88 bytes: cr_version, cr_uid, cr_ngroups,
//                          cr_groups[kPeerGroupsMax] (the effective group first), then the pid
//   kPeerGroupsMax         the number of entries in cr_groups (16)
//   kTcpNoPushLevel, kTcpNoPushOption
//                          the TCP option that holds back partial segments until it is cleared
//   int sendFile(int fd, int s, off_t offset, size_t nbytes, off_t *sbytes);
//                          FreeBSD's sendfile(2) without headers, trailers or flags: sends
//                          nbytes of file fd from offset to socket s (0 means up to the end of
//                          the file) and stores the bytes sent in *sbytes, also when it fails;
//                          0 or -1 with errno; EINTR and EAGAIN are returned, never retried
//   int setAcceptFilter(int s, const AcceptFilterRecord *record);
//   int getAcceptFilter(int s, AcceptFilterRecord *record);
//   int getPeerCredentials(int s, PeerCredentialRecord *record, socklen_t *length);
//                          option calls: 0, or -1 with errno, as getsockopt/setsockopt report;
//                          EBADF for a closed descriptor, as the option failure rule expects.
//                          The credential read is the system's answer as it stands, *length (the
//                          record's size on entry) set to the bytes written: callers check it
//                          with readPeerCredentials (kqueue/bsdsocket_records.h)
//   kPeerCredentialVersion the cr_version of the record layout above (XUCRED_VERSION)
//
// The send low-water mark is the same option everywhere and needs no seam beyond its names below.
#pragma once

#include <sys/types.h>
#include <sys/socket.h>

#include <cstddef>

#if defined(__FreeBSD__)
#include <sys/param.h>
#include <sys/ucred.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

namespace quarn::platform {

using AcceptFilterRecord = struct accept_filter_arg;
using PeerCredentialRecord = struct xucred;

inline constexpr int kPeerGroupsMax = XU_NGROUPS;
inline constexpr int kTcpNoPushLevel = IPPROTO_TCP;
inline constexpr int kTcpNoPushOption = TCP_NOPUSH;

inline int sendFile(int fd, int s, off_t offset, size_t nbytes, off_t *sbytes) {
    return ::sendfile(fd, s, offset, nbytes, nullptr, sbytes, 0);
}

inline int setAcceptFilter(int s, const AcceptFilterRecord *record) {
    return ::setsockopt(s, SOL_SOCKET, SO_ACCEPTFILTER, record, sizeof(*record));
}

inline int getAcceptFilter(int s, AcceptFilterRecord *record) {
    socklen_t length = sizeof(*record);
    return ::getsockopt(s, SOL_SOCKET, SO_ACCEPTFILTER, record, &length);
}

inline constexpr unsigned int kPeerCredentialVersion = XUCRED_VERSION;

inline int getPeerCredentials(int s, PeerCredentialRecord *record, socklen_t *length) {
    return ::getsockopt(s, SOL_LOCAL, LOCAL_PEERCRED, record, length);
}

}  // namespace quarn::platform

#else
#include "platform/linux/bsd_socket_layer.h"
#endif

namespace quarn::platform {

inline constexpr int kSndLowAtLevel = SOL_SOCKET;
inline constexpr int kSndLowAtOption = SO_SNDLOWAT;

// The Java side depends on these layouts only through the natives, but the kernel's records
// have these sizes on every 64-bit system the library targets.
static_assert(sizeof(AcceptFilterRecord) == 256);
static_assert(sizeof(AcceptFilterRecord::af_name) == 16);
static_assert(sizeof(AcceptFilterRecord::af_arg) == 240);
static_assert(sizeof(PeerCredentialRecord) == 88);
static_assert(sizeof(PeerCredentialRecord::cr_groups) / sizeof(PeerCredentialRecord::cr_groups[0]) ==
              static_cast<size_t>(kPeerGroupsMax));
static_assert(sizeof(off_t) == 8, "file positions are Java longs");

}  // namespace quarn::platform
