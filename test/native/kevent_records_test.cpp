// The kevent records that evSet and the user-event natives build, byte for byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "kqueue/records.h"

namespace {

bool bytesFrom16AreZero(const unsigned char *record) {
    for (size_t i = 16; i < 64; ++i) {
        if (record[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(KeventRecords, ChangeRecordOverADirtyRecordClearsTheTailAndSignExtendsTheIdent) {
    // An unaligned slot inside a buffer full of an earlier event's bytes.
    alignas(8) unsigned char buffer[1 + 64 + 1];
    std::memset(buffer, 0xA5, sizeof(buffer));
    unsigned char *slot = buffer + 1;
    quarn::kqueue::writeChangeRecord(slot, -1, EVFILT_READ, static_cast<jshort>(EV_ADD | EV_CLEAR),
                                     static_cast<jint>(NOTE_TRIGGER));

    struct kevent record;
    std::memcpy(&record, slot, sizeof(record));
    EXPECT_EQ(record.ident, UINT64_MAX);
    EXPECT_EQ(record.filter, EVFILT_READ);
    EXPECT_EQ(record.flags, EV_ADD | EV_CLEAR);
    EXPECT_EQ(record.fflags, static_cast<uint32_t>(NOTE_TRIGGER));
    EXPECT_TRUE(bytesFrom16AreZero(slot));
    EXPECT_EQ(buffer[0], 0xA5) << "nothing before the record is touched";
    EXPECT_EQ(buffer[65], 0xA5) << "nothing after the record is touched";
}

TEST(KeventRecords, ChangeRecordKeepsTheFlagsBitPatternOfANegativeShort) {
    const struct kevent record =
        quarn::kqueue::changeRecord(7, EVFILT_WRITE, static_cast<jshort>(EV_EOF | EV_ADD), -1);
    EXPECT_EQ(record.ident, 7u);
    EXPECT_EQ(record.flags, EV_EOF | EV_ADD);
    EXPECT_EQ(record.fflags, UINT32_MAX);
}

TEST(KeventRecords, UserEventRecordsSetEveryByte) {
    const struct kevent add = quarn::kqueue::addUserEventRecord(-1);
    EXPECT_EQ(add.ident, UINT64_MAX);
    EXPECT_EQ(add.filter, EVFILT_USER);
    EXPECT_EQ(add.flags, EV_ADD | EV_ENABLE | EV_CLEAR);
    EXPECT_EQ(add.fflags, 0u);
    EXPECT_TRUE(bytesFrom16AreZero(reinterpret_cast<const unsigned char *>(&add)));

    const struct kevent trigger = quarn::kqueue::triggerUserEventRecord(42);
    EXPECT_EQ(trigger.ident, 42u);
    EXPECT_EQ(trigger.filter, EVFILT_USER);
    EXPECT_EQ(trigger.flags, 0);
    EXPECT_EQ(trigger.fflags, static_cast<uint32_t>(NOTE_TRIGGER));
    EXPECT_TRUE(bytesFrom16AreZero(reinterpret_cast<const unsigned char *>(&trigger)));
}

TEST(KeventRecords, UserEventSubmissionCountsAnInterruptionAsDoneAndNeverRetries) {
    int calls = 0;
    const struct kevent change = quarn::kqueue::triggerUserEventRecord(1);
    auto failingWith = [&calls](int error) {
        return [&calls, error](const struct kevent *) {
            ++calls;
            errno = error;
            return -1;
        };
    };
    EXPECT_EQ(quarn::kqueue::submitUserEvent(failingWith(EINTR), change), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(quarn::kqueue::submitUserEvent(failingWith(ENOENT), change), -ENOENT);
    EXPECT_EQ(calls, 2);

    const struct kevent *submitted = nullptr;
    EXPECT_EQ(quarn::kqueue::submitUserEvent(
                  [&submitted](const struct kevent *record) {
                      submitted = record;
                      return 0;
                  },
                  change),
              0);
    EXPECT_EQ(submitted, &change);
}

}  // namespace
