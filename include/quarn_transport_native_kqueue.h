/*
 * The C functions that libquarn_transport_native_kqueue exports for sibling native code.
 *
 * Everything else in the library is hidden: natives are reached only through
 * RegisterNatives. Each module's load function takes the JNI environment and the package
 * prefix (may be null) and returns JNI_VERSION_1_6 or -1; each unload function is safe after
 * a partial load and when repeated.
 */
#ifndef QUARN_TRANSPORT_NATIVE_KQUEUE_H
#define QUARN_TRANSPORT_NATIVE_KQUEUE_H

#include <jni.h>
#include <stdbool.h>
#include <stdint.h>
#include <sys/socket.h>
#include <time.h>

#define QUARN_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Package prefix discovery, names and registration. */
QUARN_EXPORT char *quarn_unix_util_parse_package_prefix(const char *libraryPathName, const char *libraryName,
                                                         jint *status);
QUARN_EXPORT char *quarn_unix_util_rstrstr(char *s1rbegin, const char *s1rend, const char *s2);
QUARN_EXPORT char *quarn_unix_util_prepend(const char *prefix, const char *str);
QUARN_EXPORT jint quarn_unix_util_register_natives(JNIEnv *env, const char *packagePrefix, const char *className,
                                                   const JNINativeMethod *methods, jint numMethods);
QUARN_EXPORT void quarn_unix_util_free_dynamic_methods_table(JNINativeMethod *dynamicMethods, jint fixedMethodTableSize,
                                                             jint fullMethodTableSize);
QUARN_EXPORT void quarn_unix_util_free_dynamic_name(char **dynamicName);

/* Time helpers and the wait clock. */
QUARN_EXPORT bool quarn_unix_util_initialize_wait_clock(clockid_t *clockId);
QUARN_EXPORT int quarn_unix_util_clock_gettime(clockid_t clockId, struct timespec *tp);
QUARN_EXPORT uint64_t quarn_unix_util_timespec_elapsed_ns(const struct timespec *begin, const struct timespec *end);
QUARN_EXPORT bool quarn_unix_util_timespec_subtract_ns(struct timespec *ts, uint64_t nanos);

/* Exceptions. Message arguments are NUL-terminated modified UTF-8 owned by the caller. */
QUARN_EXPORT void quarn_unix_errors_throwRuntimeException(JNIEnv *env, const char *message);
QUARN_EXPORT void quarn_unix_errors_throwRuntimeExceptionErrorNo(JNIEnv *env, const char *message, int errorNumber);
QUARN_EXPORT void quarn_unix_errors_throwChannelExceptionErrorNo(JNIEnv *env, const char *message, int errorNumber);
QUARN_EXPORT void quarn_unix_errors_throwIOException(JNIEnv *env, const char *message);
QUARN_EXPORT void quarn_unix_errors_throwPortUnreachableException(JNIEnv *env, const char *message);
QUARN_EXPORT void quarn_unix_errors_throwIOExceptionErrorNo(JNIEnv *env, const char *message, int errorNumber);
QUARN_EXPORT void quarn_unix_errors_throwClosedChannelException(JNIEnv *env);
QUARN_EXPORT void quarn_unix_errors_throwOutOfMemoryError(JNIEnv *env);

/* Socket addresses and options. */
QUARN_EXPORT int quarn_unix_socket_initSockaddr(JNIEnv *env, jboolean ipv6, jbyteArray address, jint scopeId,
                                                jint jport, struct sockaddr_storage *addr, socklen_t *addrSize);
QUARN_EXPORT int quarn_unix_socket_ipAddressLength(const struct sockaddr_storage *addr);
QUARN_EXPORT jbyteArray quarn_unix_socket_createInetSocketAddressArray(JNIEnv *env,
                                                                       const struct sockaddr_storage *addr);
QUARN_EXPORT int quarn_unix_socket_getOption(JNIEnv *env, jint fd, int level, int optname, void *optval,
                                             socklen_t optlen);
QUARN_EXPORT int quarn_unix_socket_setOption(JNIEnv *env, jint fd, int level, int optname, const void *optval,
                                             socklen_t len);
QUARN_EXPORT int quarn_unix_socket_getOption0(jint fd, int level, int optname, void *optval, socklen_t optlen);
QUARN_EXPORT void quarn_unix_socket_getOptionHandleError(JNIEnv *env, int err);

/* Module load and unload pairs, in the library's load order. */
QUARN_EXPORT jint quarn_unix_limits_JNI_OnLoad(JNIEnv *env, const char *packagePrefix);
QUARN_EXPORT void quarn_unix_limits_JNI_OnUnLoad(JNIEnv *env);
QUARN_EXPORT jint quarn_unix_errors_JNI_OnLoad(JNIEnv *env, const char *packagePrefix);
QUARN_EXPORT void quarn_unix_errors_JNI_OnUnLoad(JNIEnv *env);
QUARN_EXPORT jint quarn_unix_filedescriptor_JNI_OnLoad(JNIEnv *env, const char *packagePrefix);
QUARN_EXPORT void quarn_unix_filedescriptor_JNI_OnUnLoad(JNIEnv *env);
QUARN_EXPORT jint quarn_unix_socket_JNI_OnLoad(JNIEnv *env, const char *packagePrefix);
QUARN_EXPORT void quarn_unix_socket_JNI_OnUnLoad(JNIEnv *env);
QUARN_EXPORT jint quarn_unix_buffer_JNI_OnLoad(JNIEnv *env, const char *packagePrefix);
QUARN_EXPORT void quarn_unix_buffer_JNI_OnUnLoad(JNIEnv *env);
QUARN_EXPORT jint quarn_kqueue_bsdsocket_JNI_OnLoad(JNIEnv *env, const char *packagePrefix);
QUARN_EXPORT void quarn_kqueue_bsdsocket_JNI_OnUnLoad(JNIEnv *env);
QUARN_EXPORT jint quarn_kqueue_eventarray_JNI_OnLoad(JNIEnv *env, const char *packagePrefix);
QUARN_EXPORT void quarn_kqueue_eventarray_JNI_OnUnLoad(JNIEnv *env);

/* Library entry points. */
QUARN_EXPORT jint JNI_OnLoad(JavaVM *vm, void *reserved);
QUARN_EXPORT void JNI_OnUnload(JavaVM *vm, void *reserved);
QUARN_EXPORT jint JNI_OnLoad_quarn_transport_native_kqueue(JavaVM *vm, void *reserved);
QUARN_EXPORT void JNI_OnUnload_quarn_transport_native_kqueue(JavaVM *vm, void *reserved);

#ifdef __cplusplus
}
#endif

#endif
