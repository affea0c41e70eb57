package io.quarn.channel.unix;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.test.NativeLibrary;
import io.quarn.test.TestNatives;
import java.io.IOException;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Local stream sockets bound and connected by path, against JDK 17 UnixDomainSocketAddress peers. */
class DomainSocketTest {
    private final List<Integer> fds = new ArrayList<>();
    private Path dir;

    @BeforeAll
    static void load() {
        NativeLibrary.load();
        TestNatives.load();
    }

    @BeforeEach
    void makeDirectory() throws IOException {
        // Short on purpose: the paths must fit sun_path.
        dir = Files.createTempDirectory(Path.of("/tmp"), "qd");
    }

    @AfterEach
    void closeAll() throws IOException {
        for (int fd : fds) {
            TestNatives.close(fd);
        }
        try (var paths = Files.walk(dir)) {
            paths.sorted(java.util.Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        }
    }

    static byte[] pathBytes(Path path) {
        return path.toString().getBytes(StandardCharsets.UTF_8);
    }

    private int domainSocket() {
        int fd = Socket.newSocketDomainFd();
        assertTrue(fd >= 0, "newSocketDomainFd: " + fd);
        fds.add(fd);
        return fd;
    }

    /** Accepts on a non-blocking listening socket, waiting at most five seconds. */
    static int acceptWithin(int listener) throws InterruptedException {
        int eagain = -ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
        for (int attempt = 0; attempt < 1000; attempt++) {
            int fd = Socket.accept(listener, new byte[25]);
            if (fd != eagain) {
                return fd;
            }
            Thread.sleep(5);
        }
        throw new AssertionError("nothing to accept within five seconds");
    }

    /** Reads exactly n bytes from a non-blocking descriptor, waiting at most five seconds. */
    static byte[] readWithin(int fd, int n) throws InterruptedException {
        byte[] result = new byte[0];
        for (int attempt = 0; attempt < 1000 && result.length < n; attempt++) {
            byte[] chunk = TestNatives.read(fd, n - result.length);
            if (chunk == null) {
                Thread.sleep(5);
                continue;
            }
            byte[] joined = Arrays.copyOf(result, result.length + chunk.length);
            System.arraycopy(chunk, 0, joined, result.length, chunk.length);
            result = joined;
        }
        return result;
    }

    @Test
    void ourListenerAcceptsAJdkClient() throws Exception {
        Path path = dir.resolve("server.sock");
        int listener = domainSocket();
        assertEquals(0, Socket.bindDomainSocket(listener, pathBytes(path)));
        assertEquals(0, Socket.listen(listener, 4));
        try (SocketChannel client = SocketChannel.open(UnixDomainSocketAddress.of(path))) {
            int accepted = acceptWithin(listener);
            assertTrue(accepted >= 0, "accept: " + accepted);
            fds.add(accepted);
            client.write(ByteBuffer.wrap("to us".getBytes(StandardCharsets.US_ASCII)));
            assertArrayEquals("to us".getBytes(StandardCharsets.US_ASCII), readWithin(accepted, 5));
            assertEquals(6, TestNatives.write(accepted, "to jdk".getBytes(StandardCharsets.US_ASCII)));
            ByteBuffer in = ByteBuffer.allocate(6);
            while (in.hasRemaining() && client.read(in) >= 0) {
                // a blocking channel: each read waits for data
            }
            assertEquals("to jdk", new String(in.array(), StandardCharsets.US_ASCII));
        }
    }

    @Test
    void weConnectToAJdkListener() throws Exception {
        Path path = dir.resolve("jdk.sock");
        try (ServerSocketChannel server = ServerSocketChannel.open(StandardProtocolFamily.UNIX)) {
            server.bind(UnixDomainSocketAddress.of(path));
            int fd = domainSocket();
            assertEquals(0, Socket.connectDomainSocket(fd, pathBytes(path)));
            try (SocketChannel peer = server.accept()) {
                assertEquals(3, TestNatives.write(fd, "abc".getBytes(StandardCharsets.US_ASCII)));
                ByteBuffer in = ByteBuffer.allocate(3);
                while (in.hasRemaining() && peer.read(in) >= 0) {
                    // blocking reads
                }
                assertEquals("abc", new String(in.array(), StandardCharsets.US_ASCII));
                peer.write(ByteBuffer.wrap("xyz".getBytes(StandardCharsets.US_ASCII)));
                assertArrayEquals("xyz".getBytes(StandardCharsets.US_ASCII), readWithin(fd, 3));
            }
        }
    }

    @Test
    void bindReplacesAnExistingFileAndConnectToNothingIsENOENT() throws Exception {
        Path path = dir.resolve("stale");
        Files.writeString(path, "left over");
        int listener = domainSocket();
        assertEquals(0, Socket.bindDomainSocket(listener, pathBytes(path)));
        assertFalse(Files.isRegularFile(path), "the old file was replaced by the socket");
        assertTrue(Files.exists(path));

        int client = domainSocket();
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoENOENT(),
                Socket.connectDomainSocket(client, pathBytes(dir.resolve("nothing-here"))));
    }

