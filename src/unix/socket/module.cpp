// io/quarn/channel/unix/Socket: the socket module's method table, its load and unload, and
// the datagram address class and constructor it caches.
#include "quarn_transport_native_kqueue.h"
#include "unix/socket/socket_internal.h"
#include "unix/util/registration.h"

namespace quarn::socket {

DatagramAddressType &datagramAddressType() {
    static DatagramAddressType type;
    return type;
}

namespace {

// The static rows, in the order the Java side's index of the natives gives them.
const JNINativeMethod kMethods[] = {
    QUARN_NATIVE("shutdown", "(IZZ)I", shutdown),
    QUARN_NATIVE("bind", "(IZ[BII)I", bind),
    QUARN_NATIVE("listen", "(II)I", listen),
    QUARN_NATIVE("connect", "(IZ[BII)I", connect),
    QUARN_NATIVE("finishConnect", "(I)I", finishConnect),
    QUARN_NATIVE("disconnect", "(IZ)I", disconnect),
    QUARN_NATIVE("accept", "(I[B)I", accept),
    QUARN_NATIVE("remoteAddress", "(I)[B", remoteAddress),
    QUARN_NATIVE("localAddress", "(I)[B", localAddress),
    QUARN_NATIVE("newSocketDgramFd", "(Z)I", newSocketDgramFd),
    QUARN_NATIVE("newSocketStreamFd", "(Z)I", newSocketStreamFd),
    QUARN_NATIVE("newSocketDomainFd", "()I", newSocketDomainFd),
    // The datagram sends (sendTo, sendToAddress, sendToAddresses) and the Unix-domain rows
    // (recvFd, sendFd, bindDomainSocket, connectDomainSocket) stand here, in that order.
    QUARN_NATIVE("setTcpNoDelay", "(II)V", setTcpNoDelay),
    QUARN_NATIVE("setReusePort", "(II)V", setReusePort),
    QUARN_NATIVE("setBroadcast", "(II)V", setBroadcast),
    QUARN_NATIVE("setReuseAddress", "(II)V", setReuseAddress),
    QUARN_NATIVE("setReceiveBufferSize", "(II)V", setReceiveBufferSize),
    QUARN_NATIVE("setSendBufferSize", "(II)V", setSendBufferSize),
    QUARN_NATIVE("setKeepAlive", "(II)V", setKeepAlive),
    QUARN_NATIVE("setSoLinger", "(II)V", setSoLinger),
    QUARN_NATIVE("setTrafficClass", "(IZI)V", setTrafficClass),
    QUARN_NATIVE("isKeepAlive", "(I)I", isKeepAlive),
    QUARN_NATIVE("isTcpNoDelay", "(I)I", isTcpNoDelay),
    QUARN_NATIVE("isBroadcast", "(I)I", isBroadcast),
    QUARN_NATIVE("isReuseAddress", "(I)I", isReuseAddress),
    QUARN_NATIVE("isReusePort", "(I)I", isReusePort),
    QUARN_NATIVE("getReceiveBufferSize", "(I)I", getReceiveBufferSize),
    QUARN_NATIVE("getSendBufferSize", "(I)I", getSendBufferSize),
    QUARN_NATIVE("getSoLinger", "(I)I", getSoLinger),
    QUARN_NATIVE("getTrafficClass", "(IZ)I", getTrafficClass),
    QUARN_NATIVE("getSoError", "(I)I", getSoError),
    QUARN_NATIVE("initialize", "(Z)V", initialize),
    QUARN_NATIVE("isIPv6Preferred", "()Z", isIPv6Preferred),
    QUARN_NATIVE("isIPv6", "(I)Z", isIPv6),
};

// The rows whose signatures name the relocatable DatagramSocketAddress class (recvFrom and
// recvFromAddress) are built at load, behind the static rows; see the load below.

}  // namespace

}  // namespace quarn::socket

extern "C" jint quarn_unix_socket_JNI_OnLoad(JNIEnv *env, const char *packagePrefix) {
    using quarn::socket::kMethods;
    // Registration. Once the receive natives exist this becomes registerWithDynamicRows with
    // the two rows that name the prefixed DatagramSocketAddress class.
    if (quarn_unix_util_register_natives(env, packagePrefix, "io/quarn/channel/unix/Socket", kMethods,
                                         QUARN_TABLE_SIZE(kMethods)) != 0) {
        return -1;
    }
    // Caching of the DatagramSocketAddress class and constructor, and the direct-buffer probe,
    // follow here: they belong to the datagram receive natives.
    return JNI_VERSION_1_6;
}

extern "C" void quarn_unix_socket_JNI_OnUnLoad(JNIEnv *env) {
    quarn::socket::DatagramAddressType &type = quarn::socket::datagramAddressType();
    if (type.type != nullptr) {
        env->DeleteGlobalRef(type.type);
        type.type = nullptr;
    }
}
