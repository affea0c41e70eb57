// Address conversion: Java address bytes into socket addresses, address records, the
// accepted-peer form and DatagramSocketAddress arguments, byte for byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_jni.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/socket/address.h"
#include "unix/socket/socket_internal.h"

namespace {

using quarn::test::FakeJni;

std::vector<jbyte> bytesOf(std::initializer_list<int> values) {
    std::vector<jbyte> result;
    for (int v : values) {
        result.push_back(static_cast<jbyte>(v));
    }
    return result;
}

std::vector<jbyte> mapped(int a, int b, int c, int d) {
    return bytesOf({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, a, b, c, d});
}

sockaddr_storage inet(const char *text, int port) {
    sockaddr_storage storage{};
    auto *in = reinterpret_cast<sockaddr_in *>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(inet_pton(AF_INET, text, &in->sin_addr), 1);
    return storage;
}

sockaddr_storage inet6(const char *text, int port, uint32_t scopeId) {
    sockaddr_storage storage{};
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    in6->sin6_scope_id = scopeId;
    EXPECT_EQ(inet_pton(AF_INET6, text, &in6->sin6_addr), 1);
    return storage;
}

std::vector<uint8_t> record(const sockaddr_storage &address) {
    std::vector<uint8_t> out(static_cast<size_t>(quarn::socket::recordLength(address)));
    quarn::socket::encodeAddressRecord(address, static_cast<int>(out.size()), out.data());
    return out;
}

struct Converted {
    int result;
    sockaddr_storage address;
    socklen_t length;
};

// Converts through the exported function, with the storage poisoned first so that any byte
// left unset shows.
Converted convert(std::vector<jbyte> input, jboolean ipv6, jint scopeId, jint port) {
    FakeJni fake;
    Converted out{};
    std::memset(&out.address, 0xa5, sizeof(out.address));
    out.length = 12345;
    out.result = quarn_unix_socket_initSockaddr(fake.env(), ipv6, fake.byteArray(std::move(input)), scopeId, port,
                                                &out.address, &out.length);
    EXPECT_EQ(fake.callsWithExceptionPending, 0);
    return out;
}

const sockaddr_in6 &as6(const sockaddr_storage &s) {
    return reinterpret_cast<const sockaddr_in6 &>(s);
}

const sockaddr_in &as4(const sockaddr_storage &s) {
    return reinterpret_cast<const sockaddr_in &>(s);
}

TEST(InitSockaddr, OverlongOrNullArrayGivesMinusOneAndWritesNothing) {
    Converted c = convert(std::vector<jbyte>(17), JNI_TRUE, 0, 80);
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.length, 12345u);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(&c.address)[0], 0xa5);

    FakeJni fake;
    sockaddr_storage address{};
    socklen_t length = 7;
    EXPECT_EQ(quarn_unix_socket_initSockaddr(fake.env(), JNI_FALSE, nullptr, 0, 80, &address, &length), -1);
    EXPECT_EQ(length, 7u);
}

TEST(InitSockaddr, IPv6MapsOnlyTheMappedWildcardToAny) {
    Converted any = convert(mapped(0, 0, 0, 0), JNI_TRUE, 3, 443);
    ASSERT_EQ(any.result, 0);
    EXPECT_EQ(any.length, sizeof(sockaddr_in6));
    EXPECT_EQ(as6(any.address).sin6_family, AF_INET6);
    EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&as6(any.address).sin6_addr));
    EXPECT_EQ(as6(any.address).sin6_port, htons(443));
    EXPECT_EQ(as6(any.address).sin6_scope_id, 3u);
    EXPECT_EQ(as6(any.address).sin6_flowinfo, 0u);

    Converted loopback = convert(mapped(127, 0, 0, 1), JNI_TRUE, 0, 1);
    const uint8_t *a = as6(loopback.address).sin6_addr.s6_addr;
    EXPECT_EQ(a[10], 0xff);
    EXPECT_EQ(a[11], 0xff);
    EXPECT_EQ(a[12], 127);
    EXPECT_EQ(a[15], 1);

    Converted unspecified = convert(std::vector<jbyte>(16), JNI_TRUE, 0, 1);
    EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&as6(unspecified.address).sin6_addr));
}

TEST(InitSockaddr, IPv4TakesTheMappedPartAndOnlyExactTrueSelectsIPv6) {
    for (jboolean flag : {static_cast<jboolean>(JNI_FALSE), static_cast<jboolean>(2)}) {
        Converted c = convert(mapped(10, 0, 0, 1), flag, 9, 8080);
        ASSERT_EQ(c.result, 0);
        EXPECT_EQ(c.length, sizeof(sockaddr_in));
        EXPECT_EQ(as4(c.address).sin_family, AF_INET);
        const auto *port = reinterpret_cast<const uint8_t *>(&as4(c.address).sin_port);
        EXPECT_EQ(port[0], 0x1f);
        EXPECT_EQ(port[1], 0x90);
        EXPECT_EQ(as4(c.address).sin_addr.s_addr, inet_addr("10.0.0.1"));
        // The rest of the storage is zeroed, sin_zero included: nothing of the stack leaks.
        const auto *raw = reinterpret_cast<const uint8_t *>(&c.address);
        for (size_t i = offsetof(sockaddr_in, sin_zero); i < sizeof(sockaddr_storage); ++i) {
            ASSERT_EQ(raw[i], 0) << "byte " << i;
        }
    }
}

