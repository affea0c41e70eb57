package io.quarn.hardening;

import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
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

    /**
     * A local stream socket connected through the natives (listener, sender, accepted receiver)
     * and a pipe whose write end is the descriptor to pass. Closing it closes all five.
     */
    static final class PassingPair implements AutoCloseable {
        final int listener;
        final int sender;
        final int receiver;
        final int pipeReadEnd;
        /** The descriptor the tests pass with sendFd. */
        final int passed;

        private PassingPair(int[] fds) {
            listener = fds[0];
            sender = fds[1];
            receiver = fds[2];
            pipeReadEnd = fds[3];
            passed = fds[4];
        }

        @Override
        public void close() {
            closeAll(new int[] {receiver, sender, listener, pipeReadEnd, passed});
        }
    }

    static PassingPair passingPair(Path socketPath) {
        byte[] path = socketPath.toString().getBytes(StandardCharsets.UTF_8);
        int[] fds = {-1, -1, -1, -1, -1};
        try {
            long pipe = FileDescriptor.newPipe();
            if (pipe < 0) {
                check((int) pipe, "pipe");
            }
            fds[3] = (int) (pipe >>> 32);
            fds[4] = (int) pipe;
            int listener = fds[0] = check(Socket.newSocketDomainFd(), "socket");
            check(Socket.bindDomainSocket(listener, path), "bind");
            check(Socket.listen(listener, 4), "listen");
            int sender = fds[1] = check(Socket.newSocketDomainFd(), "socket");
            check(untilReady(() -> Socket.connectDomainSocket(sender, path)), "connect");
            fds[2] = check(untilReady(() -> Socket.accept(listener, new byte[25])), "accept");
            return new PassingPair(fds);
        } catch (RuntimeException | Error e) {
            closeAll(fds);
            throw e;
        }
    }

    private static void closeAll(int[] fds) {
        for (int fd : fds) {
            if (fd >= 0) {
                FileDescriptor.close(fd);
            }
        }
    }
}
