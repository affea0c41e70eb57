// The kqueue layer's everyday paths: descriptors read and written, user events, level and
// EV_CLEAR knotes, disable and enable, one-shot and dispatch.
#include <sys/epoll.h>

#include <algorithm>
#include <thread>

#include "kqueue_test_support.h"

namespace {

using namespace kqtest;

TEST(KQueueLayerTest, PipeReadReportsBytesAvailable) {
    Fd kq = newKqueue();
    Fd readEnd, writeEnd;
    makePipe(readEnd, writeEnd);
    int marker = 7;
    ASSERT_EQ(apply(kq.get(), {change(readEnd.get(), EVFILT_READ, EV_ADD, 0, &marker)}), 0);
    EXPECT_TRUE(wait(kq.get(), 4, 0).empty());

    ASSERT_EQ(write(writeEnd.get(), "hello", 5), 5);
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].ident, static_cast<uint64_t>(readEnd.get()));
    EXPECT_EQ(events[0].filter, EVFILT_READ);
    EXPECT_EQ(events[0].flags, 0);
    EXPECT_EQ(events[0].fflags, 0u);
    EXPECT_EQ(events[0].data, 5);
    EXPECT_EQ(events[0].udata, &marker);
}

TEST(KQueueLayerTest, LevelKnoteRepeatsUntilDrainedClearKnoteReportsOnce) {
    Fd kq = newKqueue();
    Fd levelRead, levelWrite, clearRead, clearWrite;
    makePipe(levelRead, levelWrite);
    makePipe(clearRead, clearWrite);
    ASSERT_EQ(apply(kq.get(), {change(levelRead.get(), EVFILT_READ, EV_ADD),
                               change(clearRead.get(), EVFILT_READ, EV_ADD | EV_CLEAR)}),
              0);
    ASSERT_EQ(write(levelWrite.get(), "x", 1), 1);
    ASSERT_EQ(write(clearWrite.get(), "y", 1), 1);

    auto first = wait(kq.get(), 4, 1000);
    EXPECT_EQ(first.size(), 2u);
    const struct kevent *cleared = find(first, clearRead.get(), EVFILT_READ);
    ASSERT_NE(cleared, nullptr);
    EXPECT_EQ(cleared->flags, EV_CLEAR);

    for (int round = 0; round < 3; round++) {
        auto again = wait(kq.get(), 4, 0);
        ASSERT_EQ(again.size(), 1u) << "round " << round;
        EXPECT_EQ(again[0].ident, static_cast<uint64_t>(levelRead.get()));
        EXPECT_EQ(again[0].data, 1);
    }
    char byte;
    ASSERT_EQ(read(levelRead.get(), &byte, 1), 1);
    EXPECT_TRUE(wait(kq.get(), 4, 0).empty());

    // New data is a new edge for the EV_CLEAR knote.
    ASSERT_EQ(write(clearWrite.get(), "z", 1), 1);
    auto edge = wait(kq.get(), 4, 1000);
    ASSERT_EQ(edge.size(), 1u);
    EXPECT_EQ(edge[0].ident, static_cast<uint64_t>(clearRead.get()));
    EXPECT_EQ(edge[0].data, 2);
}

TEST(KQueueLayerTest, PipeWriteReportsFreeSpace) {
    Fd kq = newKqueue();
    Fd readEnd, writeEnd;
    makePipe(readEnd, writeEnd);
    const int size = fcntl(writeEnd.get(), F_GETPIPE_SZ);
    ASSERT_EQ(apply(kq.get(), {change(writeEnd.get(), EVFILT_WRITE, EV_ADD | EV_CLEAR)}), 0);
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].filter, EVFILT_WRITE);
    EXPECT_EQ(events[0].data, size);

    ASSERT_EQ(write(writeEnd.get(), "abc", 3), 3);
    ASSERT_EQ(apply(kq.get(), {change(writeEnd.get(), EVFILT_WRITE, EV_ADD | EV_CLEAR)}), 0);
    events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, size - 3);
}

TEST(KQueueLayerTest, UserEventFiresOnTriggerAndResetsWithClear) {
    Fd kq = newKqueue();
    ASSERT_EQ(apply(kq.get(), {change(42, EVFILT_USER, EV_ADD | EV_ENABLE | EV_CLEAR)}), 0);
    EXPECT_TRUE(wait(kq.get(), 4, 0).empty());

    ASSERT_EQ(apply(kq.get(), {change(42, EVFILT_USER, 0, NOTE_TRIGGER)}), 0);
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].ident, 42u);
    EXPECT_EQ(events[0].filter, EVFILT_USER);
    EXPECT_EQ(events[0].flags, EV_CLEAR);
    EXPECT_TRUE(wait(kq.get(), 4, 0).empty());

    // Triggers before a wait coalesce into one event.
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(apply(kq.get(), {change(42, EVFILT_USER, 0, NOTE_TRIGGER)}), 0);
    }
    EXPECT_EQ(wait(kq.get(), 4, 1000).size(), 1u);
    EXPECT_TRUE(wait(kq.get(), 4, 0).empty());
}

