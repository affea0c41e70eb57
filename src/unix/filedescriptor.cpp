// io/quarn/channel/unix/FileDescriptor: close, open, reads, writes and gathering writes on
// descriptors, and non-blocking pipes. Every native reports failure as a negated errno and
// throws nothing of its own.
#include <errno.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "platform/event.h"
#include "platform/limits.h"
#include "platform/pipe.h"
#include "quarn_transport_native_kqueue.h"
#include "unix/filedescriptor_vector.h"
#include "unix/span.h"
#include "unix/util/registration.h"

namespace {

// Written once by the module's load, only read afterwards.
quarn::fd::BufferAccess gBufferAccess{};

// The data-path calls restart when a signal interrupts them; then the negated errno.
template <typename Call>
auto retryOnInterrupt(Call call) -> decltype(call()) {
    for (;;) {
        const auto result = call();
        if (result >= 0) {
            return result;
        }
        const int error = errno;
        if (error != EINTR) {
            return -error;
        }
    }
}

jint writeSpan(jint fd, void *address, int64_t capacity, jint position, jint limit) {
    const int64_t length = quarn::util::spanLength(position, limit, capacity);
    if (length < 0) {
        return -EINVAL;
    }
    return static_cast<jint>(retryOnInterrupt(
        [&] { return write(fd, quarn::util::spanStart(address, position), static_cast<size_t>(length)); }));
}

jint readSpan(jint fd, void *address, int64_t capacity, jint position, jint limit) {
    const int64_t length = quarn::util::spanLength(position, limit, capacity);
    if (length < 0) {
        return -EINVAL;
    }
    return static_cast<jint>(retryOnInterrupt(
        [&] { return read(fd, quarn::util::spanStart(address, position), static_cast<size_t>(length)); }));
}

jint close0(JNIEnv *, jclass, jint fd) {
    // The Linux kqueue layer forgets the descriptor's registrations here, as FreeBSD's kernel
    // does on close.
    quarn::platform::descriptorClosing(fd);
    if (close(fd) == 0) {
        return 0;
    }
    const int error = errno;
    // Never retried: after an interrupted close the descriptor is gone (Linux) or its state is
    // unspecified, and a retry could close a descriptor another thread has just opened.
    return error == EINTR ? 0 : -error;
}

jint open0(JNIEnv *env, jclass, jstring path) {
    if (path == nullptr) {
        return -EINVAL;
    }
    const char *chars = env->GetStringUTFChars(path, nullptr);
    if (chars == nullptr) {
        // The VM's OutOfMemoryError is pending; the result says the open did not happen.
        return -ENOMEM;
    }
    const int fd = open(chars, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int error = errno;
    env->ReleaseStringUTFChars(path, chars);
    return fd >= 0 ? fd : -error;
}

// A null or heap buffer has no native address: -EFAULT, before its span is looked at.
jint write0(JNIEnv *env, jclass, jint fd, jobject buffer, jint position, jint limit) {
    const quarn::util::DirectMemory memory = quarn::util::directMemory(env, buffer);
    if (memory.address == nullptr) {
        return -EFAULT;
    }
    return writeSpan(fd, memory.address, memory.capacity, position, limit);
}

jint writeAddress(JNIEnv *, jclass, jint fd, jlong address, jint position, jint limit) {
    return writeSpan(fd, reinterpret_cast<void *>(static_cast<intptr_t>(address)), quarn::util::kUnknownCapacity,
                     position, limit);
}

jlong writevAddresses(JNIEnv *, jclass, jint fd, jlong vectorAddress, jint length) {
    const auto *vector = reinterpret_cast<const struct iovec *>(static_cast<intptr_t>(vectorAddress));
    return retryOnInterrupt([&] { return writev(fd, vector, length); });
}

jlong writev0(JNIEnv *env, jclass, jint fd, jobjectArray buffers, jint offset, jint length, jlong maxBytes) {
    // A fixed array of the system's limit, whatever the caller asks for: more buffers than
    // that make a short write the caller continues.
    if (buffers == nullptr) {
        return -EINVAL;  // like a null element: nothing to read positions from
    }
    struct iovec vector[quarn::platform::kIovMax];
    const int count = quarn::fd::fillIoVector(env, gBufferAccess, buffers, offset, length, maxBytes, vector,
                                              quarn::platform::kIovMax);
    if (count < 0) {
        return count;
    }
    return retryOnInterrupt([&] { return writev(fd, vector, count); });
}

jint read0(JNIEnv *env, jclass, jint fd, jobject buffer, jint position, jint limit) {
    const quarn::util::DirectMemory memory = quarn::util::directMemory(env, buffer);
    if (memory.address == nullptr) {
        return -EFAULT;
    }
    return readSpan(fd, memory.address, memory.capacity, position, limit);
}

jint readAddress(JNIEnv *, jclass, jint fd, jlong address, jint position, jint limit) {
    return readSpan(fd, reinterpret_cast<void *>(static_cast<intptr_t>(address)), quarn::util::kUnknownCapacity,
                    position, limit);
}

// The read end in the upper half, the write end in the lower: never negative on success.
jlong newPipe(JNIEnv *, jclass) {
    int pair[2];
    const int result = quarn::platform::openNonBlockingPipe(pair);
    if (result < 0) {
        return result;
    }
    return static_cast<jlong>((static_cast<uint64_t>(static_cast<uint32_t>(pair[0])) << 32) |
                              static_cast<uint32_t>(pair[1]));
}

const JNINativeMethod kMethods[] = {
    QUARN_NATIVE("close", "(I)I", close0),
    QUARN_NATIVE("open", "(Ljava/lang/String;)I", open0),
    QUARN_NATIVE("write", "(ILjava/nio/ByteBuffer;II)I", write0),
    QUARN_NATIVE("writeAddress", "(IJII)I", writeAddress),
    QUARN_NATIVE("writevAddresses", "(IJI)J", writevAddresses),
    QUARN_NATIVE("writev", "(I[Ljava/nio/ByteBuffer;IIJ)J", writev0),
    QUARN_NATIVE("read", "(ILjava/nio/ByteBuffer;II)I", read0),
    QUARN_NATIVE("readAddress", "(IJII)I", readAddress),
    QUARN_NATIVE("newPipe", "()J", newPipe),
};

// A field the VM lacks is no failure: its value is then read through the method.
jfieldID optionalIntField(JNIEnv *env, jclass bufferClass, const char *name) {
    jfieldID field = env->GetFieldID(bufferClass, name, "I");
    if (field == nullptr) {
        env->ExceptionClear();
    }
    return field;
}

// Looks the identifiers up on the class of a real direct buffer, made over a one-byte block.
bool cacheBufferAccess(JNIEnv *env, void *block) {
    jobject buffer = env->NewDirectByteBuffer(block, 1);
    if (buffer == nullptr) {
        return false;
    }
    if (env->GetDirectBufferAddress(buffer) == nullptr) {
        // The VM does not support direct buffers.
        return false;
    }
    jclass bufferClass = env->GetObjectClass(buffer);
    if (bufferClass == nullptr) {
        return false;
    }
    quarn::fd::BufferAccess access{};
    access.positionMethod = env->GetMethodID(bufferClass, "position", "()I");
    if (access.positionMethod == nullptr) {
        return false;
    }
    access.limitMethod = env->GetMethodID(bufferClass, "limit", "()I");
    if (access.limitMethod == nullptr) {
        return false;
    }
    access.positionField = optionalIntField(env, bufferClass, "position");
    access.limitField = optionalIntField(env, bufferClass, "limit");
    gBufferAccess = access;
    env->DeleteLocalRef(bufferClass);
    env->DeleteLocalRef(buffer);
    return true;
}

}  // namespace

extern "C" jint quarn_unix_filedescriptor_JNI_OnLoad(JNIEnv *env, const char *packagePrefix) {
    if (quarn_unix_util_register_natives(env, packagePrefix, "io/quarn/channel/unix/FileDescriptor", kMethods,
                                         QUARN_TABLE_SIZE(kMethods)) != 0) {
        return -1;
    }
    void *block = std::malloc(1);
    if (block == nullptr) {
        return -1;
    }
    const bool cached = cacheBufferAccess(env, block);
    std::free(block);
    return cached ? JNI_VERSION_1_6 : -1;
}

extern "C" void quarn_unix_filedescriptor_JNI_OnUnLoad(JNIEnv *) {}
