// The system's text for an error number, written into a caller's buffer.
//
// strerror(3) may return one static buffer shared by every thread, so the library reads error
// texts only through strerror_r(3). Its two forms are told apart by their return type rather
// than by the system's name: glibc with _GNU_SOURCE (which C++ compilers define) declares the
// GNU form, which returns a pointer to the text and often leaves the buffer untouched;
// FreeBSD and POSIX declare the form that returns 0 or an error number.
#pragma once

#include <errno.h>
#include <string.h>

#include <cstddef>

namespace quarn::platform {

namespace detail {

// The POSIX form: 0, ERANGE when the text was cut, EINVAL for a number the system does not
// know (the buffer then holds the system's text for an unknown number). glibc before 2.13
// answered -1 and set errno instead.
inline int strerrorOutcome(int result, char *, size_t) { return result == -1 ? errno : result; }

// The GNU form: the text is either in the buffer already or somewhere static.
inline int strerrorOutcome(const char *text, char *buffer, size_t size) {
    if (text == nullptr) {
        return EINVAL;
    }
    if (text == buffer) {
        return 0;
    }
    const size_t length = strlen(text);
    const size_t copied = length < size ? length : size - 1;
    memcpy(buffer, text, copied);
    buffer[copied] = '\0';
    // Reported as the POSIX form would, so that a caller can grow its buffer and retry.
    return copied < length ? ERANGE : 0;
}

}  // namespace detail

// Writes the text for errorNumber into buffer (size at least 1), always NUL-terminated.
// Returns 0; ERANGE when the text did not fit and was cut; another error number when the
// system has no text for errorNumber, the buffer then holding whatever the system put there.
inline int errorText(int errorNumber, char *buffer, size_t size) {
    buffer[0] = '\0';
    const int outcome = detail::strerrorOutcome(strerror_r(errorNumber, buffer, size), buffer, size);
    buffer[size - 1] = '\0';
    return outcome;
}

}  // namespace quarn::platform
