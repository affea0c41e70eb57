// Test-only natives of io.quarn.hardening.HardeningNatives: a signal storm aimed at one Java
// thread, and the descriptor tricks the hardening tests need (blocking mode, a descriptor
// number far above the others). Found by their JNI names, so they need no registration.
// Never part of the product library. Failures come back as negated errno values.
#include <fcntl.h>
#include <jni.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

std::atomic<long> gDelivered{0};
std::atomic<long> gSent{0};
std::atomic<bool> gStorming{false};
std::atomic<int> gSignal{0};
pthread_t gSender;
pthread_t gTarget;
long gIntervalNanos = 100'000;

// Runs on the interrupted Java thread: only an atomic increment, which is async-signal-safe.
void onSignal(int) { gDelivered.fetch_add(1, std::memory_order_relaxed); }

void *sendSignals(void *) {
    const timespec pause{0, gIntervalNanos};
    const int signal = gSignal.load();
    while (gStorming.load(std::memory_order_acquire)) {
        if (pthread_kill(gTarget, signal) == 0) {
            gSent.fetch_add(1, std::memory_order_relaxed);
        }
        nanosleep(&pause, nullptr);
    }
    return nullptr;
}

pthread_t threadFrom(jlong value) {
    pthread_t thread;
    std::memcpy(&thread, &value, sizeof(thread));
    return thread;
}

}  // namespace

static_assert(sizeof(pthread_t) <= sizeof(jlong), "a thread handle travels to Java in a long");

// The storm's signal: a real-time signal the JVM leaves alone (glibc keeps the first two for
// itself; HotSpot uses SIGUSR2 and the fault signals, none of these). The handler is installed
// without SA_RESTART, so every interrupted system call fails with EINTR, and it stays
// installed for the life of the process, so that a signal still in flight after a storm can
// never meet the default action, which would end the process.
extern "C" JNIEXPORT jint JNICALL Java_io_quarn_hardening_HardeningNatives_installHandler(JNIEnv *, jclass) {
    if (gSignal.load() != 0) {
        return gSignal.load();
    }
    const int signal = SIGRTMIN + 6;
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(signal, &action, nullptr) == -1) {
        return -errno;
    }
    gSignal.store(signal);
    return signal;
}

extern "C" JNIEXPORT jlong JNICALL Java_io_quarn_hardening_HardeningNatives_currentThread(JNIEnv *, jclass) {
    const pthread_t self = pthread_self();
    jlong value = 0;
    std::memcpy(&value, &self, sizeof(self));
    return value;
}

// Starts a C thread that signals the given thread every intervalMicros until stopStorm. The
// target must stay alive until then.
extern "C" JNIEXPORT jint JNICALL Java_io_quarn_hardening_HardeningNatives_startStorm(JNIEnv *, jclass, jlong target,
                                                                                   jint intervalMicros) {
    if (gSignal.load() == 0 || gStorming.load() || intervalMicros <= 0 || intervalMicros >= 1'000'000) {
        return -EINVAL;
    }
    gTarget = threadFrom(target);
    gIntervalNanos = static_cast<long>(intervalMicros) * 1000;
    gSent.store(0);
    gStorming.store(true, std::memory_order_release);
    const int error = pthread_create(&gSender, nullptr, sendSignals, nullptr);
    if (error != 0) {
        gStorming.store(false);
        return -error;
    }
    return 0;
}

// Stops and joins the sender; returns how many signals it sent.
extern "C" JNIEXPORT jlong JNICALL Java_io_quarn_hardening_HardeningNatives_stopStorm(JNIEnv *, jclass) {
    if (!gStorming.load()) {
        return -EINVAL;
    }
    gStorming.store(false, std::memory_order_release);
    pthread_join(gSender, nullptr);
    return gSent.load();
}

extern "C" JNIEXPORT jlong JNICALL Java_io_quarn_hardening_HardeningNatives_delivered(JNIEnv *, jclass) {
    return gDelivered.load();
}

extern "C" JNIEXPORT jint JNICALL Java_io_quarn_hardening_HardeningNatives_setBlocking(JNIEnv *, jclass, jint fd,
                                                                                    jboolean blocking) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        return -errno;
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, wanted) == -1 ? -errno : 0;
}

// A copy of fd at the lowest free number not below minimum. Closed again, that number stays
// free while the process holds fewer descriptors than minimum: a closed descriptor that no
// other thread's open can take over during a test.
extern "C" JNIEXPORT jint JNICALL Java_io_quarn_hardening_HardeningNatives_dupAbove(JNIEnv *, jclass, jint fd,
                                                                                 jint minimum) {
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, minimum);
    return copy == -1 ? -errno : copy;
}
