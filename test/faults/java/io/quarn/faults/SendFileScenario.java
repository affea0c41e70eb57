package io.quarn.faults;

import io.quarn.channel.DefaultFileRegion;
import io.quarn.channel.kqueue.BsdSocket;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.test.NativeLibrary;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.concurrent.TimeUnit;

/** A 512 KiB file region sent over loopback TCP with sendFile, in pieces, and checked at the other end. */
final class SendFileScenario implements Scenario {
    private static final int SIZE = 512 * 1024;
    private final ByteBuffer content = Net.data(SIZE, 5);
    private final ByteBuffer received = ByteBuffer.allocateDirect(SIZE);
    private Path file;

    @Override
    public void setUp() throws Exception {
        NativeLibrary.load();
        file = Files.createTempFile(NativeLibrary.workDir(), "sendfile", ".bin");
        try (FileChannel channel = FileChannel.open(file, StandardOpenOption.WRITE)) {
            channel.write(content.duplicate());
        }
    }

    @Override
    public void tearDown() throws Exception {
        Files.deleteIfExists(file);
    }

    @Override
    public void body(Run run) throws Exception {
        int[] pair = Net.tcpPair(run);
        try (FileChannel channel = FileChannel.open(file, StandardOpenOption.READ)) {
            DefaultFileRegion region = new DefaultFileRegion(channel, 0, SIZE);
            long sent = 0;
            int read = 0;
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
            while (read < SIZE) {
                Run.expect(System.nanoTime() < deadline, "sendFile stuck at " + read + " of " + SIZE);
                if (sent < SIZE) {
                    long offset = sent;
                    long result = Run.call(() -> BsdSocket.sendFile(pair[1], region, 0, offset,
                            Math.min(SIZE - offset, 64 * 1024)), "sendFile");
                    if (result != -Run.EAGAIN) {
                        sent += Run.ok(result, "sendFile");
                        Run.expect(region.transferred() == sent, "transferred " + region.transferred() + ", sent " + sent);
                    }
                }
                int got = FileDescriptor.read(pair[2], received, read, SIZE);
                if (got != -Run.EAGAIN) {
                    Run.expect(Run.ok(got, "read") > 0, "end of stream in the middle of a transfer");
                    read += got;
                }
            }
        }
        Run.expect(Net.crc(content, 0, SIZE) == Net.crc(received, 0, SIZE), "the bytes received differ from the file");
        for (int fd : pair) {
            run.close(fd, "close");
        }
    }
}
