// The accept-filter record over arbitrary names and arguments: each text is cut to its field
// (15 and 239 bytes) without splitting a (modified) UTF-8 character, zero-terminated, and the
// rest of the record is zero; a record the kernel filled with anything ends both texts inside
// their fields; the peer credentials' group count stays within the record.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kqueue/bsdsocket_records.h"

namespace {

using quarn::platform::AcceptFilterRecord;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The kept length of text for a field of limit bytes of text, from its definition: the longest
// prefix of at most limit bytes that ends where the text ends or before a byte that does not
// continue a character.
size_t expectedKept(const std::string &text, size_t limit) {
    if (text.size() <= limit) {
        return text.size();
    }
    for (size_t cut = limit; cut > 0; --cut) {
        if (!isContinuation(text[cut])) {
            return cut;
        }
    }
    return 0;
}

void checkField(const char *field, size_t size, const std::string &text) {
    const size_t kept = expectedKept(text, size - 1);
    require(std::memcmp(field, text.data(), kept) == 0);
    for (size_t i = kept; i < size; i++) {
        require(field[i] == '\0');
    }
}

// Texts with many multi-byte characters near the cut, where the rule matters.
std::string text(FuzzedDataProvider &input, size_t limit) {
    std::string result;
    const size_t length = input.ConsumeIntegralInRange<size_t>(0, limit + 8);
    while (result.size() < length && input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            result += "\xC3\xA9";  // two bytes
            break;
        case 1:
            result += "\xE2\x82\xAC";  // three bytes
            break;
        case 2:
            result += "\xED\xA0\x80\xED\xB0\x80";  // a surrogate pair as modified UTF-8 writes it
            break;
        default: {
            const char c = input.ConsumeIntegral<char>();
            result += c == '\0' ? 'x' : c;
            break;
        }
        }
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);

    // keptLength against its definition, and it never reads past limit + 1 bytes: the text is
    // a heap block without a terminator when it is longer than that.
    const size_t limit = input.ConsumeIntegralInRange<size_t>(0, 300);
    const std::string plain = text(input, limit);
    const size_t visible = plain.size() > limit + 1 ? limit + 1 : plain.size();
    std::vector<char> bounded(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(visible));
    if (bounded.size() <= limit) {
        bounded.push_back('\0');
    }
    require(quarn::bsdsocket::keptLength(bounded.data(), limit) == expectedKept(plain, limit));

    // The record, built over a record full of garbage.
    const std::string name = text(input, sizeof(AcceptFilterRecord::af_name));
    const std::string argument = text(input, sizeof(AcceptFilterRecord::af_arg));
    AcceptFilterRecord record;
    std::memset(&record, 0xA5, sizeof(record));
    quarn::bsdsocket::buildAcceptFilterRecord(name.c_str(), argument.c_str(), &record);
    checkField(record.af_name, sizeof(record.af_name), name);
    checkField(record.af_arg, sizeof(record.af_arg), argument);

    // A record as the kernel may hand it back: anything, made safe to read as two texts.
    std::vector<uint8_t> raw = input.ConsumeBytes<uint8_t>(sizeof(record));
    raw.resize(sizeof(record), 0xFF);
    std::memcpy(&record, raw.data(), sizeof(record));
    quarn::bsdsocket::terminateAcceptFilterRecord(&record);
    require(strnlen(record.af_name, sizeof(record.af_name)) < sizeof(record.af_name));
    require(strnlen(record.af_arg, sizeof(record.af_arg)) < sizeof(record.af_arg));
    require(std::memcmp(&record, raw.data(), sizeof(record.af_name) - 1) == 0);

    // The group count of whatever credentials record arrives.
    quarn::platform::PeerCredentialRecord credentials;
    std::vector<uint8_t> creds = input.ConsumeRemainingBytes<uint8_t>();
    creds.resize(sizeof(credentials));
    std::memcpy(&credentials, creds.data(), sizeof(credentials));
    const int groups = quarn::bsdsocket::peerGroupCount(credentials);
    require(groups >= 1 && groups <= quarn::platform::kPeerGroupsMax);
    require(credentials.cr_ngroups < 1 || credentials.cr_ngroups > quarn::platform::kPeerGroupsMax ||
            groups == credentials.cr_ngroups);
    return 0;
}
