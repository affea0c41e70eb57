// Socket address conversion: Java address bytes into platform socket addresses, and socket
// addresses back into address records and DatagramSocketAddress objects.
#include "unix/socket/address.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/socket.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/socket/socket_internal.h"

namespace quarn::socket {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

const sockaddr_in &asIPv4(const sockaddr_storage &address) {
    return reinterpret_cast<const sockaddr_in &>(address);
}

const sockaddr_in6 &asIPv6(const sockaddr_storage &address) {
    return reinterpret_cast<const sockaddr_in6 &>(address);
}

void putBigEndian32(uint8_t *out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

// Every reader treats AF_INET as a sockaddr_in and any other family as a sockaddr_in6.
bool isInet(const sockaddr_storage &address) {
    return platform::addressFamily(address) == AF_INET;
}

}  // namespace

bool isIPv4Form(const sockaddr_storage &address) {
    if (isInet(address)) {
        return true;
    }
    return std::memcmp(asIPv6(address).sin6_addr.s6_addr, kMappedPrefix, sizeof(kMappedPrefix)) == 0;
}

void fillSocketAddress(bool ipv6, const uint8_t (&bytes)[kInputAddressBytes], jint scopeId, jint port,
                       sockaddr_storage *address, socklen_t *length) {
    const uint16_t networkPort = htons(static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xffffU));
    if (ipv6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = networkPort;
        in6->sin6_flowinfo = 0;
        in6->sin6_scope_id = static_cast<uint32_t>(scopeId);
        // The IPv4 wildcard in its mapped form means the IPv6 wildcard to an IPv6 socket, so
        // that a dual-stack socket bound "to any address" accepts both families.
        static constexpr uint8_t kMappedAny[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
        if (std::memcmp(bytes, kMappedAny, sizeof(kMappedAny)) == 0) {
            in6->sin6_addr = in6addr_any;
        } else {
            std::memcpy(in6->sin6_addr.s6_addr, bytes, sizeof(in6->sin6_addr.s6_addr));
        }
        *length = sizeof(sockaddr_in6);
    } else {
        auto *in = reinterpret_cast<sockaddr_in *>(address);
        in->sin_family = AF_INET;
        in->sin_port = networkPort;
        std::memcpy(&in->sin_addr.s_addr, bytes + 12, 4);
        *length = sizeof(sockaddr_in);
    }
}

void encodeAddressRecord(const sockaddr_storage &address, int length, uint8_t *out) {
    if (isInet(address)) {
        const sockaddr_in &in = asIPv4(address);
        std::memcpy(out, &in.sin_addr.s_addr, 4);
        putBigEndian32(out + 4, ntohs(in.sin_port));
        return;
    }
    const sockaddr_in6 &in6 = asIPv6(address);
    if (length == kIPv4RecordLength) {
        // An IPv4-mapped address: its IPv4 part, and no scope id.
        std::memcpy(out, in6.sin6_addr.s6_addr + 12, 4);
        putBigEndian32(out + 4, ntohs(in6.sin6_port));
        return;
    }
    std::memcpy(out, in6.sin6_addr.s6_addr, 16);
    putBigEndian32(out + 16, in6.sin6_scope_id);
    putBigEndian32(out + 20, ntohs(in6.sin6_port));
}

int encodeAcceptedPeer(const sockaddr_storage &address, uint8_t (&out)[kAcceptedPeerMaxLength]) {
    const int length = recordLength(address);
    out[0] = static_cast<uint8_t>(length);
    encodeAddressRecord(address, length, out + 1);
    return 1 + length;
}

void writeAddressRecord(JNIEnv *env, const sockaddr_storage *address, jbyteArray array, jint offset, jint length) {
    // One JNI call for the whole record: a second call after a failed first would run with
    // the index exception pending.
    uint8_t record[kIPv6RecordLength];
    const jint size = length == kIPv4RecordLength ? kIPv4RecordLength : kIPv6RecordLength;
    encodeAddressRecord(*address, size, record);
    env->SetByteArrayRegion(array, offset, size, reinterpret_cast<const jbyte *>(record));
}

jobject buildDatagramAddress(JNIEnv *env, const sockaddr_storage *address, jint receivedAmount,
                             jobject localAddress) {
    const bool inet = isInet(*address);
    const jint count = isIPv4Form(*address) ? 4 : 16;
    jbyteArray bytes = env->NewByteArray(count);
    if (bytes == nullptr) {
        return nullptr;
    }
    jint port;
    jint scopeId;
    const void *source;
    if (inet) {
        const sockaddr_in &in = asIPv4(*address);
        port = ntohs(in.sin_port);
        scopeId = 0;
        source = &in.sin_addr.s_addr;
    } else {
        // Unlike the address record, a mapped address keeps its scope id here.
        const sockaddr_in6 &in6 = asIPv6(*address);
        port = ntohs(in6.sin6_port);
        scopeId = static_cast<jint>(in6.sin6_scope_id);
        source = in6.sin6_addr.s6_addr + (count == 4 ? 12 : 0);
    }
    env->SetByteArrayRegion(bytes, 0, count, static_cast<const jbyte *>(source));
    const DatagramAddressType &type = datagramAddressType();
    jobject result = env->NewObject(type.type, type.constructor, bytes, scopeId, port, receivedAmount, localAddress);
    if (env->ExceptionCheck()) {
        return nullptr;
    }
    return result;
}

}  // namespace quarn::socket

extern "C" int quarn_unix_socket_initSockaddr(JNIEnv *env, jboolean ipv6, jbyteArray address, jint scopeId,
                                              jint jport, struct sockaddr_storage *addr, socklen_t *addrSize) {
    // A null array is bad input like an over-long one: -1 and nothing written.
    if (address == nullptr) {
        return -1;
    }
    const jsize count = env->GetArrayLength(address);
    if (count > quarn::socket::kInputAddressBytes) {
        return -1;
    }
    // A shorter array means trailing zeros, and no stack byte reaches the kernel unset.
    uint8_t bytes[quarn::socket::kInputAddressBytes] = {};
    env->GetByteArrayRegion(address, 0, count, reinterpret_cast<jbyte *>(bytes));
    std::memset(addr, 0, sizeof(*addr));
    quarn::socket::fillSocketAddress(ipv6 == JNI_TRUE, bytes, scopeId, jport, addr, addrSize);
    return 0;
}

extern "C" int quarn_unix_socket_ipAddressLength(const struct sockaddr_storage *addr) {
    return quarn::socket::isIPv4Form(*addr) ? 4 : 16;
}

extern "C" jbyteArray quarn_unix_socket_createInetSocketAddressArray(JNIEnv *env,
                                                                     const struct sockaddr_storage *addr) {
    const jint length = quarn::socket::recordLength(*addr);
    jbyteArray array = env->NewByteArray(length);
    if (array == nullptr) {
        return nullptr;
    }
    quarn::socket::writeAddressRecord(env, addr, array, 0, length);
    return array;
}
