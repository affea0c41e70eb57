// The accept filter record, the peer credential answer and the peer group count, which Linux
// cannot show through the kernel.
#include "kqueue/bsdsocket_records.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using quarn::bsdsocket::buildAcceptFilterRecord;
using quarn::bsdsocket::keptLength;
using quarn::platform::AcceptFilterRecord;
using quarn::platform::PeerCredentialRecord;

// Every byte after the text's terminating zero is zero as well.
void expectZeroAfter(const char *field, size_t size, size_t textLength) {
    for (size_t i = textLength; i < size; ++i) {
        ASSERT_EQ('\0', field[i]) << "byte " << i;
    }
}

TEST(BsdAcceptFilterRecord, ShortTextsAreCopiedWholeIntoAZeroedRecord) {
    AcceptFilterRecord record;
    std::memset(&record, 'x', sizeof(record));
    buildAcceptFilterRecord("httpready", "", &record);
    EXPECT_STREQ("httpready", record.af_name);
    EXPECT_STREQ("", record.af_arg);
    expectZeroAfter(record.af_name, sizeof(record.af_name), 9);
    expectZeroAfter(record.af_arg, sizeof(record.af_arg), 0);
}

TEST(BsdAcceptFilterRecord, LongTextsAreCutAtFifteenAndTwoHundredThirtyNineBytes) {
    const std::string name(40, 'n');
    const std::string argument(600, 'a');
    AcceptFilterRecord record;
    buildAcceptFilterRecord(name.c_str(), argument.c_str(), &record);
    EXPECT_EQ(std::string(15, 'n'), std::string(record.af_name));
    EXPECT_EQ(std::string(239, 'a'), std::string(record.af_arg));

    // Texts that fill their fields exactly are kept whole.
    buildAcceptFilterRecord(name.substr(0, 15).c_str(), argument.substr(0, 239).c_str(), &record);
    EXPECT_EQ(15u, std::strlen(record.af_name));
    EXPECT_EQ(239u, std::strlen(record.af_arg));
    buildAcceptFilterRecord(name.substr(0, 16).c_str(), argument.substr(0, 240).c_str(), &record);
    EXPECT_EQ(15u, std::strlen(record.af_name));
    EXPECT_EQ(239u, std::strlen(record.af_arg));
}

TEST(BsdAcceptFilterRecord, CutNeverSplitsACharacter) {
    // 14 ASCII bytes, then a two-byte character across the 15-byte limit.
    const std::string name = std::string(14, 'n') + "\xc3\xa9";
    AcceptFilterRecord record;
    buildAcceptFilterRecord(name.c_str(), "", &record);
    EXPECT_EQ(std::string(14, 'n'), std::string(record.af_name));

    // 237 ASCII bytes, then a three-byte character that would end at byte 240.
    const std::string argument = std::string(237, 'a') + "\xe2\x82\xac" + "tail";
    buildAcceptFilterRecord("dataready", argument.c_str(), &record);
    EXPECT_EQ(std::string(237, 'a'), std::string(record.af_arg));

    // A character that ends exactly at the limit stays.
    EXPECT_EQ(15u, keptLength((std::string(13, 'n') + "\xc3\xa9" + "x").c_str(), 15));
    // The Java encoding of a zero character is two bytes and is kept or dropped whole.
    EXPECT_EQ(14u, keptLength((std::string(14, 'n') + "\xc0\x80").c_str(), 15));
}

TEST(BsdAcceptFilterRecord, TerminationKeepsKernelTextsInsideTheirFields) {
    AcceptFilterRecord record;
    std::memset(&record, 'k', sizeof(record));
    quarn::bsdsocket::terminateAcceptFilterRecord(&record);
    EXPECT_EQ(15u, strnlen(record.af_name, sizeof(record.af_name)));
    EXPECT_EQ(239u, strnlen(record.af_arg, sizeof(record.af_arg)));
}

TEST(BsdPeerGroupCount, AtLeastTheEffectiveGroupAndNoMoreThanTheRecordHolds) {
    quarn::platform::PeerCredentialRecord record{};
    const struct {
        short claimed;
        int expected;
    } cases[] = {{-3, 1}, {0, 1}, {1, 1}, {2, 2}, {16, 16}, {17, 16}, {32767, 16}};
    for (const auto &c : cases) {
        record.cr_ngroups = c.claimed;
        EXPECT_EQ(c.expected, quarn::bsdsocket::peerGroupCount(record)) << c.claimed;
    }
}

// What a credential read answered: failed with an errno, or succeeded having written length
// bytes of a record with this version and user id.
struct CredentialAnswer {
    int error;
    socklen_t length;
    unsigned int version;
    uid_t uid;
};

int readScripted(const CredentialAnswer &answer, PeerCredentialRecord *record) {
    return quarn::bsdsocket::readPeerCredentials(
        [&answer](PeerCredentialRecord *written, socklen_t *length) {
            EXPECT_EQ(sizeof(*written), *length) << "the whole record is offered";
            if (answer.error != 0) {
                errno = answer.error;
                return -1;
            }
            if (answer.length >= sizeof(written->cr_version)) {
                written->cr_version = answer.version;
            }
            if (answer.length == sizeof(*written)) {
                written->cr_uid = answer.uid;
            }
            *length = answer.length;
            return 0;
        },
        record);
}

TEST(BsdPeerCredentialAnswer, EmptyAnswerOfAnotherProtocolIsNotTakenForRootsRecord) {
    // FreeBSD reads level 0 option 1 of an IPv4 socket as IP_OPTIONS: success, nothing written.
    PeerCredentialRecord record{};
    EXPECT_EQ(-ENOTCONN, readScripted({0, 0, 0, 0}, &record));
}

TEST(BsdPeerCredentialAnswer, OnlyAWholeRecordOfTheKnownVersionIsTrusted) {
    const unsigned int version = quarn::platform::kPeerCredentialVersion;
    const socklen_t whole = sizeof(PeerCredentialRecord);
    const CredentialAnswer refused[] = {{0, 4, version, 0}, {0, whole - 8, version, 0}, {0, whole, version + 1, 1000}};
    for (const auto &answer : refused) {
        PeerCredentialRecord record{};
        EXPECT_EQ(-ENOTCONN, readScripted(answer, &record)) << answer.length << " bytes, version " << answer.version;
    }
    PeerCredentialRecord record{};
    ASSERT_EQ(0, readScripted({0, whole, version, 1000}, &record));
    EXPECT_EQ(1000u, record.cr_uid);
}

TEST(BsdPeerCredentialAnswer, FailedReadGivesItsOwnErrno) {
    for (const int error : {EBADF, ENOTCONN, EINVAL, ENOTSOCK}) {
        PeerCredentialRecord record{};
        EXPECT_EQ(-error, readScripted({error, 0, 0, 0}, &record)) << error;
    }
}

}  // namespace
