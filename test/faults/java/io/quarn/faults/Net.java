package io.quarn.faults;

import io.quarn.channel.unix.Socket;
import java.nio.ByteBuffer;
import java.util.concurrent.TimeUnit;
import java.util.function.Supplier;
import java.util.zip.CRC32;

/** Loopback addresses, connected pairs and checked data for the scenarios. */
final class Net {
    /** 127.0.0.1 in the IPv4-mapped input form the address natives take. */
    static final byte[] IPV4 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 127, 0, 0, 1};
    /** ::1. */
    static final byte[] IPV6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

    private Net() {
    }

    /** The port of an address record (its last two bytes). */
    static int port(byte[] record) {
        return ((record[record.length - 2] & 0xff) << 8) | (record[record.length - 1] & 0xff);
    }

    static int localPort(int fd) {
        byte[] record = Run.call(() -> Socket.localAddress(fd), "localAddress");
        if (record == null) {
            throw new Run.Failure("localAddress", Run.NULL_RESULT, null);
        }
        return port(record);
    }

    /** The port of the peer record accept writes: its length at byte 0, the record from byte 1. */
    static int acceptedPort(byte[] peer) {
        int length = peer[0];
        return ((peer[length - 1] & 0xff) << 8) | (peer[length] & 0xff);
    }

    /** A TCP listener on 127.0.0.1, a client connected to it and the accepted end: {listener, client, accepted}. */
    static int[] tcpPair(Run run) {
        return tcpPair(run, false);
    }

    /** The same on 127.0.0.1 or ::1. */
    static int[] tcpPair(Run run, boolean ipv6) {
        byte[] loopback = ipv6 ? IPV6 : IPV4;
        int listener = run.fd(Socket.newSocketStreamFd(ipv6), "newSocketStreamFd");
        Run.callVoid(() -> Socket.setReuseAddress(listener, 1), "setReuseAddress");
        Run.ok(Socket.bind(listener, ipv6, loopback, 0, 0), "bind");
        Run.ok(Socket.listen(listener, 8), "listen");
        int port = localPort(listener);
        int client = run.fd(Socket.newSocketStreamFd(ipv6), "newSocketStreamFd");
        int connected = Socket.connect(client, ipv6, loopback, 0, port);
        if (connected != -Run.EINPROGRESS) {
            Run.ok(connected, "connect");
        }
        byte[] peer = new byte[25];
        int accepted = run.fd(Run.untilReady(() -> Socket.accept(listener, peer), "accept"), "accept");
        Run.expect(acceptedPort(peer) == localPort(client), "accept wrote the wrong peer port");
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
        int finished;
        while ((finished = Run.call(() -> Socket.finishConnect(client), "finishConnect")) != 0) {
            if (finished < 0 && finished != -Run.EINPROGRESS && finished != -Run.EAGAIN) {
                Run.ok(finished, "finishConnect");
            }
            Run.expect(System.nanoTime() < deadline, "connect did not finish in 5 s");
        }
        return new int[] {listener, client, accepted};
    }

    static <T> T untilReceived(Supplier<T> call, String step) {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
        T result;
        while ((result = Run.call(call, step)) == null) {
            Run.expect(System.nanoTime() < deadline, step + ": nothing in 5 s");
            Thread.onSpinWait();
        }
        return result;
    }

    /** Deterministic bytes for a transfer: the same seed gives the same data. */
    static ByteBuffer data(int size, int seed) {
        ByteBuffer buffer = ByteBuffer.allocateDirect(size);
        int x = seed * 0x9E3779B9 + 1;
        for (int i = 0; i < size; i++) {
            x ^= x << 13;
            x ^= x >>> 17;
            x ^= x << 5;
            buffer.put(i, (byte) x);
        }
        return buffer;
    }

    static long crc(ByteBuffer buffer, int from, int to) {
        CRC32 crc = new CRC32();
        crc.update(buffer.duplicate().limit(to).position(from));
        return crc.getValue();
    }
}
