// Socket address conversion over arbitrary input: Java address bytes into socket addresses
// (initSockaddr), and arbitrary socket addresses back into address records, their length and
// DatagramSocketAddress arguments. Every result is checked against the rules written out here
// independently of the library's code, through the scripted JNI environment of the tests.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fake_jni.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/socket/address.h"
#include "unix/socket/socket_internal.h"

namespace {

using quarn::test::FakeJni;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

void putBigEndian32(std::vector<uint8_t> &out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

bool mappedForm(const sockaddr_storage &address) {
    return address.ss_family == AF_INET ||
           std::memcmp(reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr.s6_addr, kMapped, 12) == 0;
}

// The address record as the Java side reads it: 4 address bytes and the port, or 16 address
// bytes, the scope id and the port, each a big-endian 32-bit number.
std::vector<uint8_t> expectedRecord(const sockaddr_storage &address) {
    std::vector<uint8_t> record;
    if (address.ss_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(address);
        const auto *bytes = reinterpret_cast<const uint8_t *>(&in.sin_addr.s_addr);
        record.assign(bytes, bytes + 4);
        putBigEndian32(record, ntohs(in.sin_port));
        return record;
    }
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(address);
    if (mappedForm(address)) {
        record.assign(in6.sin6_addr.s6_addr + 12, in6.sin6_addr.s6_addr + 16);
        putBigEndian32(record, ntohs(in6.sin6_port));
        return record;
    }
    record.assign(in6.sin6_addr.s6_addr, in6.sin6_addr.s6_addr + 16);
    putBigEndian32(record, in6.sin6_scope_id);
    putBigEndian32(record, ntohs(in6.sin6_port));
    return record;
}

bool allZero(const uint8_t *bytes, size_t from, size_t to) {
    for (size_t i = from; i < to; i++) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// Java bytes into a socket address: -1 and nothing written for null or more than 16 bytes;
// otherwise the form the flag selects (exactly 1 means IPv6), zeros everywhere else.
void checkInitSockaddr(FuzzedDataProvider &input) {
    FakeJni fake;
    const bool nullArray = input.ConsumeIntegralInRange<int>(0, 15) == 0;
    const size_t count = input.ConsumeIntegralInRange<size_t>(0, 20);
    std::vector<jbyte> bytes = input.ConsumeBytes<jbyte>(count);
    bytes.resize(count);
    const auto ipv6 = input.ConsumeIntegral<jboolean>();
    const auto scopeId = input.ConsumeIntegral<jint>();
    const auto port = input.ConsumeIntegral<jint>();
    jbyteArray array = nullArray ? nullptr : fake.byteArray(bytes);

    sockaddr_storage address;
    std::memset(&address, 0xA5, sizeof(address));
    socklen_t length = 0xA5A5;
    const int result = quarn_unix_socket_initSockaddr(fake.env(), ipv6, array, scopeId, port, &address, &length);
    require(fake.callsWithExceptionPending == 0 && !fake.exceptionPending);
    const auto *raw = reinterpret_cast<const uint8_t *>(&address);
    if (nullArray || count > 16) {
        require(result == -1 && length == 0xA5A5);
        for (size_t i = 0; i < sizeof(address); i++) {
            require(raw[i] == 0xA5);
        }
        return;
    }
    require(result == 0);
    uint8_t padded[16] = {};
    if (count > 0) {
        std::memcpy(padded, bytes.data(), count);
    }
    const uint16_t networkPort = htons(static_cast<uint16_t>(port));
    if (ipv6 == JNI_TRUE) {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(address);
        require(length == sizeof(sockaddr_in6) && in6.sin6_family == AF_INET6);
        require(in6.sin6_port == networkPort && in6.sin6_flowinfo == 0 &&
                in6.sin6_scope_id == static_cast<uint32_t>(scopeId));
        // The mapped IPv4 wildcard becomes the IPv6 wildcard; every other address is kept.
        const bool mappedAny = std::memcmp(padded, kMapped, 12) == 0 && allZero(padded, 12, 16);
        require(mappedAny ? allZero(in6.sin6_addr.s6_addr, 0, 16)
                          : std::memcmp(in6.sin6_addr.s6_addr, padded, 16) == 0);
        require(allZero(raw, sizeof(sockaddr_in6), sizeof(address)));
        require(quarn_unix_socket_ipAddressLength(&address) == (!mappedAny && mappedForm(address) ? 4 : 16));
    } else {
        const auto &in = reinterpret_cast<const sockaddr_in &>(address);
        require(length == sizeof(sockaddr_in) && in.sin_family == AF_INET && in.sin_port == networkPort);
        require(std::memcmp(&in.sin_addr.s_addr, padded + 12, 4) == 0);
        require(allZero(raw, offsetof(sockaddr_in, sin_zero), sizeof(address)));
        require(quarn_unix_socket_ipAddressLength(&address) == 4);
    }
    // And back: the record of what was built.
    jbyteArray record = quarn_unix_socket_createInetSocketAddressArray(fake.env(), &address);
    require(record != nullptr);
    const std::vector<jbyte> &written = fake.bytes(record);
    const std::vector<uint8_t> expected = expectedRecord(address);
    require(written.size() == expected.size() && std::memcmp(written.data(), expected.data(), expected.size()) == 0);
}

// An arbitrary socket address, of family AF_INET, AF_INET6 or anything else (read as IPv6,
// as every reader of the library does).
sockaddr_storage arbitraryAddress(FuzzedDataProvider &input) {
    sockaddr_storage address;
    std::vector<uint8_t> raw = input.ConsumeBytes<uint8_t>(sizeof(address));
    raw.resize(sizeof(address));
    std::memcpy(&address, raw.data(), sizeof(address));
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        address.ss_family = AF_INET;
        break;
    case 1:
        address.ss_family = AF_INET6;
        break;
    case 2: {
        // Mapped IPv6 addresses are rare in random bytes: make some.
        address.ss_family = AF_INET6;
        std::memcpy(reinterpret_cast<sockaddr_in6 &>(address).sin6_addr.s6_addr, kMapped, 12);
        break;
    }
    default:
        break;
    }
    return address;
}

void checkRecords(FuzzedDataProvider &input) {
    FakeJni fake;
    const sockaddr_storage address = arbitraryAddress(input);
    const std::vector<uint8_t> expected = expectedRecord(address);
    const int length = quarn_unix_socket_ipAddressLength(&address);
    require(length == (mappedForm(address) ? 4 : 16));
    require(quarn::socket::recordLength(address) == static_cast<int>(expected.size()));

    uint8_t peer[quarn::socket::kAcceptedPeerMaxLength];
    const int peerSize = quarn::socket::encodeAcceptedPeer(address, peer);
    require(peerSize == 1 + static_cast<int>(expected.size()) && peer[0] == expected.size());
    require(std::memcmp(peer + 1, expected.data(), expected.size()) == 0);

    // The record into a Java array at an arbitrary offset: either all of it, or nothing and
    // the VM's index exception pending.
    const jint arrayLength = input.ConsumeIntegralInRange<jint>(0, 32);
    const jint offset = input.ConsumeIntegralInRange<jint>(-2, 33);
    const jint asked = input.ConsumeBool() ? static_cast<jint>(expected.size()) : input.ConsumeIntegral<jint>();
    std::vector<jbyte> before(static_cast<size_t>(arrayLength), static_cast<jbyte>(0x5A));
    jbyteArray array = fake.byteArray(before);
    quarn::socket::writeAddressRecord(fake.env(), &address, array, offset, asked);
    const jint size = asked == 8 ? 8 : 24;
    const std::vector<jbyte> &after = fake.bytes(array);
    require(fake.callsWithExceptionPending == 0);
    if (offset >= 0 && offset + size <= arrayLength) {
        require(!fake.exceptionPending);
        if (size == static_cast<jint>(expected.size())) {
            require(std::memcmp(after.data() + offset, expected.data(), expected.size()) == 0);
        }
        for (jint i = 0; i < arrayLength; i++) {
            require(i >= offset && i < offset + size ? true : after[static_cast<size_t>(i)] == 0x5A);
        }
    } else {
        require(fake.exceptionPending && after == before);
    }
}

// What the DatagramSocketAddress constructor received.
struct Constructed {
    bool called = false;
    std::vector<jbyte> bytes;
    jint scopeId = 0;
    jint port = 0;
    jint received = 0;
    jobject local = nullptr;
};

void checkDatagramAddress(FuzzedDataProvider &input) {
    FakeJni fake;
    const sockaddr_storage address = arbitraryAddress(input);
    const jint received = input.ConsumeIntegral<jint>();
    jobject local = input.ConsumeBool() ? nullptr : fake.classHandle("local");
    fake.newByteArrayFails = input.ConsumeIntegralInRange<int>(0, 7) == 0;
    const bool constructorFails = input.ConsumeIntegralInRange<int>(0, 7) == 0;

    quarn::socket::DatagramAddressType &type = quarn::socket::datagramAddressType();
    type.type = fake.classHandle("io/quarn/channel/unix/DatagramSocketAddress");
    type.constructor = reinterpret_cast<jmethodID>(uintptr_t{0x77});
    Constructed seen;
    jobject made = fake.classHandle("made");
    fake.newObject = [&](jclass clazz, jmethodID constructor, va_list args) -> jobject {
        require(clazz == type.type && constructor == type.constructor);
        seen.called = true;
        jbyteArray bytes = va_arg(args, jbyteArray);
        seen.bytes = fake.bytes(bytes);
        seen.scopeId = va_arg(args, jint);
        seen.port = va_arg(args, jint);
        seen.received = va_arg(args, jint);
        seen.local = va_arg(args, jobject);
        if (constructorFails) {
            fake.exceptionPending = true;
            return nullptr;
        }
        return made;
    };
    jobject result = quarn::socket::buildDatagramAddress(fake.env(), &address, received, local);
    type = quarn::socket::DatagramAddressType{};
    require(fake.callsWithExceptionPending == 0);
    if (fake.newByteArrayFails || constructorFails) {
        require(result == nullptr && fake.exceptionPending && seen.called == !fake.newByteArrayFails);
        return;
    }
    require(result == made && !fake.exceptionPending && seen.called);
    const int length = quarn_unix_socket_ipAddressLength(&address);
    require(seen.bytes.size() == static_cast<size_t>(length));
    if (address.ss_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(address);
        require(std::memcmp(seen.bytes.data(), &in.sin_addr.s_addr, 4) == 0);
        require(seen.scopeId == 0 && seen.port == ntohs(in.sin_port));
    } else {
        // A mapped address gives its IPv4 part but keeps its scope id.
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(address);
        require(std::memcmp(seen.bytes.data(), in6.sin6_addr.s6_addr + (length == 4 ? 12 : 0),
                            static_cast<size_t>(length)) == 0);
        require(seen.scopeId == static_cast<jint>(in6.sin6_scope_id) && seen.port == ntohs(in6.sin6_port));
    }
    require(seen.received == received && seen.local == local);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        checkInitSockaddr(input);
        break;
    case 1:
        checkRecords(input);
        break;
    default:
        checkDatagramAddress(input);
        break;
    }
    return 0;
}
