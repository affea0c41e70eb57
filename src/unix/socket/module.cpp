// io/quarn/channel/unix/Socket: the socket module's method table, its load and unload, and
// the datagram address class and constructor it caches.
#include <cstdio>
#include <cstdlib>

#include "quarn_transport_native_kqueue.h"
#include "unix/socket/datagram.h"
#include "unix/socket/domain.h"
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
    QUARN_NATIVE("sendTo", "(IZLjava/nio/ByteBuffer;II[BII)I", sendTo),
    QUARN_NATIVE("sendToAddress", "(IZJII[BII)I", sendToAddress),
    QUARN_NATIVE("sendToAddresses", "(IZJI[BII)I", sendToAddresses),
    QUARN_NATIVE("recvFd", "(I)I", recvFd),
    QUARN_NATIVE("sendFd", "(II)I", sendFd),
    QUARN_NATIVE("bindDomainSocket", "(I[B)I", bindDomainSocket),
    QUARN_NATIVE("connectDomainSocket", "(I[B)I", connectDomainSocket),
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

// The datagram address class, spelled once: behind the package prefix in the two receive
// signatures, in the class lookup and in the constructor's signature.
constexpr const char kDatagramAddressClass[] = "io/quarn/channel/unix/DatagramSocketAddress";
constexpr const char kDatagramAddressTail[] = "io/quarn/channel/unix/DatagramSocketAddress;";

// The rows whose signatures name the relocatable class, built at load behind the static rows.
const quarn::util::DynamicMethod kDynamicMethods[] = {
    {"recvFrom", "(ILjava/nio/ByteBuffer;II)L", kDatagramAddressTail, reinterpret_cast<void *>(&recvFrom)},
    {"recvFromAddress", "(IJII)L", kDatagramAddressTail, reinterpret_cast<void *>(&recvFromAddress)},
};

// The constructor's signature is bounded; a package prefix too long for it fails the load.
constexpr size_t kConstructorSignatureSize = 1024;

void releaseDatagramAddressType(JNIEnv *env) {
    DatagramAddressType &type = datagramAddressType();
    if (type.type != nullptr) {
        env->DeleteGlobalRef(type.type);
        type.type = nullptr;
    }
}

// Caches the prefixed DatagramSocketAddress class and its constructor for the receives.
bool cacheDatagramAddressType(JNIEnv *env, const char *packagePrefix) {
    char *name = quarn_unix_util_prepend(packagePrefix, kDatagramAddressClass);
    if (name == nullptr) {
        return false;
    }
    jclass local = env->FindClass(name);
    if (local == nullptr) {
        env->ExceptionClear();
        quarn_unix_util_free_dynamic_name(&name);
        return false;
    }
    DatagramAddressType &type = datagramAddressType();
    type.type = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    if (type.type == nullptr) {
        quarn_unix_util_free_dynamic_name(&name);
        return false;
    }
    char signature[kConstructorSignatureSize] = {};
    const int written = std::snprintf(signature, sizeof(signature), "([BIIIL%s;)V", name);
    quarn_unix_util_free_dynamic_name(&name);
    if (written < 0 || static_cast<size_t>(written) >= sizeof(signature)) {
        return false;  // a cut signature names no constructor
    }
    type.constructor = env->GetMethodID(type.type, "<init>", signature);
    return type.constructor != nullptr;
}

// The receives and sends take their memory from direct buffers: a VM that cannot give a
// direct buffer's address cannot run them.
bool directBuffersWork(JNIEnv *env) {
    // Static, so that the probe buffer never points at freed memory while the VM holds it.
    static char probe;
    jobject buffer = env->NewDirectByteBuffer(&probe, 1);
    if (buffer == nullptr) {
        return false;
    }
    const bool works = env->GetDirectBufferAddress(buffer) != nullptr;
    env->DeleteLocalRef(buffer);
    return works;
}

}  // namespace

}  // namespace quarn::socket

extern "C" jint quarn_unix_socket_JNI_OnLoad(JNIEnv *env, const char *packagePrefix) {
    using namespace quarn::socket;
    static_assert(QUARN_TABLE_SIZE(kMethods) == 41, "the Socket class has 41 static natives");
    // The dynamic table is built, registered and freed in one place, exactly once.
    if (quarn::util::registerWithDynamicRows(env, packagePrefix, "io/quarn/channel/unix/Socket", kMethods,
                                             QUARN_TABLE_SIZE(kMethods), kDynamicMethods,
                                             QUARN_TABLE_SIZE(kDynamicMethods)) != 0) {
        return -1;
    }
    if (!cacheDatagramAddressType(env, packagePrefix) || !directBuffersWork(env)) {
        // The library's load does not unload a module whose own load failed: release here.
        releaseDatagramAddressType(env);
        return -1;
    }
    return JNI_VERSION_1_6;
}

extern "C" void quarn_unix_socket_JNI_OnUnLoad(JNIEnv *env) {
    quarn::socket::releaseDatagramAddressType(env);
}
