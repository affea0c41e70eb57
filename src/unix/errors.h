// Internals of the errors module that its tests reach; other modules use the exported
// quarn_unix_errors_throw... functions.
#pragma once

#include <jni.h>

namespace quarn::errors {

using MessageBuilder = char *(*)(const char *prefix, int errorNumber);

// Throws exceptionClass with the errno message of prefix and errorNumber. When the message
// cannot be built it still throws, with the prefix alone, so that a failure never reaches
// Java looking like success.
void throwErrorNo(JNIEnv *env, jclass exceptionClass, const char *prefix, int errorNumber, MessageBuilder build);

}  // namespace quarn::errors
