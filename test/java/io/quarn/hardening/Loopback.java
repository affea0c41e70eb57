package io.quarn.hardening;

import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.quarn.channel.unix.Socket;
import java.util.concurrent.TimeUnit;
import java.util.function.IntSupplier;
import java.util.function.Supplier;

/** Shared helpers of the hardening tests: loopback addresses and bounded waits on non-blocking calls. */
final class Loopback {
    /** 127.0.0.1 in the IPv4-mapped input form the address natives take. */
    static final byte[] IPV4 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 127, 0, 0, 1};
    /** ::1. */
    static final byte[] IPV6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static final int EAGAIN = ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
    static final int EINPROGRESS = ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS();
    static final int EBADF = ErrorsStaticallyReferencedJniMethods.errnoEBADF();

    private Loopback() {
    }

    /** The port of an address record (its last two bytes). */
    static int port(byte[] record) {
        return ((record[record.length - 2] & 0xff) << 8) | (record[record.length - 1] & 0xff);
    }

    static int localPort(int fd) {
        return port(Socket.localAddress(fd));
    }

    /** A listening TCP socket on 127.0.0.1 with an ephemeral port. */
    static int tcpListener(int backlog) {
        return tcpListener(false, backlog);
    }

    /** A listening TCP socket on 127.0.0.1 or ::1 with an ephemeral port. */
    static int tcpListener(boolean ipv6, int backlog) {
        int fd = Socket.newSocketStreamFd(ipv6);
        check(fd, "socket");
        check(Socket.bind(fd, ipv6, ipv6 ? IPV6 : IPV4, 0, 0), "bind");
        check(Socket.listen(fd, backlog), "listen");
        return fd;
    }

    static int check(int result, String what) {
        if (result < 0) {
            throw new AssertionError(what + ": " + ErrorsStaticallyReferencedJniMethods.strError(-result));
        }
        return result;
    }

    /** Repeats a non-blocking call while it answers -EAGAIN, for at most five seconds. */
    static int untilReady(IntSupplier call) {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
        int result;
        while ((result = call.getAsInt()) == -EAGAIN) {
            if (System.nanoTime() > deadline) {
                throw new AssertionError("still EAGAIN after 5 s");
            }
            Thread.onSpinWait();
        }
        return result;
    }

    /** Repeats a non-blocking receive while it answers null, for at most five seconds. */
    static <T> T untilReceived(Supplier<T> call) {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
        T result;
        while ((result = call.get()) == null) {
            if (System.nanoTime() > deadline) {
                throw new AssertionError("nothing received in 5 s");
            }
            Thread.onSpinWait();
        }
        return result;
    }
}
