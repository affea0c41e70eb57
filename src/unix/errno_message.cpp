// The errno message builder behind the ...ErrorNo throw functions.
#include "unix/errno_message.h"

#include <climits>
#include <cstdlib>

#include "platform/strerror.h"
#include "quarn_transport_native_kqueue.h"

namespace quarn::errors {

int errorNumberMagnitude(int errorNumber) {
    if (errorNumber >= 0 || errorNumber == INT_MIN) {
        return errorNumber;
    }
    return -errorNumber;
}

char *buildErrnoMessage(const char *prefix, int errorNumber, ZeroAllocator allocate) {
    if (allocate == nullptr) {
        allocate = &std::calloc;
    }
    const int number = errorNumberMagnitude(errorNumber);
    char *text = nullptr;
    // Every text a system has fits the first size; the larger ones are for a system with long
    // texts, and the last size is kept even when the text had to be cut to fit it.
    for (size_t size = 64; size <= 1024; size *= 2) {
        std::free(text);
        text = static_cast<char *>(allocate(size, 1));
        if (text == nullptr) {
            // A message without the text still tells the Java side which call failed.
            return quarn_unix_util_prepend(prefix, "");
        }
        if (platform::errorText(number, text, size) != ERANGE) {
            break;
        }
    }
    char *message = quarn_unix_util_prepend(prefix, text);
    std::free(text);
    return message;
}

}  // namespace quarn::errors
