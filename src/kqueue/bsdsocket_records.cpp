#include "kqueue/bsdsocket_records.h"

#include <cstring>

namespace quarn::bsdsocket {

namespace {

// A continuation byte of a multi-byte sequence: 10xxxxxx.
bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

template <size_t N>
void copyCut(char (&field)[N], const char *text) {
    const size_t length = keptLength(text, N - 1);
    std::memcpy(field, text, length);
    field[length] = '\0';
}

}  // namespace

size_t keptLength(const char *text, size_t limit) {
    // strnlen reads no further than one byte past the limit, which tells whether a cut is needed.
    const size_t length = strnlen(text, limit + 1);
    if (length <= limit) {
        return length;
    }
    size_t cut = limit;
    while (cut > 0 && isContinuation(text[cut])) {
        --cut;
    }
    return cut;
}

void buildAcceptFilterRecord(const char *name, const char *argument, platform::AcceptFilterRecord *record) {
    std::memset(record, 0, sizeof(*record));
    copyCut(record->af_name, name);
    copyCut(record->af_arg, argument);
}

void terminateAcceptFilterRecord(platform::AcceptFilterRecord *record) {
    record->af_name[sizeof(record->af_name) - 1] = '\0';
    record->af_arg[sizeof(record->af_arg) - 1] = '\0';
}

int peerGroupCount(const platform::PeerCredentialRecord &record) {
    const int claimed = record.cr_ngroups;
    if (claimed < 2) {
        return 1;
    }
    return claimed < platform::kPeerGroupsMax ? claimed : platform::kPeerGroupsMax;
}

}  // namespace quarn::bsdsocket
