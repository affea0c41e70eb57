package io.quarn.hardening;

import io.quarn.test.TestNatives;

/**
 * Test-only natives of the hardening tests, in the test helper library: a signal storm aimed
 * at one Java thread, blocking mode, and descriptor numbers that no other open takes over.
 */
public final class HardeningNatives {
    static {
        TestNatives.load();
    }

    private HardeningNatives() {
    }

    /** Installs the storm's handler (no SA_RESTART; it counts deliveries); returns the signal or a negated errno. */
    public static native int installHandler();

    /** The calling thread's pthread handle. */
    public static native long currentThread();

    /** Signals the thread every intervalMicros from a C thread until stopStorm; 0 or a negated errno. */
    public static native int startStorm(long thread, int intervalMicros);

    /** Stops the storm; returns the number of signals sent. */
    public static native long stopStorm();

    /** Signals the handler has run, since the process started. */
    public static native long delivered();

    public static native int setBlocking(int fd, boolean blocking);

    /** A close-on-exec copy of fd at a number of at least minimum, or a negated errno. */
    public static native int dupAbove(int fd, int minimum);
}
