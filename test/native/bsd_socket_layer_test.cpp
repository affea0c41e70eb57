// The BSD socket seam on this system: sendfile's FreeBSD shape, the option mapping and the
// peer credentials, against real files and sockets where the kernel can show them.
#include "platform/bsd_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "emulation.h"

namespace {

using quarn::platform::kSendfileMaxPerCall;
using quarn::platform::sendFileLoop;

// One scripted answer of the Linux call: bytes moved, or -1 with the error.
struct Answer {
    ssize_t moved;
    int error;
};

struct ScriptedCall {
    std::vector<Answer> answers;
    std::vector<std::pair<off_t, size_t>> seen;  // (position, count) of each call

    ssize_t operator()(off_t *position, size_t count) {
        seen.emplace_back(*position, count);
        const Answer answer = answers.at(seen.size() - 1);
        if (answer.moved < 0) {
            errno = answer.error;
        }
        return answer.moved;
    }
};

TEST(BsdSendFileLoop, SplitsAtTheLinuxLimitAndAdvancesThePosition) {
    ScriptedCall call{{{static_cast<ssize_t>(kSendfileMaxPerCall), 0}, {10, 0}}, {}};
    off_t sent = -1;
    ASSERT_EQ(0, sendFileLoop(call, 7, kSendfileMaxPerCall + 10, &sent));
    EXPECT_EQ(static_cast<off_t>(kSendfileMaxPerCall + 10), sent);
    ASSERT_EQ(2u, call.seen.size());
    EXPECT_EQ(std::make_pair(off_t{7}, kSendfileMaxPerCall), call.seen[0]);
    EXPECT_EQ(std::make_pair(static_cast<off_t>(7 + kSendfileMaxPerCall), size_t{10}), call.seen[1]);
}

// An interruption after progress must reach the caller, which continues on a blocking socket
// instead of stopping short.
TEST(BsdSendFileLoop, FailureAfterProgressGivesItsErrnoAndTheProgress) {
    for (const int error : {EAGAIN, EINTR, EPIPE}) {
        ScriptedCall call{{{30, 0}, {-1, error}}, {}};
        off_t sent = -1;
        errno = 0;
        EXPECT_EQ(-1, sendFileLoop(call, 0, 100, &sent)) << error;
        EXPECT_EQ(error, errno);
        EXPECT_EQ(30, sent);
        EXPECT_EQ((std::make_pair(off_t{30}, size_t{70})), call.seen.at(1));
    }
}

TEST(BsdSendFileLoop, FailureWithNothingSentGivesItsErrno) {
    for (const int error : {EAGAIN, EINTR, EBADF}) {
        ScriptedCall call{{{-1, error}}, {}};
        off_t sent = -1;
        EXPECT_EQ(-1, sendFileLoop(call, 0, 100, &sent));
        EXPECT_EQ(error, errno);
        EXPECT_EQ(0, sent);
    }
}

TEST(BsdSendFileLoop, StopsWhereTheFileEnds) {
    ScriptedCall call{{{40, 0}, {0, 0}}, {}};
    off_t sent = -1;
    EXPECT_EQ(0, sendFileLoop(call, 0, 100, &sent));
    EXPECT_EQ(40, sent);
    EXPECT_EQ(2u, call.seen.size());
}

// A file of the given size whose byte i is i % 251, already unlinked.
int patternFile(size_t size) {
    char path[] = "/tmp/quarn_bsd_sendfile_XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    unlink(path);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i % 251);
    }
    EXPECT_EQ(static_cast<ssize_t>(size), write(fd, bytes.data(), size));
    return fd;
}

std::string readExactly(int fd, size_t count) {
    std::string result;
    char buffer[4096];
    while (result.size() < count) {
        const ssize_t n = read(fd, buffer, std::min(sizeof(buffer), count - result.size()));
        if (n <= 0) {
            break;
        }
        result.append(buffer, static_cast<size_t>(n));
    }
    return result;
}

class BsdSendFile : public ::testing::Test {
protected:
    void SetUp() override {
        file = patternFile(1000);
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sockets));
    }
    void TearDown() override {
        close(file);
        close(sockets[0]);
        close(sockets[1]);
    }
    int file = -1;
    int sockets[2] = {-1, -1};
};

