package io.quarn.faults;

import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.test.NativeLibrary;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;

/** Pipes made by newPipe with every write and read native, and a file written through open. */
final class PipeScenario implements Scenario {
    private static final int SIZE = 48 * 1024;
    private final ByteBuffer sent = Net.data(SIZE, 17);
    private final ByteBuffer received = ByteBuffer.allocateDirect(SIZE);
    private final ByteBuffer vector = ByteBuffer.allocateDirect(32).order(ByteOrder.nativeOrder());
    private Path file;

    @Override
    public void setUp() throws Exception {
        NativeLibrary.load();
        file = NativeLibrary.workDir().resolve("faults-" + ProcessHandle.current().pid() + ".out");
    }

    @Override
    public void tearDown() throws Exception {
        Files.deleteIfExists(file);
    }

    @Override
    public void body(Run run) throws Exception {
        long pipe = Run.ok(FileDescriptor.newPipe(), "newPipe");
        int readEnd = run.fd((int) (pipe >>> 32), "newPipe");
        int writeEnd = run.fd((int) pipe, "newPipe");
        long base = Buffer.memoryAddress0(sent);
        int written = 0;
        int read = 0;
        for (int turn = 0; read < SIZE; turn++) {
            Run.expect(turn < 10_000, "pipe transfer stuck at " + read);
            if (written < SIZE) {
                int end = Math.min(SIZE, written + 4096 + turn % 7);
                int half = (written + end) / 2;
                long result = switch (turn % 4) {
                    case 0 -> FileDescriptor.write(writeEnd, sent, written, end);
                    case 1 -> FileDescriptor.writeAddress(writeEnd, base, written, end);
                    case 2 -> FileDescriptor.writev(writeEnd, new ByteBuffer[] {sent.duplicate().position(written).limit(half),
                        sent.duplicate().position(half).limit(end)}, 0, 2, Long.MAX_VALUE);
                    default -> {
                        vector.putLong(0, base + written).putLong(8, half - written);
                        vector.putLong(16, base + half).putLong(24, end - half);
                        yield FileDescriptor.writevAddresses(writeEnd, Buffer.memoryAddress0(vector), 2);
                    }
                };
                written += result == -Run.EAGAIN ? 0 : (int) Run.ok(result, "write");
            }
            int end = Math.min(SIZE, read + 3000);
            int got = turn % 2 == 0 ? FileDescriptor.read(readEnd, received, read, end)
                    : FileDescriptor.readAddress(readEnd, Buffer.memoryAddress0(received), read, end);
            read += got == -Run.EAGAIN ? 0 : Run.ok(got, "read");
        }
        Run.expect(Net.crc(sent, 0, SIZE) == Net.crc(received, 0, SIZE), "bytes through the pipe differ");
        run.close(writeEnd, "close");
        Run.expect(Run.ok(FileDescriptor.read(readEnd, received, 0, 16), "read") == 0, "no end of file on a closed pipe");
        run.close(readEnd, "close");

        int out = run.fd(Run.call(() -> FileDescriptor.open(file.toString()), "open"), "open");
        Run.expect(Run.ok(FileDescriptor.write(out, sent, 0, 5000), "write") == 5000, "short write into a file");
        run.close(out, "close");
        byte[] back = Files.readAllBytes(file);
        Run.expect(back.length == 5000 && Net.crc(ByteBuffer.wrap(back), 0, 5000) == Net.crc(sent, 0, 5000),
                "the file holds other bytes than those written");
    }
}
