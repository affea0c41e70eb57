package io.quarn.test;

/**
 * Test-only natives for what the JDK cannot do on a raw descriptor number: turning on receive
 * options, pipes, plain reads and writes. Results are negated errno values on failure.
 */
public final class TestNatives {
    static {
        System.load(NativeLibrary.property("quarn.testnatives"));
    }

    private TestNatives() {
    }

    /** Loads the helper library; the class's initialiser does the work. */
    public static void load() {
    }

    /** IP_RECVORIGDSTADDR: the original destination arrives as a control message. */
    public static native int receiveOriginalDestination(int fd, boolean on);

    /** IP_RECVTTL: a TTL control message, which the kernel puts before the destination. */
    public static native int receiveTtl(int fd, boolean on);

    /** IP_PKTINFO: a packet-information control message, also ahead of the destination. */
    public static native int receivePacketInfo(int fd, boolean on);

    /** A blocking pipe: {read end, write end}. */
    public static native int[] pipe();

    public static native int close(int fd);

    public static native int write(int fd, byte[] data);

    /** At most max (up to 256) bytes; empty at end of file; null on failure. */
    public static native byte[] read(int fd, int max);

    public static native boolean isNonBlocking(int fd);

    public static native boolean isOpen(int fd);

    public static native boolean sameFile(int a, int b);

    /** The platform's value of an errno name (ENAMETOOLONG, ENOMSG, ENOTSOCK, EINVAL, ...). */
    public static native int errno(String name);
}
