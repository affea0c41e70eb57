// The kqueue layer when one of its own calls fails: the fault sweep (scripts/faults.sh) found a
// triggered user event, and a level knote due for re-arming, lost for good after one failed
// EPOLL_CTL_MOD, and a listener whose SO_ACCEPTCONN probe failed registered as a stream socket
// that never reported its connections. This file replaces epoll_ctl and getsockopt for the
// whole test binary with pass-throughs that can fail the next such call; sanitizer runtimes
// bring their own, so the tests skip there.
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "kqueue_test_support.h"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define QUARN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define QUARN_SANITIZED 1
#endif
#endif

namespace {

std::atomic<int> gFailNextMod{0};
std::atomic<int> gFailNextAcceptConn{0};

}  // namespace

#ifndef QUARN_SANITIZED
extern "C" int epoll_ctl(int epfd, int op, int fd, struct epoll_event *event) {
    if (op == EPOLL_CTL_MOD && gFailNextMod.exchange(0) != 0) {
        errno = ENOMEM;
        return -1;
    }
    return static_cast<int>(syscall(SYS_epoll_ctl, epfd, op, fd, event));
}

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
    void SetUp() override {
#ifdef QUARN_SANITIZED
        GTEST_SKIP() << "the sanitizer runtime defines epoll_ctl itself";
#endif
    }
    void TearDown() override {
        gFailNextMod = 0;
        gFailNextAcceptConn = 0;
    }
};

TEST_F(KQueueFailedCallTest, ListenerWhoseProbeFailsIsRefusedThenRegistersAgain) {
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
    auto events = wait(kq.get(), 4, 1000);
    const struct kevent *event = find(events, ident, EVFILT_READ);
    // Not its data: the pending count comes from TCP_INFO, which qemu-user does not translate.
    EXPECT_NE(event, nullptr) << "the listener does not report its connection";
}

TEST_F(KQueueFailedCallTest, TriggerWhoseWakeUpFailsDoesNotSilenceLaterTriggers) {
    Fd kq = newKqueue();
    ASSERT_EQ(apply(kq.get(), {change(5, EVFILT_USER, EV_ADD | EV_CLEAR)}), 0);
    gFailNextMod = 1;
    errno = 0;
    EXPECT_EQ(apply(kq.get(), {change(5, EVFILT_USER, 0, NOTE_TRIGGER)}), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(gFailNextMod.load(), 0) << "the trigger did not modify the wake-up registration";

    // The failed trigger is still a trigger, and the next one wakes a waiter as ever.
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].filter, EVFILT_USER);
    ASSERT_EQ(apply(kq.get(), {change(5, EVFILT_USER, 0, NOTE_TRIGGER)}), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(kq.get(), 4, 2000).size(), 1u);
    EXPECT_LT(elapsedMs(start), 1000);
}

TEST_F(KQueueFailedCallTest, LevelKnoteWhoseReArmFailsIsReportedLater) {
    // A level read knote beside an EV_CLEAR write knote: the registration is edge-triggered, so
    // the level knote is re-armed by an EPOLL_CTL_MOD on the call after its delivery.
    Fd kq = newKqueue();
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    Fd watched(pair[0]), peer(pair[1]);
    const auto ident = static_cast<uint64_t>(watched.get());
    ASSERT_EQ(apply(kq.get(), {change(ident, EVFILT_READ, EV_ADD), change(ident, EVFILT_WRITE, EV_ADD | EV_CLEAR)}),
              0);
    ASSERT_EQ(write(peer.get(), "x", 1), 1);
    ASSERT_NE(find(wait(kq.get(), 4, 1000), ident, EVFILT_READ), nullptr);

    gFailNextMod = 1;
    wait(kq.get(), 4, 0);
    EXPECT_EQ(gFailNextMod.load(), 0) << "the wait did not re-arm the level knote";

    auto events = wait(kq.get(), 4, 200);
    ASSERT_NE(find(events, ident, EVFILT_READ), nullptr) << "a readable socket with a level knote is never reported again";
}

}  // namespace
