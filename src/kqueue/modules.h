// The two method tables that the library load registers directly, before any module.
#pragma once

#include <jni.h>

namespace quarn::kqueue {

// io/quarn/channel/kqueue/KQueueStaticallyReferencedJniMethods: the 14 filter, flag and note values.
extern const JNINativeMethod kStaticallyReferencedMethods[];
extern const jint kStaticallyReferencedMethodCount;

// io/quarn/channel/kqueue/Native: kqueue creation, the wait, user events and the record layout.
extern const JNINativeMethod kNativeMethods[];
extern const jint kNativeMethodCount;

}  // namespace quarn::kqueue
