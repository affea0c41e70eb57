package io.quarn.bench;

/**
 * The raw C baselines, from the bench-only library {@code libquarn_bench_baselines.so}. Each runs
 * its whole measured loop in C and returns the nanoseconds it took, or a negated errno.
 */
final class Baselines {
    private Baselines() {
    }

    /** {@code count} one-byte write(2) calls on the pipe's write end, from native memory at {@code address}. */
    static native long pipeWrite(int fd, long address, int count);

    /** One one-byte write(2) in the thinnest JNI native there is; returns its result or -errno. */
    static native int writeOne(int fd, long address);

    /**
     * {@code rounds} echo round trips of {@code size} bytes on one loopback connection, one epoll loop;
     * with {@code bytesReadable}, one FIONREAD per read event, as the kqueue layer does for its data.
     */
    static native long echoEpoll(int rounds, int size, boolean bytesReadable);

    /** Eventfd wakeup latencies of a thread blocked in epoll_wait; fills the array, returns 0 or -errno. */
    static native long wakeupEventfd(long[] latencies, long gapNanos);

    /** {@code total} bytes over one loopback connection in write(2) calls of {@code chunk} bytes. */
    static native long bulkWrite(long total, int chunk, int bufferSize);

    /** {@code total} bytes over one loopback connection with sendfile(2) from the file at {@code path}. */
    static native long sendFile(String path, long fileLength, long total, int bufferSize);

    /** Pins the calling thread to one core; 0 or -errno. */
    static native int pinThread(int core);

    /**
     * The C echo server: one epoll loop over the first {@code count} descriptors until the stop slot
     * (0) of the control block at {@code control} is set, publishing waits (slot 8) and events (slot
     * 9) after every wait; with {@code bytesReadable}, one FIONREAD per read event. Returns 0 or -errno.
     */
    /** CPU ns of count getppid calls (fd -1) or FIONREAD ioctls on fd; a negated errno. */
    static native long systemCalls(int fd, int count);

    static native int echoServe(int[] fds, int count, boolean bytesReadable, boolean edge, long control);
}
