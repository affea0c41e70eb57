// A wake-up racing the close of its kqueue: the arm that a trigger owes its waiter happens after
// the kqueue's mutex is released, and must never reach a file that took the numbers over.
#if defined(__linux__)

#include <atomic>
#include <thread>

#include "kqueue_test_support.h"
#include "kqueue_wrap.h"
#include "platform/linux/kqueue_state.h"

#if defined(__SANITIZE_THREAD__)
#define UNDER_THREAD_SANITIZER
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_THREAD_SANITIZER
#endif
#endif

namespace {

using namespace kqtest;
using quarn::platform::kevent;

// The close lands exactly between the trigger's unlock and its arm; the numbers of the kqueue
// and of its eventfd go, if they are free, to a new kqueue and to a socket registered in it.
TEST(KQueueRace, WakeArmAfterACloseNeverRewritesTheRegistrationOfANewSocket) {
    Fd kq = newKqueue();
    const int kqNumber = kq.get();
    ASSERT_EQ(apply(kqNumber, {change(1, EVFILT_USER, EV_ADD | EV_CLEAR)}), 0);
    const int wakeNumber = quarn::platform::kq::findState(kqNumber)->wakeFd;
    Fd newKq, owner, peer;
    bool numbersReused = false;
    kqwrap::beforeNextWakeArm([&] {
        kq.reset();  // the close native on another thread: the hook, then close(2)
        // The eventfd's number, if free, is held for the socket while the new kqueue is made.
        const bool wakeNumberFree = fcntl(wakeNumber, F_GETFD) < 0;
        if (wakeNumberFree) {
            const int holder = open("/dev/null", O_RDONLY | O_CLOEXEC);
            dup3(holder, wakeNumber, O_CLOEXEC);
            close(holder);
        }
        newKq = newKqueue();
        if (wakeNumberFree) {
            localPairOnNumber(wakeNumber, owner, peer);  // takes the held number over
        } else {
            localStreamPair(owner, peer);
        }
        numbersReused = newKq.get() == kqNumber && owner.get() == wakeNumber;
        apply(newKq.get(), {change(owner.get(), EVFILT_READ, EV_ADD | EV_CLEAR)});
    });
    struct kevent trigger = change(1, EVFILT_USER, 0, NOTE_TRIGGER);
    kevent(kqNumber, &trigger, 1, nullptr, 0, nullptr);  // 0, or EBADF: the kqueue closed meanwhile
    ASSERT_GE(owner.get(), 0);
    ASSERT_EQ(write(peer.get(), "x", 1), 1);
    EXPECT_NE(find(wait(newKq.get(), 4, 1000), owner.get(), EVFILT_READ), nullptr)
        << (numbersReused ? "the socket took the eventfd's number" : "numbers not reused");
}

// Kqueues closed and created again and again while other threads trigger whatever kqueue is
// newest and sockets come and go in them: every registered socket reports its byte.
TEST(KQueueRace, SocketsInKqueuesThatComeAndGoUnderTriggersAlwaysReport) {
#if defined(UNDER_THREAD_SANITIZER)
    GTEST_SKIP() << "ThreadSanitizer reports the close of a descriptor that another thread uses, which this test does "
                    "on purpose";
#endif
    constexpr int kRounds = 3000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::atomic<int> newest{-1};
    std::atomic<bool> stop{false};
    std::thread triggers[2];
    for (auto &thread : triggers) {
        thread = std::thread([&] {
            struct kevent trigger = change(1, EVFILT_USER, 0, NOTE_TRIGGER);
            for (int i = 0; i < 10000000 && !stop; i++) {
                kevent(newest.load(), &trigger, 1, nullptr, 0, nullptr);
            }
        });
    }
    int silent = 0;
    int round = 0;
    for (; round < kRounds && std::chrono::steady_clock::now() < deadline; round++) {
        Fd kq = newKqueue();
        ASSERT_EQ(apply(kq.get(), {change(1, EVFILT_USER, EV_ADD | EV_CLEAR)}), 0);
        newest = kq.get();
        Fd owner, peer;
        ASSERT_NO_FATAL_FAILURE(localStreamPair(owner, peer));
        ASSERT_EQ(apply(kq.get(), {change(owner.get(), EVFILT_READ, EV_ADD | EV_CLEAR)}), 0);
        ASSERT_EQ(write(peer.get(), "x", 1), 1);
        bool seen = false;
        for (int call = 0; call < 20 && !seen; call++) {
            seen = find(wait(kq.get(), 8, 50), owner.get(), EVFILT_READ) != nullptr;
        }
        silent += seen ? 0 : 1;
        // Close in either order, so that numbers move between kqueues, eventfds and sockets.
        if (round % 2 == 0) {
            kq.reset();
        }
    }
    stop = true;
    for (auto &thread : triggers) {
        thread.join();
    }
    EXPECT_EQ(silent, 0) << "of " << round << " rounds";
}

}  // namespace

#endif
