// Local (Unix-domain) stream sockets: binding and connecting by path, and passing descriptors.
//
// The natives never throw: every result is a non-negative value or a negated errno. The plain
// functions below carry their logic and are tested without a JVM.
#pragma once

#include <jni.h>
// FreeBSD's CMSG_* macros need u_long, which its <sys/socket.h> does not declare.
#include <sys/types.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>

namespace quarn::socket {

// What recvFd returns for a message that carried data but no control data at all: the peer
// sent a plain byte where a descriptor was expected. Neither 0 (the peer closed) nor EAGAIN
// (nothing waiting), so the Java side can tell it from both.
inline constexpr int kNoDescriptorInMessage = ENOMSG;

// A local socket address built from the Java side's path bytes, with the same path as a
// NUL-terminated string for unlink(2), so that unlink and bind name exactly the same file.
struct DomainAddress {
    sockaddr_un address;
    socklen_t length;
    char path[sizeof(sockaddr_un::sun_path) + 1];
};

// The path is the bytes up to the first zero byte or the end of the array. Returns 0, or
// -ENAMETOOLONG when the path does not fit sun_path and -ENOENT when it is empty; on failure
// nothing is to be passed to the system. A zero byte that ends the path inside the array is
// copied and counted in the address length when sun_path has room for it.
int makeDomainAddress(const jbyte *bytes, size_t length, DomainAddress *out);

// The one-descriptor message sendFd sends: a single data byte and an SCM_RIGHTS control
// message, all inside this record so that the header's pointers stay valid while it lives.
struct DescriptorMessage {
    msghdr header;
    iovec data;
    char byte;
    struct {
        alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(int))];
    } control;
};

// Fills message (header pointers included) to carry descriptor. Do not copy the record after.
void makeDescriptorMessage(int descriptor, DescriptorMessage *message);

// The receiving side of the same message; reset() before every recvmsg, because a receive
// leaves the control length and flags as the kernel wrote them.
struct DescriptorReception {
    msghdr header;
    iovec data;
    char byte;
    struct {
        alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(int))];
    } control;

    void reset();
};

// What a received message held, once its control data has been walked.
enum class Passed {
    Descriptor,    // a complete single-descriptor SCM_RIGHTS message; *descriptor is set
    NoControl,     // no control data at all
    Unusable,      // anything else: every descriptor it carried has been closed
};

// Walks the control data of a received message (bounded by the control length the kernel
// returned; a message shorter than its header ends the walk). Takes the descriptor of the
// first complete single-descriptor SCM_RIGHTS message when MSG_CTRUNC is clear, and closes
// every other descriptor that arrived, so that none leaks out of a skipped message.
Passed takePassedDescriptor(const msghdr &message, int *descriptor);

// The natives of io/quarn/channel/unix/Socket for local sockets (rows of the module's table).
jint recvFd(JNIEnv *env, jclass clazz, jint socket);
jint sendFd(JNIEnv *env, jclass clazz, jint socket, jint descriptor);
jint bindDomainSocket(JNIEnv *env, jclass clazz, jint socket, jbyteArray path);
jint connectDomainSocket(JNIEnv *env, jclass clazz, jint socket, jbyteArray path);

}  // namespace quarn::socket
