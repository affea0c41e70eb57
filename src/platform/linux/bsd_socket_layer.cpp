// The BSD socket extensions on Linux (see bsd_socket_layer.h for the mapping).
#include <sys/sendfile.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "platform/bsd_socket.h"

namespace quarn::platform {

namespace {

// Answers as getsockopt would for a descriptor that is closed (EBADF) or not a socket
// (ENOTSOCK), so that an option Linux lacks still fails like the real one on such descriptors.
int checkSocket(int s) {
    int type = 0;
    socklen_t length = sizeof(type);
    return ::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &length);
}

int failWith(int error) {
    errno = error;
    return -1;
}

// The peer's supplementary groups into groups (room for capacity entries), or into a heap
// buffer in *heap when the peer has more; the count in *count. 0 or -1 with errno.
int readPeerGroups(int s, gid_t *groups, size_t capacity, gid_t **heap, size_t *count) {
    *heap = nullptr;
    socklen_t length = static_cast<socklen_t>(capacity * sizeof(gid_t));
    if (::getsockopt(s, SOL_SOCKET, SO_PEERGROUPS, groups, &length) == 0) {
        *count = length / sizeof(gid_t);
        return 0;
    }
    const int error = errno;
    if (error == ENOPROTOOPT) {
        // Kernels before 4.13 cannot tell the groups; the effective group alone remains.
        *count = 0;
        return 0;
    }
    if (error != ERANGE) {
        return failWith(error);
    }
    // The kernel copies nothing unless the whole list fits, and it has told the size needed.
    // A peer's credentials are fixed when it connects, so the second answer has the same size.
    *heap = static_cast<gid_t *>(std::malloc(length));
    if (*heap == nullptr) {
        return failWith(ENOMEM);
    }
    if (::getsockopt(s, SOL_SOCKET, SO_PEERGROUPS, *heap, &length) != 0) {
        const int again = errno;
        std::free(*heap);
        *heap = nullptr;
        return failWith(again);
    }
    *count = length / sizeof(gid_t);
    return 0;
}

}  // namespace

int sendFile(int fd, int s, off_t offset, size_t nbytes, off_t *sbytes) {
    *sbytes = 0;
    if (nbytes == 0) {
        // FreeBSD reads a zero count as "up to the end of the file".
        struct stat status {};
        if (::fstat(fd, &status) != 0) {
            return -1;
        }
        if (offset >= status.st_size) {
            return 0;
        }
        nbytes = static_cast<size_t>(status.st_size - offset);
    }
    return sendFileLoop([fd, s](off_t *position, size_t count) { return ::sendfile(s, fd, position, count); },
                        offset, nbytes, sbytes);
}

int setAcceptFilter(int s, const AcceptFilterRecord *) {
    if (checkSocket(s) != 0) {
        return -1;
    }
    return failWith(ENOPROTOOPT);
}

int getAcceptFilter(int s, AcceptFilterRecord *) {
    if (checkSocket(s) != 0) {
        return -1;
    }
    return failWith(ENOPROTOOPT);
}

int getPeerCredentials(int s, PeerCredentialRecord *record, socklen_t *recordLength) {
    int domain = 0;
    socklen_t length = sizeof(domain);
    if (::getsockopt(s, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) {
        return -1;
    }
    if (domain != AF_UNIX) {
        // FreeBSD's option exists only for local sockets.
        return failWith(ENOTCONN);
    }
    int listening = 0;
    length = sizeof(listening);
    if (::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0) {
        return -1;
    }
    if (listening != 0) {
        // Linux answers a listener with its own credentials, as if it were its own peer;
        // FreeBSD's listener has no peer.
        return failWith(ENOTCONN);
    }
    struct ucred credentials {};
    length = sizeof(credentials);
    if (::getsockopt(s, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return -1;
    }
    if (credentials.uid == static_cast<uid_t>(-1)) {
        // Linux answers an unconnected socket with "nobody known" instead of failing.
        return failWith(ENOTCONN);
    }
    gid_t groups[64];
    gid_t *heap = nullptr;
    size_t count = 0;
    if (readPeerGroups(s, groups, sizeof(groups) / sizeof(groups[0]), &heap, &count) != 0) {
        return -1;
    }
    fillPeerCredentials(credentials.uid, credentials.gid, credentials.pid, heap != nullptr ? heap : groups, count,
                        record);
    std::free(heap);
    *recordLength = sizeof(*record);
    return 0;
}

void fillPeerCredentials(uid_t uid, gid_t gid, pid_t pid, const gid_t *groups, size_t groupCount,
                         PeerCredentialRecord *record) {
    std::memset(record, 0, sizeof(*record));
    record->cr_version = kPeerCredentialVersion;
    record->cr_uid = uid;
    record->cr_groups[0] = gid;
    const size_t supplementary = std::min(groupCount, static_cast<size_t>(kPeerGroupsMax - 1));
    if (supplementary > 0) {
        std::memcpy(&record->cr_groups[1], groups, supplementary * sizeof(gid_t));
    }
    record->cr_ngroups = static_cast<short>(1 + supplementary);
    record->cr_pid = pid;
}

}  // namespace quarn::platform
