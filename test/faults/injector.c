// A fault injector for tests only, never shipped: preloaded (LD_PRELOAD) into a test JVM, it
// wraps the C library functions the transport library calls and makes the Nth call of one
// chosen function fail with a chosen errno. Only calls whose return address lies inside the
// library under test count or fail; the JVM makes the same calls and is never disturbed.
//
// The library's address range is taken from dl_iterate_phdr after every dlopen (the JVM's
// System.load is a dlopen, and JNI_OnLoad runs after it returns), matching the file name
// against QUARN_FAULT_TARGET (default "quarn_transport_native_kqueue"). The control functions
// at the bottom are found with dlsym by the test-only JNI helper.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <malloc.h>
#include <poll.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

// glibc's own allocator entry points: the wrappers reach them without dlsym, which itself
// allocates and would recurse into malloc before the real one is known.
extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *block, size_t size);
extern void __libc_free(void *block);

#define FAULT_FUNCTIONS(X)                                                                       \
    X(malloc) X(calloc) X(realloc) X(strdup) X(strndup) X(epoll_create1) X(epoll_ctl)            \
    X(epoll_pwait2) X(epoll_wait) X(eventfd) X(ioctl) X(socket) X(accept4) X(accept) X(connect)  \
    X(bind) X(listen) X(shutdown) X(getsockname) X(getpeername) X(getsockopt) X(setsockopt)      \
    X(fcntl) X(pipe2) X(pipe) X(recvmsg) X(sendmsg) X(recvfrom) X(sendto) X(read) X(write)       \
    X(writev) X(sendfile) X(close) X(open) X(unlink) X(fstat) X(clock_gettime) X(poll) X(dladdr)      \
    X(snprintf)

enum {
#define ID(name) F_##name,
    FAULT_FUNCTIONS(ID)
#undef ID
    F_COUNT
};

static const char *const kNames[F_COUNT] = {
#define NAME(name) #name,
    FAULT_FUNCTIONS(NAME)
#undef NAME
};

// Call sites are return addresses, kept as offsets from the library's base so that runs and
// builds can be compared (addr2line takes them as they are).
#define MAX_SITES 64
#define MAX_RANGES 4

static struct {
    uintptr_t low, high, base;
} gRanges[MAX_RANGES];
static atomic_int gRangeCount;

static atomic_long gCalls[F_COUNT];
static atomic_int gArmed = -1;
static atomic_long gArmedNth;
static atomic_int gArmedErrno;
static atomic_long gFired;
static atomic_uintptr_t gFiredSite;
static atomic_uintptr_t gSites[F_COUNT][MAX_SITES];

static int rangeOf(uintptr_t address) {
    const int count = atomic_load_explicit(&gRangeCount, memory_order_acquire);
    for (int i = 0; i < count; i++) {
        if (address >= gRanges[i].low && address < gRanges[i].high) {
            return i;
        }
    }
    return -1;
}

static void rememberSite(int id, uintptr_t offset) {
    for (int i = 0; i < MAX_SITES; i++) {
        uintptr_t seen = atomic_load_explicit(&gSites[id][i], memory_order_relaxed);
        if (seen == offset) {
            return;
        }
        if (seen == 0) {
            uintptr_t expected = 0;
            if (atomic_compare_exchange_strong(&gSites[id][i], &expected, offset) || expected == offset) {
                return;
            }
        }
    }
}

// Counts a call from the library and says whether it is the one to fail; errno is set then.
static int shouldFail(int id, void *returnAddress) {
    const uintptr_t address = (uintptr_t)returnAddress;
    const int range = rangeOf(address);
    if (range < 0) {
        return 0;
    }
    const long nth = atomic_fetch_add(&gCalls[id], 1) + 1;
    rememberSite(id, address - gRanges[range].base);
    if (atomic_load(&gArmed) != id || atomic_load(&gArmedNth) != nth) {
        return 0;
    }
    atomic_fetch_add(&gFired, 1);
    atomic_store(&gFiredSite, address - gRanges[range].base);
    errno = atomic_load(&gArmedErrno);
    return 1;
}

static void *next(const char *name) {
    return dlsym(RTLD_NEXT, name);
}

