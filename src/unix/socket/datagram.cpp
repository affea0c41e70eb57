// io/quarn/channel/unix/Socket: UDP sends and receives on memory the Java side owns.
#include "unix/socket/datagram.h"

#include <sys/uio.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "quarn_transport_native_kqueue.h"
#include "unix/socket/address.h"
#include "unix/socket/datagram_control.h"
#include "unix/span.h"

namespace quarn::socket {

DestinationProbe classifyProbe(int result, int value, int error) {
    if (result == 0) {
        return value != 0 ? DestinationProbe::On : DestinationProbe::Off;
    }
    switch (error) {
    // The option does not apply to this socket: FreeBSD answers EINVAL for IPPROTO_IP options
    // on every IPv6 socket. Such a socket cannot have it on, so it receives as with it off.
    case EINVAL:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
        return DestinationProbe::Off;
    default:
        return DestinationProbe::Failed;
    }
}

ReceiveFailure classifyReceiveError(int error) {
    switch (error) {
    case EINTR:
        return ReceiveFailure::Retry;
    case EBADF:
        return ReceiveFailure::Closed;
    case EAGAIN:
        return ReceiveFailure::NothingWaiting;
    case ECONNREFUSED:
        return ReceiveFailure::PortUnreachable;
    default:
        return ReceiveFailure::Other;
    }
}

bool findOriginalDestination(const msghdr &message, sockaddr_storage *destination) {
    std::memset(destination, 0, sizeof(*destination));
    bool found = false;
    walkControlMessages(message, [&](const cmsghdr &current, const unsigned char *data, size_t dataLength) {
        if (current.cmsg_level != IPPROTO_IP || current.cmsg_type != IP_ORIGDSTADDR) {
            return true;
        }
        // The first destination message decides; a short or foreign one gives no address.
        if (dataLength >= sizeof(sockaddr_in)) {
            sockaddr_in address;
            std::memcpy(&address, data, sizeof(address));
            if (address.sin_family == AF_INET) {
                std::memcpy(destination, &address, sizeof(address));
                found = true;
            }
        }
        return false;
    });
    return found;
}

namespace {

// A raw native address: what lies behind it cannot be known, and the address goes to the
// kernel as it is (address 0 included: an empty datagram needs no memory).
util::DirectMemory rawMemory(jlong memoryAddress) {
    void *address = reinterpret_cast<void *>(static_cast<intptr_t>(memoryAddress));
    return {address, util::kUnknownCapacity};
}

// Converts the destination like every address-taking native; -1 for an array over 16 bytes.
int destinationOf(JNIEnv *env, jboolean ipv6, jbyteArray address, jint scopeId, jint port,
                  sockaddr_storage *destination, socklen_t *length) {
    std::memset(destination, 0, sizeof(*destination));
    return quarn_unix_socket_initSockaddr(env, ipv6, address, scopeId, port, destination, length);
}

jint sendRegion(JNIEnv *env, jint fd, jboolean ipv6, util::DirectMemory memory, jint position, jint limit,
                jbyteArray address, jint scopeId, jint port) {
    if (memory.capacity < 0) {
        return -EFAULT;  // a null or heap buffer: nothing of the caller's to send
    }
    const int64_t span = util::spanLength(position, limit, memory.capacity);
    if (span < 0) {
        // Refused before any system call: on a connected stream socket a length past the
        // caller's region would send the memory behind it to the peer.
        return -EINVAL;
    }
    sockaddr_storage destination;
    socklen_t length;
    if (destinationOf(env, ipv6, address, scopeId, port, &destination, &length) == -1) {
        return -1;
    }
    const char *data = util::spanStart(memory.address, position);
    const size_t size = static_cast<size_t>(span);
    ssize_t sent;
    do {
        sent = sendto(fd, data, size, 0, reinterpret_cast<const sockaddr *>(&destination), length);
    } while (sent == -1 && errno == EINTR);
    return sent == -1 ? -errno : static_cast<jint>(sent);
}

// Raises what a failed receive means and returns null; EAGAIN raises nothing.
jobject receiveFailed(JNIEnv *env, int error) {
    switch (classifyReceiveError(error)) {
    case ReceiveFailure::Closed:
        quarn_unix_errors_throwClosedChannelException(env);
        break;
    case ReceiveFailure::PortUnreachable:
        quarn_unix_errors_throwPortUnreachableException(env, "recvfrom() failed");
        break;
    case ReceiveFailure::Other:
        quarn_unix_errors_throwIOExceptionErrorNo(env, "recvfrom() failed: ", error);
        break;
    case ReceiveFailure::NothingWaiting:
    case ReceiveFailure::Retry:
        break;
    }
    return nullptr;
}

}  // namespace

jobject receiveDatagram(JNIEnv *env, jint fd, util::DirectMemory memory, jint position, jint limit) {
    // Both refusals come before anything is received, so a waiting datagram stays in the
    // socket. Without an address the kernel would answer EFAULT after Linux had already taken
    // the datagram off the queue; a span past the memory would have the datagram written
    // beyond the caller's region.
    if (memory.capacity < 0) {
        quarn_unix_errors_throwIOExceptionErrorNo(env, "recvfrom() failed: ", EFAULT);
        return nullptr;
    }
    const int64_t span = util::spanLength(position, limit, memory.capacity);
    if (span < 0) {
        quarn_unix_errors_throwIOExceptionErrorNo(env, "recvfrom() failed: ", EINVAL);
        return nullptr;
    }
    // Nothing is remembered about the socket, so every receive asks whether it wants the
    // destination address.
    int enabled = 0;
    socklen_t enabledLength = sizeof(enabled);
    const int probed = getsockopt(fd, IPPROTO_IP, IP_RECVORIGDSTADDR, &enabled, &enabledLength);
    const int probeError = probed == -1 ? errno : 0;
    const DestinationProbe probe = classifyProbe(probed, enabled, probeError);
    if (probe == DestinationProbe::Failed) {
        // Raise before receiving anything, so that a waiting datagram stays in the socket.
        quarn_unix_socket_getOptionHandleError(env, probeError);
        return nullptr;
    }

    iovec region{util::spanStart(memory.address, position), static_cast<size_t>(span)};
    sockaddr_storage sender;
    std::memset(&sender, 0, sizeof(sender));
    DatagramControl control;
    msghdr header{};
    ssize_t received;
    for (;;) {
        if (probe == DestinationProbe::On) {
            // Reset on every attempt: an interrupted receive may have left lengths behind.
            std::memset(&header, 0, sizeof(header));
            header.msg_name = &sender;
            header.msg_namelen = sizeof(sender);
            header.msg_iov = &region;
            header.msg_iovlen = 1;
            header.msg_control = control.bytes;
            header.msg_controllen = sizeof(control.bytes);
            received = recvmsg(fd, &header, 0);
        } else {
            socklen_t senderLength = sizeof(sender);
            received = recvfrom(fd, region.iov_base, region.iov_len, 0, reinterpret_cast<sockaddr *>(&sender),
                                &senderLength);
        }
        if (received != -1) {
            break;
        }
        const int error = errno;
        if (classifyReceiveError(error) != ReceiveFailure::Retry) {
            return receiveFailed(env, error);
        }
    }

    const jint count = static_cast<jint>(received);
    if (probe == DestinationProbe::On) {
        sockaddr_storage destination;
        if (findOriginalDestination(header, &destination)) {
            jobject local = buildDatagramAddress(env, &destination, count, nullptr);
            if (local == nullptr) {
                return nullptr;  // its exception stays pending; no further JNI call
            }
            return buildDatagramAddress(env, &sender, count, local);
        }
    }
    return buildDatagramAddress(env, &sender, count, nullptr);
}

jint sendTo(JNIEnv *env, jclass, jint fd, jboolean ipv6, jobject buffer, jint position, jint limit,
            jbyteArray address, jint scopeId, jint port) {
    return sendRegion(env, fd, ipv6, util::directMemory(env, buffer), position, limit, address, scopeId, port);
}

jint sendToAddress(JNIEnv *env, jclass, jint fd, jboolean ipv6, jlong memoryAddress, jint position, jint limit,
                   jbyteArray address, jint scopeId, jint port) {
    return sendRegion(env, fd, ipv6, rawMemory(memoryAddress), position, limit, address, scopeId, port);
}

jint sendToAddresses(JNIEnv *env, jclass, jint fd, jboolean ipv6, jlong memoryAddress, jint length,
                     jbyteArray address, jint scopeId, jint port) {
    sockaddr_storage destination;
    socklen_t destinationLength;
    if (destinationOf(env, ipv6, address, scopeId, port, &destination, &destinationLength) == -1) {
        return -1;
    }
    // The Java side's iovec array goes to the kernel unchanged.
    msghdr header{};
    header.msg_name = &destination;
    header.msg_namelen = destinationLength;
    header.msg_iov = reinterpret_cast<iovec *>(static_cast<intptr_t>(memoryAddress));
    header.msg_iovlen = static_cast<decltype(header.msg_iovlen)>(length);
    ssize_t sent;
    do {
        sent = sendmsg(fd, &header, 0);
    } while (sent == -1 && errno == EINTR);
    return sent == -1 ? -errno : static_cast<jint>(sent);
}

jobject recvFrom(JNIEnv *env, jclass, jint fd, jobject buffer, jint position, jint limit) {
    return receiveDatagram(env, fd, util::directMemory(env, buffer), position, limit);
}

jobject recvFromAddress(JNIEnv *env, jclass, jint fd, jlong memoryAddress, jint position, jint limit) {
    return receiveDatagram(env, fd, rawMemory(memoryAddress), position, limit);
}

}  // namespace quarn::socket
