#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "platform/pipe.h"

namespace {

using quarn::platform::openNonBlockingPipe;
using quarn::platform::openNonBlockingPipeWith;
using quarn::platform::openPipeWithFcntl;

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// Both ends non-blocking: an empty pipe's read and a full pipe's write give EAGAIN at once.
void expectNonBlockingPair(const int pair[2]) {
    EXPECT_NE(fcntl(pair[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(pair[1], F_GETFL) & O_NONBLOCK, 0);
    char byte = 0;
    EXPECT_EQ(read(pair[0], &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    char chunk[4096];
    std::memset(chunk, 'q', sizeof(chunk));
    int error = 0;
    // A pipe holds at most a few megabytes even when enlarged; 4096 chunks are far more.
    for (int i = 0; i < 4096 && error == 0; ++i) {
        if (write(pair[1], chunk, sizeof(chunk)) < 0) {
            error = errno;
        }
    }
    EXPECT_EQ(error, EAGAIN);
    // The data written before the pipe filled is all there to read.
    EXPECT_EQ(read(pair[0], chunk, sizeof(chunk)), static_cast<ssize_t>(sizeof(chunk)));
}

void closePair(const int pair[2]) {
    close(pair[0]);
    close(pair[1]);
}

TEST(Pipe, WithPipe2BothEndsAreNonBlocking) {
    int pair[2];
    ASSERT_EQ(openNonBlockingPipe(pair), 0);
    expectNonBlockingPair(pair);
    closePair(pair);
}

TEST(Pipe, FallbackWithoutPipe2MakesBothEndsNonBlocking) {
    int pair[2];
    ASSERT_EQ(openNonBlockingPipeWith(pair, nullptr), 0);
    expectNonBlockingPair(pair);
    closePair(pair);
}

int gSeen[2];
int gCalls = 0;
int gFailOnCall = 0;

int failingSetNonBlocking(int fd) {
    gSeen[gCalls] = fd;
    if (++gCalls == gFailOnCall) {
        errno = EMFILE;
        return -1;
    }
    return quarn::platform::setNonBlocking(fd);
}

TEST(Pipe, FallbackClosesBothEndsWhenTheWriteEndFails) {
    gCalls = 0;
    gFailOnCall = 2;
    int pair[2] = {-1, -1};
    EXPECT_EQ(openPipeWithFcntl(pair, &failingSetNonBlocking), -EMFILE);
    ASSERT_EQ(gCalls, 2);
    EXPECT_FALSE(isOpen(gSeen[0]));
    EXPECT_FALSE(isOpen(gSeen[1]));
    EXPECT_EQ(pair[0], -1) << "a failed call hands out no descriptor";
}

TEST(Pipe, FallbackClosesBothEndsWhenTheReadEndFails) {
    gCalls = 0;
    gFailOnCall = 1;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);  // the numbers the next pipe will get once these are closed
    closePair(ends);
    int pair[2];
    EXPECT_EQ(openPipeWithFcntl(pair, &failingSetNonBlocking), -EMFILE);
    EXPECT_EQ(gCalls, 1);
    EXPECT_FALSE(isOpen(ends[0]));
    EXPECT_FALSE(isOpen(ends[1]));
}

int failingPipe2(int *, int) {
    errno = ENFILE;
    return -1;
}

TEST(Pipe, Pipe2FailureIsTheNegatedErrno) {
    int pair[2];
    EXPECT_EQ(openNonBlockingPipeWith(pair, &failingPipe2), -ENFILE);
}

}  // namespace
