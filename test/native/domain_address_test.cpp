// The local socket address built from the Java side's path bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "unix/socket/domain.h"

namespace {

using quarn::socket::DomainAddress;
using quarn::socket::makeDomainAddress;

constexpr size_t kSunPath = sizeof(sockaddr_un::sun_path);
constexpr size_t kPathOffset = offsetof(sockaddr_un, sun_path);

std::vector<jbyte> bytesOf(const std::string &text) {
    return std::vector<jbyte>(text.begin(), text.end());
}

TEST(DomainAddressTest, ShortPathIsCopiedAndZeroFilled) {
    const auto bytes = bytesOf("/tmp/quarn.sock");
    DomainAddress out;
    std::memset(&out, 0x5a, sizeof(out));
    ASSERT_EQ(0, makeDomainAddress(bytes.data(), bytes.size(), &out));
    EXPECT_EQ(AF_UNIX, out.address.sun_family);
    EXPECT_EQ(kPathOffset + bytes.size(), out.length);
    EXPECT_STREQ("/tmp/quarn.sock", out.path);
    EXPECT_EQ(0, std::memcmp(out.address.sun_path, bytes.data(), bytes.size()));
    for (size_t i = bytes.size(); i < kSunPath; i++) {
        ASSERT_EQ(0, out.address.sun_path[i]) << i;
    }
}

TEST(DomainAddressTest, ZeroByteEndsThePathAndIsCountedOnce) {
    // The array ends with a zero byte: it is part of the address length.
    auto terminated = bytesOf("/tmp/a");
    terminated.push_back(0);
    DomainAddress out;
    ASSERT_EQ(0, makeDomainAddress(terminated.data(), terminated.size(), &out));
    EXPECT_EQ(kPathOffset + 7, out.length);
    EXPECT_STREQ("/tmp/a", out.path);

    // Bytes after an inner zero belong to no path: neither unlink nor bind sees them.
    auto inner = bytesOf("/tmp/a");
    inner.push_back(0);
    for (int i = 0; i < 140; i++) {
        inner.push_back('x');
    }
    ASSERT_EQ(0, makeDomainAddress(inner.data(), inner.size(), &out));
    EXPECT_EQ(kPathOffset + 7, out.length);
    EXPECT_STREQ("/tmp/a", out.path);
    EXPECT_EQ(0, out.address.sun_path[7]);
}

TEST(DomainAddressTest, FullSunPathIsAcceptedWithoutTerminator) {
    std::vector<jbyte> bytes(kSunPath, 'p');
    bytes[0] = '/';
    DomainAddress out;
    ASSERT_EQ(0, makeDomainAddress(bytes.data(), bytes.size(), &out));
    EXPECT_EQ(kPathOffset + kSunPath, out.length);
    EXPECT_EQ(kSunPath, std::strlen(out.path));
    // A zero right after a full sun_path has no room and is not counted.
    bytes.push_back(0);
    ASSERT_EQ(0, makeDomainAddress(bytes.data(), bytes.size(), &out));
    EXPECT_EQ(kPathOffset + kSunPath, out.length);
}

TEST(DomainAddressTest, LongerPathIsRefusedInsteadOfCut) {
    std::vector<jbyte> bytes(kSunPath + 1, 'p');
    DomainAddress out;
    EXPECT_EQ(-ENAMETOOLONG, makeDomainAddress(bytes.data(), bytes.size(), &out));
    std::vector<jbyte> longer(150, 'q');
    EXPECT_EQ(-ENAMETOOLONG, makeDomainAddress(longer.data(), longer.size(), &out));
}

TEST(DomainAddressTest, EmptyPathIsNoFile) {
    DomainAddress out;
    const jbyte none[1] = {0};
    EXPECT_EQ(-ENOENT, makeDomainAddress(none, 0, &out));
    // A leading zero would be an abstract name on Linux, not a path.
    const jbyte abstract[] = {0, 'a', 'b'};
    EXPECT_EQ(-ENOENT, makeDomainAddress(abstract, sizeof(abstract), &out));
}

}  // namespace