TEST(InitSockaddr, OnlyTheLow16BitsOfThePortCount) {
    Converted c = convert(mapped(127, 0, 0, 1), JNI_FALSE, 0, 65616);
    EXPECT_EQ(ntohs(as4(c.address).sin_port), 80);
    Converted negative = convert(mapped(127, 0, 0, 1), JNI_TRUE, 0, -1);
    EXPECT_EQ(ntohs(as6(negative.address).sin6_port), 65535);
}

TEST(InitSockaddr, ShortArrayMeansTrailingZeros) {
    Converted c = convert(bytesOf({0x20, 0x01, 0x0d, 0xb8}), JNI_TRUE, 0, 1);
    ASSERT_EQ(c.result, 0);
    const uint8_t *a = as6(c.address).sin6_addr.s6_addr;
    EXPECT_EQ(a[0], 0x20);
    EXPECT_EQ(a[3], 0xb8);
    for (int i = 4; i < 16; ++i) {
        EXPECT_EQ(a[i], 0) << "byte " << i;
    }
    // Four bytes are too few for an IPv4 address at bytes 12 to 15: it reads as 0.0.0.0.
    Converted v4 = convert(bytesOf({1, 2, 3, 4}), JNI_FALSE, 0, 1);
    EXPECT_EQ(as4(v4.address).sin_addr.s_addr, 0u);
}

TEST(AddressRecord, WorkedRecords) {
    EXPECT_EQ(record(inet("192.0.2.1", 80)), (std::vector<uint8_t>{0xc0, 0, 2, 1, 0, 0, 0, 0x50}));

    std::vector<uint8_t> loopback(24);
    loopback[15] = 1;
    loopback[22] = 0x01;
    loopback[23] = 0xbb;
    EXPECT_EQ(record(inet6("::1", 443, 0)), loopback);

    // A mapped address drops its scope id in the record.
    EXPECT_EQ(record(inet6("::ffff:192.0.2.1", 80, 5)), (std::vector<uint8_t>{0xc0, 0, 2, 1, 0, 0, 0, 0x50}));

    std::vector<uint8_t> scoped = record(inet6("fe80::1", 65535, 0x01020304));
    EXPECT_EQ(scoped[0], 0xfe);
    EXPECT_EQ((std::vector<uint8_t>(scoped.begin() + 16, scoped.end())),
              (std::vector<uint8_t>{1, 2, 3, 4, 0, 0, 0xff, 0xff}));
}

TEST(AddressRecord, IPv4FormTest) {
    EXPECT_EQ(quarn_unix_socket_ipAddressLength(&static_cast<const sockaddr_storage &>(inet("0.0.0.0", 0))), 4);
    const sockaddr_storage mappedAny = inet6("::ffff:0.0.0.0", 0, 0);
    EXPECT_EQ(quarn_unix_socket_ipAddressLength(&mappedAny), 4);
    sockaddr_storage nearlyMapped = inet6("::fffe:1.2.3.4", 0, 0);
    EXPECT_EQ(quarn_unix_socket_ipAddressLength(&nearlyMapped), 16);
    const sockaddr_storage compatible = inet6("::1.2.3.4", 0, 0);
    EXPECT_EQ(quarn_unix_socket_ipAddressLength(&compatible), 16);
}

TEST(AddressRecord, AcceptedPeerForm) {
    uint8_t out[quarn::socket::kAcceptedPeerMaxLength];
    ASSERT_EQ(quarn::socket::encodeAcceptedPeer(inet("192.0.2.1", 80), out), 9);
    EXPECT_EQ((std::vector<uint8_t>(out, out + 9)), (std::vector<uint8_t>{8, 0xc0, 0, 2, 1, 0, 0, 0, 0x50}));
    ASSERT_EQ(quarn::socket::encodeAcceptedPeer(inet6("::1", 443, 0), out), 25);
    EXPECT_EQ(out[0], 24);
    EXPECT_EQ(out[16], 1);
    EXPECT_EQ(out[24], 0xbb);
}

TEST(AddressRecord, JavaArrayOfTheRecordLength) {
    FakeJni fake;
    const sockaddr_storage address = inet6("::ffff:192.0.2.1", 80, 5);
    jbyteArray array = quarn_unix_socket_createInetSocketAddressArray(fake.env(), &address);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(fake.bytes(array), bytesOf({0xc0, 0, 2, 1, 0, 0, 0, 0x50}));

    fake.newByteArrayFails = true;
    EXPECT_EQ(quarn_unix_socket_createInetSocketAddressArray(fake.env(), &address), nullptr);
    EXPECT_TRUE(fake.exceptionPending);
    EXPECT_EQ(fake.callsWithExceptionPending, 0);
}

