// Descriptor passing over a real socket pair: sendFd, recvFd and the control-data walk.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "unix/socket/domain.h"
#include "emulation.h"

namespace {

using quarn::socket::Passed;
using quarn::socket::recvFd;
using quarn::socket::sendFd;
using quarn::socket::takePassedDescriptor;

int openDescriptorCount() {
    DIR *dir = opendir("/proc/self/fd");
    int count = 0;
    while (readdir(dir) != nullptr) {
        count++;
    }
    closedir(dir);
    return count;
}

class DomainFdTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair_));
        ASSERT_EQ(0, pipe(pipe_));
    }
    void TearDown() override {
        for (int fd : {pair_[0], pair_[1], pipe_[0], pipe_[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    // Sends one data byte with the given descriptors in one SCM_RIGHTS message (none: no control).
    void sendWith(const std::vector<int> &descriptors) {
        char byte = 'x';
        iovec data{&byte, 1};
        msghdr header{};
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(8 * sizeof(int))] = {};
        if (!descriptors.empty()) {
            header.msg_control = control;
            header.msg_controllen = CMSG_SPACE(descriptors.size() * sizeof(int));
            cmsghdr *rights = CMSG_FIRSTHDR(&header);
            rights->cmsg_len = CMSG_LEN(descriptors.size() * sizeof(int));
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            std::memcpy(CMSG_DATA(rights), descriptors.data(), descriptors.size() * sizeof(int));
        }
        ASSERT_EQ(1, sendmsg(pair_[0], &header, 0));
    }

    int pair_[2] = {-1, -1};
    int pipe_[2] = {-1, -1};
};

TEST_F(DomainFdTest, PassedDescriptorIsTheSameFileAndNonBlocking) {
    ASSERT_EQ(0, fcntl(pipe_[1], F_SETFL, O_APPEND));
    ASSERT_EQ(1, sendFd(nullptr, nullptr, pair_[0], pipe_[1]));
    const int received = recvFd(nullptr, nullptr, pair_[1]);
    ASSERT_GE(received, 0);
    struct stat mine, theirs;
    ASSERT_EQ(0, fstat(pipe_[1], &mine));
    ASSERT_EQ(0, fstat(received, &theirs));
    EXPECT_EQ(mine.st_ino, theirs.st_ino);
    const int flags = fcntl(received, F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
    // The status flags are the shared open file's: adding O_NONBLOCK must not drop O_APPEND.
    EXPECT_TRUE(flags & O_APPEND);
    EXPECT_FALSE(fcntl(received, F_GETFD) & FD_CLOEXEC);
    ASSERT_EQ(1, write(received, "z", 1));
    char byte = 0;
    ASSERT_EQ(1, read(pipe_[0], &byte, 1));
    EXPECT_EQ('z', byte);
    close(received);
}

TEST_F(DomainFdTest, NothingWaitingClosedPeerAndBadSocket) {
    EXPECT_EQ(-EAGAIN, recvFd(nullptr, nullptr, pair_[1]));
    close(pair_[0]);
    pair_[0] = -1;
    EXPECT_EQ(0, recvFd(nullptr, nullptr, pair_[1]));
    EXPECT_EQ(-EBADF, recvFd(nullptr, nullptr, -1));
    EXPECT_EQ(-EBADF, sendFd(nullptr, nullptr, -1, pipe_[0]));
}

TEST_F(DomainFdTest, MessageWithoutControlDataGivesTheFixedErrno) {
    sendWith({});
    const int result = recvFd(nullptr, nullptr, pair_[1]);
    EXPECT_EQ(-quarn::socket::kNoDescriptorInMessage, result);
    EXPECT_NE(-EAGAIN, result);
    EXPECT_LT(result, 0);
}

TEST_F(DomainFdTest, SkippedMessagesHaveTheirDescriptorsClosed) {
    QUARN_SKIP_UNDER_EMULATION("descriptor counts (it opens descriptors of its own)");
    const int before = openDescriptorCount();
    sendWith({pipe_[0], pipe_[1]});             // two descriptors: fits the buffer, not taken
    sendWith({pipe_[0], pipe_[1], pipe_[0]});   // three: the control part is cut (MSG_CTRUNC)
    sendWith({pipe_[1]});
    const int received = recvFd(nullptr, nullptr, pair_[1]);
    ASSERT_GE(received, 0);
    struct stat mine, theirs;
    ASSERT_EQ(0, fstat(pipe_[1], &mine));
    ASSERT_EQ(0, fstat(received, &theirs));
    EXPECT_EQ(mine.st_ino, theirs.st_ino);
    EXPECT_EQ(before + 1, openDescriptorCount());
    close(received);
    EXPECT_EQ(-EAGAIN, recvFd(nullptr, nullptr, pair_[1]));
}

TEST(DomainControlWalkTest, MalformedControlDataIsBounded) {
    alignas(cmsghdr) char control[64] = {};
    msghdr header{};
    header.msg_control = control;
    int descriptor = -1;
    // Too short for a header: no control data at all.
    header.msg_controllen = sizeof(cmsghdr) - 1;
    EXPECT_EQ(Passed::NoControl, takePassedDescriptor(header, &descriptor));
    header.msg_control = nullptr;
    header.msg_controllen = sizeof(control);
    EXPECT_EQ(Passed::NoControl, takePassedDescriptor(header, &descriptor));
    // A zero-length message would never advance the walk; it must end it instead.
    header.msg_control = control;
    EXPECT_EQ(Passed::Unusable, takePassedDescriptor(header, &descriptor));
    // A message claiming more than the returned control length is not read.
    cmsghdr *rights = CMSG_FIRSTHDR(&header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    header.msg_controllen = CMSG_LEN(sizeof(int)) - 1;
    EXPECT_EQ(Passed::Unusable, takePassedDescriptor(header, &descriptor));
    EXPECT_EQ(-1, descriptor);
}

TEST(DomainControlWalkTest, TruncatedSingleDescriptorIsClosedNotTaken) {
    const int spare = dup(STDERR_FILENO);
    ASSERT_GE(spare, 0);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    header.msg_flags = MSG_CTRUNC;
    cmsghdr *rights = CMSG_FIRSTHDR(&header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &spare, sizeof(int));
    int descriptor = -1;
    EXPECT_EQ(Passed::Unusable, takePassedDescriptor(header, &descriptor));
    EXPECT_EQ(-1, fcntl(spare, F_GETFD));
    EXPECT_EQ(EBADF, errno);
}

}  // namespace
