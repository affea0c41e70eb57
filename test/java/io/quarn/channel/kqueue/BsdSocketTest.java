package io.quarn.channel.kqueue;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.channel.ChannelException;
import io.quarn.channel.DefaultFileRegion;
import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.PeerCredentials;
import io.quarn.channel.unix.Socket;
import io.quarn.test.NativeLibrary;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.StandardProtocolFamily;
import java.net.StandardSocketOptions;
import java.net.UnixDomainSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.FileChannel;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystem;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

@Timeout(value = 60, unit = TimeUnit.SECONDS)
class BsdSocketTest {
    private static final byte[] LOOPBACK = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 127, 0, 0, 1};
    // EINVAL is 22 on Linux and on the BSDs alike.
    private static final int EINVAL = 22;
    // What Linux says for ENOPROTOOPT and ENOTCONN; the tests of this class that use them
    // pin the library's Linux behaviour.
    private static final String NO_PROTOCOL_OPTION = "Protocol not available";
    private static final String NOT_CONNECTED = "Transport endpoint is not connected";

    private static Path file;
    private static byte[] fileBytes;

    @BeforeAll
    static void setUp() throws IOException {
        NativeLibrary.load();
        fileBytes = new byte[1000];
        for (int i = 0; i < fileBytes.length; i++) {
            fileBytes[i] = (byte) (i % 251);
        }
        file = Files.createTempFile(NativeLibrary.workDir(), "region", ".bin");
        Files.write(file, fileBytes);
    }

    @AfterAll
    static void tearDown() throws IOException {
        Files.deleteIfExists(file);
    }

    private static int eagain() {
        return ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
    }

    /** A native socket accepted from a JDK client over loopback; closing closes both. */
    private record Connection(int fd, SocketChannel client) implements AutoCloseable {
        @Override
        public void close() throws IOException {
            client.close();
            assertEquals(0, FileDescriptor.close(fd));
        }
    }

    private static int listeningSocket() {
        int fd = Socket.newSocketStreamFd(false);
        assertTrue(fd > 0, "socket: " + fd);
        assertEquals(0, Socket.bind(fd, false, LOOPBACK, 0, 0));
        assertEquals(0, Socket.listen(fd, 8));
        return fd;
    }

    private static int acceptOne(int listener) throws InterruptedException {
        byte[] peer = new byte[25];
        for (int attempt = 0; attempt < 2000; attempt++) {
            int fd = Socket.accept(listener, peer);
            if (fd >= 0) {
                return fd;
            }
            assertEquals(-eagain(), fd);
            Thread.sleep(1);
        }
        throw new AssertionError("no connection to accept");
    }

    /** Connects a JDK client, optionally with a small fixed receive buffer, to a native socket. */
    private static Connection connect(int clientReceiveBuffer) throws IOException, InterruptedException {
        int listener = listeningSocket();
        try {
            byte[] local = Socket.localAddress(listener);
            int port = ((local[6] & 0xff) << 8) | (local[7] & 0xff);
            SocketChannel client = SocketChannel.open();
            if (clientReceiveBuffer > 0) {
                client.setOption(StandardSocketOptions.SO_RCVBUF, clientReceiveBuffer);
            }
            client.connect(new InetSocketAddress(InetAddress.getLoopbackAddress(), port));
            return new Connection(acceptOne(listener), client);
        } finally {
            assertEquals(0, FileDescriptor.close(listener));
        }
    }

    private static byte[] readFully(SocketChannel channel, int count) throws IOException {
        ByteBuffer buffer = ByteBuffer.allocate(count);
        while (buffer.hasRemaining()) {
            if (channel.read(buffer) < 0) {
                break;
            }
        }
        return Arrays.copyOf(buffer.array(), buffer.position());
    }

    @Test
    void sendFileStartsAtBasePlusOffsetAndRecordsTheTransferredTotal() throws Exception {
        try (Connection connection = connect(0); FileChannel channel = FileChannel.open(file)) {
            DefaultFileRegion region = new DefaultFileRegion(channel, 100, 70);
            assertEquals(50, BsdSocket.sendFile(connection.fd(), region, 100, 20, 50));
            assertEquals(70, region.transferred());
            assertArrayEquals(Arrays.copyOfRange(fileBytes, 120, 170), readFully(connection.client(), 50));
        }
    }

    @Test
    void sendFileOfZeroBytesSendsNothingAndNegativeLengthIsInvalid() throws Exception {
        try (Connection connection = connect(0); FileChannel channel = FileChannel.open(file)) {
            DefaultFileRegion region = new DefaultFileRegion(channel, 0, 1000);
            // A zero count would make the system send the whole rest of the file.
            assertEquals(0, BsdSocket.sendFile(connection.fd(), region, 0, 0, 0));
            assertEquals(-EINVAL, BsdSocket.sendFile(connection.fd(), region, 0, 0, -1));
            assertEquals(0, region.transferred());
            assertEquals(1, BsdSocket.sendFile(connection.fd(), region, 999, 0, 1));
            assertArrayEquals(new byte[] {fileBytes[999]}, readFully(connection.client(), 1),
                    "the first byte to arrive is the one sent after the zero-length call");
        }
    }

    @Test
    void multiMegabyteRegionArrivesIntact() throws Exception {
        int size = 6 * 1024 * 1024 + 12345;
        byte[] content = new byte[size];
        new Random(7).nextBytes(content);
        Path big = Files.createTempFile(NativeLibrary.workDir(), "big", ".bin");
        try (Connection connection = connect(0); FileChannel channel = FileChannel.open(big)) {
            Files.write(big, content);
            byte[][] received = new byte[1][];
            Thread reader = new Thread(() -> {
                try {
                    received[0] = readFully(connection.client(), size);
                } catch (IOException e) {
                    received[0] = new byte[0];
                }
            });
            reader.start();
            DefaultFileRegion region = new DefaultFileRegion(channel, 0, size);
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
            while (region.transferred() < size && System.nanoTime() < deadline) {
                long sent = BsdSocket.sendFile(connection.fd(), region, 0, region.transferred(),
                        size - region.transferred());
                if (sent == -eagain()) {
                    Thread.sleep(1);
                } else {
                    assertTrue(sent > 0, "sendFile: " + sent);
                }
            }
            reader.join(TimeUnit.SECONDS.toMillis(30));
            assertEquals(size, region.transferred());
            assertEquals(size, received[0].length);
            assertTrue(Arrays.equals(content, received[0]), "the bytes arrive as the file holds them");
        } finally {
            Files.deleteIfExists(big);
        }
    }

    @Test
    void fullNonBlockingSocketGivesEagainAndLeavesTransferredAlone() throws Exception {
        Path big = Files.createTempFile(NativeLibrary.workDir(), "sparse", ".bin");
        try (RandomAccessFile sparse = new RandomAccessFile(big.toFile(), "rw")) {
            sparse.setLength(64L * 1024 * 1024);
        }
        try (Connection connection = connect(16 * 1024); FileChannel channel = FileChannel.open(big)) {
            Socket.setSendBufferSize(connection.fd(), 16 * 1024);
            DefaultFileRegion region = new DefaultFileRegion(channel, 0, channel.size());
            long result = 0;
            long before = 0;
            for (int call = 0; call < 1000 && result >= 0; call++) {
                before = region.transferred();
                result = BsdSocket.sendFile(connection.fd(), region, 0, before, channel.size() - before);
            }
            assertEquals(-eagain(), result);
            assertTrue(before > 0, "some bytes went before the socket filled");
            assertEquals(before, region.transferred());
        } finally {
            Files.deleteIfExists(big);
        }
    }

    @Test
    void regionWithoutUsableChannelThrowsRuntimeException() throws Exception {
        try (Connection connection = connect(0)) {
            RuntimeException noChannel = assertThrows(RuntimeException.class,
                    () -> BsdSocket.sendFile(connection.fd(), new DefaultFileRegion(null, 0, 10), 0, 0, 10));
            assertEquals("failed to get DefaultFileRegion.file", noChannel.getMessage());

            // A file inside a zip file system is a FileChannel of another class, without the field.
            Path zip = NativeLibrary.workDir().resolve("bsd-foreign.zip");
            Files.deleteIfExists(zip);
            try (FileSystem zipFs = FileSystems.newFileSystem(zip, Map.of("create", "true"))) {
                Path entry = zipFs.getPath("entry");
                Files.write(entry, fileBytes);
                try (FileChannel foreignChannel = FileChannel.open(entry)) {
                    RuntimeException foreign = assertThrows(RuntimeException.class, () -> BsdSocket
                            .sendFile(connection.fd(), new DefaultFileRegion(foreignChannel, 0, 10), 0, 0, 10));
                    assertEquals("failed to get FileChannelImpl.fd", foreign.getMessage());
                }
            } finally {
                Files.deleteIfExists(zip);
            }

            FileChannel channel = FileChannel.open(file);
            channel.close();
            DefaultFileRegion closed = new DefaultFileRegion(channel, 0, 10);
            RuntimeException closedFile = assertThrows(RuntimeException.class,
                    () -> BsdSocket.sendFile(connection.fd(), closed, 0, 0, 10));
            assertEquals("failed to get FileDescriptor.fd", closedFile.getMessage());
            assertEquals(0, closed.transferred());
        }
    }

    @Test
    void tcpNoPushIsSetAndRead() throws Exception {
        try (Connection connection = connect(0)) {
            assertEquals(0, BsdSocket.getTcpNoPush(connection.fd()));
            BsdSocket.setTcpNoPush(connection.fd(), 1);
            assertEquals(1, BsdSocket.getTcpNoPush(connection.fd()));
            BsdSocket.setTcpNoPush(connection.fd(), 0);
            assertEquals(0, BsdSocket.getTcpNoPush(connection.fd()));
        }
    }

    @Test
    void sendLowWaterMarkReadsOneAndCannotBeSetOnLinux() throws Exception {
        try (Connection connection = connect(0)) {
            assertEquals(1, BsdSocket.getSndLowAt(connection.fd()));
            ChannelException failure = assertThrows(ChannelException.class,
                    () -> BsdSocket.setSndLowAt(connection.fd(), 4096));
            assertEquals("setsockopt() failed: " + NO_PROTOCOL_OPTION, failure.getMessage());
        }
    }

    @Test
    void optionsOnClosedDescriptorThrowClosedChannelException() {
        int fd = listeningSocket();
        assertEquals(0, FileDescriptor.close(fd));
        assertThrows(ClosedChannelException.class, () -> BsdSocket.setTcpNoPush(fd, 1));
        assertThrows(ClosedChannelException.class, () -> BsdSocket.getTcpNoPush(fd));
        assertThrows(ClosedChannelException.class, () -> BsdSocket.getSndLowAt(fd));
        assertThrows(ClosedChannelException.class, () -> BsdSocket.setAcceptFilter(fd, "httpready", ""));
        assertThrows(ClosedChannelException.class, () -> BsdSocket.getAcceptFilter(fd));
        assertThrows(ClosedChannelException.class, () -> BsdSocket.getPeerCredentials(fd));
    }

    @Test
    void acceptFilterFailsByTheOptionRuleOnLinux() {
        int listener = listeningSocket();
        try {
            ChannelException set = assertThrows(ChannelException.class,
                    () -> BsdSocket.setAcceptFilter(listener, "httpready", ""));
            assertEquals("setsockopt() failed: " + NO_PROTOCOL_OPTION, set.getMessage());
            ChannelException get = assertThrows(ChannelException.class, () -> BsdSocket.getAcceptFilter(listener));
            assertEquals("getsockopt() failed: " + NO_PROTOCOL_OPTION, get.getMessage());
        } finally {
            assertEquals(0, FileDescriptor.close(listener));
        }
    }

    @Test
    void acceptFilterWithNullTextThrowsNullPointerExceptionBeforeAnySystemCall() {
        int closed = listeningSocket();
        assertEquals(0, FileDescriptor.close(closed));
        // On a closed descriptor a system call would raise ClosedChannelException instead.
        assertThrows(NullPointerException.class, () -> BsdSocket.setAcceptFilter(closed, null, ""));
        assertThrows(NullPointerException.class, () -> BsdSocket.setAcceptFilter(closed, "httpready", null));
    }

    /** A native Unix-domain listener and a JDK client connected to it; the accepted descriptor. */
    private record LocalConnection(int listener, int fd, SocketChannel client, Path path) implements AutoCloseable {
        @Override
        public void close() throws IOException {
            client.close();
            assertEquals(0, FileDescriptor.close(fd));
            assertEquals(0, FileDescriptor.close(listener));
            Files.deleteIfExists(path);
        }
    }

    private static LocalConnection connectLocal() throws IOException, InterruptedException {
        Path path = NativeLibrary.workDir().resolve("bsd-peer-" + ProcessHandle.current().pid() + ".sock");
        int listener = Socket.newSocketDomainFd();
        assertTrue(listener > 0, "socket: " + listener);
        assertEquals(0, Socket.bindDomainSocket(listener, path.toString().getBytes(StandardCharsets.UTF_8)));
        assertEquals(0, Socket.listen(listener, 8));
        SocketChannel client = SocketChannel.open(StandardProtocolFamily.UNIX);
        client.connect(UnixDomainSocketAddress.of(path));
        return new LocalConnection(listener, acceptOne(listener), client, path);
    }

    @Test
    void peerCredentialsOfLocalPeerAreThisProcessAndAListenerHasNone() throws Exception {
        int uid = (Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid");
        int gid = (Integer) Files.getAttribute(Path.of("/proc/self"), "unix:gid");
        try (LocalConnection connection = connectLocal()) {
            PeerCredentials credentials = BsdSocket.getPeerCredentials(connection.fd());
            assertEquals(0, credentials.pid(), "the process id is not read");
            assertEquals(uid, credentials.uid());
            int[] gids = credentials.gids();
            assertTrue(gids.length >= 1 && gids.length <= 16, Arrays.toString(gids));
            assertEquals(gid, gids[0], "the effective group comes first");
            // Linux would answer the listener with its own credentials, as if it were its peer.
            ChannelException listener = assertThrows(ChannelException.class,
                    () -> BsdSocket.getPeerCredentials(connection.listener()));
            assertEquals("getsockopt() failed: " + NOT_CONNECTED, listener.getMessage());
        }
    }

    @Test
    void peerCredentialsOfUnconnectedSocketFail() {
        int fd = Socket.newSocketDomainFd();
        try {
            ChannelException failure = assertThrows(ChannelException.class, () -> BsdSocket.getPeerCredentials(fd));
            assertEquals("getsockopt() failed: " + NOT_CONNECTED, failure.getMessage());
        } finally {
            assertEquals(0, FileDescriptor.close(fd));
        }
        int tcp = listeningSocket();
        try {
            assertThrows(ChannelException.class, () -> BsdSocket.getPeerCredentials(tcp));
        } finally {
            assertEquals(0, FileDescriptor.close(tcp));
        }
    }

    @Test
    void moduleWorksUnderPackagePrefix() throws Exception {
        NativeLibrary.loadShaded();
        try (Connection connection = connect(0); FileChannel channel = FileChannel.open(file)) {
            shaded.prefix.io.quarn.channel.DefaultFileRegion region =
                    new shaded.prefix.io.quarn.channel.DefaultFileRegion(channel, 0, 10);
            assertEquals(10, shaded.prefix.io.quarn.channel.kqueue.BsdSocket.sendFile(connection.fd(), region, 5, 0,
                    10));
            assertEquals(10, region.transferred());
            assertArrayEquals(Arrays.copyOfRange(fileBytes, 5, 15), readFully(connection.client(), 10));
            shaded.prefix.io.quarn.channel.kqueue.BsdSocket.setTcpNoPush(connection.fd(), 1);
            assertEquals(1, shaded.prefix.io.quarn.channel.kqueue.BsdSocket.getTcpNoPush(connection.fd()));
        }
        try (LocalConnection connection = connectLocal()) {
            shaded.prefix.io.quarn.channel.unix.PeerCredentials credentials =
                    shaded.prefix.io.quarn.channel.kqueue.BsdSocket.getPeerCredentials(connection.fd());
            assertEquals((int) (Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid"), credentials.uid());
        }
    }
}
