package io.quarn.faults;

import io.quarn.channel.kqueue.BsdSocket;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.PeerCredentials;
import io.quarn.channel.unix.Socket;
import io.quarn.test.NativeLibrary;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * Local stream sockets by path: bind, listen, connect, accept, peer credentials, a pipe's write
 * end passed over the socket and used on the other side, and 64 KiB through the socket.
 */
final class LocalScenario implements Scenario {
    private static final int SIZE = 64 * 1024;
    private final ByteBuffer sent = Net.data(SIZE, 21);
    private final ByteBuffer received = ByteBuffer.allocateDirect(SIZE);
    private Path path;

    @Override
    public void setUp() throws Exception {
        NativeLibrary.load();
        path = NativeLibrary.workDir().resolve("faults-" + ProcessHandle.current().pid() + ".sock");
    }

    @Override
    public void tearDown() throws Exception {
        Files.deleteIfExists(path);
    }

    @Override
    public void body(Run run) throws Exception {
        Files.deleteIfExists(path);
        byte[] name = path.toString().getBytes(StandardCharsets.UTF_8);
        int listener = run.fd(Socket.newSocketDomainFd(), "newSocketDomainFd");
        Run.ok(Socket.bindDomainSocket(listener, name), "bindDomainSocket");
        Run.ok(Socket.listen(listener, 4), "listen");
        int sender = run.fd(Socket.newSocketDomainFd(), "newSocketDomainFd");
        Run.untilReady(() -> Socket.connectDomainSocket(sender, name), "connectDomainSocket");
        int receiver = run.fd(Run.untilReady(() -> Socket.accept(listener, new byte[25]), "accept"), "accept");
        PeerCredentials credentials = Run.call(() -> BsdSocket.getPeerCredentials(receiver), "getPeerCredentials");
        Run.expect(credentials != null, "no peer credentials on a connected local socket");

        long pipe = Run.ok(FileDescriptor.newPipe(), "newPipe");
        int readEnd = run.fd((int) (pipe >>> 32), "newPipe");
        int writeEnd = run.fd((int) pipe, "newPipe");
        Run.expect(Run.untilReady(() -> Socket.sendFd(sender, writeEnd), "sendFd") == 1, "sendFd did not send");
        int passed = Run.untilReady(() -> Socket.recvFd(receiver), "recvFd");
        Run.expect(passed > 0, "recvFd returned " + passed);
        run.fd(passed, "recvFd");
        Run.expect(Run.ok(FileDescriptor.write(passed, sent, 0, 100), "write") == 100, "short write into a pipe");
        Run.expect(Run.untilReady(() -> FileDescriptor.read(readEnd, received, 0, 100), "read") == 100,
                "the passed descriptor is not the pipe");
        Run.expect(Net.crc(sent, 0, 100) == Net.crc(received, 0, 100), "bytes through the passed pipe differ");

        int written = 0;
        int read = 0;
        long deadline = System.nanoTime() + 5_000_000_000L;
        while (read < SIZE) {
            Run.expect(System.nanoTime() < deadline, "local transfer stuck at " + read);
            if (written < SIZE) {
                int result = FileDescriptor.write(sender, sent, written, Math.min(SIZE, written + 8192));
                written += result == -Run.EAGAIN ? 0 : Run.ok(result, "write");
            }
            int got = FileDescriptor.read(receiver, received, read, SIZE);
            if (got != -Run.EAGAIN) {
                Run.expect(Run.ok(got, "read") > 0, "end of stream in the middle of a transfer");
                read += got;
            }
        }
        Run.expect(Net.crc(sent, 0, SIZE) == Net.crc(received, 0, SIZE), "bytes through the local socket differ");
        for (int fd : new int[] {passed, writeEnd, readEnd, receiver, sender, listener}) {
            run.close(fd, "close");
        }
    }
}
