// Test-only natives of io.quarn.test.TestNatives: what the JDK cannot do from Java (receive
// options on a raw descriptor, pipes and plain reads and writes on descriptor numbers).
// Never part of the product library. Failures come back as negated errno values.
#include <fcntl.h>
#include <jni.h>

#include "errno_names.h"
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

jint setIntOption(jint fd, int level, int option, jboolean on) {
    const int value = on ? 1 : 0;
    return setsockopt(fd, level, option, &value, sizeof(value)) == -1 ? -errno : 0;
}

jint receiveOriginalDestination(JNIEnv *, jclass, jint fd, jboolean on) {
    return setIntOption(fd, IPPROTO_IP, IP_RECVORIGDSTADDR, on);
}

jint receiveTtl(JNIEnv *, jclass, jint fd, jboolean on) {
    return setIntOption(fd, IPPROTO_IP, IP_RECVTTL, on);
}

jint receivePacketInfo(JNIEnv *, jclass, jint fd, jboolean on) {
#if defined(IP_PKTINFO)
    return setIntOption(fd, IPPROTO_IP, IP_PKTINFO, on);
#else
    // The BSDs' message of the same place and purpose.
    return setIntOption(fd, IPPROTO_IP, IP_RECVDSTADDR, on);
#endif
}

jintArray pipe(JNIEnv *env, jclass) {
    int fds[2];
    if (::pipe(fds) == -1) {
        return nullptr;
    }
    jintArray result = env->NewIntArray(2);
    if (result == nullptr) {
        close(fds[0]);
        close(fds[1]);
        return nullptr;
    }
    const jint values[2] = {fds[0], fds[1]};
    env->SetIntArrayRegion(result, 0, 2, values);
    return result;
}

jint closeFd(JNIEnv *, jclass, jint fd) {
    return close(fd) == -1 ? -errno : 0;
}

jint write(JNIEnv *env, jclass, jint fd, jbyteArray data) {
    jbyte buffer[256];
    const jsize length = env->GetArrayLength(data);
    if (length > static_cast<jsize>(sizeof(buffer))) {
        return -EMSGSIZE;
    }
    env->GetByteArrayRegion(data, 0, length, buffer);
    const ssize_t written = ::write(fd, buffer, static_cast<size_t>(length));
    return written == -1 ? -errno : static_cast<jint>(written);
}

// Up to max bytes (at most 256); an empty array at end of file; null with errno lost on failure.
jbyteArray read(JNIEnv *env, jclass, jint fd, jint max) {
    jbyte buffer[256];
    const size_t want = max < 0 ? 0 : (max > 256 ? 256 : static_cast<size_t>(max));
    const ssize_t got = ::read(fd, buffer, want);
    if (got == -1) {
        return nullptr;
    }
    jbyteArray result = env->NewByteArray(static_cast<jsize>(got));
    if (result != nullptr) {
        env->SetByteArrayRegion(result, 0, static_cast<jsize>(got), buffer);
    }
    return result;
}

jboolean isNonBlocking(JNIEnv *, jclass, jint fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_NONBLOCK) != 0;
}

jboolean isOpen(JNIEnv *, jclass, jint fd) {
    return fcntl(fd, F_GETFD) != -1;
}

jboolean sameFile(JNIEnv *, jclass, jint a, jint b) {
    struct stat first, second;
    if (fstat(a, &first) == -1 || fstat(b, &second) == -1) {
        return JNI_FALSE;
    }
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// The platform's value of an errno name the product's errno natives do not offer.
jint errnoNamed(JNIEnv *env, jclass, jstring name) { return errnoByName(env, name); }

#define ROW(name, signature, function) \
    JNINativeMethod { const_cast<char *>(name), const_cast<char *>(signature), reinterpret_cast<void *>(function) }

const JNINativeMethod kMethods[] = {
    ROW("receiveOriginalDestination", "(IZ)I", receiveOriginalDestination),
    ROW("receiveTtl", "(IZ)I", receiveTtl),
    ROW("receivePacketInfo", "(IZ)I", receivePacketInfo),
    ROW("pipe", "()[I", pipe),
    ROW("close", "(I)I", closeFd),
    ROW("write", "(I[B)I", write),
    ROW("read", "(II)[B", read),
    ROW("isNonBlocking", "(I)Z", isNonBlocking),
    ROW("isOpen", "(I)Z", isOpen),
    ROW("sameFile", "(II)Z", sameFile),
    ROW("errno", "(Ljava/lang/String;)I", errnoNamed),
};

}  // namespace

extern "C" JNIEXPORT jint JNI_OnLoad(JavaVM *vm, void *) {
    JNIEnv *env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) != JNI_OK) {
        return JNI_ERR;
    }
    jclass natives = env->FindClass("io/quarn/test/TestNatives");
    if (natives == nullptr ||
        env->RegisterNatives(natives, kMethods, sizeof(kMethods) / sizeof(kMethods[0])) != 0) {
        return JNI_ERR;
    }
    return JNI_VERSION_1_6;
}
