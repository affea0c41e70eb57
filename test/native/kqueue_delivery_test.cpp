// What a knote reports when it is delivered later than it became ready: knotes held back by a
// full event list carry their state at delivery, an edge that comes while they wait is not lost,
// and a datagram reader that takes what `data` announces still gets every datagram.
#include <cstring>

#include "kqueue_test_support.h"

namespace {

using namespace kqtest;

// Waits with room for `capacity` until every socket's read knote reported EV_EOF, at most
// `calls` times; returns how many did.
int readEofsWithin(int kq, const Fd *sockets, int count, int capacity, int calls) {
    std::vector<bool> ended(static_cast<size_t>(count));
    int seen = 0;
    for (int call = 0; call < calls && seen < count; call++) {
        for (const struct kevent &event : wait(kq, capacity, 100)) {
            for (int i = 0; i < count; i++) {
                if (event.ident == static_cast<uint64_t>(sockets[i].get()) && event.filter == EVFILT_READ &&
                    (event.flags & EV_EOF) && !ended[static_cast<size_t>(i)]) {
                    ended[static_cast<size_t>(i)] = true;
                    seen++;
                }
            }
        }
    }
    return seen;
}

TEST(KQueueDelivery, KnotesHeldBackByAFullListReportTheEndThatCameMeanwhile) {
    for (uint16_t mode : {uint16_t{EV_CLEAR}, uint16_t{EV_DISPATCH}, uint16_t{0}}) {
        Fd kq = newKqueue();
        Fd mine[2], peers[2];
        for (int i = 0; i < 2; i++) {
            ASSERT_NO_FATAL_FAILURE(localStreamPair(mine[i], peers[i]));
            ASSERT_EQ(write(peers[i].get(), "data", 4), 4);
            ASSERT_EQ(apply(kq.get(), {change(mine[i].get(), EVFILT_READ, EV_ADD | mode),
                                       change(mine[i].get(), EVFILT_WRITE, EV_ADD | mode)}),
                      0);
        }
        ASSERT_EQ(wait(kq.get(), 2, 1000).size(), 2u) << "mode " << mode;
        for (auto &peer : peers) {
            ASSERT_EQ(shutdown(peer.get(), SHUT_WR), 0);
        }
        EXPECT_EQ(readEofsWithin(kq.get(), mine, 2, 8, 5), mode == EV_DISPATCH ? 1 : 2) << "mode " << mode;
    }
}

// Two sockets with `text` waiting and EV_CLEAR read knotes, a first wait with room for one: the
// index of the socket whose knote was held back.
void holdOneBack(int kq, Fd *mine, Fd *peers, const char *text, int *held) {
    for (int i = 0; i < 2; i++) {
        ASSERT_NO_FATAL_FAILURE(localStreamPair(mine[i], peers[i]));
        ASSERT_EQ(write(peers[i].get(), text, strlen(text)), static_cast<ssize_t>(strlen(text)));
        ASSERT_EQ(apply(kq, {change(mine[i].get(), EVFILT_READ, EV_ADD | EV_CLEAR)}), 0);
    }
    auto first = wait(kq, 1, 1000);
    ASSERT_EQ(first.size(), 1u);
    *held = first[0].ident == static_cast<uint64_t>(mine[0].get()) ? 1 : 0;
}

TEST(KQueueDelivery, HeldBackKnoteCarriesTheBytesAtDelivery) {
    Fd kq = newKqueue();
    Fd mine[2], peers[2];
    int held = 0;
    ASSERT_NO_FATAL_FAILURE(holdOneBack(kq.get(), mine, peers, "ab", &held));
    ASSERT_EQ(write(peers[held].get(), "cde", 3), 3);
    auto events = wait(kq.get(), 8, 1000);
    const struct kevent *event = find(events, mine[held].get(), EVFILT_READ);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->data, 5);
    // Nothing new arrived since: a reader that took the five bytes is not woken again for them.
    char buffer[8];
    ASSERT_EQ(read(mine[held].get(), buffer, sizeof buffer), 5);
    EXPECT_EQ(find(wait(kq.get(), 8, 20), mine[held].get(), EVFILT_READ), nullptr);
}

