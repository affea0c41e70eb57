// A bounded walk over the control messages of a received message, shared by the datagram
// receive (the original destination address) and the descriptor receive (SCM_RIGHTS).
#pragma once

// FreeBSD's CMSG_* macros need u_long, which its <sys/socket.h> does not declare.
#include <sys/types.h>

#include <sys/socket.h>

#include <cstddef>

namespace quarn::socket {

// Calls visit(const cmsghdr &message, const unsigned char *data, size_t dataLength) for each
// control message that lies wholly inside the control length the kernel returned; stops when
// visit returns false. The platform's CMSG_FIRSTHDR/CMSG_NXTHDR give the positions (the header
// is 12 bytes on FreeBSD and 16 on Linux); the walk itself stops at a message shorter than its
// header, which FreeBSD's CMSG_NXTHDR would otherwise never step past, and at one whose length
// runs beyond the control data.
template <typename Visit>
void walkControlMessages(const msghdr &message, Visit visit) {
    if (message.msg_control == nullptr || message.msg_controllen < sizeof(cmsghdr)) {
        return;
    }
    // glibc's CMSG_NXTHDR takes a non-const header; it only reads it.
    msghdr *header = const_cast<msghdr *>(&message);
    const char *end = static_cast<const char *>(message.msg_control) + message.msg_controllen;
    for (cmsghdr *current = CMSG_FIRSTHDR(header); current != nullptr; current = CMSG_NXTHDR(header, current)) {
        const size_t length = current->cmsg_len;
        const size_t room = static_cast<size_t>(end - reinterpret_cast<const char *>(current));
        if (length < sizeof(cmsghdr) || length > room) {
            return;
        }
        const size_t dataLength = length > CMSG_LEN(0) ? length - CMSG_LEN(0) : 0;
        if (!visit(static_cast<const cmsghdr &>(*current), static_cast<const unsigned char *>(CMSG_DATA(current)),
                   dataLength)) {
            return;
        }
    }
}

}  // namespace quarn::socket
