// Prefix discovery and the backwards search over arbitrary paths and needles.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quarn_transport_native_kqueue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // First byte splits the input into a path and a library name.
    if (size < 1) {
        return 0;
    }
    const size_t split = data[0] % (size);
    std::string path(reinterpret_cast<const char *>(data + 1), split > 0 ? split - 1 : 0);
    std::string name(reinterpret_cast<const char *>(data + split + (split == 0 ? 1 : 0)),
                     size - split - (split == 0 ? 1 : 0));
    path = path.c_str();  // stop at an embedded NUL, as a C string would
    name = name.c_str();

    jint status = 0;
    char *prefix = quarn_unix_util_parse_package_prefix(path.c_str(), "quarn_transport_native_kqueue", &status);
    if (prefix != nullptr) {
        const size_t length = std::strlen(prefix);
        if (length == 0 || prefix[length - 1] != '/' || status != 0 || std::strchr(prefix, '_') != nullptr) {
            std::abort();
        }
        std::free(prefix);
    }
    if (!name.empty()) {
        status = 0;
        std::free(quarn_unix_util_parse_package_prefix(path.c_str(), name.c_str(), &status));
        char *end = path.data() + path.size();
        char *found = quarn_unix_util_rstrstr(end, path.data(), name.c_str());
        if (found != nullptr && (found < path.data() || found + name.size() > end ||
                                 std::strncmp(found, name.c_str(), name.size()) != 0)) {
            std::abort();
        }
    }
    return 0;
}
