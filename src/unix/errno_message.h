// The errno message: a caller's prefix followed by the system's text for an error number.
#pragma once

#include <cstddef>

namespace quarn::errors {

using ZeroAllocator = void *(*)(size_t count, size_t size);

// The error number whose text a message shows: the absolute value of errorNumber, since
// callers pass errno negated as often as not. The most negative int has no int magnitude; it
// is no error number either, so it stays as it is and gets the system's text for an unknown
// number rather than overflowing.
int errorNumberMagnitude(int errorNumber);

// A heap string the caller frees: prefix (null counts as empty) followed directly by the
// system's text for the magnitude of errorNumber. The text is read through strerror_r into
// buffers of 64 up to 1024 bytes, growing while the system reports that it did not fit. When
// no buffer can be allocated the message is the prefix alone. Null only when the message
// itself cannot be allocated.
char *buildErrnoMessage(const char *prefix, int errorNumber, ZeroAllocator allocate = nullptr);

}  // namespace quarn::errors
