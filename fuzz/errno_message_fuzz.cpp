// The errno message builder over arbitrary prefixes and error numbers.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "unix/errno_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) {
        return 0;
    }
    int errorNumber;
    std::memcpy(&errorNumber, data, sizeof(errorNumber));
    std::string prefix(reinterpret_cast<const char *>(data + 4), size - 4);
    prefix = prefix.c_str();
    char *message = quarn::errors::buildErrnoMessage(prefix.c_str(), errorNumber);
    if (message == nullptr || std::strncmp(message, prefix.c_str(), prefix.size()) != 0) {
        std::abort();
    }
    std::free(message);
    return 0;
}
