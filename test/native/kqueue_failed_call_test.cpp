// The kqueue layer when one of its own calls fails: the fault sweep (scripts/faults.sh) found a
// triggered user event lost for good after one failed EPOLL_CTL_MOD, a queued knote lost when the
// poll that re-checks it failed, and a listener whose SO_ACCEPTCONN probe failed registered as a stream socket
// that never reported its connections. The modification and the probe fail through the seams of
// kqueue_wrap.h; getsockopt is replaced here, for the whole test binary, by a pass-through that
// can fail the next SO_ACCEPTCONN probe (a sanitizer runtime brings its own getsockopt, so that
// test skips there).
#if defined(__linux__)

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "kqueue_test_support.h"
#include "kqueue_wrap.h"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define QUARN_OWN_GETSOCKOPT 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define QUARN_OWN_GETSOCKOPT 0
#endif
#endif
#ifndef QUARN_OWN_GETSOCKOPT
#define QUARN_OWN_GETSOCKOPT 1
#endif

namespace {

std::atomic<int> gFailNextAcceptConn{0};

}  // namespace

#if QUARN_OWN_GETSOCKOPT
extern "C" int getsockopt(int fd, int level, int name, void *value, socklen_t *length) {
    if (level == SOL_SOCKET && name == SO_ACCEPTCONN && gFailNextAcceptConn.exchange(0) != 0) {
        errno = ENOMEM;
        return -1;
    }
    return static_cast<int>(syscall(SYS_getsockopt, fd, level, name, value, length));
}
#endif

namespace {

using namespace kqtest;

class KQueueFailedCallTest : public ::testing::Test {
  protected:
    void TearDown() override {
        kqwrap::failNextMod(0);
        kqwrap::failNextAdd(0);
        kqwrap::failNextPoll(0);
        gFailNextAcceptConn = 0;
    }
};

TEST_F(KQueueFailedCallTest, ListenerWhoseProbeFailsIsRefusedThenRegistersAgain) {
    if (!QUARN_OWN_GETSOCKOPT) {
        GTEST_SKIP() << "the sanitizer runtime defines getsockopt itself";
    }
    Fd kq = newKqueue();
    uint16_t port = 0;
    Fd listener = tcpListener(&port);
    const auto ident = static_cast<uint64_t>(listener.get());
    gFailNextAcceptConn = 1;
    errno = 0;
    EXPECT_EQ(apply(kq.get(), {change(ident, EVFILT_READ, EV_ADD | EV_CLEAR)}), -1);
    EXPECT_EQ(errno, ENOMEM);

    ASSERT_EQ(apply(kq.get(), {change(ident, EVFILT_READ, EV_ADD | EV_CLEAR)}), 0);
    Fd client = tcpSocket();
    sockaddr_in address = loopback(port);
    connect(client.get(), reinterpret_cast<sockaddr *>(&address), sizeof address);
    // Not its data: the pending count comes from TCP_INFO, which qemu-user does not translate.
    EXPECT_NE(find(wait(kq.get(), 4, 1000), ident, EVFILT_READ), nullptr)
        << "the listener does not report its connection";
}

TEST_F(KQueueFailedCallTest, KqueueWhoseWakeUpCannotBeRegisteredLeavesNoDescriptorOpen) {
    // Found by the fault sweep: the eventfd stayed open, kept for the kqueue number.
    const int before = openDescriptorCount();
    kqwrap::failNextAdd(ENOSPC);
    errno = 0;
    EXPECT_EQ(quarn::platform::kqueue(), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(kqwrap::failNextAdd(0)) << "kqueue() did not register its wake-up";
    EXPECT_EQ(openDescriptorCount(), before);

    // The number's state is whole again for the next kqueue.
    Fd kq = newKqueue();
    ASSERT_EQ(apply(kq.get(), {change(5, EVFILT_USER, EV_ADD | EV_CLEAR, NOTE_TRIGGER)}), 0);
    EXPECT_EQ(wait(kq.get(), 4, 1000).size(), 1u);
}

TEST_F(KQueueFailedCallTest, TriggerWhoseWakeUpFailsDoesNotSilenceLaterTriggers) {
    Fd kq = newKqueue();
    ASSERT_EQ(apply(kq.get(), {change(5, EVFILT_USER, EV_ADD | EV_CLEAR)}), 0);
    kqwrap::failNextMod(ENOMEM);
    errno = 0;
    EXPECT_EQ(apply(kq.get(), {change(5, EVFILT_USER, 0, NOTE_TRIGGER)}), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_TRUE(kqwrap::failNextMod(0)) << "the trigger did not modify the wake-up registration";

    // The failed trigger is still a trigger, and the next one wakes a waiter as ever.
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].filter, EVFILT_USER);
    ASSERT_EQ(apply(kq.get(), {change(5, EVFILT_USER, 0, NOTE_TRIGGER)}), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(kq.get(), 4, 20000).size(), 1u);
    EXPECT_LT(elapsedMs(start), 10000);  // at once, not at the 20 s timeout
}

TEST_F(KQueueFailedCallTest, QueuedKnoteWhoseReCheckFailsIsReportedLater) {
    // A level write knote goes back to the queue after its event; the next call re-checks it with
    // a poll of the descriptor. A failing probe leaves it queued, not lost.
    Fd kq = newKqueue();
    Fd watched, peer;
    ASSERT_NO_FATAL_FAILURE(localStreamPair(watched, peer));
    const auto ident = static_cast<uint64_t>(watched.get());
    ASSERT_EQ(apply(kq.get(), {change(ident, EVFILT_WRITE, EV_ADD)}), 0);
    ASSERT_NE(find(wait(kq.get(), 4, 1000), ident, EVFILT_WRITE), nullptr);

    kqwrap::failNextPoll(ENOMEM);
    EXPECT_TRUE(wait(kq.get(), 4, 0).empty());
    EXPECT_TRUE(kqwrap::failNextPoll(0)) << "the wait did not re-check the queued knote";
    ASSERT_NE(find(wait(kq.get(), 4, 200), ident, EVFILT_WRITE), nullptr) << "a writable socket's level knote was lost";
}

}  // namespace

#endif
