// Socket lifecycle: the preferred family probe, socket creation, bind, listen, connect and
// its completion, disconnect, accept, shutdown and the local and remote addresses.
//
// The natives share names with the system calls they make, so every system call here is
// written with its global qualifier.
#include "unix/socket/lifecycle.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/socket.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/socket/address.h"
#include "unix/socket/options.h"
#include "unix/socket/socket_internal.h"

namespace quarn::socket {

namespace {

// Set by initialize, read by isIPv6Preferred; nothing else uses it.
std::atomic<int> gPreferredFamily{AF_INET};

int inetFamily(jboolean ipv6) {
    return ipv6 == JNI_TRUE ? AF_INET6 : AF_INET;
}

// Opens an inet socket; an IPv6 one also serves IPv4-mapped peers. The descriptor, -errno
// when the socket cannot be made, or -1 with an exception when the option cannot be set.
jint openInetSocket(JNIEnv *env, int family, int type) {
    const int fd = openSocket(family, type);
    if (fd < 0 || family != AF_INET6) {
        return fd;
    }
    const int error = allowMappedPeers(fd);
    if (error != 0) {
        raiseOptionFailure(env, error, OptionCall::kWrite);
        ::close(fd);
        return -1;
    }
    return fd;
}

// getpeername or getsockname into a zeroed storage; null when the call fails.
template <typename NameCall>
jbyteArray addressRecord(JNIEnv *env, jint fd, NameCall nameCall) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (nameCall(fd, reinterpret_cast<sockaddr *>(&address), &length) == -1) {
        return nullptr;
    }
    return quarn_unix_socket_createInetSocketAddressArray(env, &address);
}

}  // namespace

int openSocket(int family, int type) {
    const int fd = ::socket(family, type | platform::kSocketNonBlocking, 0);
    return fd == -1 ? -errno : fd;
}

int allowMappedPeers(int fd) {
    const int off = 0;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) == 0) {
        return 0;
    }
    const int error = errno;
    return error == EAFNOSUPPORT ? 0 : error;
}

int probePreferredFamily() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | platform::kSocketNonBlocking, 0);
    if (fd == -1) {
        // Only a missing IPv6 stack counts against it; running out of descriptors does not.
        return errno == EAFNOSUPPORT ? AF_INET : AF_INET6;
    }
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&loopback), sizeof(loopback));
    ::close(fd);
    return bound == 0 ? AF_INET6 : AF_INET;
}

int acceptConnection(int fd, sockaddr_storage *peer) {
    socklen_t length = sizeof(*peer);
    auto *address = reinterpret_cast<sockaddr *>(peer);
    // Each attempt starts from a zeroed peer of full length: a failed connection passed over
    // may have left a part of its address behind.
    const auto fresh = [&] {
        std::memset(peer, 0, sizeof(*peer));
        length = sizeof(*peer);
    };
    const platform::Accept4Function accept4 = platform::accept4Function;
    if (accept4 != nullptr) {
        const int accepted = platform::acceptNextConnection(fd, [&] {
            return retryOnInterrupt([&] {
                fresh();
                return accept4(fd, address, &length, platform::kSocketCloseOnExec | platform::kSocketNonBlocking);
            });
        });
        return accepted == -1 ? -errno : accepted;
    }
    const int accepted = platform::acceptNextConnection(fd, [&] {
        return retryOnInterrupt([&] {
            fresh();
            return ::accept(fd, address, &length);
        });
    });
    if (accepted == -1) {
        return -errno;
    }
    // The flags accept4 would have given: close-on-exec, and status flags of exactly O_NONBLOCK.
    if (::fcntl(accepted, F_SETFD, FD_CLOEXEC) == -1 || ::fcntl(accepted, F_SETFL, O_NONBLOCK) == -1) {
        const int error = errno;
        ::close(accepted);
        return -error;
    }
    return accepted;
}

int shutdownDirection(bool input, bool output) {
    if (input && output) {
        return SHUT_RDWR;
    }
    if (input) {
        return SHUT_RD;
    }
    if (output) {
        return SHUT_WR;
    }
    return -1;
}

int dissolveAssociation(int fd, bool ipv6) {
    sockaddr_storage unspecified{};
    unspecified.ss_family = AF_UNSPEC;
    const socklen_t length = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    return platform::disconnectKeepingLocalPort(fd, [&] {
        const int result =
            retryOnInterrupt([&] { return ::connect(fd, reinterpret_cast<const sockaddr *>(&unspecified), length); });
        return result == -1 && errno != EAFNOSUPPORT ? -errno : 0;
    });
}

