// FreeBSD's socket extensions mapped to their Linux counterparts:
//
//   sendfile          Linux sendfile(2) behind FreeBSD's shape; see sendFile below
//   TCP_NOPUSH        TCP_CORK (Linux flushes a corked partial segment after about 200 ms;
//                     FreeBSD holds it until the option is cleared)
//   SO_ACCEPTFILTER   no counterpart: setting and reading fail with ENOPROTOOPT
//   LOCAL_PEERCRED    SO_PEERCRED plus SO_PEERGROUPS, reported as ENOTCONN where Linux answers
//                     an unconnected or non-local socket with uid -1, and a listener with
//                     its own credentials
//
// Included only through platform/bsd_socket.h. The plain steps the functions are made of are
// declared here too, so that tests can drive them with scripted results.
#pragma once

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <cstddef>

namespace quarn::platform {

struct AcceptFilterRecord {
    char af_name[16];
    char af_arg[256 - 16];
};

inline constexpr int kPeerGroupsMax = 16;

// The layout of FreeBSD's struct xucred on a 64-bit system.
struct PeerCredentialRecord {
    unsigned int cr_version;
    uid_t cr_uid;
    short cr_ngroups;
    gid_t cr_groups[kPeerGroupsMax];
    union {
        pid_t cr_pid;
        void *_cr_unused1;
    };
};

// FreeBSD's XUCRED_VERSION.
inline constexpr unsigned int kPeerCredentialVersion = 0;

inline constexpr int kTcpNoPushLevel = IPPROTO_TCP;
inline constexpr int kTcpNoPushOption = TCP_CORK;

int sendFile(int fd, int s, off_t offset, size_t nbytes, off_t *sbytes);
int setAcceptFilter(int s, const AcceptFilterRecord *record);
int getAcceptFilter(int s, AcceptFilterRecord *record);
int getPeerCredentials(int s, PeerCredentialRecord *record, socklen_t *length);

// One Linux sendfile call moves at most this many bytes (MAX_RW_COUNT on 4 KiB pages).
inline constexpr size_t kSendfileMaxPerCall = 0x7ffff000;

// The FreeBSD-shaped transfer over calls of the form call(&position, count), which behave as
// Linux sendfile(s, fd, &position, count). It calls again until nbytes have gone, the file
// ends or a call fails. A failed call gives -1 with its errno and the bytes the earlier calls
// moved in *sbytes, as FreeBSD reports a transfer that an interruption or a full socket cut
// short: a caller that continues after EINTR then carries on from the right place.
template <typename Call>
int sendFileLoop(Call &&call, off_t offset, size_t nbytes, off_t *sbytes) {
    size_t sent = 0;
    while (sent < nbytes) {
        off_t position = offset + static_cast<off_t>(sent);
        const ssize_t moved = call(&position, std::min(nbytes - sent, kSendfileMaxPerCall));
        if (moved < 0) {
            *sbytes = static_cast<off_t>(sent);
            return -1;
        }
        if (moved == 0) {
            break;  // the file ends before nbytes
        }
        sent += static_cast<size_t>(moved);
    }
    *sbytes = static_cast<off_t>(sent);
    return 0;
}

// Fills a credential record as FreeBSD does: the effective group first, then as many
// supplementary groups as the record holds.
void fillPeerCredentials(uid_t uid, gid_t gid, pid_t pid, const gid_t *groups, size_t groupCount,
                         PeerCredentialRecord *record);

}  // namespace quarn::platform