TEST_F(BsdSendFile, SendsTheRegionFromItsOffset) {
    off_t sent = -1;
    ASSERT_EQ(0, quarn::platform::sendFile(file, sockets[0], 120, 50, &sent));
    EXPECT_EQ(50, sent);
    const std::string got = readExactly(sockets[1], 50);
    ASSERT_EQ(50u, got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(static_cast<char>((120 + i) % 251), got[i]) << i;
    }
}

TEST_F(BsdSendFile, ZeroCountSendsUpToTheEndOfTheFile) {
    off_t sent = -1;
    ASSERT_EQ(0, quarn::platform::sendFile(file, sockets[0], 100, 0, &sent));
    EXPECT_EQ(900, sent);
    EXPECT_EQ(900u, readExactly(sockets[1], 900).size());

    sent = -1;
    EXPECT_EQ(0, quarn::platform::sendFile(file, sockets[0], 1000, 0, &sent)) << "at the end: nothing to send";
    EXPECT_EQ(0, sent);
    EXPECT_EQ(0, quarn::platform::sendFile(file, sockets[0], 990, 100, &sent)) << "the file ends first";
    EXPECT_EQ(10, sent);
}

TEST_F(BsdSendFile, FullNonBlockingSocketGivesEagainWithNothingSent) {
    ASSERT_EQ(0, fcntl(sockets[0], F_SETFL, O_NONBLOCK));
    const std::string chunk(65536, 'x');
    for (int i = 0; i < 1000 && write(sockets[0], chunk.data(), chunk.size()) > 0; ++i) {
    }
    ASSERT_EQ(EAGAIN, errno);
    off_t sent = -1;
    EXPECT_EQ(-1, quarn::platform::sendFile(file, sockets[0], 0, 1000, &sent));
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_EQ(0, sent);
}

TEST_F(BsdSendFile, ClosedFileGivesEbadf) {
    const int closed = dup(file);
    close(closed);
    off_t sent = -1;
    EXPECT_EQ(-1, quarn::platform::sendFile(closed, sockets[0], 0, 10, &sent));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, quarn::platform::sendFile(closed, sockets[0], 0, 0, &sent)) << "the size lookup fails too";
    EXPECT_EQ(EBADF, errno);
}

TEST(BsdAcceptFilter, FailsWithNoProtocolOptionButReportsBadDescriptorsFirst) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    quarn::platform::AcceptFilterRecord record{};
    EXPECT_EQ(-1, quarn::platform::setAcceptFilter(s, &record));
    EXPECT_EQ(ENOPROTOOPT, errno);
    EXPECT_EQ(-1, quarn::platform::getAcceptFilter(s, &record));
    EXPECT_EQ(ENOPROTOOPT, errno);
    close(s);
    EXPECT_EQ(-1, quarn::platform::setAcceptFilter(s, &record));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, quarn::platform::getAcceptFilter(s, &record));
    EXPECT_EQ(EBADF, errno);

    int pipes[2];
    ASSERT_EQ(0, pipe(pipes));
    EXPECT_EQ(-1, quarn::platform::getAcceptFilter(pipes[0], &record));
    EXPECT_EQ(ENOTSOCK, errno);
    close(pipes[0]);
    close(pipes[1]);
}

TEST(BsdTcpNoPush, IsTheOptionThatCorksTheSocket) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    int on = 1;
    ASSERT_EQ(0, setsockopt(s, quarn::platform::kTcpNoPushLevel, quarn::platform::kTcpNoPushOption, &on,
                            sizeof(on)));
    int corked = 0;
    socklen_t length = sizeof(corked);
    ASSERT_EQ(0, getsockopt(s, IPPROTO_TCP, TCP_CORK, &corked, &length));
    EXPECT_EQ(1, corked);
    close(s);
}

