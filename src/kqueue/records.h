// Building kevent records: the change records that evSet writes for the Java side and the user
// event records that the user-event natives submit. Every byte of a record is set, so that no
// stale data, udata or ext word from an earlier use reaches the kernel.
#pragma once

#include <jni.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/event.h"

namespace quarn::kqueue {

static_assert(sizeof(static_cast<struct kevent *>(nullptr)->ident) == 8, "ident must hold a sign-extended jint");

// A Java int identifier as the kernel's 64-bit ident: sign-extended, so -1 becomes all ones.
constexpr uint64_t identFromJava(jint ident) {
    return static_cast<uint64_t>(static_cast<int64_t>(ident));
}

inline struct kevent changeRecord(jint ident, jshort filter, jshort flags, jint fflags) {
    struct kevent record;
    std::memset(&record, 0, sizeof(record));
    record.ident = identFromJava(ident);
    record.filter = filter;
    record.flags = static_cast<uint16_t>(flags);
    record.fflags = static_cast<uint32_t>(fflags);
    return record;
}

// Writes a change record at an address of the Java side's memory. The copy goes through memcpy
// because the Java side may hand over any address; it compiles to a few plain stores.
inline void writeChangeRecord(void *address, jint ident, jshort filter, jshort flags, jint fflags) {
    const struct kevent record = changeRecord(ident, filter, flags, fflags);
    std::memcpy(address, &record, sizeof(record));
}

// Registers a user event that resets after each delivery.
inline struct kevent addUserEventRecord(jint ident) {
    struct kevent record;
    std::memset(&record, 0, sizeof(record));
    record.ident = identFromJava(ident);
    record.filter = EVFILT_USER;
    record.flags = EV_ADD | EV_ENABLE | EV_CLEAR;
    return record;
}

// Fires a registered user event.
inline struct kevent triggerUserEventRecord(jint ident) {
    struct kevent record;
    std::memset(&record, 0, sizeof(record));
    record.ident = identFromJava(ident);
    record.filter = EVFILT_USER;
    record.fflags = NOTE_TRIGGER;
    return record;
}

// submit(const struct kevent *change) performs kevent with one change, no event list and no
// timeout. An interrupted submission counts as done and is not repeated: with no event list the
// call never sleeps, and a second trigger or add is not wanted when the first may have landed.
// Returns 0, or the negated errno of any other failure.
template <typename Submit>
int submitUserEvent(Submit &&submit, const struct kevent &change) {
    const int result = submit(&change);
    if (result >= 0) {
        return result;
    }
    const int error = errno;
    return error == EINTR ? 0 : -error;
}

}  // namespace quarn::kqueue
