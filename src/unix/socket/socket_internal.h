// What the files of the socket module share: the natives that module.cpp puts into the one
// method table of io/quarn/channel/unix/Socket, and the datagram address class and
// constructor that the module load caches. Nothing here is exported from the library.
#pragma once

#include <jni.h>

namespace quarn::socket {

// The cached io/quarn/channel/unix/DatagramSocketAddress class (a global reference) and its
// (byte[], int, int, int, DatagramSocketAddress) constructor. Written by the module load,
// the class cleared by the unload; natives only read them.
struct DatagramAddressType {
    jclass type = nullptr;
    jmethodID constructor = nullptr;
};
DatagramAddressType &datagramAddressType();

// Lifecycle natives (lifecycle.cpp).
jint shutdown(JNIEnv *env, jclass, jint fd, jboolean read, jboolean write);
jint bind(JNIEnv *env, jclass, jint fd, jboolean ipv6, jbyteArray address, jint scopeId, jint port);
jint listen(JNIEnv *env, jclass, jint fd, jint backlog);
jint connect(JNIEnv *env, jclass, jint fd, jboolean ipv6, jbyteArray address, jint scopeId, jint port);
jint finishConnect(JNIEnv *env, jclass, jint fd);
jint disconnect(JNIEnv *env, jclass, jint fd, jboolean ipv6);
jint accept(JNIEnv *env, jclass, jint fd, jbyteArray peer);
jbyteArray remoteAddress(JNIEnv *env, jclass, jint fd);
jbyteArray localAddress(JNIEnv *env, jclass, jint fd);
jint newSocketDgramFd(JNIEnv *env, jclass, jboolean ipv6);
jint newSocketStreamFd(JNIEnv *env, jclass, jboolean ipv6);
jint newSocketDomainFd(JNIEnv *env, jclass);
void initialize(JNIEnv *env, jclass, jboolean ipv4Preferred);
jboolean isIPv6Preferred(JNIEnv *env, jclass);
jboolean isIPv6(JNIEnv *env, jclass, jint fd);

// Option natives (options.cpp).
void setTcpNoDelay(JNIEnv *env, jclass, jint fd, jint value);
void setReusePort(JNIEnv *env, jclass, jint fd, jint value);
void setBroadcast(JNIEnv *env, jclass, jint fd, jint value);
void setReuseAddress(JNIEnv *env, jclass, jint fd, jint value);
void setReceiveBufferSize(JNIEnv *env, jclass, jint fd, jint value);
void setSendBufferSize(JNIEnv *env, jclass, jint fd, jint value);
void setKeepAlive(JNIEnv *env, jclass, jint fd, jint value);
void setSoLinger(JNIEnv *env, jclass, jint fd, jint value);
void setTrafficClass(JNIEnv *env, jclass, jint fd, jboolean ipv6, jint value);
jint isKeepAlive(JNIEnv *env, jclass, jint fd);
jint isTcpNoDelay(JNIEnv *env, jclass, jint fd);
jint isBroadcast(JNIEnv *env, jclass, jint fd);
jint isReuseAddress(JNIEnv *env, jclass, jint fd);
jint isReusePort(JNIEnv *env, jclass, jint fd);
jint getReceiveBufferSize(JNIEnv *env, jclass, jint fd);
jint getSendBufferSize(JNIEnv *env, jclass, jint fd);
jint getSoLinger(JNIEnv *env, jclass, jint fd);
jint getTrafficClass(JNIEnv *env, jclass, jint fd, jboolean ipv6);
jint getSoError(JNIEnv *env, jclass, jint fd);

}  // namespace quarn::socket
