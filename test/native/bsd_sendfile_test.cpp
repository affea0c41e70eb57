// The sendFile native's transfer loop against scripted calls of FreeBSD's sendfile shape.
#include "kqueue/bsdsocket_sendfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <tuple>
#include <vector>

namespace {

using quarn::bsdsocket::sendRegion;

struct Answer {
    int result;  // 0 or -1
    int error;
    off_t sent;
};

struct ScriptedSendfile {
    std::vector<Answer> answers;
    std::vector<std::tuple<off_t, size_t>> seen;  // (position, count) of each call

    int operator()(off_t position, size_t count, off_t *sent) {
        seen.emplace_back(position, count);
        const Answer answer = answers.at(seen.size() - 1);
        *sent = answer.sent;
        if (answer.result < 0) {
            errno = answer.error;
        }
        return answer.result;
    }
};

TEST(BsdSendRegion, InterruptedCallContinuesWhereItStoppedAndCountsEverything) {
    ScriptedSendfile send{{{-1, EINTR, 30}, {-1, EINTR, 0}, {0, 0, 20}}, {}};
    EXPECT_EQ(50, sendRegion(send, 120, 50));
    const std::vector<std::tuple<off_t, size_t>> expected = {{120, 50}, {150, 20}, {150, 20}};
    EXPECT_EQ(expected, send.seen);
}

TEST(BsdSendRegion, FailureAfterProgressReturnsTheProgress) {
    ScriptedSendfile send{{{-1, EAGAIN, 64}}, {}};
    EXPECT_EQ(64, sendRegion(send, 0, 100));
    EXPECT_EQ(1u, send.seen.size()) << "EAGAIN ends the transfer";
}

TEST(BsdSendRegion, FailureWithNothingSentIsTheNegatedErrno) {
    ScriptedSendfile send{{{-1, EAGAIN, 0}}, {}};
    EXPECT_EQ(-EAGAIN, sendRegion(send, 0, 100));
    ScriptedSendfile closed{{{-1, EBADF, 0}}, {}};
    EXPECT_EQ(-EBADF, sendRegion(closed, 0, 100));
}

TEST(BsdSendRegion, NothingSentWithoutFailureIsZero) {
    ScriptedSendfile send{{{0, 0, 0}}, {}};
    EXPECT_EQ(0, sendRegion(send, 2000, 100)) << "a region past the end of the file";
}

TEST(BsdSendRegion, InterruptionThatFinishedTheRegionMakesNoZeroCountCall) {
    // A zero count would send the whole rest of the file.
    ScriptedSendfile send{{{-1, EINTR, 100}}, {}};
    EXPECT_EQ(100, sendRegion(send, 0, 100));
    EXPECT_EQ(1u, send.seen.size());
}

}  // namespace
