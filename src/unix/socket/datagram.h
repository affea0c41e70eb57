// UDP datagrams: three sends, the receive routine and its two entry points, and the plain
// decisions under them (the destination-address probe, receive errors, the control walk).
#pragma once

#include <jni.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/socket.h"
#include "unix/span.h"

namespace quarn::socket {

// What the per-receive probe of IP_RECVORIGDSTADDR says.
enum class DestinationProbe {
    Off,     // the option is off, or does not apply to this socket (an IPv6 socket on FreeBSD)
    On,      // the option is on: receive with recvmsg and look for the destination message
    Failed,  // the probe itself failed: raise by the option failure rule and receive nothing
};

// result and value are getsockopt's answer and the int it filled; error is errno after a -1.
DestinationProbe classifyProbe(int result, int value, int error);

// What a receive that returned -1 with errno error comes to.
enum class ReceiveFailure {
    Retry,            // EINTR: the same call again
    Closed,           // EBADF: ClosedChannelException
    NothingWaiting,   // EAGAIN: null with no exception
    PortUnreachable,  // ECONNREFUSED: PortUnreachableException "recvfrom() failed"
    Other,            // IOException "recvfrom() failed: " and the error text
};

ReceiveFailure classifyReceiveError(int error);

// The control buffer of a receive with the destination option on: room for the destination
// message behind every message the kernel may put ahead of it, aligned for the headers. On
// the stack; the walk over it stays bounded by the control length the kernel returns.
struct DatagramControl {
    alignas(cmsghdr) char bytes[platform::kDestinationControlBytes];
};

// Looks through the control data that recvmsg returned for the IPPROTO_IP/IP_ORIGDSTADDR
// message. Only a message whose data holds a whole sockaddr_in inside the returned control
// length, with family AF_INET, counts; it is copied into *destination, which is zeroed first.
// False when there is none (destination is then zeroed as well).
bool findOriginalDestination(const msghdr &message, sockaddr_storage *destination);

// The receive routine: a new DatagramSocketAddress of the sender, with the original
// destination as its local address when the socket asks for it; null with an exception
// pending on failure, or null with none when nothing is waiting.
// memory is the caller's region base; a buffer without an address (capacity -1) is refused
// as EFAULT before receiving.
jobject receiveDatagram(JNIEnv *env, jint fd, util::DirectMemory memory, jint position, jint limit);

// The natives of io/quarn/channel/unix/Socket for datagrams (rows of the module's table; the
// two receives are its dynamic rows because their result class carries the package prefix).
jint sendTo(JNIEnv *env, jclass clazz, jint fd, jboolean ipv6, jobject buffer, jint position, jint limit,
            jbyteArray address, jint scopeId, jint port);
jint sendToAddress(JNIEnv *env, jclass clazz, jint fd, jboolean ipv6, jlong memoryAddress, jint position, jint limit,
                   jbyteArray address, jint scopeId, jint port);
jint sendToAddresses(JNIEnv *env, jclass clazz, jint fd, jboolean ipv6, jlong memoryAddress, jint length,
                     jbyteArray address, jint scopeId, jint port);
jobject recvFrom(JNIEnv *env, jclass clazz, jint fd, jobject buffer, jint position, jint limit);
jobject recvFromAddress(JNIEnv *env, jclass clazz, jint fd, jlong memoryAddress, jint position, jint limit);

}  // namespace quarn::socket