TEST(BsdPeerCredentials, ConnectedLocalPairGivesThisProcess) {
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    quarn::platform::PeerCredentialRecord record{};
    socklen_t length = sizeof(record);
    ASSERT_EQ(0, quarn::platform::getPeerCredentials(pair[0], &record, &length));
    EXPECT_EQ(sizeof(record), length);
    EXPECT_EQ(quarn::platform::kPeerCredentialVersion, record.cr_version);
    EXPECT_EQ(geteuid(), record.cr_uid);
    ASSERT_GE(record.cr_ngroups, 1);
    ASSERT_LE(record.cr_ngroups, quarn::platform::kPeerGroupsMax);
    EXPECT_EQ(getegid(), record.cr_groups[0]);
    EXPECT_EQ(getpid(), record.cr_pid);

    // The supplementary groups follow the effective one, as far as they fit.
    std::vector<gid_t> own(static_cast<size_t>(getgroups(0, nullptr)));
    ASSERT_EQ(static_cast<int>(own.size()), getgroups(static_cast<int>(own.size()), own.data()));
    EXPECT_EQ(1 + std::min<size_t>(own.size(), quarn::platform::kPeerGroupsMax - 1),
              static_cast<size_t>(record.cr_ngroups));
    close(pair[0]);
    close(pair[1]);
}

TEST(BsdPeerCredentials, UnconnectedOrForeignSocketsFailLikeFreeBsd) {
    quarn::platform::PeerCredentialRecord record{};
    socklen_t length = sizeof(record);
    const int local = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(local, 0);
    EXPECT_EQ(-1, quarn::platform::getPeerCredentials(local, &record, &length));
    EXPECT_EQ(ENOTCONN, errno);
    close(local);

    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(tcp, 0);
    EXPECT_EQ(-1, quarn::platform::getPeerCredentials(tcp, &record, &length));
    EXPECT_EQ(ENOTCONN, errno);
    close(tcp);

    EXPECT_EQ(-1, quarn::platform::getPeerCredentials(tcp, &record, &length));
    EXPECT_EQ(EBADF, errno);
}

TEST(BsdPeerCredentials, PeerWithManyGroupsGivesTheFirstFifteenAfterTheEffectiveOne) {
    QUARN_SKIP_UNDER_EMULATION("setgroups and SO_PEERGROUPS");
    // More supplementary groups than the layer's stack buffer holds; only root may set them, so a
    // child process does it and checks its own pair. Its exit status is the check's result.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::vector<gid_t> groups;
        for (gid_t g = 70000; g < 70100; ++g) {
            groups.push_back(g);
        }
        if (setgroups(groups.size(), groups.data()) != 0) {
            _exit(errno == EPERM ? 77 : 1);
        }
        int pair[2];
        quarn::platform::PeerCredentialRecord record{};
        socklen_t length = sizeof(record);
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0 ||
            quarn::platform::getPeerCredentials(pair[0], &record, &length) != 0) {
            _exit(2);
        }
        if (record.cr_ngroups != quarn::platform::kPeerGroupsMax || record.cr_groups[0] != getegid()) {
            _exit(3);
        }
        for (int i = 1; i < quarn::platform::kPeerGroupsMax; ++i) {
            if (record.cr_groups[i] != static_cast<gid_t>(70000 + i - 1)) {
                _exit(4);
            }
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "setting supplementary groups needs root";
    }
    EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(BsdPeerCredentials, RecordTakesTheEffectiveGroupAndAtMostFifteenMore) {
    std::vector<gid_t> groups;
    for (gid_t g = 100; g < 120; ++g) {
        groups.push_back(g);
    }
    quarn::platform::PeerCredentialRecord record;
    std::memset(&record, 0xAB, sizeof(record));
    quarn::platform::fillPeerCredentials(1000, 50, 4321, groups.data(), groups.size(), &record);
    EXPECT_EQ(0u, record.cr_version);
    EXPECT_EQ(1000u, record.cr_uid);
    EXPECT_EQ(quarn::platform::kPeerGroupsMax, record.cr_ngroups);
    EXPECT_EQ(50u, record.cr_groups[0]);
    for (int i = 1; i < quarn::platform::kPeerGroupsMax; ++i) {
        EXPECT_EQ(static_cast<gid_t>(99 + i), record.cr_groups[i]);
    }
    EXPECT_EQ(4321, record.cr_pid);

    quarn::platform::fillPeerCredentials(1000, 50, 1, nullptr, 0, &record);
    EXPECT_EQ(1, record.cr_ngroups);
    EXPECT_EQ(0u, record.cr_groups[1]) << "entries past the count are zero";
}

}  // namespace
