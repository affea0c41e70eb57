// Socket options: the exported option functions and one native per option the Java side
// offers. Levels and option names are the system headers' own.
#include "unix/socket/options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>

#include "quarn_transport_native_kqueue.h"
#include "unix/socket/socket_internal.h"

namespace quarn::socket {

void raiseOptionFailure(JNIEnv *env, int errorNumber, OptionCall call) {
    if (errorNumber == EBADF) {
        quarn_unix_errors_throwClosedChannelException(env);
        return;
    }
    quarn_unix_errors_throwChannelExceptionErrorNo(
        env, call == OptionCall::kRead ? "getsockopt() failed: " : "setsockopt() failed: ", errorNumber);
}

bool trafficClassFallsBackToIPv4(int errorNumber) {
    return errorNumber == ENOPROTOOPT || errorNumber == EINVAL || errorNumber == EOPNOTSUPP;
}

linger lingerFromJava(jint value) {
    linger result{};
    result.l_onoff = value >= 0 ? 1 : 0;
    result.l_linger = value >= 0 ? value : 0;
    return result;
}

jint lingerToJava(const linger &value) {
    return value.l_onoff == 0 ? -1 : value.l_linger;
}

namespace {

void setIntOption(JNIEnv *env, jint fd, int level, int option, jint value) {
    // The Java int goes through as it came: a boolean-like option is not reduced to 0 or 1.
    quarn_unix_socket_setOption(env, fd, level, option, &value, sizeof(value));
}

jint getIntOption(JNIEnv *env, jint fd, int level, int option) {
    // Zeroed first, so that a system storing fewer bytes leaves no stack garbage in the result.
    int value = 0;
    if (quarn_unix_socket_getOption(env, fd, level, option, &value, sizeof(value)) == -1) {
        return -1;
    }
    return value;
}

}  // namespace

void setTcpNoDelay(JNIEnv *env, jclass, jint fd, jint value) {
    setIntOption(env, fd, IPPROTO_TCP, TCP_NODELAY, value);
}

void setReusePort(JNIEnv *env, jclass, jint fd, jint value) {
    setIntOption(env, fd, SOL_SOCKET, SO_REUSEPORT, value);
}

void setBroadcast(JNIEnv *env, jclass, jint fd, jint value) {
    setIntOption(env, fd, SOL_SOCKET, SO_BROADCAST, value);
}

void setReuseAddress(JNIEnv *env, jclass, jint fd, jint value) {
    setIntOption(env, fd, SOL_SOCKET, SO_REUSEADDR, value);
}

void setReceiveBufferSize(JNIEnv *env, jclass, jint fd, jint value) {
    setIntOption(env, fd, SOL_SOCKET, SO_RCVBUF, value);
}

void setSendBufferSize(JNIEnv *env, jclass, jint fd, jint value) {
    setIntOption(env, fd, SOL_SOCKET, SO_SNDBUF, value);
}

void setKeepAlive(JNIEnv *env, jclass, jint fd, jint value) {
    setIntOption(env, fd, SOL_SOCKET, SO_KEEPALIVE, value);
}

void setSoLinger(JNIEnv *env, jclass, jint fd, jint value) {
    const linger record = lingerFromJava(value);
    quarn_unix_socket_setOption(env, fd, SOL_SOCKET, SO_LINGER, &record, sizeof(record));
}

void setTrafficClass(JNIEnv *env, jclass, jint fd, jboolean ipv6, jint value) {
    // No fallback here: setting the IPv6 form on a socket it does not apply to is an error.
    if (ipv6 == JNI_TRUE) {
        setIntOption(env, fd, IPPROTO_IPV6, IPV6_TCLASS, value);
    } else {
        setIntOption(env, fd, IPPROTO_IP, IP_TOS, value);
    }
}

jint isKeepAlive(JNIEnv *env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_KEEPALIVE);
}

jint isTcpNoDelay(JNIEnv *env, jclass, jint fd) {
    return getIntOption(env, fd, IPPROTO_TCP, TCP_NODELAY);
}

jint isBroadcast(JNIEnv *env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_BROADCAST);
}

jint isReuseAddress(JNIEnv *env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_REUSEADDR);
}

jint isReusePort(JNIEnv *env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_REUSEPORT);
}

jint getReceiveBufferSize(JNIEnv *env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_RCVBUF);
}

jint getSendBufferSize(JNIEnv *env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_SNDBUF);
}

jint getSoLinger(JNIEnv *env, jclass, jint fd) {
    linger record{};
    if (quarn_unix_socket_getOption(env, fd, SOL_SOCKET, SO_LINGER, &record, sizeof(record)) == -1) {
        return -1;
    }
    return lingerToJava(record);
}

jint getTrafficClass(JNIEnv *env, jclass, jint fd, jboolean ipv6) {
    int value = 0;
    if (ipv6 == JNI_TRUE) {
        if (quarn_unix_socket_getOption0(fd, IPPROTO_IPV6, IPV6_TCLASS, &value, sizeof(value)) == 0) {
            return value;
        }
        const int error = errno;
        if (!trafficClassFallsBackToIPv4(error)) {
            raiseOptionFailure(env, error, OptionCall::kRead);
            return -1;
        }
    }
    return getIntOption(env, fd, IPPROTO_IP, IP_TOS);
}

jint getSoError(JNIEnv *env, jclass, jint fd) {
    return getIntOption(env, fd, SOL_SOCKET, SO_ERROR);
}

}  // namespace quarn::socket

extern "C" int quarn_unix_socket_getOption(JNIEnv *env, jint fd, int level, int optname, void *optval,
                                           socklen_t optlen) {
    // The length the system reports back is not passed on: callers learn only the value.
    socklen_t length = optlen;
    const int result = getsockopt(fd, level, optname, optval, &length);
    if (result < 0) {
        const int error = errno;
        quarn::socket::raiseOptionFailure(env, error, quarn::socket::OptionCall::kRead);
    }
    return result;
}

extern "C" int quarn_unix_socket_setOption(JNIEnv *env, jint fd, int level, int optname, const void *optval,
                                           socklen_t len) {
    const int result = setsockopt(fd, level, optname, optval, len);
    if (result < 0) {
        const int error = errno;
        quarn::socket::raiseOptionFailure(env, error, quarn::socket::OptionCall::kWrite);
    }
    return result;
}

extern "C" int quarn_unix_socket_getOption0(jint fd, int level, int optname, void *optval, socklen_t optlen) {
    socklen_t length = optlen;
    return getsockopt(fd, level, optname, optval, &length);
}

extern "C" void quarn_unix_socket_getOptionHandleError(JNIEnv *env, int err) {
    quarn::socket::raiseOptionFailure(env, err, quarn::socket::OptionCall::kRead);
}