TEST(AddressRecord, ShortTargetRaisesOnceAndWritesNothing) {
    FakeJni fake;
    jbyteArray target = fake.byteArray(std::vector<jbyte>(20, 0x11));
    const sockaddr_storage address = inet6("::1", 443, 0);
    quarn::socket::writeAddressRecord(fake.env(), &address, target, 0, 24);
    EXPECT_TRUE(fake.exceptionPending);
    EXPECT_EQ(fake.callsWithExceptionPending, 0);
    EXPECT_EQ(fake.bytes(target), std::vector<jbyte>(20, 0x11));

    FakeJni ok;
    jbyteArray wide = ok.byteArray(std::vector<jbyte>(12, 0x11));
    const sockaddr_storage v4 = inet("192.0.2.1", 80);
    quarn::socket::writeAddressRecord(ok.env(), &v4, wide, 3, 8);
    EXPECT_EQ(ok.bytes(wide), bytesOf({0x11, 0x11, 0x11, 0xc0, 0, 2, 1, 0, 0, 0, 0x50, 0x11}));
}

struct DatagramArgs {
    std::vector<jbyte> address;
    jint scopeId = -1;
    jint port = -1;
    jint received = -1;
    jobject local = nullptr;
};

class DatagramAddress : public ::testing::Test {
protected:
    void SetUp() override {
        auto &type = quarn::socket::datagramAddressType();
        saved_ = type;
        type.type = fake_.classHandle("io/quarn/channel/unix/DatagramSocketAddress");
        type.constructor = reinterpret_cast<jmethodID>(0x77);
        fake_.newObject = [this](jclass, jmethodID constructor, va_list args) -> jobject {
            EXPECT_EQ(constructor, reinterpret_cast<jmethodID>(0x77));
            args_.address = fake_.bytes(va_arg(args, jobject));
            args_.scopeId = va_arg(args, jint);
            args_.port = va_arg(args, jint);
            args_.received = va_arg(args, jint);
            args_.local = va_arg(args, jobject);
            if (constructorThrows_) {
                fake_.exceptionPending = true;
            }
            return reinterpret_cast<jobject>(0x55);
        };
    }
    void TearDown() override { quarn::socket::datagramAddressType() = saved_; }

    FakeJni fake_;
    DatagramArgs args_;
    bool constructorThrows_ = false;
    quarn::socket::DatagramAddressType saved_;
};

TEST_F(DatagramAddress, MappedSenderKeepsItsScopeId) {
    const sockaddr_storage sender = inet6("::ffff:192.0.2.1", 80, 5);
    jobject local = reinterpret_cast<jobject>(0x66);
    EXPECT_EQ(quarn::socket::buildDatagramAddress(fake_.env(), &sender, 42, local), reinterpret_cast<jobject>(0x55));
    EXPECT_EQ(args_.address, bytesOf({0xc0, 0, 2, 1}));
    EXPECT_EQ(args_.scopeId, 5);
    EXPECT_EQ(args_.port, 80);
    EXPECT_EQ(args_.received, 42);
    EXPECT_EQ(args_.local, local);
}

TEST_F(DatagramAddress, IPv4AndIPv6Senders) {
    const sockaddr_storage v4 = inet("192.0.2.1", 65535);
    quarn::socket::buildDatagramAddress(fake_.env(), &v4, 0, nullptr);
    EXPECT_EQ(args_.address, bytesOf({0xc0, 0, 2, 1}));
    EXPECT_EQ(args_.scopeId, 0);
    EXPECT_EQ(args_.port, 65535);
    EXPECT_EQ(args_.local, nullptr);

    const sockaddr_storage v6 = inet6("fe80::2", 7, 3);
    quarn::socket::buildDatagramAddress(fake_.env(), &v6, 1, nullptr);
    ASSERT_EQ(args_.address.size(), 16u);
    EXPECT_EQ(static_cast<uint8_t>(args_.address[0]), 0xfe);
    EXPECT_EQ(args_.address[15], 2);
    EXPECT_EQ(args_.scopeId, 3);
}

TEST_F(DatagramAddress, FailuresGiveNullWithTheExceptionPending) {
    const sockaddr_storage v4 = inet("192.0.2.1", 1);
    constructorThrows_ = true;
    EXPECT_EQ(quarn::socket::buildDatagramAddress(fake_.env(), &v4, 0, nullptr), nullptr);
    EXPECT_EQ(fake_.callsWithExceptionPending, 0);

    FakeJni failing;
    failing.newByteArrayFails = true;
    EXPECT_EQ(quarn::socket::buildDatagramAddress(failing.env(), &v4, 0, nullptr), nullptr);
    EXPECT_EQ(failing.callsWithExceptionPending, 0);
    for (const std::string &call : failing.calls) {
        EXPECT_EQ(call.rfind("NewObject", 0), std::string::npos) << call;
    }
}

}  // namespace
