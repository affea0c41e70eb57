// io/quarn/channel/unix/Socket: local (Unix-domain) sockets by path, and descriptor passing.
#include "unix/socket/domain.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "unix/socket/datagram_control.h"

namespace quarn::socket {

int makeDomainAddress(const jbyte *bytes, size_t length, DomainAddress *out) {
    std::memset(out, 0, sizeof(*out));
    const void *zero = length == 0 ? nullptr : std::memchr(bytes, 0, length);
    const size_t pathLength = zero == nullptr ? length : static_cast<size_t>(static_cast<const jbyte *>(zero) - bytes);
    if (pathLength == 0) {
        // An empty name is no file: Linux would bind it to an automatic abstract address and
        // read a leading zero byte as an abstract name, neither of which is a path.
        return -ENOENT;
    }
    if (pathLength > sizeof(out->address.sun_path)) {
        // Cutting the path would bind or connect to another file than the one asked for.
        return -ENAMETOOLONG;
    }
    out->address.sun_family = AF_UNIX;
    std::memcpy(out->address.sun_path, bytes, pathLength);
    std::memcpy(out->path, bytes, pathLength);
    out->path[pathLength] = '\0';
    // The zero byte that ends a path inside the array is part of the address the caller gave.
    const bool countsTerminator = zero != nullptr && pathLength < sizeof(out->address.sun_path);
    out->length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + pathLength + (countsTerminator ? 1 : 0));
    return 0;
}

void makeDescriptorMessage(int descriptor, DescriptorMessage *message) {
    std::memset(message, 0, sizeof(*message));
    // The data byte's value means nothing; a stream socket needs one byte to carry the rights.
    message->data.iov_base = &message->byte;
    message->data.iov_len = 1;
    message->header.msg_iov = &message->data;
    message->header.msg_iovlen = 1;
    message->header.msg_control = message->control.bytes;
    message->header.msg_controllen = sizeof(message->control.bytes);
    cmsghdr *rights = CMSG_FIRSTHDR(&message->header);
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    std::memcpy(CMSG_DATA(rights), &descriptor, sizeof(int));
}

void DescriptorReception::reset() {
    std::memset(this, 0, sizeof(*this));
    data.iov_base = &byte;
    data.iov_len = 1;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control.bytes;
    header.msg_controllen = sizeof(control.bytes);
}

Passed takePassedDescriptor(const msghdr &message, int *descriptor) {
    // Descriptors of a truncated control part may be missing; the kernel closes those it
    // could not deliver, and this walk closes those it did.
    const bool truncated = (message.msg_flags & MSG_CTRUNC) != 0;
    const bool hasControl = message.msg_control != nullptr && message.msg_controllen >= sizeof(cmsghdr);
    int taken = -1;
    walkControlMessages(message, [&](const cmsghdr &current, const unsigned char *data, size_t dataLength) {
        if (current.cmsg_level != SOL_SOCKET || current.cmsg_type != SCM_RIGHTS) {
            return true;
        }
        const bool single = current.cmsg_len == CMSG_LEN(sizeof(int));
        for (size_t i = 0; i < dataLength / sizeof(int); i++) {
            int received;
            std::memcpy(&received, data + i * sizeof(int), sizeof(int));
            if (taken < 0 && single && !truncated) {
                taken = received;
            } else {
                close(received);  // never retried: the descriptor is gone whatever close answers
            }
        }
        return true;
    });
    if (taken >= 0) {
        *descriptor = taken;
        return Passed::Descriptor;
    }
    return hasControl || truncated ? Passed::Unusable : Passed::NoControl;
}

namespace {

// The path bytes as a local socket address, or a negated errno. A null array is bad input;
// a null from GetByteArrayElements leaves the VM's exception pending for the caller.
int loadAddress(JNIEnv *env, jbyteArray path, DomainAddress *out) {
    if (path == nullptr) {
        return -EINVAL;
    }
    const jsize length = env->GetArrayLength(path);
    jbyte *bytes = env->GetByteArrayElements(path, nullptr);
    if (bytes == nullptr) {
        return -ENOMEM;
    }
    const int result = makeDomainAddress(bytes, static_cast<size_t>(length), out);
    // The bytes were only read, and everything needed is copied into the address by now.
    env->ReleaseByteArrayElements(path, bytes, JNI_ABORT);
    return result;
}

}  // namespace

jint bindDomainSocket(JNIEnv *env, jclass, jint socket, jbyteArray path) {
    DomainAddress address;
    const int loaded = loadAddress(env, path, &address);
    if (loaded != 0) {
        return loaded;
    }
    // Binding replaces whatever is at the path: a stale socket file of an earlier process.
    if (unlink(address.path) == -1) {
        const int error = errno;
        if (error != ENOENT) {
            return -error;
        }
    }
    // Called once: an interrupted bind may have created the file already.
    if (bind(socket, reinterpret_cast<const sockaddr *>(&address.address), address.length) == -1) {
        return -errno;
    }
    return 0;
}

jint connectDomainSocket(JNIEnv *env, jclass, jint socket, jbyteArray path) {
    DomainAddress address;
    const int loaded = loadAddress(env, path, &address);
    if (loaded != 0) {
        return loaded;
    }
    int result;
    do {
        result = connect(socket, reinterpret_cast<const sockaddr *>(&address.address), address.length);
    } while (result == -1 && errno == EINTR);
    return result == -1 ? -errno : 0;
}

jint sendFd(JNIEnv *, jclass, jint socket, jint descriptor) {
    // Only a local socket carries descriptors. Linux's TCP and UDP drop SCM_RIGHTS without a
    // word and send the data byte alone, which the peer reads as a stray byte of its data;
    // refused before anything is sent. (FreeBSD's TCP refuses it itself, with EINVAL.)
    int domain = 0;
    socklen_t length = sizeof(domain);
    if (getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) {
        return -errno;
    }
    if (domain != AF_UNIX) {
        return -EINVAL;
    }
    DescriptorMessage message;
    makeDescriptorMessage(descriptor, &message);
    ssize_t sent;
    do {
        sent = sendmsg(socket, &message.header, 0);
    } while (sent == -1 && errno == EINTR);
    return sent == -1 ? -errno : static_cast<jint>(sent);
}

jint recvFd(JNIEnv *, jclass, jint socket) {
    DescriptorReception reception;
    // Each turn consumes one message, so the loop ends when the socket has none left (EAGAIN).
    for (;;) {
        reception.reset();
        ssize_t received;
        do {
            received = recvmsg(socket, &reception.header, 0);
        } while (received == -1 && errno == EINTR);
        if (received == -1) {
            return -errno;
        }
        int descriptor = -1;
        const Passed passed = takePassedDescriptor(reception.header, &descriptor);
        if (received == 0) {
            // The peer has closed; a descriptor cannot ride on no data, but none may leak.
            if (passed == Passed::Descriptor) {
                close(descriptor);
            }
            return 0;
        }
        switch (passed) {
        case Passed::NoControl:
            return -kNoDescriptorInMessage;
        case Passed::Unusable:
            continue;
        case Passed::Descriptor:
            break;
        }
        // Only O_NONBLOCK is added: the status flags belong to the open file, which the
        // sender shares, so replacing them would also drop its O_APPEND, for example.
        const int flags = fcntl(descriptor, F_GETFL);
        if (flags == -1 || fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == -1) {
            const int error = errno;
            close(descriptor);
            return -error;
        }
        return descriptor;
    }
}

}  // namespace quarn::socket
