package io.quarn.channel.unix;

import static io.quarn.channel.unix.SocketLifecycleSupport.IPV4_LOOPBACK;
import static io.quarn.channel.unix.SocketLifecycleSupport.IPV6_LOOPBACK;
import static io.quarn.channel.unix.SocketLifecycleSupport.MAPPED_ANY;
import static io.quarn.channel.unix.SocketLifecycleSupport.NEVER_OPEN_FD;
import static io.quarn.channel.unix.SocketLifecycleSupport.fromRecord;
import static io.quarn.channel.unix.SocketLifecycleSupport.inputBytes;
import static io.quarn.channel.unix.SocketLifecycleSupport.scopeId;
import static io.quarn.channel.unix.SocketLifecycleSupport.unmapped;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import io.quarn.channel.ChannelException;
import io.quarn.channel.unix.SocketLifecycleSupport.Descriptors;
import io.quarn.test.NativeLibrary;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

class SocketLifecycleTest {
    private static final String NO_IPV6 = "::1 cannot be bound on this machine (no IPv6 loopback)";
    private static int einprogress;
    private static int eagain;
    private static int econnrefused;

    private final Descriptors fds = new Descriptors();

    @BeforeAll
    static void load() {
        NativeLibrary.load();
        einprogress = ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS();
        eagain = ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
        econnrefused = ErrorsStaticallyReferencedJniMethods.errorECONNREFUSED();
    }

    @AfterEach
    void closeDescriptors() {
        fds.close();
    }

    /** A native socket bound to address port 0 and listening. */
    private int nativeListener(boolean ipv6, byte[] address) {
        int fd = fds.add(Socket.newSocketStreamFd(ipv6));
        assertEquals(0, Socket.bind(fd, ipv6, address, 0, 0));
        assertEquals(0, Socket.listen(fd, 8));
        return fd;
    }

    /** Accepts on the non-blocking native listener, waiting a bounded time for the connection. */
    private int acceptWithin(int listener, byte[] peer) throws InterruptedException {
        for (int attempt = 0; attempt < 500; attempt++) {
            int fd = Socket.accept(listener, peer);
            if (fd != -eagain) {
                return fds.add(fd);
            }
            Thread.sleep(10);
        }
        throw new AssertionError("no connection arrived in 5 s");
    }

    private void jdkConnectsToNativeListener(boolean ipv6, InetAddress loopback) throws Exception {
        int listener = nativeListener(ipv6, inputBytes(loopback));
        InetSocketAddress bound = fromRecord(Socket.localAddress(listener));
        assertEquals(loopback, bound.getAddress());
        assertTrue(bound.getPort() > 0);
        assertEquals(ipv6, Socket.isIPv6(listener));

        try (SocketChannel client = SocketChannel.open(bound)) {
            byte[] peer = new byte[25];
            int accepted = acceptWithin(listener, peer);
            assertEquals(ipv6 ? 24 : 8, peer[0]);
            assertEquals(client.getLocalAddress(), fromRecord(peer, 1, peer[0]));
            assertEquals(client.getLocalAddress(), fromRecord(Socket.remoteAddress(accepted)));
            assertEquals(client.getRemoteAddress(), fromRecord(Socket.localAddress(accepted)));
            // Nothing else is queued: the non-blocking listener answers -EAGAIN.
            assertEquals(-eagain, Socket.accept(listener, new byte[25]));
            // Shutting the accepted socket's output ends the JDK client's stream.
            assertEquals(0, Socket.shutdown(accepted, false, true));
            assertEquals(-1, client.read(ByteBuffer.allocate(1)));
        }
    }

    @Test
    void jdkClientConnectsToNativeIPv4Listener() throws Exception {
        jdkConnectsToNativeListener(false, IPV4_LOOPBACK);
    }

    @Test
    void jdkClientConnectsToNativeIPv6Listener() throws Exception {
        assumeTrue(SocketLifecycleSupport.ipv6LoopbackAvailable(), NO_IPV6);
        jdkConnectsToNativeListener(true, IPV6_LOOPBACK);
    }

