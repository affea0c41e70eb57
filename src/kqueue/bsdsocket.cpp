// io/quarn/channel/kqueue/BsdSocket: sendfile of a file region, the accept filter, TCP_NOPUSH,
// the send low-water mark and the credentials of a local socket's peer.
#include <errno.h>

#include "kqueue/bsdsocket_records.h"
#include "kqueue/bsdsocket_sendfile.h"
#include "platform/bsd_socket.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/util/registration.h"

namespace {

// Written by the module load, read by the natives until the unload.
struct ModuleState {
    jfieldID regionFile;
    jfieldID regionTransferred;
    jfieldID fileChannelFd;
    jfieldID fileDescriptorFd;
    jclass fileChannelImplClass;
    jclass stringClass;
    jclass peerCredentialsClass;
    jmethodID peerCredentialsConstructor;
};

ModuleState gState{};

constexpr char kBsdSocketClass[] = "io/quarn/channel/kqueue/BsdSocket";
constexpr char kFileRegionClass[] = "io/quarn/channel/DefaultFileRegion";
constexpr char kPeerCredentialsClass[] = "io/quarn/channel/unix/PeerCredentials";
constexpr char kFileChannelImplClass[] = "sun/nio/ch/FileChannelImpl";

void throwNullPointerException(JNIEnv *env, const char *message) {
    jclass npe = env->FindClass("java/lang/NullPointerException");
    if (npe != nullptr) {
        env->ThrowNew(npe, message);
        env->DeleteLocalRef(npe);
    }
}

// The option failure rule after a failed write; reads use quarn_unix_socket_getOptionHandleError.
void throwSetOptionFailure(JNIEnv *env, int error) {
    if (error == EBADF) {
        quarn_unix_errors_throwClosedChannelException(env);
    } else {
        quarn_unix_errors_throwChannelExceptionErrorNo(env, "setsockopt() failed: ", error);
    }
}

// The descriptor of the region's file, or -1 with a RuntimeException pending.
jint regionFileDescriptor(JNIEnv *env, jobject region) {
    jobject channel = env->GetObjectField(region, gState.regionFile);
    if (channel == nullptr) {
        quarn_unix_errors_throwRuntimeException(env, "failed to get DefaultFileRegion.file");
        return -1;
    }
    // The field belongs to the JDK's own channel class; any other FileChannel lacks it, and
    // reading it from such an object would be undefined.
    if (!env->IsInstanceOf(channel, gState.fileChannelImplClass)) {
        env->DeleteLocalRef(channel);
        quarn_unix_errors_throwRuntimeException(env, "failed to get FileChannelImpl.fd");
        return -1;
    }
    jobject descriptor = env->GetObjectField(channel, gState.fileChannelFd);
    env->DeleteLocalRef(channel);
    if (descriptor == nullptr) {
        quarn_unix_errors_throwRuntimeException(env, "failed to get FileChannelImpl.fd");
        return -1;
    }
    const jint fd = env->GetIntField(descriptor, gState.fileDescriptorFd);
    env->DeleteLocalRef(descriptor);
    if (fd == -1) {
        // A closed channel sets its descriptor to -1.
        quarn_unix_errors_throwRuntimeException(env, "failed to get FileDescriptor.fd");
        return -1;
    }
    return fd;
}

jlong sendFile(JNIEnv *env, jclass, jint socketFd, jobject region, jlong baseOffset, jlong offset, jlong length) {
    if (region == nullptr) {
        throwNullPointerException(env, "region");
        return -1;
    }
    if (length < 0) {
        return -EINVAL;
    }
    if (length == 0) {
        // The system reads a zero count as "the whole rest of the file": never pass it on.
        return 0;
    }
    off_t position = 0;
    if (__builtin_add_overflow(baseOffset, offset, &position)) {
        return -EINVAL;
    }
    const jint fileFd = regionFileDescriptor(env, region);
    if (fileFd == -1) {
        return -1;
    }
    const jlong result = quarn::bsdsocket::sendRegion(
        [fileFd, socketFd](off_t from, size_t count, off_t *sent) {
            return quarn::platform::sendFile(fileFd, socketFd, from, count, sent);
        },
        position, length);
    if (result > 0) {
        // Progress is reported even when the last call failed (EAGAIN after a partial send).
        env->SetLongField(region, gState.regionTransferred, offset + result);
    }
    return result;
}

void setAcceptFilter(JNIEnv *env, jclass, jint fd, jstring name, jstring argument) {
    if (name == nullptr || argument == nullptr) {
        throwNullPointerException(env, name == nullptr ? "filterName" : "filterArgs");
        return;
    }
    const char *nameChars = env->GetStringUTFChars(name, nullptr);
    if (nameChars == nullptr) {
        return;  // OutOfMemoryError pending
    }
    const char *argumentChars = env->GetStringUTFChars(argument, nullptr);
    if (argumentChars == nullptr) {
        env->ReleaseStringUTFChars(name, nameChars);
        return;
    }
    quarn::platform::AcceptFilterRecord record;
    quarn::bsdsocket::buildAcceptFilterRecord(nameChars, argumentChars, &record);
    env->ReleaseStringUTFChars(argument, argumentChars);
    env->ReleaseStringUTFChars(name, nameChars);
    if (quarn::platform::setAcceptFilter(fd, &record) != 0) {
        throwSetOptionFailure(env, errno);
    }
}

jobjectArray getAcceptFilter(JNIEnv *env, jclass, jint fd) {
    quarn::platform::AcceptFilterRecord record{};
    if (quarn::platform::getAcceptFilter(fd, &record) != 0) {
        quarn_unix_socket_getOptionHandleError(env, errno);
        return nullptr;
    }
    quarn::bsdsocket::terminateAcceptFilterRecord(&record);
    jobjectArray result = env->NewObjectArray(2, gState.stringClass, nullptr);
    if (result == nullptr) {
        return nullptr;
    }
    const char *texts[] = {record.af_name, record.af_arg};
    for (jsize i = 0; i < 2; ++i) {
        jstring text = env->NewStringUTF(texts[i]);
        if (text == nullptr) {
            env->DeleteLocalRef(result);
            return nullptr;
        }
        env->SetObjectArrayElement(result, i, text);
        env->DeleteLocalRef(text);
    }
    return result;
}

void setTcpNoPush(JNIEnv *env, jclass, jint fd, jint value) {
    quarn_unix_socket_setOption(env, fd, quarn::platform::kTcpNoPushLevel, quarn::platform::kTcpNoPushOption, &value,
                                sizeof(value));
}

void setSndLowAt(JNIEnv *env, jclass, jint fd, jint value) {
    quarn_unix_socket_setOption(env, fd, quarn::platform::kSndLowAtLevel, quarn::platform::kSndLowAtOption, &value,
                                sizeof(value));
}

jint getTcpNoPush(JNIEnv *env, jclass, jint fd) {
    jint value = 0;
    if (quarn_unix_socket_getOption(env, fd, quarn::platform::kTcpNoPushLevel, quarn::platform::kTcpNoPushOption,
                                    &value, sizeof(value)) < 0) {
        return -1;
    }
    return value;
}

jint getSndLowAt(JNIEnv *env, jclass, jint fd) {
    jint value = 0;
    if (quarn_unix_socket_getOption(env, fd, quarn::platform::kSndLowAtLevel, quarn::platform::kSndLowAtOption,
                                    &value, sizeof(value)) < 0) {
        return -1;
    }
    return value;
}

jobject getPeerCredentials(JNIEnv *env, jclass, jint fd) {
    // Zeroed, so that nothing the kernel did not write is ever handed to Java.
    quarn::platform::PeerCredentialRecord record{};
    const int outcome = quarn::bsdsocket::readPeerCredentials(
        [fd](quarn::platform::PeerCredentialRecord *answer, socklen_t *length) {
            return quarn::platform::getPeerCredentials(fd, answer, length);
        },
        &record);
    if (outcome != 0) {
        quarn_unix_socket_getOptionHandleError(env, -outcome);
        return nullptr;
    }
    const int count = quarn::bsdsocket::peerGroupCount(record);
    jint groups[quarn::platform::kPeerGroupsMax];
    for (int i = 0; i < count; ++i) {
        groups[i] = static_cast<jint>(record.cr_groups[i]);
    }
    jintArray array = env->NewIntArray(count);
    if (array == nullptr) {
        return nullptr;
    }
    env->SetIntArrayRegion(array, 0, count, groups);
    jobject result = env->NewObject(gState.peerCredentialsClass, gState.peerCredentialsConstructor, jint{0},
                                    static_cast<jint>(record.cr_uid), array);
    env->DeleteLocalRef(array);
    return result;
}

const JNINativeMethod kStaticMethods[] = {
    QUARN_NATIVE("setAcceptFilter", "(ILjava/lang/String;Ljava/lang/String;)V", setAcceptFilter),
    QUARN_NATIVE("setTcpNoPush", "(II)V", setTcpNoPush),
    QUARN_NATIVE("setSndLowAt", "(II)V", setSndLowAt),
    QUARN_NATIVE("getAcceptFilter", "(I)[Ljava/lang/String;", getAcceptFilter),
    QUARN_NATIVE("getTcpNoPush", "(I)I", getTcpNoPush),
    QUARN_NATIVE("getSndLowAt", "(I)I", getSndLowAt),
};

const quarn::util::DynamicMethod kDynamicMethods[] = {
    {"sendFile", "(IL", "io/quarn/channel/DefaultFileRegion;JJJ)J", reinterpret_cast<void *>(sendFile)},
    {"getPeerCredentials", "(I)L", "io/quarn/channel/unix/PeerCredentials;",
     reinterpret_cast<void *>(getPeerCredentials)},
};

// A local reference to a class, looked up under the package prefix when one is given; null
// with no exception pending when the class is missing or the name cannot be built.
jclass findClass(JNIEnv *env, const char *packagePrefix, const char *name) {
    char *fullName = quarn_unix_util_prepend(packagePrefix, name);
    if (fullName == nullptr) {
        return nullptr;
    }
    jclass found = env->FindClass(fullName);
    quarn_unix_util_free_dynamic_name(&fullName);
    if (found == nullptr) {
        env->ExceptionClear();
    }
    return found;
}

// A global reference to the class, or null (a missing class leaves no exception pending).
jclass findGlobalClass(JNIEnv *env, const char *packagePrefix, const char *name) {
    jclass local = findClass(env, packagePrefix, name);
    if (local == nullptr) {
        return nullptr;
    }
    auto global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    return global;
}

bool cacheFields(JNIEnv *env, const char *packagePrefix) {
    jclass region = findClass(env, packagePrefix, kFileRegionClass);
    if (region == nullptr) {
        return false;
    }
    gState.regionFile = env->GetFieldID(region, "file", "Ljava/nio/channels/FileChannel;");
    gState.regionTransferred =
        gState.regionFile == nullptr ? nullptr : env->GetFieldID(region, "transferred", "J");
    env->DeleteLocalRef(region);
    if (gState.regionTransferred == nullptr) {
        return false;
    }

    gState.fileChannelImplClass = findGlobalClass(env, nullptr, kFileChannelImplClass);
    if (gState.fileChannelImplClass == nullptr) {
        return false;
    }
    gState.fileChannelFd = env->GetFieldID(gState.fileChannelImplClass, "fd", "Ljava/io/FileDescriptor;");
    if (gState.fileChannelFd == nullptr) {
        return false;
    }

    jclass fileDescriptor = findClass(env, nullptr, "java/io/FileDescriptor");
    if (fileDescriptor == nullptr) {
        return false;
    }
    gState.fileDescriptorFd = env->GetFieldID(fileDescriptor, "fd", "I");
    env->DeleteLocalRef(fileDescriptor);
    return gState.fileDescriptorFd != nullptr;
}

bool cacheClasses(JNIEnv *env, const char *packagePrefix) {
    gState.stringClass = findGlobalClass(env, nullptr, "java/lang/String");
    if (gState.stringClass == nullptr) {
        return false;
    }
    gState.peerCredentialsClass = findGlobalClass(env, packagePrefix, kPeerCredentialsClass);
    if (gState.peerCredentialsClass == nullptr) {
        return false;
    }
    gState.peerCredentialsConstructor = env->GetMethodID(gState.peerCredentialsClass, "<init>", "(II[I)V");
    return gState.peerCredentialsConstructor != nullptr;
}

void releaseGlobalClass(JNIEnv *env, jclass *reference) {
    if (*reference != nullptr) {
        env->DeleteGlobalRef(*reference);
        *reference = nullptr;
    }
}

}  // namespace

extern "C" jint quarn_kqueue_bsdsocket_JNI_OnLoad(JNIEnv *env, const char *packagePrefix) {
    if (quarn::util::registerWithDynamicRows(env, packagePrefix, kBsdSocketClass, kStaticMethods,
                                             QUARN_TABLE_SIZE(kStaticMethods), kDynamicMethods,
                                             QUARN_TABLE_SIZE(kDynamicMethods)) != 0) {
        return -1;
    }
    if (!cacheFields(env, packagePrefix) || !cacheClasses(env, packagePrefix)) {
        // The library's rollback does not unload the module that failed, so it releases its
        // own references here; a missing field or constructor keeps its exception pending.
        quarn_kqueue_bsdsocket_JNI_OnUnLoad(env);
        return -1;
    }
    return JNI_VERSION_1_6;
}

extern "C" void quarn_kqueue_bsdsocket_JNI_OnUnLoad(JNIEnv *env) {
    releaseGlobalClass(env, &gState.peerCredentialsClass);
    releaseGlobalClass(env, &gState.stringClass);
    releaseGlobalClass(env, &gState.fileChannelImplClass);
}