void initialize(JNIEnv *, jclass, jboolean ipv4Preferred) {
    gPreferredFamily.store(ipv4Preferred == JNI_TRUE ? AF_INET : probePreferredFamily(), std::memory_order_relaxed);
}

jboolean isIPv6Preferred(JNIEnv *, jclass) {
    return gPreferredFamily.load(std::memory_order_relaxed) == AF_INET6 ? JNI_TRUE : JNI_FALSE;
}

jboolean isIPv6(JNIEnv *env, jclass, jint fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == -1) {
        quarn_unix_errors_throwChannelExceptionErrorNo(env, "getsockname(...) failed: ", errno);
        return JNI_FALSE;
    }
    return platform::addressFamily(address) == AF_INET6 ? JNI_TRUE : JNI_FALSE;
}

jint newSocketStreamFd(JNIEnv *env, jclass, jboolean ipv6) {
    return openInetSocket(env, inetFamily(ipv6), SOCK_STREAM);
}

jint newSocketDgramFd(JNIEnv *env, jclass, jboolean ipv6) {
    return openInetSocket(env, inetFamily(ipv6), SOCK_DGRAM);
}

jint newSocketDomainFd(JNIEnv *, jclass) {
    return openSocket(AF_UNIX, SOCK_STREAM);
}

jint bind(JNIEnv *env, jclass, jint fd, jboolean ipv6, jbyteArray address, jint scopeId, jint port) {
    sockaddr_storage storage;
    socklen_t length;
    if (quarn_unix_socket_initSockaddr(env, ipv6, address, scopeId, port, &storage, &length) == -1) {
        return -1;
    }
    return ::bind(fd, reinterpret_cast<const sockaddr *>(&storage), length) == -1 ? -errno : 0;
}

jint listen(JNIEnv *, jclass, jint fd, jint backlog) {
    return ::listen(fd, backlog) == -1 ? -errno : 0;
}

jint connect(JNIEnv *env, jclass, jint fd, jboolean ipv6, jbyteArray address, jint scopeId, jint port) {
    sockaddr_storage storage;
    socklen_t length;
    if (quarn_unix_socket_initSockaddr(env, ipv6, address, scopeId, port, &storage, &length) == -1) {
        return -1;
    }
    const int result =
        retryOnInterrupt([&] { return ::connect(fd, reinterpret_cast<const sockaddr *>(&storage), length); });
    return result == -1 ? -errno : 0;
}

jint finishConnect(JNIEnv *env, jclass, jint fd) {
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) == -1) {
        raiseOptionFailure(env, errno, OptionCall::kRead);
        return -1;
    }
    return -pending;
}

jint disconnect(JNIEnv *, jclass, jint fd, jboolean ipv6) {
    return dissolveAssociation(fd, ipv6 == JNI_TRUE);
}

jint accept(JNIEnv *env, jclass, jint fd, jbyteArray peer) {
    if (peer == nullptr) {
        // Nothing to write the peer into: refuse before a connection is taken off the queue.
        return -EINVAL;
    }
    sockaddr_storage address;
    const int accepted = acceptConnection(fd, &address);
    if (accepted < 0) {
        return accepted;
    }
    // The family byte decides the record; the length the system returned is not consulted.
    uint8_t record[kAcceptedPeerMaxLength];
    const int size = encodeAcceptedPeer(address, record);
    env->SetByteArrayRegion(peer, 0, size, reinterpret_cast<const jbyte *>(record));
    if (env->ExceptionCheck()) {
        // The array is too short for the record: the caller cannot learn the peer, so the
        // connection is closed rather than handed out or leaked; the index exception stays.
        ::close(accepted);
        return -1;
    }
    return accepted;
}

jint shutdown(JNIEnv *, jclass, jint fd, jboolean read, jboolean write) {
    const int how = shutdownDirection(read != JNI_FALSE, write != JNI_FALSE);
    if (how == -1) {
        return -EINVAL;
    }
    return ::shutdown(fd, how) < 0 ? -errno : 0;
}

jbyteArray remoteAddress(JNIEnv *env, jclass, jint fd) {
    return addressRecord(env, fd, ::getpeername);
}

jbyteArray localAddress(JNIEnv *env, jclass, jint fd) {
    return addressRecord(env, fd, ::getsockname);
}

}  // namespace quarn::socket
