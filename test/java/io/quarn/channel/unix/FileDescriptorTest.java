package io.quarn.channel.unix;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.test.JdkDescriptors;
import io.quarn.test.NativeLibrary;
import java.io.IOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

class FileDescriptorTest {
    private static int eagain;
    private static int ebadf;
    private static int epipe;
    private static int einval;

    private int readEnd;
    private int writeEnd;

    @BeforeAll
    static void load() {
        NativeLibrary.load();
        eagain = ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
        ebadf = ErrorsStaticallyReferencedJniMethods.errnoEBADF();
        epipe = ErrorsStaticallyReferencedJniMethods.errnoEPIPE();
        // EINVAL has no native of its own; it is 22 on Linux and on FreeBSD.
        einval = 22;
    }

    @BeforeEach
    void openPipe() {
        long pair = FileDescriptor.newPipe();
        assertTrue(pair > 0, "newPipe failed: " + pair);
        readEnd = (int) (pair >>> 32);
        writeEnd = (int) pair;
        assertTrue(readEnd > 2 && writeEnd > 2 && readEnd != writeEnd);
    }

    @AfterEach
    void closePipe() {
        if (readEnd >= 0) {
            assertEquals(0, FileDescriptor.close(readEnd));
        }
        if (writeEnd >= 0) {
            assertEquals(0, FileDescriptor.close(writeEnd));
        }
    }

    private static ByteBuffer direct(String text) {
        byte[] bytes = text.getBytes(StandardCharsets.US_ASCII);
        ByteBuffer buffer = ByteBuffer.allocateDirect(bytes.length);
        buffer.put(bytes).flip();
        return buffer;
    }

    private String readAll(int fd, int expected) {
        ByteBuffer in = ByteBuffer.allocateDirect(Math.max(expected, 1) + 16);
        int got = FileDescriptor.read(fd, in, 0, in.capacity());
        assertEquals(expected, got);
        byte[] bytes = new byte[got];
        in.get(bytes);
        return new String(bytes, StandardCharsets.US_ASCII);
    }

    private static ByteBuffer[] buffersOf(int... lengths) {
        ByteBuffer[] buffers = new ByteBuffer[lengths.length];
        for (int i = 0; i < lengths.length; i++) {
            buffers[i] = direct("x".repeat(lengths[i]));
        }
        return buffers;
    }

    @Test
    void pipeCarriesBufferAndAddressWritesAndReadsEndOfStream() {
        ByteBuffer out = direct("..hello..");
        assertEquals(5, FileDescriptor.write(writeEnd, out, 2, 7), "only position to limit is written");
        long address = Buffer.memoryAddress0(out);
        assertEquals(2, FileDescriptor.writeAddress(writeEnd, address, 0, 2));
        assertEquals("hello..", readAll(readEnd, 7));

        ByteBuffer in = ByteBuffer.allocateDirect(8);
        assertEquals(-eagain, FileDescriptor.read(readEnd, in, 0, 8), "an empty non-blocking pipe");
        assertEquals(3, FileDescriptor.write(writeEnd, direct("abc"), 0, 3));
        assertEquals(3, FileDescriptor.readAddress(readEnd, Buffer.memoryAddress0(in), 4, 8));
        assertEquals('a', in.get(4));
        assertEquals('c', in.get(6));

        assertEquals(0, FileDescriptor.close(writeEnd));
        writeEnd = -1;
        assertEquals(0, FileDescriptor.read(readEnd, in, 0, 8), "end of stream");
    }

    @Test
    void fullPipeGivesEagainRatherThanBlocking() {
        ByteBuffer chunk = ByteBuffer.allocateDirect(65536);
        int result = 0;
        long total = 0;
        // A pipe holds 64 KiB by default and at most 1 MiB unprivileged; 64 chunks overfill it.
        for (int i = 0; i < 64 && result >= 0; i++) {
            result = FileDescriptor.write(writeEnd, chunk, 0, chunk.capacity());
            total += Math.max(result, 0);
        }
        assertEquals(-eagain, result);
        assertTrue(total > 0);
        assertEquals(-eagain, FileDescriptor.writev(writeEnd, new ByteBuffer[] {chunk}, 0, 1, Long.MAX_VALUE));
    }

    @Test
    void writeToPipeWithoutReaderIsEpipe() {
        assertEquals(0, FileDescriptor.close(readEnd));
        readEnd = -1;
        assertEquals(-epipe, FileDescriptor.write(writeEnd, direct("x"), 0, 1));
        assertEquals(-epipe, FileDescriptor.writev(writeEnd, buffersOf(1, 1), 0, 2, 10));
    }

