// What the Linux kqueue layer holds: memory that follows the registrations, not the highest
// descriptor number, and comes back when they go; allocation failures that are ENOMEM for the
// call that needed the memory, with nothing left behind.
#if defined(__linux__)

#include <sys/resource.h>

#include <cstdio>

#include <fcntl.h>

#include "kqueue_test_support.h"
#include "kqueue_wrap.h"
#include "platform/linux/kqueue_state.h"

namespace {

using namespace kqtest;
using quarn::platform::kevent;
using quarn::platform::kq::heldBytes;

TEST(KQueueMemory, SixteenKqueuesWithOneHighKnoteEachCostLittleAndGiveItBack) {
    struct rlimit limit {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t highest = limit.rlim_cur > 20000 ? 19999 : limit.rlim_cur - 1;
    if (highest < 1000) {
        GTEST_SKIP() << "descriptor limit " << limit.rlim_cur;
    }
    const int number = static_cast<int>(highest);
    Fd owner, peer;
    ASSERT_NO_FATAL_FAILURE(localPairOnNumber(number, owner, peer));
    const size_t before = heldBytes();
    Fd kqueues[16];
    for (auto &kq : kqueues) {
        kq = newKqueue();
        ASSERT_EQ(apply(kq.get(), {change(number, EVFILT_READ, EV_ADD | EV_CLEAR)}), 0);
    }
    const size_t used = heldBytes() - before;
    std::printf("16 kqueues, one knote each on descriptor %d: %zu bytes (%zu per kqueue)\n", number, used, used / 16);
    EXPECT_LT(used, size_t{16} * 16384);
    ASSERT_EQ(write(peer.get(), "x", 1), 1);
    for (auto &kq : kqueues) {
        EXPECT_NE(find(wait(kq.get(), 4, 1000), number, EVFILT_READ), nullptr);
    }

    // A deleted knote gives its share back at once, a closed kqueue all of it.
    ASSERT_EQ(apply(kqueues[0].get(), {change(number, EVFILT_READ, EV_DELETE)}), 0);
    EXPECT_EQ(heldBytes() - before, used - used / 16);
    for (auto &kq : kqueues) {
        kq.reset();
    }
    EXPECT_EQ(heldBytes(), before);
}

TEST(KQueueMemory, ManyUserEventsComeAndGoWithoutKeepingMemory) {
    Fd kq = newKqueue();
    const size_t before = heldBytes();
    for (uint64_t ident = 0; ident < 1000; ident++) {
        ASSERT_EQ(apply(kq.get(), {change(ident * 7919, EVFILT_USER, EV_ADD | EV_ONESHOT, NOTE_TRIGGER)}), 0);
    }
    // Deleting every other one leaves the rest findable.
    for (uint64_t ident = 0; ident < 1000; ident += 2) {
        ASSERT_EQ(apply(kq.get(), {change(ident * 7919, EVFILT_USER, EV_DELETE)}), 0);
    }
    for (uint64_t ident = 1; ident < 1000; ident += 2) {
        ASSERT_EQ(apply(kq.get(), {change(ident * 7919, EVFILT_USER, 0, NOTE_TRIGGER)}), 0) << ident;
    }
    size_t delivered = 0;
    for (int call = 0; call < 20 && delivered < 500; call++) {
        delivered += wait(kq.get(), 64, 0).size();
    }
    EXPECT_EQ(delivered, 500u);
    EXPECT_EQ(heldBytes(), before);
}

TEST(KQueueMemory, RefusedAddKeepsNothing) {
    Fd kq = newKqueue();
    Fd file(open("/proc/self/stat", O_RDONLY | O_CLOEXEC));
    Fd spare(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int closedNumber = spare.get();
    spare.reset();
    const struct {
        uint64_t ident;
        int error;
    } refused[] = {{static_cast<uint64_t>(closedNumber), EBADF},
                   {static_cast<uint64_t>(file.get()), EPERM},
                   {0x7ffffff0, EBADF}};
    for (const auto &r : refused) {
        const size_t before = heldBytes();
        for (int i = 0; i < 100; i++) {
            errno = 0;
            EXPECT_EQ(apply(kq.get(), {change(r.ident, EVFILT_READ, EV_ADD)}), -1);
            EXPECT_EQ(errno, r.error) << "ident " << r.ident;
        }
        EXPECT_EQ(heldBytes(), before) << "refused adds on " << r.ident << " kept memory";
    }
}

TEST(KQueueMemory, AllocationFailureIsEnomemForTheChangeAndLeavesNothing) {
    Fd kq = newKqueue();
    Fd readEnd, writeEnd;
    ASSERT_NO_FATAL_FAILURE(makePipe(readEnd, writeEnd));
    ASSERT_EQ(write(writeEnd.get(), "x", 1), 1);
    // A descriptor's first knote needs a directory and a page; a user event a table and a knote.
    for (int16_t filter : {int16_t{EVFILT_READ}, int16_t{EVFILT_USER}}) {
        const size_t before = heldBytes();
        const uint64_t ident = filter == EVFILT_USER ? 7 : static_cast<uint64_t>(readEnd.get());
        for (int nth = 1; nth <= 2; nth++) {
            struct kevent add = change(ident, filter, EV_ADD, NOTE_TRIGGER);
            kqwrap::failCalloc(nth);
            errno = 0;
            const int result = kevent(kq.get(), &add, 1, nullptr, 0, nullptr);
            const int error = errno;
            kqwrap::failCalloc(0);
            EXPECT_EQ(result, -1) << "filter " << filter << ", allocation " << nth;
            EXPECT_EQ(error, ENOMEM);
            EXPECT_EQ(heldBytes(), before);
            EXPECT_EQ(find(wait(kq.get(), 4, 0), ident, filter), nullptr);
        }
        // With an event list the failure is the change's error record.
        struct kevent add = change(ident, filter, EV_ADD, NOTE_TRIGGER);
        struct kevent record {};
        kqwrap::failCalloc(1);
        const int result = kevent(kq.get(), &add, 1, &record, 1, nullptr);
        kqwrap::failCalloc(0);
        ASSERT_EQ(result, 1);
        EXPECT_EQ(record.flags, EV_ERROR);
        EXPECT_EQ(record.data, ENOMEM);
        ASSERT_EQ(apply(kq.get(), {add}), 0);
        EXPECT_NE(find(wait(kq.get(), 4, 1000), ident, filter), nullptr);
    }
}

TEST(KQueueMemory, KqueueOnANewNumberWithoutMemoryIsEnomemAndClosesItsDescriptor) {
    // The lowest free number, made one that never was a kqueue in this process.
    std::vector<Fd> placeholders;
    for (;;) {
        Fd probe(open("/dev/null", O_RDONLY | O_CLOEXEC));
        ASSERT_GE(probe.get(), 0);
        if (quarn::platform::kq::findState(probe.get()) == nullptr) {
            break;
        }
        placeholders.push_back(std::move(probe));
    }
    const int descriptors = openDescriptorCount();
    kqwrap::failCalloc(1);
    errno = 0;
    const int kq = quarn::platform::kqueue();
    const int error = errno;
    kqwrap::failCalloc(0);
    EXPECT_EQ(kq, -1);
    EXPECT_EQ(error, ENOMEM);
    EXPECT_EQ(openDescriptorCount(), descriptors);
    Fd again = newKqueue();
    EXPECT_GE(again.get(), 0);
}

}  // namespace

#endif
