package io.quarn.channel.unix;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.test.NativeLibrary;
import io.quarn.test.TestNatives;
import java.io.IOException;
import java.net.Inet6Address;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.UnixDomainSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/** Passing descriptors over local sockets, within one process and to a child process. */
public class FdPassingTest {
    private final List<Integer> fds = new ArrayList<>();
    private Path dir;

    @BeforeAll
    static void load() {
        NativeLibrary.load();
        TestNatives.load();
    }

    @BeforeEach
    void makeDirectory() throws IOException {
        dir = Files.createTempDirectory(Path.of("/tmp"), "qf");
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

    private int track(int fd) {
        assertTrue(fd >= 0, "descriptor: " + fd);
        fds.add(fd);
        return fd;
    }

    private int listener(Path path) {
        int fd = track(Socket.newSocketDomainFd());
        assertEquals(0, Socket.bindDomainSocket(fd, DomainSocketTest.pathBytes(path)));
        assertEquals(0, Socket.listen(fd, 4));
        return fd;
    }

    /** recvFd on a non-blocking socket, waiting at most the given seconds for a message. */
    static int recvFdWithin(int socket, int seconds) throws InterruptedException {
        int eagain = -ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(seconds);
        int result;
        while ((result = Socket.recvFd(socket)) == eagain && System.nanoTime() < deadline) {
            Thread.sleep(5);
        }
        return result;
    }

    @Test
    void descriptorPassesBetweenTwoSockets() throws Exception {
        Path path = dir.resolve("pass.sock");
        int server = listener(path);
        int client = track(Socket.newSocketDomainFd());
        assertEquals(0, Socket.connectDomainSocket(client, DomainSocketTest.pathBytes(path)));
        int accepted = track(DomainSocketTest.acceptWithin(server));
        int[] pipe = TestNatives.pipe();
        track(pipe[0]);
        track(pipe[1]);

        assertEquals(1, Socket.sendFd(client, pipe[1]));
        int received = track(recvFdWithin(accepted, 5));
        assertTrue(received != pipe[1]);
        assertTrue(TestNatives.sameFile(received, pipe[1]));
        assertTrue(TestNatives.isNonBlocking(received));
        assertTrue(TestNatives.isOpen(pipe[1]), "the sender's descriptor stays open");
        assertEquals(4, TestNatives.write(received, "pipe".getBytes(StandardCharsets.US_ASCII)));
        assertArrayEquals("pipe".getBytes(StandardCharsets.US_ASCII), TestNatives.read(pipe[0], 4));

        // The other direction over the same connection.
        assertEquals(1, Socket.sendFd(accepted, pipe[0]));
        int back = track(recvFdWithin(client, 5));
        assertTrue(TestNatives.sameFile(back, pipe[0]));
    }

    @Test
    @Timeout(30)
    void sendFdOverTcpIsRefusedBeforeAnythingIsSent() throws Exception {
        int[] pipe = TestNatives.pipe();
        track(pipe[0]);
        track(pipe[1]);
        for (InetAddress loopback : List.of(SocketLifecycleSupport.IPV4_LOOPBACK, SocketLifecycleSupport.IPV6_LOOPBACK)) {
            boolean ipv6 = loopback instanceof Inet6Address;
            if (ipv6 && !DatagramTest.ipv6LoopbackUsable(loopback)) {
                continue;
            }
            try (ServerSocketChannel server = ServerSocketChannel.open().bind(new InetSocketAddress(loopback, 0))) {
                int client = track(Socket.newSocketStreamFd(ipv6));
                int connected = Socket.connect(client, ipv6, SocketLifecycleSupport.inputBytes(loopback), 0,
                        server.socket().getLocalPort());
                assertTrue(connected == 0 || connected == -ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS());
                try (SocketChannel peer = server.accept()) {
                    // Linux's TCP would drop the descriptor and send the data byte alone.
                    assertEquals(-TestNatives.errno("EINVAL"), Socket.sendFd(client, pipe[1]), loopback.toString());
                    assertEquals(0, Socket.shutdown(client, false, true));
                    assertEquals(-1, peer.read(ByteBuffer.allocate(4)), "a stray byte reached the peer");
                }
            }
        }
    }

    @Test
    void recvFdResultsWithoutADescriptor() throws Exception {
        Path path = dir.resolve("none.sock");
        int server = listener(path);
        try (SocketChannel peer = SocketChannel.open(UnixDomainSocketAddress.of(path))) {
            int accepted = track(DomainSocketTest.acceptWithin(server));
            assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEAGAIN(), Socket.recvFd(accepted));
            // A plain byte where a descriptor was expected: the fixed errno, never 0 or EAGAIN.
            peer.write(ByteBuffer.wrap(new byte[] {42}));
            assertEquals(-TestNatives.errno("ENOMSG"), recvFdWithin(accepted, 5));
            peer.close();
            assertEquals(0, recvFdWithin(accepted, 5), "the peer has closed");
        }
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEBADF(), Socket.recvFd(-1));
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEBADF(), Socket.sendFd(-1, 0));
    }

    @Test
    void childProcessReceivesADescriptorAndWritesThroughIt() throws Exception {
        Path path = dir.resolve("child.sock");
        int server = listener(path);
        int[] pipe = TestNatives.pipe();
        track(pipe[0]);
        track(pipe[1]);
        String classpath = NativeLibrary.property("quarn.tests") + ":" + NativeLibrary.property("quarn.classes");
        CompletableFuture<NativeLibrary.ChildResult> child = CompletableFuture.supplyAsync(() -> {
            try {
                return NativeLibrary.runChild(classpath, Child.class.getName(), NativeLibrary.property("quarn.library"),
                        NativeLibrary.property("quarn.testnatives"), path.toString());
            } catch (IOException | InterruptedException e) {
                throw new IllegalStateException(e);
            }
        });
        int accepted = -1;
        int eagain = -ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
        for (int attempt = 0; attempt < 6000 && !child.isDone(); attempt++) {
            accepted = Socket.accept(server, new byte[25]);
            if (accepted != eagain) {
                break;
            }
            Thread.sleep(10);
        }
        track(accepted);
        assertEquals(1, Socket.sendFd(accepted, pipe[1]));
        NativeLibrary.ChildResult result = child.get(90, TimeUnit.SECONDS);
        assertEquals(0, result.exitCode(), result.stdout() + result.stderr());
        assertTrue(result.stdout().startsWith("USED "), result.stdout() + result.stderr());
        assertFalse(result.stderr().contains("WARNING"), result.stderr());
        String pid = result.stdout().substring("USED ".length()).trim();
        assertEquals("child " + pid, new String(TestNatives.read(pipe[0], 64), StandardCharsets.US_ASCII));
    }

    /** The child JVM: connects to the parent, receives one descriptor and writes through it. */
    public static final class Child {
        private Child() {
        }

        public static void main(String[] args) throws Exception {
            System.load(args[0]);
            System.setProperty("quarn.testnatives", args[1]);
            int socket = Socket.newSocketDomainFd();
            int connected = Socket.connectDomainSocket(socket, args[2].getBytes(StandardCharsets.UTF_8));
            if (connected != 0) {
                System.out.println("connect failed: " + connected);
                return;
            }
            // Its own loop: the child's class path has no JUnit, so the test class stays unused.
            int eagain = -ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
            int received = eagain;
            for (int attempt = 0; attempt < 3000 && received == eagain; attempt++) {
                received = Socket.recvFd(socket);
                if (received == eagain) {
                    Thread.sleep(10);
                }
            }
            if (received <= 0) {
                System.out.println("recvFd failed: " + received);
                return;
            }
            long pid = ProcessHandle.current().pid();
            TestNatives.write(received, ("child " + pid).getBytes(StandardCharsets.US_ASCII));
            TestNatives.close(received);
            TestNatives.close(socket);
            System.out.println("USED " + pid);
        }
    }
}
