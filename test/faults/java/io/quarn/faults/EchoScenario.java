package io.quarn.faults;

import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import io.quarn.examples.EchoServer;
import io.quarn.examples.EventLoop;
import io.quarn.test.NativeLibrary;
import java.nio.ByteBuffer;
import java.util.concurrent.TimeUnit;

/**
 * The demo's echo server on its event loop, and a client on the natives doing a few hundred
 * round trips of varied sizes, each compared with what was sent. The demo drops a connection
 * whose read or write fails; the client then sees the end of the stream, which is how the
 * server's failure reaches it.
 */
final class EchoScenario implements Scenario {
    private static final int ROUND_TRIPS = 300;
    private final ByteBuffer sent = Net.data(4096, 13);
    private final ByteBuffer received = ByteBuffer.allocateDirect(4096);

    @Override
    public void setUp() {
        NativeLibrary.load();
    }

    @Override
    public void body(Run run) {
        EventLoop loop = new EventLoop();
        EchoServer server = null;
        try {
            server = new EchoServer(loop, Net.IPV4, false);
            int client = run.fd(Socket.newSocketStreamFd(false), "newSocketStreamFd");
            int connected = Socket.connect(client, false, Net.IPV4, 0, server.port());
            if (connected != -Run.EINPROGRESS) {
                Run.ok(connected, "connect");
            }
            for (int trip = 0; trip < ROUND_TRIPS; trip++) {
                roundTrip(loop, client, 1 + (trip * 397) % 4000, trip % 64);
            }
            run.close(client, "close");
            loop.runOnce(0);
        } finally {
            if (server != null) {
                server.close();
            }
            loop.close();
        }
    }

    private void roundTrip(EventLoop loop, int client, int size, int offset) {
        int written = 0;
        int read = 0;
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
        while (read < size) {
            Run.expect(System.nanoTime() < deadline, "echo stuck at " + read + " of " + size);
            if (written < size) {
                int result = FileDescriptor.write(client, sent, offset + written, offset + size);
                written += result == -Run.EAGAIN ? 0 : Run.ok(result, "client write");
            }
            loop.runOnce(1);
            int got = FileDescriptor.read(client, received, read, size);
            if (got == 0 || got == -Run.ECONNRESET) {
                throw new Run.Failure("the server dropped the connection", Run.DROPPED, null);
            }
            read += got == -Run.EAGAIN ? 0 : Run.ok(got, "client read");
        }
        Run.expect(Net.crc(sent, offset, offset + size) == Net.crc(received, 0, size), "an echo differs from its message");
    }
}
