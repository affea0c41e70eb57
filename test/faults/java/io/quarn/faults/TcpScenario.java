package io.quarn.faults;

import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import io.quarn.test.NativeLibrary;
import java.nio.ByteBuffer;
import java.util.concurrent.TimeUnit;

/**
 * TCP over loopback: listen, connect, accept, options, 192 KiB through write, writeAddress,
 * writev and writevAddresses read back with read and readAddress, a half-close and its end of
 * stream, then closes; and a connection over ::1.
 */
final class TcpScenario implements Scenario {
    private static final int SIZE = 192 * 1024;
    private static final int CHUNK = 8 * 1024;
    private final ByteBuffer sent = Net.data(SIZE, 11);
    private final ByteBuffer received = ByteBuffer.allocateDirect(SIZE);
    private final ByteBuffer vector = ByteBuffer.allocateDirect(32).order(java.nio.ByteOrder.nativeOrder());

    @Override
    public void setUp() {
        NativeLibrary.load();
    }

    @Override
    public void body(Run run) {
        int[] pair = Net.tcpPair(run);
        int client = pair[1];
        int accepted = pair[2];
        Run.callVoid(() -> Socket.setTcpNoDelay(client, 1), "setTcpNoDelay");
        Run.expect(Run.call(() -> Socket.isTcpNoDelay(client), "isTcpNoDelay") == 1, "TCP_NODELAY did not stick");
        Run.expect(Run.call(() -> Socket.getSendBufferSize(client), "getSendBufferSize") > 0, "no send buffer");
        Run.expect(Run.call(() -> Socket.getSoError(client), "getSoError") == 0, "a connected socket has an error");
        if (Run.call(() -> Socket.remoteAddress(accepted), "remoteAddress") == null) {
            throw new Run.Failure("remoteAddress", Run.NULL_RESULT, null);
        }
        transfer(client, accepted);
        Run.ok(Socket.shutdown(client, false, true), "shutdown");
        Run.expect(Run.untilReady(() -> FileDescriptor.read(accepted, received, 0, 16), "read") == 0,
                "no end of stream after the peer's half-close");
        for (int fd : pair) {
            run.close(fd, "close");
        }
        for (int fd : Net.tcpPair(run, true)) {
            run.close(fd, "close");
        }
    }

    private void transfer(int from, int to) {
        int written = 0;
        int read = 0;
        long sentAddress = Buffer.memoryAddress0(sent);
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
        for (int turn = 0; read < SIZE; turn++) {
            Run.expect(System.nanoTime() < deadline, "transfer stuck at " + read + " of " + SIZE);
            if (written < SIZE) {
                int end = Math.min(SIZE, written + CHUNK);
                int half = written + (end - written) / 2;
                long result = switch (turn % 4) {
                    case 0 -> FileDescriptor.write(from, sent, written, end);
                    case 1 -> FileDescriptor.writeAddress(from, sentAddress, written, end);
                    case 2 -> FileDescriptor.writev(from, new ByteBuffer[] {sent.duplicate().position(written).limit(half),
                        sent.duplicate().position(half).limit(end)}, 0, 2, Long.MAX_VALUE);
                    default -> {
                        vector.putLong(0, sentAddress + written).putLong(8, half - written);
                        vector.putLong(16, sentAddress + half).putLong(24, end - half);
                        yield FileDescriptor.writevAddresses(from, Buffer.memoryAddress0(vector), 2);
                    }
                };
                if (result != -Run.EAGAIN) {
                    written += (int) Run.ok(result, "write");
                }
            }
            int end = Math.min(SIZE, read + CHUNK);
            int got = turn % 2 == 0 ? FileDescriptor.read(to, received, read, end)
                    : FileDescriptor.readAddress(to, Buffer.memoryAddress0(received), read, end);
            if (got != -Run.EAGAIN) {
                Run.expect(Run.ok(got, "read") > 0, "end of stream in the middle of a transfer");
                read += got;
            }
        }
        Run.expect(Net.crc(sent, 0, SIZE) == Net.crc(received, 0, SIZE), "the bytes received differ from those sent");
    }
}
