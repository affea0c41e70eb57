// A descriptor closed without the close hook and its number taken by a new file: the new file
// is a new file to every change, whichever filter the old one had registered. Found by the
// kqueue change-list fuzz target.
#include <fcntl.h>

#include "kqueue_test_support.h"

namespace {

using namespace kqtest;

TEST(KQueueReuse, OtherFilterOnAReusedNumberRegistersAtTheFirstAdd) {
    Fd kq = newKqueue();
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
    Fd reader(ends[0]);
    const int number = ends[1];
    ASSERT_EQ(apply(kq.get(), {change(number, EVFILT_WRITE, EV_ADD)}), 0);
    close(number);  // plain close(2): the layer does not hear of it

    Fd owner, peer;
    ASSERT_NO_FATAL_FAILURE(localPairOnNumber(number, owner, peer));
    ASSERT_EQ(write(peer.get(), "x", 1), 1);

    // The read filter was never registered on either file: the add creates it at once.
    ASSERT_EQ(apply(kq.get(), {change(number, EVFILT_READ, EV_ADD)}), 0);
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].filter, EVFILT_READ);
    EXPECT_EQ(events[0].data, 1);
    // The old file's write knote went with it.
    EXPECT_EQ(apply(kq.get(), {change(number, EVFILT_WRITE, EV_DELETE)}), -1);
    EXPECT_EQ(errno, ENOENT);
}

// A level read knote at the end of its stream keeps reporting, wait after wait; once its
// descriptor is closed behind the layer's back and the number reused, the next re-arm finds the
// old registration gone and the knote ends with it, as FreeBSD drops knotes at close.
TEST(KQueueReuse, LevelKnoteAtTheEndOfAStreamDoesNotOutliveItsFile) {
    Fd kq = newKqueue();
    Fd client, server;
    tcpPair(client, server);
    const int number = server.get();
    ASSERT_EQ(apply(kq.get(), {change(number, EVFILT_READ, EV_ADD)}), 0);
    ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);
    for (int round = 0; round < 2; round++) {
        auto events = wait(kq.get(), 4, 1000);
        ASSERT_EQ(events.size(), 1u) << "round " << round;
        EXPECT_EQ(events[0].flags & EV_EOF, EV_EOF);
    }
    close(server.release());  // plain close(2): the layer does not hear of it

    Fd owner, peer;
    ASSERT_NO_FATAL_FAILURE(localPairOnNumber(number, owner, peer));
    for (int round = 0; round < 3; round++) {
        EXPECT_TRUE(wait(kq.get(), 4, 0).empty()) << "round " << round;
    }
}

}  // namespace