    @Test
    void dualStackListenerAcceptsIPv4PeerAsMappedAddress() throws Exception {
        assumeTrue(SocketLifecycleSupport.ipv6LoopbackAvailable(), NO_IPV6);
        // The IPv4 wildcard in mapped form binds an IPv6 socket to ::, so both families reach it.
        int listener = nativeListener(true, MAPPED_ANY);
        InetSocketAddress bound = fromRecord(Socket.localAddress(listener));
        assertEquals(InetAddress.getByName("::"), bound.getAddress());
        try (SocketChannel client = SocketChannel.open(new InetSocketAddress(IPV4_LOOPBACK, bound.getPort()))) {
            byte[] peer = new byte[25];
            int accepted = acceptWithin(listener, peer);
            // The peer is ::ffff:127.0.0.1 to the kernel, an IPv4-form record to Java.
            assertEquals(8, peer[0]);
            assertEquals(client.getLocalAddress(), fromRecord(peer, 1, 8));
            assertTrue(Socket.isIPv6(accepted));
            assertEquals(8, Socket.localAddress(accepted).length);
        }
    }

    private void nativeClientConnectsToJdkServer(boolean ipv6, InetAddress loopback) throws Exception {
        try (ServerSocketChannel server = ServerSocketChannel.open()) {
            server.bind(new InetSocketAddress(loopback, 0));
            InetSocketAddress serverAddress = (InetSocketAddress) server.getLocalAddress();
            int fd = fds.add(Socket.newSocketStreamFd(ipv6));
            int result = Socket.connect(fd, ipv6, inputBytes(loopback), scopeId(loopback), serverAddress.getPort());
            assertTrue(result == -einprogress || result == 0, "connect gave " + result);
            try (SocketChannel accepted = server.accept()) {
                assertEquals(0, Socket.finishConnect(fd));
                InetSocketAddress remote = fromRecord(Socket.remoteAddress(fd));
                assertEquals(unmapped(serverAddress), remote);
                assertEquals(accepted.getRemoteAddress(), fromRecord(Socket.localAddress(fd)));
            }
        }
    }

    @Test
    void nativeIPv4ClientConnectsToJdkServer() throws Exception {
        nativeClientConnectsToJdkServer(false, IPV4_LOOPBACK);
    }

    @Test
    void nativeIPv6ClientConnectsToJdkServer() throws Exception {
        assumeTrue(SocketLifecycleSupport.ipv6LoopbackAvailable(), NO_IPV6);
        nativeClientConnectsToJdkServer(true, IPV6_LOOPBACK);
    }

    @Test
    void refusedConnectIsSeenByFinishConnect() throws Exception {
        int port;
        try (ServerSocketChannel gone = ServerSocketChannel.open()) {
            gone.bind(new InetSocketAddress(IPV4_LOOPBACK, 0));
            port = ((InetSocketAddress) gone.getLocalAddress()).getPort();
        }
        int fd = fds.add(Socket.newSocketStreamFd(false));
        int result = Socket.connect(fd, false, inputBytes(IPV4_LOOPBACK), 0, port);
        if (result == -econnrefused) {
            return; // refused at once: the pending error was reported by connect itself
        }
        assertEquals(-einprogress, result);
        int finished = 0;
        for (int attempt = 0; attempt < 500 && finished == 0; attempt++) {
            Thread.sleep(10);
            finished = Socket.finishConnect(fd);
        }
        assertEquals(-econnrefused, finished);
        assertNull(Socket.remoteAddress(fd), "an unconnected socket has no remote address");
    }

    @Test
    void overlongOrMissingAddressBytesGiveMinusOneBeforeAnySystemCall() throws Exception {
        int fd = fds.add(Socket.newSocketStreamFd(false));
        assertEquals(-1, Socket.bind(fd, false, new byte[17], 0, 0));
        assertEquals(-1, Socket.connect(fd, false, new byte[17], 0, 80));
        assertEquals(-1, Socket.bind(fd, false, null, 0, 0));
        // Still unbound and unconnected: the local address is the wildcard with port 0.
        assertEquals(new InetSocketAddress(InetAddress.getByName("0.0.0.0"), 0), fromRecord(Socket.localAddress(fd)));
        assertNull(Socket.remoteAddress(fd));
    }