    @Test
    void badDescriptorIsEbadfEverywhere() {
        int bad = Integer.MAX_VALUE;
        ByteBuffer buffer = direct("x");
        assertEquals(-ebadf, FileDescriptor.close(bad));
        assertEquals(-ebadf, FileDescriptor.close(-1));
        assertEquals(-ebadf, FileDescriptor.write(bad, buffer, 0, 1));
        assertEquals(-ebadf, FileDescriptor.read(bad, buffer, 0, 1));
        assertEquals(-ebadf, FileDescriptor.writeAddress(bad, Buffer.memoryAddress0(buffer), 0, 1));
        assertEquals(-ebadf, FileDescriptor.readAddress(bad, Buffer.memoryAddress0(buffer), 0, 1));
        assertEquals(-ebadf, FileDescriptor.writev(bad, new ByteBuffer[] {buffer}, 0, 1, 1));
    }

    @Test
    void writevBudgetTakesWholeBuffersOnly() {
        assertEquals(30, FileDescriptor.writev(writeEnd, buffersOf(10, 20, 30), 0, 3, 30));
        assertEquals(10, FileDescriptor.writev(writeEnd, buffersOf(10, 20, 30), 0, 3, 29));
        assertEquals(60, FileDescriptor.writev(writeEnd, buffersOf(10, 20, 30), 0, 3, 60));
        assertEquals(10, FileDescriptor.writev(writeEnd, buffersOf(10, 0, 0, 5), 0, 4, 10),
                "empty buffers within an exhausted budget are taken; the next is not");
        assertEquals(10, FileDescriptor.writev(writeEnd, buffersOf(10), 0, 1, -1), "one buffer ignores the maximum");
        // The signed reading of the budget: below the first buffer, nothing follows it.
        assertEquals(10, FileDescriptor.writev(writeEnd, buffersOf(10, 1, 1), 0, 3, 5));
        assertEquals(10, FileDescriptor.writev(writeEnd, buffersOf(10, 1, 1), 0, 3, -1));
        assertEquals(20, FileDescriptor.writev(writeEnd, buffersOf(10, 20, 30), 1, 1, 0), "from the offset");
        assertEquals(0, FileDescriptor.writev(writeEnd, buffersOf(10), 0, 0, 100));
        assertEquals(160, drain());
    }

    @Test
    void writevReadsEachBuffersPositionAndLimit() {
        ByteBuffer first = direct("--abc--");
        first.position(2).limit(5);
        ByteBuffer second = direct("defg");
        second.position(1);
        ByteBuffer sliced = direct("##hi").slice(2, 2);
        assertEquals(8, FileDescriptor.writev(writeEnd, new ByteBuffer[] {first, second, sliced}, 0, 3, 100));
        assertEquals("abcefghi", readAll(readEnd, 8));
        assertEquals(2, first.position(), "the natives do not move the buffers");
    }

    @Test
    void writevRefusesNegativeLengthAndCapsAtIovMax() {
        assertEquals(-einval, FileDescriptor.writev(writeEnd, buffersOf(1), 0, -1, 100));
        int iovMax = LimitsStaticallyReferencedJniMethods.iovMax();
        ByteBuffer[] many = new ByteBuffer[iovMax + 6];
        ByteBuffer one = direct("z");
        java.util.Arrays.fill(many, one);
        assertEquals(iovMax, FileDescriptor.writev(writeEnd, many, 0, many.length, Long.MAX_VALUE),
                "a short write the caller continues");
        assertEquals(iovMax, drain());
    }

    @Test
    void writevBadElementsFailWithoutWriting() {
        ByteBuffer[] withNull = {direct("a"), null};
        assertEquals(-einval, FileDescriptor.writev(writeEnd, withNull, 0, 2, 100));
        assertThrows(ArrayIndexOutOfBoundsException.class,
                () -> FileDescriptor.writev(writeEnd, buffersOf(1, 1), 1, 2, 100));
        ByteBuffer heap = ByteBuffer.allocate(4);
        assertTrue(FileDescriptor.writev(writeEnd, new ByteBuffer[] {direct("a"), heap}, 0, 2, 100) < 0);
        assertTrue(FileDescriptor.write(writeEnd, heap, 0, 4) < 0, "a heap buffer has no address to write from");
        assertTrue(FileDescriptor.read(readEnd, heap, 0, 4) < 0);
        assertEquals(0, drain(), "nothing reached the pipe");
    }

    @Test
    void spanWithLimitBelowPositionIsRefused() {
        ByteBuffer buffer = direct("abcd");
        assertEquals(-einval, FileDescriptor.write(writeEnd, buffer, 3, 1));
        assertEquals(-einval, FileDescriptor.read(readEnd, buffer, 3, 1));
        assertEquals(-einval, FileDescriptor.readAddress(readEnd, Buffer.memoryAddress0(buffer), 1, 0));
        assertEquals(-einval, FileDescriptor.writeAddress(writeEnd, Buffer.memoryAddress0(buffer), 1, 0));
    }