TEST(KQueueLayerTest, UserEventIdentifierKeepsAllSixtyFourBits) {
    Fd kq = newKqueue();
    const uint64_t ident = ~uint64_t{0};
    ASSERT_EQ(apply(kq.get(), {change(ident, EVFILT_USER, EV_ADD | EV_CLEAR, NOTE_TRIGGER)}), 0);
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].ident, ident);
    // A different identifier that shares the low 32 bits is another event.
    EXPECT_EQ(apply(kq.get(), {change(0xFFFFFFFFu, EVFILT_USER, 0, NOTE_TRIGGER)}), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(KQueueLayerTest, UserEventWithoutClearStaysTriggered) {
    Fd kq = newKqueue();
    ASSERT_EQ(apply(kq.get(), {change(1, EVFILT_USER, EV_ADD, NOTE_TRIGGER)}), 0);
    for (int round = 0; round < 3; round++) {
        EXPECT_EQ(wait(kq.get(), 4, 100).size(), 1u) << "round " << round;
    }
}

TEST(KQueueLayerTest, ReadyUserEventsTakeTurnsInAShortEventList) {
    Fd kq = newKqueue();
    ASSERT_EQ(
        apply(kq.get(), {change(1, EVFILT_USER, EV_ADD, NOTE_TRIGGER), change(2, EVFILT_USER, EV_ADD, NOTE_TRIGGER),
                         change(3, EVFILT_USER, EV_ADD, NOTE_TRIGGER)}),
        0);
    std::vector<uint64_t> seen;
    for (int call = 0; call < 6; call++) {
        for (const struct kevent &event : wait(kq.get(), 1, 100)) {
            seen.push_back(event.ident);
        }
    }
    ASSERT_EQ(seen.size(), 6u);
    for (uint64_t ident : {1u, 2u, 3u}) {
        EXPECT_EQ(std::count(seen.begin(), seen.end(), ident), 2) << "ident " << ident;
    }
}

TEST(KQueueLayerTest, UserFlagsCombineAndComeBackInFflags) {
    Fd kq = newKqueue();
    ASSERT_EQ(apply(kq.get(), {change(5, EVFILT_USER, EV_ADD | EV_CLEAR, 0x3)}), 0);
    ASSERT_EQ(apply(kq.get(), {change(5, EVFILT_USER, 0, NOTE_FFOR | 0x10)}), 0);
    ASSERT_EQ(apply(kq.get(), {change(5, EVFILT_USER, 0, NOTE_FFAND | 0x12 | NOTE_TRIGGER)}), 0);
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].fflags, 0x12u);
}

TEST(KQueueLayerTest, TriggerOnDisabledUserEventIsDeliveredOnEnable) {
    Fd kq = newKqueue();
    ASSERT_EQ(apply(kq.get(), {change(9, EVFILT_USER, EV_ADD | EV_CLEAR | EV_DISABLE)}), 0);
    ASSERT_EQ(apply(kq.get(), {change(9, EVFILT_USER, 0, NOTE_TRIGGER)}), 0);
    EXPECT_TRUE(wait(kq.get(), 4, 20).empty());
    ASSERT_EQ(apply(kq.get(), {change(9, EVFILT_USER, EV_ENABLE)}), 0);
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].ident, 9u);
}

TEST(KQueueLayerTest, TriggerInTheAddFiresAtOnce) {
    Fd kq = newKqueue();
    ASSERT_EQ(apply(kq.get(), {change(3, EVFILT_USER, EV_ADD | EV_CLEAR, NOTE_TRIGGER)}), 0);
    EXPECT_EQ(wait(kq.get(), 4, 1000).size(), 1u);
}

TEST(KQueueLayerTest, DisabledKnoteIsSilentUntilEnabledAndAddDoesNotEnable) {
    Fd kq = newKqueue();
    Fd readEnd, writeEnd;
    makePipe(readEnd, writeEnd);
    ASSERT_EQ(apply(kq.get(), {change(readEnd.get(), EVFILT_READ, EV_ADD)}), 0);
    ASSERT_EQ(apply(kq.get(), {change(readEnd.get(), EVFILT_READ, EV_DISABLE)}), 0);
    ASSERT_EQ(write(writeEnd.get(), "x", 1), 1);
    EXPECT_TRUE(wait(kq.get(), 4, 20).empty());
    ASSERT_EQ(apply(kq.get(), {change(readEnd.get(), EVFILT_READ, EV_ADD)}), 0);
    EXPECT_TRUE(wait(kq.get(), 4, 20).empty());
    // Even the end of the pipe stays silent while disabled.
    writeEnd.reset();
    EXPECT_TRUE(wait(kq.get(), 4, 20).empty());

    ASSERT_EQ(apply(kq.get(), {change(readEnd.get(), EVFILT_READ, EV_ENABLE)}), 0);
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].flags & EV_EOF, EV_EOF);
    EXPECT_EQ(events[0].data, 1);
}

