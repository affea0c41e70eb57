// FreeBSD's rules for change lists: error records, receipts, a full event list, and the
// invalid changes and timeouts that must fail the way kevent(2) documents.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <thread>

#include "kqueue_test_support.h"

namespace {

using namespace kqtest;
using quarn::platform::kevent;

TEST(KQueueChangeErrors, ErrorRecordReturnsAtOnceAndLaterChangesStillApply) {
    Fd kq = newKqueue();
    Fd readEnd, writeEnd;
    makePipe(readEnd, writeEnd);
    int marker = 0;
    struct kevent changes[3] = {change(11, EVFILT_USER, EV_ADD | EV_CLEAR),
                                change(readEnd.get(), EVFILT_READ, EV_DELETE, 0, &marker),
                                change(12, EVFILT_USER, EV_ADD | EV_CLEAR)};
    struct kevent events[3]{};
    // A wait of 20 s: ending well before it tells "at once" from "at the timeout" even when a
    // loaded machine holds the thread back for seconds.
    struct timespec twenty = millis(20000);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(kevent(kq.get(), changes, 3, events, 3, &twenty), 1);
    EXPECT_LT(elapsedMs(start), 10000);
    EXPECT_EQ(events[0].ident, static_cast<uint64_t>(readEnd.get()));
    EXPECT_EQ(events[0].filter, EVFILT_READ);
    EXPECT_EQ(events[0].flags, EV_ERROR);
    EXPECT_EQ(events[0].data, ENOENT);
    EXPECT_EQ(events[0].udata, &marker);
    // Both additions took effect.
    EXPECT_EQ(apply(kq.get(), {change(11, EVFILT_USER, EV_DELETE), change(12, EVFILT_USER, EV_DELETE)}), 0);
}

TEST(KQueueChangeErrors, NoRoomForTheRecordFailsAndStopsApplying) {
    Fd kq = newKqueue();
    Fd readEnd, writeEnd;
    makePipe(readEnd, writeEnd);
    struct kevent changes[3] = {change(11, EVFILT_USER, EV_ADD), change(readEnd.get(), EVFILT_READ, EV_DELETE),
                                change(12, EVFILT_USER, EV_ADD)};
    EXPECT_EQ(kevent(kq.get(), changes, 3, nullptr, 0, nullptr), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(apply(kq.get(), {change(11, EVFILT_USER, EV_DELETE)}), 0);
    EXPECT_EQ(apply(kq.get(), {change(12, EVFILT_USER, EV_DELETE)}), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(KQueueChangeErrors, ReceiptsAnswerEveryChangeWithoutWaiting) {
    Fd kq = newKqueue();
    // The change list doubles as the event list, as receipt users often do.
    struct kevent list[2] = {change(1, EVFILT_USER, EV_ADD | EV_RECEIPT, NOTE_TRIGGER),
                             change(2, EVFILT_USER, EV_ENABLE | EV_RECEIPT)};
    struct timespec twenty = millis(20000);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(kevent(kq.get(), list, 2, list, 2, &twenty), 2);
    EXPECT_LT(elapsedMs(start), 10000);
    EXPECT_EQ(list[0].ident, 1u);
    EXPECT_EQ(list[0].flags, EV_ERROR);
    EXPECT_EQ(list[0].data, 0);
    EXPECT_EQ(list[1].ident, 2u);
    EXPECT_EQ(list[1].flags, EV_ERROR);
    EXPECT_EQ(list[1].data, ENOENT);
    // The triggered event itself is still there for the next wait.
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].ident, 1u);
}

TEST(KQueueChangeErrors, ReceiptMeetingAFullListReturnsZero) {
    Fd kq = newKqueue();
    struct kevent changes[2] = {change(1, EVFILT_USER, EV_ADD | EV_RECEIPT), change(2, EVFILT_USER, EV_ADD | EV_RECEIPT)};
    struct kevent record {};
    // FreeBSD's kqueue_kevent returns 0 when a receipt finds no room, whatever it wrote before.
    EXPECT_EQ(kevent(kq.get(), changes, 2, &record, 1, nullptr), 0);
    EXPECT_EQ(record.ident, 1u);
    EXPECT_EQ(apply(kq.get(), {change(2, EVFILT_USER, EV_DELETE)}), 0) << "the change with the receipt was applied";
}

TEST(KQueueChangeErrors, PipeWriteKnoteWithoutReaderIsEpipe) {
    Fd kq = newKqueue();
    Fd readEnd, writeEnd;
    makePipe(readEnd, writeEnd);
    readEnd.reset();
    errno = 0;
    EXPECT_EQ(apply(kq.get(), {change(writeEnd.get(), EVFILT_WRITE, EV_ADD)}), -1);
    EXPECT_EQ(errno, EPIPE);
    struct kevent add = change(writeEnd.get(), EVFILT_WRITE, EV_ADD), record {};
    ASSERT_EQ(kevent(kq.get(), &add, 1, &record, 1, nullptr), 1);
    EXPECT_EQ(record.flags, EV_ERROR);
    EXPECT_EQ(record.data, EPIPE);
}

TEST(KQueueChangeErrors, InvalidChangesGiveFreeBsdErrors) {
    Fd kq = newKqueue();
    Fd readEnd, writeEnd;
    makePipe(readEnd, writeEnd);
    const int closed = dup(readEnd.get());
    ASSERT_GE(closed, 0);
    close(closed);
    const uint64_t aboveInt = (uint64_t{1} << 32) | static_cast<uint32_t>(readEnd.get());
    struct {
        struct kevent change;
        int error;
    } cases[] = {
        {change(readEnd.get(), EVFILT_READ, EV_ADD | EV_ENABLE | EV_DISABLE), EINVAL},
        {change(readEnd.get(), -5, EV_ADD), EINVAL},
        {change(aboveInt, EVFILT_READ, EV_ADD), EBADF},
        {change(static_cast<uint64_t>(INT_MAX) + 1, EVFILT_WRITE, EV_ADD), EBADF},
        {change(closed, EVFILT_READ, EV_ADD), EBADF},
        {change(closed, EVFILT_READ, EV_DELETE), EBADF},
        {change(readEnd.get(), EVFILT_READ, EV_DELETE), ENOENT},
        {change(readEnd.get(), EVFILT_WRITE, EV_ENABLE), ENOENT},
        {change(77, EVFILT_USER, 0, NOTE_TRIGGER), ENOENT},
        {change(77, EVFILT_USER, EV_DELETE), ENOENT},
    };
    for (auto &c : cases) {
        struct kevent record {};
        EXPECT_EQ(kevent(kq.get(), &c.change, 1, &record, 1, nullptr), 1) << "filter " << c.change.filter;
        EXPECT_EQ(record.flags, EV_ERROR);
        EXPECT_EQ(record.data, c.error) << "ident " << c.change.ident << " filter " << c.change.filter;
    }
    // The identifier above INT_MAX was not truncated into the pipe's descriptor.
    ASSERT_EQ(write(writeEnd.get(), "x", 1), 1);
    EXPECT_TRUE(wait(kq.get(), 4, 0).empty());
}

TEST(KQueueChangeErrors, FilterZeroRecordsAreSkipped) {
    Fd kq = newKqueue();
    struct kevent changes[2] = {change(5, 0, EV_ADD), change(6, EVFILT_USER, EV_ADD, NOTE_TRIGGER)};
    struct kevent events[2];
    struct timespec zero {};
    ASSERT_EQ(kevent(kq.get(), changes, 2, events, 2, &zero), 1);
    EXPECT_EQ(events[0].ident, 6u);
}

TEST(KQueueChangeErrors, InvalidTimeoutFailsAfterTheChanges) {
    Fd kq = newKqueue();
    struct kevent add = change(8, EVFILT_USER, EV_ADD);
    struct kevent events[1];
    const struct timespec invalid[] = {{-1, 0}, {0, -1}, {0, 1000000000}};
    for (const struct timespec &timeout : invalid) {
        EXPECT_EQ(kevent(kq.get(), &add, 1, events, 1, &timeout), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(apply(kq.get(), {change(8, EVFILT_USER, EV_DELETE)}), 0);
    EXPECT_EQ(kevent(kq.get(), nullptr, -1, events, 1, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(KQueueTimeouts, ZeroPollsAndShortTimeoutsAreHonouredToTheMicrosecond) {
    Fd kq = newKqueue();
    struct kevent events[1];
    // A poll that sleeps fails every try; a loaded machine delays one try, not three.
    struct timespec zero {};
    int64_t fastest = INT64_MAX;
    for (int i = 0; i < 3 && fastest >= 100; i++) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(kevent(kq.get(), nullptr, 0, events, 1, &zero), 0);
        fastest = std::min(fastest, elapsedMs(start));
    }
    EXPECT_LT(fastest, 100);

    // Never rounded down to a poll: 500 microseconds sleep at least that long.
    struct timespec half {
        0, 500000
    };
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(kevent(kq.get(), nullptr, 0, events, 1, &half), 0);
    auto slept = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - before);
    EXPECT_GE(slept.count(), 500);

    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait(kq.get(), 1, 50).empty());
    EXPECT_GE(elapsedMs(start), 49);
}

TEST(KQueueTimeouts, NullTimeoutWaitsUntilAnEvent) {
    Fd kq = newKqueue();
    ASSERT_EQ(apply(kq.get(), {change(1, EVFILT_USER, EV_ADD | EV_CLEAR)}), 0);
    std::thread trigger([&] {
        usleep(50000);
        apply(kq.get(), {change(1, EVFILT_USER, 0, NOTE_TRIGGER)});
    });
    auto start = std::chrono::steady_clock::now();
    auto events = wait(kq.get(), 1, -1);
    trigger.join();
    EXPECT_EQ(events.size(), 1u);
    EXPECT_GE(elapsedMs(start), 40);
}

}  // namespace
