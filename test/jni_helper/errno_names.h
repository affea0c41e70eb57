// The platform's value of the errno names the Java tests ask for by name (those the product's
// errno natives do not offer, and those the fault sweep injects); 0 for a name not listed.
#pragma once

#include <jni.h>

#include <cerrno>
#include <cstring>

inline jint errnoByName(JNIEnv *env, jstring name) {
    const char *chars = env->GetStringUTFChars(name, nullptr);
    if (chars == nullptr) {
        return 0;
    }
    static const struct {
        const char *name;
        int value;
    } kErrnos[] = {{"ENOMEM", ENOMEM},     {"EMFILE", EMFILE},         {"ENFILE", ENFILE},
                   {"ENOSPC", ENOSPC},     {"EINTR", EINTR},           {"EAGAIN", EAGAIN},
                   {"EIO", EIO},           {"ENOBUFS", ENOBUFS},       {"EINVAL", EINVAL},
                   {"EADDRINUSE", EADDRINUSE}, {"ENOTCONN", ENOTCONN}, {"EBADF", EBADF},
                   {"EPIPE", EPIPE},       {"ECONNRESET", ECONNRESET}, {"ENAMETOOLONG", ENAMETOOLONG},
                   {"ENOMSG", ENOMSG},     {"ENOTSOCK", ENOTSOCK},     {"EMSGSIZE", EMSGSIZE},
                   {"EISDIR", EISDIR},     {"EFAULT", EFAULT},         {"ENOENT", ENOENT},
                   {"EOVERFLOW", EOVERFLOW}};
    jint value = 0;
    for (const auto &entry : kErrnos) {
        if (std::strcmp(entry.name, chars) == 0) {
            value = entry.value;
        }
    }
    env->ReleaseStringUTFChars(name, chars);
    return value;
}