TEST(KQueueLayerTest, ReAddReEvaluatesReadiness) {
    Fd kq = newKqueue();
    Fd readEnd, writeEnd;
    makePipe(readEnd, writeEnd);
    ASSERT_EQ(write(writeEnd.get(), "x", 1), 1);
    ASSERT_EQ(apply(kq.get(), {change(readEnd.get(), EVFILT_READ, EV_ADD | EV_CLEAR)}), 0);
    EXPECT_EQ(wait(kq.get(), 4, 1000).size(), 1u);
    EXPECT_TRUE(wait(kq.get(), 4, 0).empty());
    ASSERT_EQ(apply(kq.get(), {change(readEnd.get(), EVFILT_READ, EV_ADD | EV_CLEAR)}), 0);
    EXPECT_EQ(wait(kq.get(), 4, 1000).size(), 1u);
}

TEST(KQueueLayerTest, OneshotIsDeletedAndDispatchIsDisabledAfterDelivery) {
    Fd kq = newKqueue();
    Fd oneRead, oneWrite, dispatchRead, dispatchWrite;
    makePipe(oneRead, oneWrite);
    makePipe(dispatchRead, dispatchWrite);
    ASSERT_EQ(apply(kq.get(), {change(oneRead.get(), EVFILT_READ, EV_ADD | EV_ONESHOT),
                               change(dispatchRead.get(), EVFILT_READ, EV_ADD | EV_DISPATCH)}),
              0);
    ASSERT_EQ(write(oneWrite.get(), "x", 1), 1);
    ASSERT_EQ(write(dispatchWrite.get(), "x", 1), 1);
    EXPECT_EQ(wait(kq.get(), 4, 1000).size(), 2u);
    ASSERT_EQ(write(oneWrite.get(), "x", 1), 1);
    ASSERT_EQ(write(dispatchWrite.get(), "x", 1), 1);
    EXPECT_TRUE(wait(kq.get(), 4, 20).empty());

    EXPECT_EQ(apply(kq.get(), {change(oneRead.get(), EVFILT_READ, EV_DELETE)}), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(apply(kq.get(), {change(dispatchRead.get(), EVFILT_READ, EV_ENABLE)}), 0);
    auto events = wait(kq.get(), 4, 1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, 2);
}

TEST(KQueueLayerTest, DeleteStopsEvents) {
    Fd kq = newKqueue();
    Fd readEnd, writeEnd;
    makePipe(readEnd, writeEnd);
    ASSERT_EQ(apply(kq.get(), {change(readEnd.get(), EVFILT_READ, EV_ADD)}), 0);
    ASSERT_EQ(write(writeEnd.get(), "x", 1), 1);
    ASSERT_EQ(apply(kq.get(), {change(readEnd.get(), EVFILT_READ, EV_DELETE)}), 0);
    EXPECT_TRUE(wait(kq.get(), 4, 20).empty());
}

TEST(KQueueLayerTest, ClosedKqueueIsEbadf) {
    int kq = quarn::platform::kqueue();
    ASSERT_GE(kq, 0);
    descriptorClosing(kq);
    close(kq);
    struct kevent record = change(1, EVFILT_USER, 0, NOTE_TRIGGER);
    EXPECT_EQ(quarn::platform::kevent(kq, &record, 1, nullptr, 0, nullptr), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(quarn::platform::kevent(-1, nullptr, 0, nullptr, 0, nullptr), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(KQueueLayerTest, TriggerOnAKqueueClosedWithoutTheHookIsEbadf) {
    int kq = quarn::platform::kqueue();
    ASSERT_GE(kq, 0);
    ASSERT_EQ(apply(kq, {change(1, EVFILT_USER, EV_ADD | EV_CLEAR)}), 0);
    close(kq);  // plain close(2): the layer is not told
    EXPECT_EQ(apply(kq, {change(1, EVFILT_USER, 0, NOTE_TRIGGER)}), -1);
    EXPECT_EQ(errno, EBADF);
    descriptorClosing(kq);  // releases what the layer kept for that number
}

}  // namespace
