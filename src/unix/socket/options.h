// Socket options: the option failure rule and the conversions of the option natives, shared
// by every file of the socket module that reads or sets an option.
#pragma once

#include <jni.h>
#include <sys/socket.h>

namespace quarn::socket {

enum class OptionCall { kRead, kWrite };

// The option failure rule: EBADF raises ClosedChannelException; any other errno a
// ChannelException "getsockopt() failed: " or "setsockopt() failed: " with the error text.
void raiseOptionFailure(JNIEnv *env, int errorNumber, OptionCall call);

// Whether the IPv6 traffic class option does not apply to the socket, so that the IPv4 one
// is read instead: ENOPROTOOPT, and what FreeBSD (EINVAL) and Linux (EOPNOTSUPP) answer for
// an IPv4 socket.
bool trafficClassFallsBackToIPv4(int errorNumber);

// SO_LINGER from the Java int: negative turns lingering off, 0 or more turns it on with that
// time in seconds.
linger lingerFromJava(jint value);

// SO_LINGER for the Java side: the time, or -1 when lingering is off.
jint lingerToJava(const linger &value);

}  // namespace quarn::socket