    @Test
    void acceptIntoTooShortArrayRaisesAndClosesTheConnection() throws Exception {
        int listener = nativeListener(false, inputBytes(IPV4_LOOPBACK));
        InetSocketAddress bound = fromRecord(Socket.localAddress(listener));
        try (SocketChannel client = SocketChannel.open(bound)) {
            int before = io.quarn.test.NoDescriptorLeaks.count();
            assertThrows(ArrayIndexOutOfBoundsException.class, () -> {
                for (int attempt = 0; attempt < 500; attempt++) {
                    if (Socket.accept(listener, new byte[8]) != -eagain) {
                        return;
                    }
                    Thread.sleep(10);
                }
            });
            assertEquals(before, io.quarn.test.NoDescriptorLeaks.count(), "the accepted descriptor was closed");
            assertEquals(-1, client.read(ByteBuffer.allocate(1)), "the peer sees the connection end");
        }
    }

    @Test
    void createdSocketsAndTheirFamilies() {
        int stream4 = fds.add(Socket.newSocketStreamFd(false));
        int dgram4 = fds.add(Socket.newSocketDgramFd(false));
        assertFalse(Socket.isIPv6(stream4));
        assertFalse(Socket.isIPv6(dgram4));
        fds.add(Socket.newSocketDomainFd());
        if (SocketLifecycleSupport.ipv6LoopbackAvailable()) {
            assertTrue(Socket.isIPv6(fds.add(Socket.newSocketStreamFd(true))));
            assertTrue(Socket.isIPv6(fds.add(Socket.newSocketDgramFd(true))));
        }
    }

    @Test
    void preferredFamily() {
        Socket.initialize(true);
        assertFalse(Socket.isIPv6Preferred());
        Socket.initialize(false);
        assertEquals(SocketLifecycleSupport.ipv6LoopbackAvailable(), Socket.isIPv6Preferred());
    }

    @Test
    void shutdownWithoutDirectionIsEinvalAndLeavesTheSocketOpen() throws Exception {
        int listener = nativeListener(false, inputBytes(IPV4_LOOPBACK));
        try (SocketChannel client = SocketChannel.open(fromRecord(Socket.localAddress(listener)))) {
            int accepted = acceptWithin(listener, new byte[25]);
            assertEquals(-22, Socket.shutdown(accepted, false, false));
            client.write(ByteBuffer.wrap(new byte[] {1}));
            assertEquals(0, Socket.shutdown(accepted, true, true));
            assertEquals(-1, client.read(ByteBuffer.allocate(1)));
        }
    }

    @Test
    void disconnectDissolvesADatagramAssociation() throws Exception {
        int fd = fds.add(Socket.newSocketDgramFd(false));
        assertEquals(0, Socket.disconnect(fd, false), "an unconnected socket");
        assertEquals(0, Socket.connect(fd, false, inputBytes(IPV4_LOOPBACK), 0, 9));
        assertNotNull(Socket.remoteAddress(fd));
        assertEquals(0, Socket.disconnect(fd, false));
        assertNull(Socket.remoteAddress(fd));
    }

    @Test
    void closedDescriptors() {
        assertNull(Socket.localAddress(NEVER_OPEN_FD));
        assertNull(Socket.remoteAddress(NEVER_OPEN_FD));
        ChannelException e = assertThrows(ChannelException.class, () -> Socket.isIPv6(NEVER_OPEN_FD));
        assertEquals("getsockname(...) failed: "
                + ErrorsStaticallyReferencedJniMethods.strError(ErrorsStaticallyReferencedJniMethods.errnoEBADF()),
                e.getMessage());
        assertThrows(java.nio.channels.ClosedChannelException.class, () -> Socket.finishConnect(NEVER_OPEN_FD));
        int ebadf = ErrorsStaticallyReferencedJniMethods.errnoEBADF();
        assertEquals(-ebadf, Socket.listen(NEVER_OPEN_FD, 1));
        assertEquals(-ebadf, Socket.accept(NEVER_OPEN_FD, new byte[25]));
        assertEquals(-ebadf, Socket.bind(NEVER_OPEN_FD, false, inputBytes(IPV4_LOOPBACK), 0, 0));
        assertEquals(-ebadf, Socket.shutdown(NEVER_OPEN_FD, true, true));
    }
}