TEST(KQueueDelivery, HeldBackKnoteThatIsNoLongerReadyIsNotReported) {
    Fd kq = newKqueue();
    Fd mine[2], peers[2];
    int held = 0;
    ASSERT_NO_FATAL_FAILURE(holdOneBack(kq.get(), mine, peers, "x", &held));
    char byte;
    ASSERT_EQ(read(mine[held].get(), &byte, 1), 1);
    // FreeBSD evaluates the filter when the event is collected: nothing to read, no event.
    EXPECT_TRUE(wait(kq.get(), 8, 20).empty());
}

TEST(KQueueDelivery, HeldBackOneshotIsDeliveredAsItFiredThenDeleted) {
    // EV_ONESHOT read and write on one socket, room for one: the write knote waits in the queue
    // while the caller fills the send buffer; it comes as it fired and is gone after.
    Fd kq = newKqueue();
    Fd mine, peer;
    ASSERT_NO_FATAL_FAILURE(localStreamPair(mine, peer));
    ASSERT_EQ(write(peer.get(), "x", 1), 1);
    ASSERT_EQ(apply(kq.get(), {change(mine.get(), EVFILT_READ, EV_ADD | EV_ONESHOT),
                               change(mine.get(), EVFILT_WRITE, EV_ADD | EV_ONESHOT)}),
              0);
    auto first = wait(kq.get(), 1, 1000);
    ASSERT_EQ(first.size(), 1u);
    const int16_t held = first[0].filter == EVFILT_READ ? EVFILT_WRITE : EVFILT_READ;
    if (held == EVFILT_WRITE) {
        char chunk[4096] = {};
        while (write(mine.get(), chunk, sizeof chunk) > 0) {
        }
    } else {
        char buffer[8];
        ASSERT_EQ(read(mine.get(), buffer, sizeof buffer), 1);
    }
    auto second = wait(kq.get(), 1, 1000);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].filter, held);
    EXPECT_GT(second[0].data, 0);
    errno = 0;
    EXPECT_EQ(apply(kq.get(), {change(mine.get(), held, EV_DELETE)}), -1);
    EXPECT_EQ(errno, ENOENT) << "a delivered one-shot knote stays armed";
}

// Sends three datagrams of 100 bytes to `receiver`, then reads as a FreeBSD reader does: takes
// what `data` announces, waits again. Returns the datagrams it got.
int datagramsTakenByAnnouncedSize(int kq, int receiver, int sender, const sockaddr *to, socklen_t length) {
    char payload[100] = {};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(sendto(sender, payload, sizeof payload, 0, to, length), 100);
    }
    int received = 0;
    for (int call = 0; call < 8 && received < 3; call++) {
        auto events = wait(kq, 4, 100);
        const struct kevent *event = find(events, receiver, EVFILT_READ);
        if (event == nullptr) {
            continue;
        }
        EXPECT_GE(event->data, 100);
        for (int64_t taken = 0; taken < event->data; taken += 100) {
            char buffer[200];
            if (recv(receiver, buffer, sizeof buffer, 0) != 100) {
                break;
            }
            received++;
        }
    }
    // An empty queue is quiet again.
    EXPECT_EQ(find(wait(kq, 4, 20), receiver, EVFILT_READ), nullptr);
    return received;
}

TEST(KQueueDelivery, ClearDatagramReaderTakingTheAnnouncedBytesGetsEveryDatagram) {
    Fd kq = newKqueue();
    Fd receiver, sender;
    sockaddr_in address{};
    ASSERT_NO_FATAL_FAILURE(udpReceiverAndSender(receiver, sender, &address));
    ASSERT_EQ(apply(kq.get(), {change(receiver.get(), EVFILT_READ, EV_ADD | EV_CLEAR),
                               change(receiver.get(), EVFILT_WRITE, EV_ADD | EV_CLEAR)}),
              0);
    ASSERT_NE(find(wait(kq.get(), 4, 1000), receiver.get(), EVFILT_WRITE), nullptr);
    EXPECT_EQ(datagramsTakenByAnnouncedSize(kq.get(), receiver.get(), sender.get(),
                                            reinterpret_cast<sockaddr *>(&address), sizeof address),
              3);

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    Fd local(pair[0]), localPeer(pair[1]);
    ASSERT_EQ(apply(kq.get(), {change(local.get(), EVFILT_READ, EV_ADD | EV_CLEAR)}), 0);
    EXPECT_EQ(datagramsTakenByAnnouncedSize(kq.get(), local.get(), localPeer.get(), nullptr, 0), 3);
}

}  // namespace
