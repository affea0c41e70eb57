// The kqueue layer under threads: user events fired from other threads wake a waiter at once
// and are never lost while another thread changes registrations, and a signal delivered to a
// waiting thread ends the wait with EINTR after the changes were applied once.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "kqueue_test_support.h"

namespace {

using namespace kqtest;
using quarn::platform::kevent;

TEST(KQueueThreads, TriggerFromAnotherThreadWakesALongWaitAtOnce) {
    Fd kq = newKqueue();
    ASSERT_EQ(apply(kq.get(), {change(1, EVFILT_USER, EV_ADD | EV_CLEAR)}), 0);
    std::atomic<int64_t> wokeAfter{-1};
    std::atomic<bool> waiting{false};
    std::thread waiter([&] {
        waiting = true;
        auto start = std::chrono::steady_clock::now();
        auto events = wait(kq.get(), 4, 30000);
        wokeAfter = events.size() == 1 ? elapsedMs(start) : -2;
    });
    while (!waiting) {
        std::this_thread::yield();
    }
    usleep(20000);  // let the waiter block in epoll
    auto triggered = std::chrono::steady_clock::now();
    ASSERT_EQ(apply(kq.get(), {change(1, EVFILT_USER, 0, NOTE_TRIGGER)}), 0);
    waiter.join();
    EXPECT_GE(wokeAfter.load(), 0);
    // Well before the wait's 30 s: woken by the trigger, however long a loaded machine kept it.
    EXPECT_LT(elapsedMs(triggered), 10000);
}

TEST(KQueueThreads, TwoWaitersWithRoomForOneBothWakeForTwoEvents) {
    // One call makes two knotes ready: one waiter takes the first, the knote left queued wakes
    // the other, as FreeBSD wakes every waiter while knotes are queued.
    for (bool sockets : {false, true}) {
        Fd kq = newKqueue();
        Fd mine, peer;
        ASSERT_NO_FATAL_FAILURE(localStreamPair(mine, peer));
        ASSERT_EQ(write(peer.get(), "x", 1), 1);
        ASSERT_EQ(apply(kq.get(), {change(1, EVFILT_USER, EV_ADD | EV_CLEAR), change(2, EVFILT_USER, EV_ADD | EV_CLEAR),
                                   change(mine.get(), EVFILT_READ, EV_ADD | EV_CLEAR | EV_DISABLE),
                                   change(mine.get(), EVFILT_WRITE, EV_ADD | EV_CLEAR | EV_DISABLE)}),
                  0);
        std::atomic<int> waiting{0};
        std::atomic<int64_t> slowest{0};
        std::atomic<int> got{0};
        auto waiter = [&] {
            waiting++;
            const auto start = std::chrono::steady_clock::now();
            got += static_cast<int>(wait(kq.get(), 1, 2000).size());
            const int64_t took = elapsedMs(start);
            for (int64_t seen = slowest.load(); took > seen && !slowest.compare_exchange_weak(seen, took);) {
            }
        };
        std::thread one(waiter), two(waiter);
        while (waiting < 2) {
            std::this_thread::yield();
        }
        usleep(20000);  // both blocked in epoll
        const auto triggered = std::chrono::steady_clock::now();
        if (sockets) {
            ASSERT_EQ(apply(kq.get(), {change(mine.get(), EVFILT_READ, EV_ENABLE), change(mine.get(), EVFILT_WRITE, EV_ENABLE)}),
                      0);
        } else {
            ASSERT_EQ(apply(kq.get(), {change(1, EVFILT_USER, 0, NOTE_TRIGGER), change(2, EVFILT_USER, 0, NOTE_TRIGGER)}), 0);
        }
        one.join();
        two.join();
        EXPECT_EQ(got.load(), 2) << (sockets ? "socket knotes" : "user events");
        EXPECT_LT(elapsedMs(triggered), 1000) << "a waiter slept beside a ready knote (" << slowest.load() << " ms)";
    }
}

// One waiter, four threads firing their own user events and waiting for each to be seen, and
// one thread adding and deleting knotes all along: every trigger must produce a wakeup.
TEST(KQueueThreads, NoWakeupIsLostUnderConcurrentTriggersAndRegistrations) {
    constexpr int kTriggerThreads = 4;
    constexpr int kIterations = 100000;
    constexpr uint64_t kStop = 1000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);

    Fd kq = newKqueue();
    for (int i = 0; i < kTriggerThreads; i++) {
        ASSERT_EQ(apply(kq.get(), {change(i, EVFILT_USER, EV_ADD | EV_CLEAR)}), 0);
    }
    ASSERT_EQ(apply(kq.get(), {change(kStop, EVFILT_USER, EV_ADD | EV_CLEAR)}), 0);
    std::atomic<int> sent[kTriggerThreads] = {};
    std::atomic<int> seen[kTriggerThreads] = {};
    std::atomic<int> completed{0};
    std::atomic<bool> lost{false};
    std::atomic<bool> stop{false};