    @Test
    void writevAddressesWritesANativeVector() {
        ByteBuffer a = direct("gather");
        ByteBuffer b = direct("ing");
        ByteBuffer vector = ByteBuffer.allocateDirect(32).order(ByteOrder.nativeOrder());
        vector.putLong(0, Buffer.memoryAddress0(a)).putLong(8, 6);
        vector.putLong(16, Buffer.memoryAddress0(b)).putLong(24, 3);
        assertEquals(9, FileDescriptor.writevAddresses(writeEnd, Buffer.memoryAddress0(vector), 2));
        assertEquals("gathering", readAll(readEnd, 9));
        assertEquals(-einval, FileDescriptor.writevAddresses(writeEnd, Buffer.memoryAddress0(vector), -1));
    }

    @Test
    void openCreatesAndTruncates() throws IOException {
        Path file = NativeLibrary.workDir().resolve("fd-open-test.txt");
        Files.deleteIfExists(file);
        int fd = FileDescriptor.open(file.toString());
        assertTrue(fd > 2, "open failed: " + fd);
        assertEquals(5, FileDescriptor.write(fd, direct("first"), 0, 5));
        assertEquals(0, FileDescriptor.close(fd));
        assertEquals("first", Files.readString(file));

        fd = FileDescriptor.open(file.toString());
        assertTrue(fd > 2, "open failed: " + fd);
        assertEquals(0, Files.size(file), "an existing file is emptied");
        assertEquals(-ebadf, FileDescriptor.read(fd, direct("x"), 0, 1), "opened for writing only");
        assertEquals(0, FileDescriptor.close(fd));
        Files.delete(file);

        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoENOENT(),
                FileDescriptor.open(file.resolveSibling("missing-dir").resolve("f").toString()));
    }

    @Test
    void jdkSocketEndsReadEofAndEagain() throws IOException {
        try (ServerSocketChannel server = ServerSocketChannel.open()) {
            server.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0));
            try (SocketChannel client = SocketChannel.open(server.getLocalAddress());
                    SocketChannel accepted = server.accept()) {
                client.configureBlocking(false);
                int fd = JdkDescriptors.of(client);
                ByteBuffer in = ByteBuffer.allocateDirect(16);
                assertEquals(-eagain, FileDescriptor.read(fd, in, 0, 16));

                assertEquals(4, FileDescriptor.write(fd, direct("ping"), 0, 4));
                ByteBuffer got = ByteBuffer.allocate(4);
                while (got.hasRemaining()) {
                    accepted.read(got);
                }
                assertEquals("ping", new String(got.array(), StandardCharsets.US_ASCII));

                accepted.write(ByteBuffer.wrap("pong".getBytes(StandardCharsets.US_ASCII)));
                accepted.shutdownOutput();
                assertEquals("pong", readEventually(fd, in, 4));
                assertEquals(0, readEventuallyEof(fd, in), "end of stream after the peer's shutdown");
            }
        }
    }

    @Test
    void jdkSocketWriteAfterPeerClosedFails() throws IOException, InterruptedException {
        try (ServerSocketChannel server = ServerSocketChannel.open()) {
            server.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0));
            try (SocketChannel client = SocketChannel.open(server.getLocalAddress())) {
                server.accept().close();
                int fd = JdkDescriptors.of(client);
                int econnreset = ErrorsStaticallyReferencedJniMethods.errnoECONNRESET();
                int result = 0;
                // The first write draws the peer's reset; a later one fails. Bounded in count and time.
                for (int i = 0; i < 50 && result >= 0; i++) {
                    result = FileDescriptor.write(fd, direct("data"), 0, 4);
                    Thread.sleep(10);
                }
                assertTrue(result == -epipe || result == -econnreset, "result " + result);
            }
        }
    }

    private static String readEventually(int fd, ByteBuffer in, int expected) throws IOException {
        for (int i = 0; i < 500; i++) {
            int got = FileDescriptor.read(fd, in, 0, expected);
            if (got == expected) {
                byte[] bytes = new byte[expected];
                in.get(0, bytes);
                return new String(bytes, StandardCharsets.US_ASCII);
            }
            assertEquals(-eagain, got);
            sleep();
        }
        throw new IOException("no data in 5 s");
    }

    private static int readEventuallyEof(int fd, ByteBuffer in) throws IOException {
        for (int i = 0; i < 500; i++) {
            int got = FileDescriptor.read(fd, in, 0, in.capacity());
            if (got != -eagain) {
                return got;
            }
            sleep();
        }
        throw new IOException("no end of stream in 5 s");
    }

    private static void sleep() {
        try {
            Thread.sleep(10);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    private int drain() {
        ByteBuffer in = ByteBuffer.allocateDirect(65536);
        int total = 0;
        for (int i = 0; i < 64; i++) {
            int got = FileDescriptor.read(readEnd, in, 0, in.capacity());
            if (got <= 0) {
                assertEquals(-eagain, got);
                return total;
            }
            total += got;
        }
        return total;
    }
}
