// The plain record work under the BSD socket natives: building and reading the accept filter
// record, checking and reading a peer credential record.
#pragma once

#include <sys/types.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>

#include "platform/bsd_socket.h"

namespace quarn::bsdsocket {

// The number of bytes of text, at most limit, that can be kept without cutting a character of
// (modified) UTF-8 in two: a cut never leaves a lead byte without its continuation bytes.
size_t keptLength(const char *text, size_t limit);

// A fresh record holding name in af_name (at most 15 bytes) and argument in af_arg (at most
// 239 bytes), each cut where keptLength says and zero-terminated; the rest of the record is zero.
void buildAcceptFilterRecord(const char *name, const char *argument, platform::AcceptFilterRecord *record);

// Makes both texts of a record that the kernel filled end inside their fields.
void terminateAcceptFilterRecord(platform::AcceptFilterRecord *record);

// Reads the peer's credentials through read(record, &length), which answers as getsockopt does,
// and trusts the record only when the answer fills a whole record of the layout this library
// knows. FreeBSD answers LOCAL_PEERCRED (level 0, option 1) on a socket that is not a local one
// as the option of that number at its own level 0: on an IPv4 socket that is IP_OPTIONS, which
// succeeds with nothing written, and the zeroed record would read as root's credentials.
// 0; the negated errno of a failed read; -ENOTCONN, as for a local socket without a peer, for an
// answer that is not a credential record.
template <typename Read>
int readPeerCredentials(Read &&read, platform::PeerCredentialRecord *record) {
    socklen_t length = sizeof(*record);
    if (read(record, &length) != 0) {
        return -errno;
    }
    if (length != sizeof(*record) || record->cr_version != platform::kPeerCredentialVersion) {
        return -ENOTCONN;
    }
    return 0;
}

// The number of group entries handed to Java: the count the record claims, but at least one
// (the effective group is always there) and never more than the record holds.
int peerGroupCount(const platform::PeerCredentialRecord &record);

}  // namespace quarn::bsdsocket