    std::thread waiter([&] {
        struct kevent events[8];
        for (;;) {
            struct timespec second = millis(1000);
            int n = kevent(kq.get(), nullptr, 0, events, 8, &second);
            if (n < 0) {
                ADD_FAILURE() << "kevent failed with errno " << errno;
                return;
            }
            for (int i = 0; i < n; i++) {
                if (events[i].filter != EVFILT_USER) {
                    continue;
                }
                if (events[i].ident == kStop) {
                    return;
                }
                if (events[i].ident >= kTriggerThreads) {
                    continue;  // the churning thread's own events
                }
                // Every event seen after sent[k] = n was raised by that trigger, since the
                // thread fires again only after the previous one was seen.
                seen[events[i].ident] = sent[events[i].ident].load();
            }
        }
    });

    std::thread churn([&] {
        Fd readEnd, writeEnd;
        makePipe(readEnd, writeEnd);
        write(writeEnd.get(), "x", 1);
        for (int i = 0; i < kIterations && !stop; i++) {
            // Level read knotes on a pipe holding a byte: re-checked by every wait meanwhile.
            apply(kq.get(),
                  {change(readEnd.get(), i % 2 ? EVFILT_WRITE : EVFILT_READ, i % 4 ? EV_ADD | EV_CLEAR : EV_ADD),
                   change(5000 + i % 7, EVFILT_USER, EV_ADD | EV_CLEAR, NOTE_TRIGGER)});
            apply(kq.get(), {change(readEnd.get(), i % 2 ? EVFILT_WRITE : EVFILT_READ, EV_DELETE),
                             change(5000 + i % 7, EVFILT_USER, EV_DELETE)});
        }
    });

    std::vector<std::thread> triggers;
    for (int t = 0; t < kTriggerThreads; t++) {
        triggers.emplace_back([&, t] {
            for (int k = 1; k <= kIterations / kTriggerThreads && !stop; k++) {
                sent[t] = k;
                apply(kq.get(), {change(t, EVFILT_USER, 0, NOTE_TRIGGER)});
                const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (seen[t].load() < k) {
                    if (std::chrono::steady_clock::now() > limit) {
                        lost = true;
                        stop = true;
                        return;
                    }
                    std::this_thread::yield();
                }
                completed++;
                if (std::chrono::steady_clock::now() > deadline) {
                    stop = true;  // a slow (sanitized, shared) machine: stop with what was done
                }
            }
        });
    }
    for (auto &thread : triggers) {
        thread.join();
    }
    stop = true;
    churn.join();
    apply(kq.get(), {change(kStop, EVFILT_USER, 0, NOTE_TRIGGER)});
    waiter.join();
    EXPECT_FALSE(lost.load()) << "a trigger was not followed by a wakeup within 10 s";
    if (completed.load() < kIterations) {
        std::printf("stopped at the time bound after %d of %d iterations\n", completed.load(), kIterations);
    }
    EXPECT_GT(completed.load(), 1000);
}

// Descriptors closed through the hook, kqueues created and closed, and a waiter, all at once:
// the table of kqueues and the hook's walk over it must hold up under ThreadSanitizer.
TEST(KQueueThreads, CloseHookAndNewKqueuesRaceAWaiter) {
    constexpr int kRounds = 2000;
    constexpr int kMinimum = 200;  // rounds of each side that overlap, however the threads were scheduled
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    Fd kq = newKqueue();
    std::atomic<bool> stop{false};
    std::atomic<int> waits{0}, made{0};
    std::thread waiter([&] {
        while (!stop) {
            wait(kq.get(), 16, 5);
            waits++;
        }
    });
    std::thread kqueues([&] {
        for (int i = 0; i < kRounds && !stop; i++) {
            Fd other = newKqueue();
            apply(other.get(), {change(1, EVFILT_USER, EV_ADD, NOTE_TRIGGER)});
            made++;
        }
    });
    const auto tooFew = [&] { return waits < kMinimum || made < kMinimum; };
    for (int i = 0; i < kRounds || (tooFew() && std::chrono::steady_clock::now() < deadline); i++) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
        Fd one(pair[0]), two(pair[1]);
        ASSERT_EQ(apply(kq.get(), {change(one.get(), EVFILT_READ, i % 2 ? EV_ADD : EV_ADD | EV_CLEAR),
                                   change(one.get(), EVFILT_WRITE, EV_ADD | EV_CLEAR)}),
                  0);
        ASSERT_EQ(write(two.get(), "x", 1), 1);
    }
    const int overlapping[] = {waits.load(), made.load()};
    stop = true;
    kqueues.join();
    waiter.join();
    EXPECT_GE(overlapping[0], kMinimum) << "waits while descriptors closed";
    EXPECT_GE(overlapping[1], kMinimum) << "kqueues made while descriptors closed";
}

