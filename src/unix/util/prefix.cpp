// Package prefix discovery: a relocated copy of the library is named
// lib + prefix (components joined by '_') + library name + any suffix.
#include <cstdlib>
#include <cstring>

#include "quarn_transport_native_kqueue.h"

namespace {

// The start of the last occurrence of name in path, overlapping occurrences included.
const char *lastOccurrence(const char *path, const char *name) {
    const char *last = nullptr;
    for (const char *at = std::strstr(path, name); at != nullptr; at = std::strstr(at + 1, name)) {
        last = at;
    }
    return last;
}

char *fail(jint *status) {
    *status = -1;
    return nullptr;
}

}  // namespace

extern "C" char *quarn_unix_util_rstrstr(char *s1rbegin, const char *s1rend, const char *s2) {
    const size_t needleLength = std::strlen(s2);
    if (s1rbegin < s1rend || static_cast<size_t>(s1rbegin - s1rend) < needleLength) {
        return nullptr;
    }
    for (char *at = s1rbegin - needleLength;; --at) {
        if (std::strncmp(at, s2, needleLength) == 0) {
            return at;
        }
        if (at == s1rend) {
            return nullptr;
        }
    }
}

extern "C" char *quarn_unix_util_parse_package_prefix(const char *libraryPathName, const char *libraryName,
                                                      jint *status) {
    const char *name = lastOccurrence(libraryPathName, libraryName);
    if (name == nullptr || name - libraryPathName < 3) {
        return fail(status);
    }
    // The marker nearest the name wins; the scan crosses '/' and every other byte.
    const char *marker = nullptr;
    for (const char *p = name - 3;; --p) {
        if (p[0] == 'l' && p[1] == 'i' && p[2] == 'b') {
            marker = p;
            break;
        }
        if (p == libraryPathName) {
            break;
        }
    }
    if (marker == nullptr) {
        return fail(status);
    }
    if (marker == name - 3) {
        return nullptr;
    }
    const char *begin = marker + 3;
    char *prefix = strndup(begin, static_cast<size_t>(name - begin));
    if (prefix == nullptr) {
        return fail(status);
    }
    for (char *c = prefix; *c != '\0'; ++c) {
        if (*c == '_') {
            *c = '/';
        }
    }
    const size_t length = std::strlen(prefix);
    if (prefix[length - 1] == '/') {
        return prefix;
    }
    char *withSlash = static_cast<char *>(std::malloc(length + 2));
    if (withSlash == nullptr) {
        std::free(prefix);
        return fail(status);
    }
    std::memcpy(withSlash, prefix, length);
    withSlash[length] = '/';
    withSlash[length + 1] = '\0';
    std::free(prefix);
    return withSlash;
}