    @Test
    void pathEndsAtTheFirstZeroByteForUnlinkAndBindAlike() throws Exception {
        Path path = dir.resolve("zero");
        Files.writeString(path, "replace me");
        byte[] plain = pathBytes(path);
        byte[] withTail = Arrays.copyOf(plain, plain.length + 40);
        Arrays.fill(withTail, plain.length + 1, withTail.length, (byte) 'q');
        int listener = domainSocket();
        assertEquals(0, Socket.bindDomainSocket(listener, withTail));
        assertEquals(0, Socket.listen(listener, 1));
        assertFalse(Files.isRegularFile(path));
        // The socket answers at the path before the zero byte.
        try (SocketChannel client = SocketChannel.open(UnixDomainSocketAddress.of(path))) {
            int accepted = acceptWithin(listener);
            assertTrue(accepted >= 0);
            fds.add(accepted);
        }
        int other = domainSocket();
        assertEquals(0, Socket.connectDomainSocket(other, withTail));
        int second = acceptWithin(listener);
        assertTrue(second >= 0);
        fds.add(second);
    }

    @Test
    void tooLongPathIsRefusedBeforeUnlinkingAnything() throws Exception {
        int sunPath = LimitsStaticallyReferencedJniMethods.udsSunPathSize();
        // A file whose name is what a cut path of sun_path bytes would have named.
        StringBuilder name = new StringBuilder(dir.toString()).append('/');
        while (name.length() < sunPath) {
            name.append('n');
        }
        Path cut = Path.of(name.toString());
        Files.writeString(cut, "keep me");
        byte[] tooLong = Arrays.copyOf(pathBytes(cut), sunPath + 20);
        Arrays.fill(tooLong, sunPath, tooLong.length, (byte) 'n');
        int enametoolong = -TestNatives.errno("ENAMETOOLONG");
        int fd = domainSocket();
        assertEquals(enametoolong, Socket.bindDomainSocket(fd, tooLong));
        assertEquals(enametoolong, Socket.connectDomainSocket(fd, tooLong));
        assertEquals("keep me", Files.readString(cut), "a different file was unlinked");
        // A path of exactly sun_path bytes still binds, unterminated, to that very file.
        assertEquals(0, Socket.bindDomainSocket(fd, pathBytes(cut)));
        assertFalse(Files.isRegularFile(cut));
    }

    @Test
    void bindFailsWhereUnlinkCannotRemove() throws Exception {
        // A directory cannot be unlinked (EISDIR on Linux, EPERM on the BSDs): that error comes
        // back, and the socket is not bound.
        Path sub = Files.createDirectory(dir.resolve("sub"));
        int fd = domainSocket();
        int result = Socket.bindDomainSocket(fd, pathBytes(sub));
        assertTrue(result < 0 && result != -ErrorsStaticallyReferencedJniMethods.errnoENOENT(), "bind: " + result);
        assertTrue(Files.isDirectory(sub));
        assertEquals(0, Socket.bindDomainSocket(fd, pathBytes(dir.resolve("after"))), "still unbound");
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoENOENT(), Socket.bindDomainSocket(fd, new byte[0]));
    }
}