#define REAL(name)                      \
    static __typeof__(&name) real_##name; \
    if (real_##name == NULL) real_##name = (__typeof__(&name))next(#name)

#define CHECK(name) shouldFail(F_##name, __builtin_return_address(0))

// ---- allocation ----

// Bytes the library holds from the allocator (its allocations less its frees, by usable size),
// for the churn soak's leak check; free is counted, never failed.
static atomic_long gHeld;

static void *held(void *block, long sign, void *returnAddress) {
    if (block != NULL && rangeOf((uintptr_t)returnAddress) >= 0) {
        atomic_fetch_add(&gHeld, sign * (long)malloc_usable_size(block));
    }
    return block;
}

#define HELD(block) held(block, 1, __builtin_return_address(0))

EXPORT void *malloc(size_t size) {
    if (CHECK(malloc)) {
        return NULL;
    }
    return HELD(__libc_malloc(size));
}

EXPORT void *calloc(size_t count, size_t size) {
    if (CHECK(calloc)) {
        return NULL;
    }
    return HELD(__libc_calloc(count, size));
}

EXPORT void *realloc(void *block, size_t size) {
    if (CHECK(realloc)) {
        return NULL;
    }
    held(block, -1, __builtin_return_address(0));
    void *moved = __libc_realloc(block, size);
    return HELD(moved != NULL || size == 0 ? moved : block);
}

EXPORT void free(void *block) {
    held(block, -1, __builtin_return_address(0));
    __libc_free(block);
}

EXPORT char *strdup(const char *text) {
    if (CHECK(strdup)) {
        return NULL;
    }
    const size_t length = strlen(text) + 1;
    char *copy = HELD(__libc_malloc(length));
    return copy == NULL ? NULL : memcpy(copy, text, length);
}

EXPORT char *strndup(const char *text, size_t most) {
    if (CHECK(strndup)) {
        return NULL;
    }
    const size_t length = strnlen(text, most);
    char *copy = HELD(__libc_malloc(length + 1));
    if (copy != NULL) {
        memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

// ---- functions failing before they run ----

#define WRAP(ret, name, params, args)                  \
    EXPORT ret name params {                           \
        if (CHECK(name)) {                             \
            return -1;                                 \
        }                                              \
        REAL(name);                                    \
        return real_##name args;                       \
    }

WRAP(int, epoll_create1, (int flags), (flags))
WRAP(int, epoll_ctl, (int epfd, int op, int fd, struct epoll_event *event), (epfd, op, fd, event))
WRAP(int, epoll_pwait2,
     (int epfd, struct epoll_event *events, int max, const struct timespec *timeout, const sigset_t *mask),
     (epfd, events, max, timeout, mask))
WRAP(int, epoll_wait, (int epfd, struct epoll_event *events, int max, int timeout), (epfd, events, max, timeout))
WRAP(int, eventfd, (unsigned int initial, int flags), (initial, flags))
WRAP(int, socket, (int domain, int type, int protocol), (domain, type, protocol))
WRAP(int, accept4, (int fd, struct sockaddr *address, socklen_t *length, int flags), (fd, address, length, flags))
WRAP(int, accept, (int fd, struct sockaddr *address, socklen_t *length), (fd, address, length))
WRAP(int, connect, (int fd, const struct sockaddr *address, socklen_t length), (fd, address, length))
WRAP(int, bind, (int fd, const struct sockaddr *address, socklen_t length), (fd, address, length))
WRAP(int, listen, (int fd, int backlog), (fd, backlog))
WRAP(int, shutdown, (int fd, int how), (fd, how))
WRAP(int, getsockname, (int fd, struct sockaddr *address, socklen_t *length), (fd, address, length))
WRAP(int, getpeername, (int fd, struct sockaddr *address, socklen_t *length), (fd, address, length))
WRAP(int, getsockopt, (int fd, int level, int name, void *value, socklen_t *length), (fd, level, name, value, length))
WRAP(int, setsockopt, (int fd, int level, int name, const void *value, socklen_t length),
     (fd, level, name, value, length))
WRAP(int, pipe2, (int fds[2], int flags), (fds, flags))
WRAP(int, pipe, (int fds[2]), (fds))
WRAP(ssize_t, recvmsg, (int fd, struct msghdr *message, int flags), (fd, message, flags))
WRAP(ssize_t, sendmsg, (int fd, const struct msghdr *message, int flags), (fd, message, flags))
WRAP(ssize_t, recvfrom, (int fd, void *buffer, size_t length, int flags, struct sockaddr *from, socklen_t *fromLength),
     (fd, buffer, length, flags, from, fromLength))
WRAP(ssize_t, sendto,
     (int fd, const void *buffer, size_t length, int flags, const struct sockaddr *to, socklen_t toLength),
     (fd, buffer, length, flags, to, toLength))
WRAP(ssize_t, read, (int fd, void *buffer, size_t length), (fd, buffer, length))
WRAP(ssize_t, write, (int fd, const void *buffer, size_t length), (fd, buffer, length))
WRAP(ssize_t, writev, (int fd, const struct iovec *vector, int count), (fd, vector, count))
WRAP(ssize_t, sendfile, (int out, int in, off_t *offset, size_t count), (out, in, offset, count))
WRAP(int, unlink, (const char *path), (path))
WRAP(int, fstat, (int fd, struct stat *status), (fd, status))
WRAP(int, clock_gettime, (clockid_t clock, struct timespec *time), (clock, time))
WRAP(int, poll, (struct pollfd *fds, nfds_t count, int timeout), (fds, count, timeout))

// dladdr fails by returning 0 (no object contains the address), errno untouched.
EXPORT int dladdr(const void *address, Dl_info *info) {
    if (CHECK(dladdr)) {
        return 0;
    }
    REAL(dladdr);
    return real_dladdr(address, info);
}

EXPORT int snprintf(char *buffer, size_t size, const char *format, ...) {
    if (CHECK(snprintf)) {
        return -1;
    }
    va_list list;
    va_start(list, format);
    const int result = vsnprintf(buffer, size, format, list);
    va_end(list);
    return result;
}

// The variadic ones pass their optional argument on as the C library reads it.
EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list list;
    va_start(list, request);
    void *argument = va_arg(list, void *);
    va_end(list);
    if (CHECK(ioctl)) {
        return -1;
    }
    REAL(ioctl);
    return real_ioctl(fd, request, argument);
}

EXPORT int fcntl(int fd, int command, ...) {
    va_list list;
    va_start(list, command);
    void *argument = va_arg(list, void *);
    va_end(list);
    if (CHECK(fcntl)) {
        return -1;
    }
    REAL(fcntl);
    return real_fcntl(fd, command, argument);
}

EXPORT int open(const char *path, int flags, ...) {
    va_list list;
    va_start(list, flags);
    const int mode = va_arg(list, int);
    va_end(list);
    if (CHECK(open)) {
        return -1;
    }
    REAL(open);
    return real_open(path, flags, mode);
}

// Linux releases the descriptor even when close reports EINTR or EIO (close(2)), so a failed
// close closes it too: a leak the caller sees then is the caller's.
EXPORT int close(int fd) {
    const int fail = CHECK(close);
    const int injected = errno;
    REAL(close);
    const int result = real_close(fd);
    if (fail) {
        errno = injected;
        return -1;
    }
    return result;
}

// ---- the library's address range ----

static int collectRange(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    const char *target = data;
    if (info->dlpi_name == NULL || strstr(info->dlpi_name, target) == NULL) {
        return 0;
    }
    uintptr_t low = UINTPTR_MAX, high = 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *header = &info->dlpi_phdr[i];
        if (header->p_type == PT_LOAD && (header->p_flags & PF_X) != 0) {
            const uintptr_t start = info->dlpi_addr + header->p_vaddr;
            low = start < low ? start : low;
            high = start + header->p_memsz > high ? start + header->p_memsz : high;
        }
    }
    const int count = atomic_load(&gRangeCount);
    for (int i = 0; i < count; i++) {
        if (gRanges[i].low == low) {
            return 0;
        }
    }
    if (count < MAX_RANGES && low < high) {
        gRanges[count].low = low;
        gRanges[count].high = high;
        gRanges[count].base = info->dlpi_addr;
        atomic_store_explicit(&gRangeCount, count + 1, memory_order_release);
    }
    return 0;
}

EXPORT void quarn_fault_refresh(void) {
    const char *target = getenv("QUARN_FAULT_TARGET");
    dl_iterate_phdr(collectRange, (void *)(target != NULL ? target : "quarn_transport_native_kqueue"));
}

EXPORT void *dlopen(const char *path, int flags) {
    REAL(dlopen);
    void *handle = real_dlopen(path, flags);
    if (handle != NULL) {
        quarn_fault_refresh();
    }
    return handle;
}

// ---- control, for the test-only JNI helper ----

EXPORT int quarn_fault_functions(void) {
    return F_COUNT;
}

EXPORT const char *quarn_fault_name(int id) {
    return id >= 0 && id < F_COUNT ? kNames[id] : NULL;
}

EXPORT long quarn_fault_held_bytes(void) {
    return atomic_load(&gHeld);
}

EXPORT int quarn_fault_ranges(void) {
    return atomic_load(&gRangeCount);
}

// Zeroes the call counts and arms the Nth call of function id (nth 0 disarms).
EXPORT void quarn_fault_arm(int id, long nth, int error) {
    atomic_store(&gArmed, -1);
    for (int i = 0; i < F_COUNT; i++) {
        atomic_store(&gCalls[i], 0);
    }
    atomic_store(&gFired, 0);
    atomic_store(&gFiredSite, 0);
    atomic_store(&gArmedNth, nth);
    atomic_store(&gArmedErrno, error);
    atomic_store(&gArmed, nth > 0 ? id : -1);
}

EXPORT long quarn_fault_calls(int id) {
    return id >= 0 && id < F_COUNT ? atomic_load(&gCalls[id]) : -1;
}

EXPORT long quarn_fault_fired(void) {
    return atomic_load(&gFired);
}

// The offset of the call site of the last injected failure, 0 if none.
EXPORT uintptr_t quarn_fault_fired_site(void) {
    return atomic_load(&gFiredSite);
}

// Distinct call sites seen for function id; their offsets go to sites (up to capacity).
EXPORT int quarn_fault_sites(int id, uintptr_t *sites, int capacity) {
    int count = 0;
    for (int i = 0; id >= 0 && id < F_COUNT && i < MAX_SITES; i++) {
        const uintptr_t site = atomic_load(&gSites[id][i]);
        if (site == 0) {
            break;
        }
        if (count < capacity) {
            sites[count] = site;
        }
        count++;
    }
    return count;
}