TEST(KQueueThreads, KqueueClosedDuringAWaitEndsItWithEbadfAndLeaksNothing) {
    int kq = quarn::platform::kqueue();
    ASSERT_GE(kq, 0);
    const int descriptors = [] {
        int count = 0;
        for (int fd = 0; fd < 1024; fd++) {
            count += fcntl(fd, F_GETFD) >= 0;
        }
        return count;
    }();
    std::atomic<int> result{0};
    std::atomic<int> error{0};
    std::thread waiter([&] {
        struct kevent event;
        struct timespec timeout = millis(300);
        result = kevent(kq, nullptr, 0, &event, 1, &timeout);
        error = errno;
    });
    usleep(50000);
    descriptorClosing(kq);  // as the close native does
    close(kq);
    waiter.join();
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(error.load(), EBADF);
    int after = 0;
    for (int fd = 0; fd < 1024; fd++) {
        after += fcntl(fd, F_GETFD) >= 0;
    }
    // The kqueue and its private eventfd are both gone.
    EXPECT_EQ(after, descriptors - 2);
}

std::atomic<int> signalsCaught{0};

void onSignal(int) { signalsCaught++; }

// Installs a handler without SA_RESTART for the life of a test, as the JVM's own handlers are.
class KQueueSignals : public ::testing::Test {
  protected:
    void SetUp() override {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ASSERT_EQ(sigaction(SIGUSR1, &action, &previous_), 0);
    }
    void TearDown() override { sigaction(SIGUSR1, &previous_, nullptr); }

    // Runs body on a thread, signals it once after delay, and returns the body's result.
    template <typename Body>
    static void interrupt(Body body, int delayMs) {
        std::atomic<bool> started{false};
        std::atomic<bool> done{false};
        std::thread waiter([&] {
            started = true;
            body();
            done = true;
        });
        while (!started) {
            std::this_thread::yield();
        }
        usleep(delayMs * 1000);
        pthread_kill(waiter.native_handle(), SIGUSR1);
        waiter.join();
    }

    struct sigaction previous_ {};
};

TEST_F(KQueueSignals, WaitEndsWithEintrAfterApplyingTheChangesOnce) {
    Fd kq = newKqueue();
    Fd readEnd, writeEnd;
    makePipe(readEnd, writeEnd);
    ASSERT_EQ(apply(kq.get(), {change(7, EVFILT_USER, EV_ADD | EV_CLEAR)}), 0);
    int result = 0;
    int error = 0;
    int64_t waited = 0;
    const int before = signalsCaught.load();
    interrupt(
        [&] {
            // A filter-flags OR is not idempotent in its record: applying it once leaves 0x1 set
            // and the new knote exists; the wait itself must not be retried inside.
            struct kevent changes[2] = {change(readEnd.get(), EVFILT_READ, EV_ADD | EV_CLEAR),
                                        change(7, EVFILT_USER, 0, NOTE_FFOR | 0x1)};
            struct kevent events[4];
            struct timespec timeout = millis(30000);
            auto start = std::chrono::steady_clock::now();
            result = kevent(kq.get(), changes, 2, events, 4, &timeout);
            error = errno;
            waited = elapsedMs(start);
        },
        50);
    EXPECT_EQ(signalsCaught.load(), before + 1);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EINTR);
    EXPECT_LT(waited, 10000);  // ended by the signal, not by the 30 s
    // The registration took effect: data on the pipe is reported.
    ASSERT_EQ(write(writeEnd.get(), "x", 1), 1);
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].ident, static_cast<uint64_t>(readEnd.get()));
    ASSERT_EQ(apply(kq.get(), {change(7, EVFILT_USER, 0, NOTE_TRIGGER)}), 0);
    events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].fflags, 0x1u);
}

// What the wait native does with EINTR: the changes go once, the retry passes none and waits
// only for the time left.
TEST_F(KQueueSignals, RetryWithoutChangesWaitsOnlyTheTimeLeft) {
    Fd kq = newKqueue();
    int calls = 0;
    int result = 0;
    int64_t waited = 0;
    interrupt(
        [&] {
            struct kevent add = change(3, EVFILT_USER, EV_ADD | EV_CLEAR);
            const struct kevent *changes = &add;
            int count = 1;
            struct kevent events[1];
            auto start = std::chrono::steady_clock::now();
            const auto end = start + std::chrono::milliseconds(1000);
            for (;;) {
                auto left =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(end - std::chrono::steady_clock::now());
                if (left.count() <= 0) {
                    result = 0;
                    break;
                }
                struct timespec timeout {
                    left.count() / 1000000000, left.count() % 1000000000
                };
                calls++;
                result = kevent(kq.get(), changes, count, events, 1, &timeout);
                if (result >= 0 || errno != EINTR) {
                    break;
                }
                count = 0;
            }
            waited = elapsedMs(start);
        },
        600);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(calls, 2);
    EXPECT_GE(waited, 995);
    // A retry that waited its whole second again would end after 1.6 s.
    EXPECT_LT(waited, 1500);
    // The add was applied exactly once: one delete succeeds, the next finds nothing.
    EXPECT_EQ(apply(kq.get(), {change(3, EVFILT_USER, EV_DELETE)}), 0);
    EXPECT_EQ(apply(kq.get(), {change(3, EVFILT_USER, EV_DELETE)}), -1);
}

}  // namespace
