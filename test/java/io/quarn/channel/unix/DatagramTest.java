package io.quarn.channel.unix;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.channel.ChannelException;
import io.quarn.test.NativeLibrary;
import io.quarn.test.TestNatives;
import java.io.IOException;
import java.net.Inet6Address;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.PortUnreachableException;
import java.net.StandardProtocolFamily;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.DatagramChannel;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** UDP through the datagram natives against JDK DatagramChannel peers on loopback. */
class DatagramTest {
    private static final byte[] LOOPBACK4 = {127, 0, 0, 1};
    private final List<Integer> fds = new ArrayList<>();
    private final List<DatagramChannel> channels = new ArrayList<>();

    @BeforeAll
    static void load() {
        NativeLibrary.load();
        TestNatives.load();
    }

    @AfterEach
    void closeAll() throws IOException {
        for (int fd : fds) {
            TestNatives.close(fd);
        }
        for (DatagramChannel channel : channels) {
            channel.close();
        }
    }

    /** The 16-byte input form: IPv4 addresses in their ::ffff:a.b.c.d form. */
    static byte[] inputForm(InetAddress address) {
        byte[] raw = address.getAddress();
        if (raw.length == 16) {
            return raw;
        }
        byte[] mapped = new byte[16];
        mapped[10] = (byte) 0xff;
        mapped[11] = (byte) 0xff;
        System.arraycopy(raw, 0, mapped, 12, 4);
        return mapped;
    }

    private int udpSocket(boolean ipv6, InetAddress bindTo) {
        int fd = Socket.newSocketDgramFd(ipv6);
        assertTrue(fd >= 0, "newSocketDgramFd: " + fd);
        fds.add(fd);
        assertEquals(0, Socket.bind(fd, ipv6, inputForm(bindTo), 0, 0));
        return fd;
    }

    private static int portOf(int fd) {
        byte[] record = Socket.localAddress(fd);
        ByteBuffer buffer = ByteBuffer.wrap(record);
        return buffer.getInt(record.length - 4);
    }

    private DatagramChannel jdkChannel(StandardProtocolFamily family, InetAddress bindTo) throws IOException {
        DatagramChannel channel = DatagramChannel.open(family);
        channels.add(channel);
        channel.bind(new InetSocketAddress(bindTo, 0));
        return channel;
    }

    /** Receives on a non-blocking socket, waiting at most two seconds for a datagram. */
    private static DatagramSocketAddress receive(int fd, ByteBuffer buffer, int position, int limit)
            throws Exception {
        for (int attempt = 0; attempt < 400; attempt++) {
            DatagramSocketAddress result = Socket.recvFrom(fd, buffer, position, limit);
            if (result != null) {
                return result;
            }
            Thread.sleep(5);
        }
        throw new AssertionError("no datagram within two seconds");
    }

    private static ByteBuffer jdkReceive(DatagramChannel channel, ByteBuffer into, InetSocketAddress[] from)
            throws IOException {
        channel.configureBlocking(true);
        from[0] = (InetSocketAddress) channel.receive(into);
        into.flip();
        return into;
    }

    private static byte[] bytes(String text) {
        return text.getBytes(StandardCharsets.US_ASCII);
    }

    @Test
    void ipv4BothWaysWithBufferAndMemoryAddress() throws Exception {
        InetAddress loopback = InetAddress.getByAddress(LOOPBACK4);
        int fd = udpSocket(false, loopback);
        DatagramChannel peer = jdkChannel(StandardProtocolFamily.INET, loopback);
        int peerPort = peer.socket().getLocalPort();

        ByteBuffer out = ByteBuffer.allocateDirect(16);
        out.put(bytes("xxhelloyy"));
        assertEquals(5, Socket.sendTo(fd, false, out, 2, 7, inputForm(loopback), 0, peerPort));
        InetSocketAddress[] from = new InetSocketAddress[1];
        ByteBuffer got = jdkReceive(peer, ByteBuffer.allocate(32), from);
        assertEquals("hello", StandardCharsets.US_ASCII.decode(got).toString());
        assertEquals(portOf(fd), from[0].getPort());

        long address = Buffer.memoryAddress0(out);
        assertEquals(3, Socket.sendToAddress(fd, false, address, 4, 7, inputForm(loopback), 0, peerPort));
        got = jdkReceive(peer, ByteBuffer.allocate(32), from);
        assertEquals("llo", StandardCharsets.US_ASCII.decode(got).toString());

        peer.send(ByteBuffer.wrap(bytes("world")), new InetSocketAddress(loopback, portOf(fd)));
        ByteBuffer in = ByteBuffer.allocateDirect(16);
        DatagramSocketAddress sender = receive(fd, in, 3, 16);
        assertArrayEquals(LOOPBACK4, sender.address());
        assertEquals(peerPort, sender.port());
        assertEquals(0, sender.scopeId());
        assertEquals(5, sender.receivedAmount());
        assertNull(sender.localAddress());
        byte[] data = new byte[5];
        in.get(3, data);
        assertArrayEquals(bytes("world"), data);

        peer.send(ByteBuffer.wrap(bytes("again")), new InetSocketAddress(loopback, portOf(fd)));
        DatagramSocketAddress second = null;
        for (int attempt = 0; attempt < 400 && second == null; attempt++) {
            second = Socket.recvFromAddress(fd, Buffer.memoryAddress0(in), 8, 16);
            if (second == null) {
                Thread.sleep(5);
            }
        }
        assertNotNull(second, "no datagram within two seconds");
        assertEquals(5, second.receivedAmount());
        in.get(8, data);
        assertArrayEquals(bytes("again"), data);
    }

    @Test
    void disconnectKeepsTheSocketOnItsAddressAndPort() throws Exception {
        InetAddress loopback4 = InetAddress.getByAddress(LOOPBACK4);
        InetAddress loopback6 = InetAddress.getByName("::1");
        boolean ipv6Usable = ipv6LoopbackUsable(loopback6);
        // {IPv6 socket, bound to, peer}: loopback and wildcard, IPv4, IPv6 and dual-stack.
        Object[][] cases = {
            {false, loopback4, loopback4},
            {false, InetAddress.getByName("0.0.0.0"), loopback4},
            {true, loopback6, loopback6},
            {true, InetAddress.getByName("::"), loopback6},
            {true, InetAddress.getByName("::"), loopback4},
        };
        for (Object[] c : cases) {
            boolean ipv6 = (Boolean) c[0];
            InetAddress peer = (InetAddress) c[2];
            if (ipv6 && !ipv6Usable) {
                continue;
            }
            String what = c[1] + " to " + peer;
            int fd = udpSocket(ipv6, (InetAddress) c[1]);
            byte[] bound = Socket.localAddress(fd);
            assertTrue(portOf(fd) != 0, what);
            assertEquals(0, Socket.disconnect(fd, ipv6), what);
            assertArrayEquals(bound, Socket.localAddress(fd), "unconnected disconnect, " + what);
            DatagramChannel other = jdkChannel(peer instanceof Inet6Address ? StandardProtocolFamily.INET6
                    : StandardProtocolFamily.INET, peer);
            int otherPort = ((InetSocketAddress) other.getLocalAddress()).getPort();
            assertEquals(0, Socket.connect(fd, ipv6, inputForm(peer), 0, otherPort), what);
            assertEquals(0, Socket.disconnect(fd, ipv6), what);
            assertArrayEquals(bound, Socket.localAddress(fd), "local address after disconnect, " + what);
            // Datagrams sent to the old port still arrive, and the next send leaves from it.
            other.send(ByteBuffer.wrap(bytes("kept")), new InetSocketAddress(peer, portOf(fd)));
            ByteBuffer in = ByteBuffer.allocateDirect(16);
            assertEquals(4, receive(fd, in, 0, 16).receivedAmount(), what);
            ByteBuffer out = ByteBuffer.allocateDirect(4);
            assertEquals(4, Socket.sendTo(fd, ipv6, out, 0, 4, inputForm(peer), 0, otherPort), what);
            InetSocketAddress[] from = new InetSocketAddress[1];
            jdkReceive(other, ByteBuffer.allocate(16), from);
            assertEquals(portOf(fd), from[0].getPort(), what);
        }
    }

    @Test
    void gatheringSendJoinsTheRegions() throws Exception {
        InetAddress loopback = InetAddress.getByAddress(LOOPBACK4);
        int fd = udpSocket(false, loopback);
        DatagramChannel peer = jdkChannel(StandardProtocolFamily.INET, loopback);
        ByteBuffer first = ByteBuffer.allocateDirect(8).put(bytes("gath"));
        ByteBuffer second = ByteBuffer.allocateDirect(8).put(bytes("ered"));
        // Two struct iovec entries: base pointer and length, native order.
        ByteBuffer vector = ByteBuffer.allocateDirect(32).order(ByteOrder.nativeOrder());
        vector.putLong(0, Buffer.memoryAddress0(first)).putLong(8, 4);
        vector.putLong(16, Buffer.memoryAddress0(second)).putLong(24, 4);
        assertEquals(8, Socket.sendToAddresses(fd, false, Buffer.memoryAddress0(vector), 2, inputForm(loopback), 0,
                peer.socket().getLocalPort()));
        InetSocketAddress[] from = new InetSocketAddress[1];
        assertEquals("gathered",
                StandardCharsets.US_ASCII.decode(jdkReceive(peer, ByteBuffer.allocate(32), from)).toString());
    }

    @Test
    void ipv6BothWays() throws Exception {
        InetAddress loopback6 = InetAddress.getByName("::1");
        Assumptions.assumeTrue(ipv6LoopbackUsable(loopback6), "::1 cannot be bound on this machine");
        int fd = udpSocket(true, loopback6);
        DatagramChannel peer = jdkChannel(StandardProtocolFamily.INET6, loopback6);
        ByteBuffer out = ByteBuffer.allocateDirect(8).put(bytes("six"));
        assertEquals(3, Socket.sendTo(fd, true, out, 0, 3, inputForm(loopback6), 0, peer.socket().getLocalPort()));
        InetSocketAddress[] from = new InetSocketAddress[1];
        assertEquals("six", StandardCharsets.US_ASCII.decode(jdkReceive(peer, ByteBuffer.allocate(8), from))
                .toString());
        assertEquals(portOf(fd), from[0].getPort());

        peer.send(ByteBuffer.wrap(bytes("back")), new InetSocketAddress(loopback6, portOf(fd)));
        DatagramSocketAddress sender = receive(fd, ByteBuffer.allocateDirect(8), 0, 8);
        assertArrayEquals(loopback6.getAddress(), sender.address());
        assertEquals(peer.socket().getLocalPort(), sender.port());
        assertEquals(4, sender.receivedAmount());
        assertNull(sender.localAddress());
    }

    @Test
    void dualStackSocketReceivesFromAnIPv4Sender() throws Exception {
        Assumptions.assumeTrue(ipv6LoopbackUsable(InetAddress.getByName("::1")), "no IPv6 on this machine");
        // The IPv4 wildcard in mapped form binds an IPv6 socket to ::, which serves IPv4 too.
        int fd = udpSocket(true, InetAddress.getByAddress(new byte[4]));
        InetAddress loopback = InetAddress.getByAddress(LOOPBACK4);
        DatagramChannel peer = jdkChannel(StandardProtocolFamily.INET, loopback);
        peer.send(ByteBuffer.wrap(bytes("v4")), new InetSocketAddress(loopback, portOf(fd)));
        DatagramSocketAddress sender = receive(fd, ByteBuffer.allocateDirect(8), 0, 8);
        // The mapped sender comes back in its 4-byte form.
        assertArrayEquals(LOOPBACK4, sender.address());
        assertEquals(peer.socket().getLocalPort(), sender.port());
        assertEquals(2, sender.receivedAmount());
        // And an answer to the mapped address reaches the IPv4 peer.
        ByteBuffer out = ByteBuffer.allocateDirect(8).put(bytes("ok"));
        assertEquals(2, Socket.sendTo(fd, true, out, 0, 2, inputForm(loopback), 0, peer.socket().getLocalPort()));
        InetSocketAddress[] from = new InetSocketAddress[1];
        assertEquals("ok", StandardCharsets.US_ASCII.decode(jdkReceive(peer, ByteBuffer.allocate(8), from))
                .toString());
    }

    @Test
    void emptyDatagramsAndTruncationToTheRegion() throws Exception {
        InetAddress loopback = InetAddress.getByAddress(LOOPBACK4);
        int fd = udpSocket(false, loopback);
        DatagramChannel peer = jdkChannel(StandardProtocolFamily.INET, loopback);
        InetSocketAddress ours = new InetSocketAddress(loopback, portOf(fd));

        ByteBuffer out = ByteBuffer.allocateDirect(8);
        assertEquals(0, Socket.sendTo(fd, false, out, 3, 3, inputForm(loopback), 0, peer.socket().getLocalPort()));
        InetSocketAddress[] from = new InetSocketAddress[1];
        assertEquals(0, jdkReceive(peer, ByteBuffer.allocate(8), from).remaining());
        assertEquals(portOf(fd), from[0].getPort());

        peer.send(ByteBuffer.allocate(0), ours);
        assertEquals(0, receive(fd, ByteBuffer.allocateDirect(8), 0, 8).receivedAmount());

        peer.send(ByteBuffer.wrap(bytes("0123456789")), ours);
        ByteBuffer in = ByteBuffer.allocateDirect(16);
        DatagramSocketAddress cut = receive(fd, in, 2, 6);
        assertEquals(4, cut.receivedAmount());
        byte[] data = new byte[5];
        in.get(2, data);
        assertArrayEquals(new byte[] {'0', '1', '2', '3', 0}, data, "nothing written beyond the region");
        // The rest of the datagram is gone: nothing else is waiting.
        assertNull(Socket.recvFrom(fd, in, 0, 16));
    }

    @Test
    void nothingWaitingGivesNullWithoutException() throws Exception {
        int fd = udpSocket(false, InetAddress.getByAddress(LOOPBACK4));
        assertNull(Socket.recvFrom(fd, ByteBuffer.allocateDirect(8), 0, 8));
        assertNull(Socket.recvFromAddress(fd, Buffer.memoryAddress0(ByteBuffer.allocateDirect(8)), 0, 8));
    }

    @Test
    void connectedSocketReportsPortUnreachable() throws Exception {
        InetAddress loopback = InetAddress.getByAddress(LOOPBACK4);
        int fd = udpSocket(false, loopback);
        int deadPort;
        try (DatagramChannel gone = DatagramChannel.open(StandardProtocolFamily.INET)) {
            gone.bind(new InetSocketAddress(loopback, 0));
            deadPort = gone.socket().getLocalPort();
        }
        assertEquals(0, Socket.connect(fd, false, inputForm(loopback), 0, deadPort));
        ByteBuffer out = ByteBuffer.allocateDirect(4).put(bytes("ping"));
        assertEquals(4, Socket.sendTo(fd, false, out, 0, 4, inputForm(loopback), 0, deadPort));
        // Native methods declare no checked exceptions, so the catch is wide and checked after.
        Exception thrown = null;
        for (int attempt = 0; attempt < 400 && thrown == null; attempt++) {
            try {
                assertNull(Socket.recvFrom(fd, ByteBuffer.allocateDirect(8), 0, 8));
                Thread.sleep(5);
            } catch (Exception e) {
                thrown = e;
            }
        }
        assertNotNull(thrown, "no port-unreachable report within two seconds");
        assertEquals(PortUnreachableException.class, thrown.getClass());
        assertEquals("recvfrom() failed", thrown.getMessage());
    }

    @Test
    void badAddressesAndClosedDescriptors() throws Exception {
        int fd = udpSocket(false, InetAddress.getByAddress(LOOPBACK4));
        ByteBuffer out = ByteBuffer.allocateDirect(8);
        byte[] tooLong = new byte[17];
        assertEquals(-1, Socket.sendTo(fd, false, out, 0, 1, tooLong, 0, 9));
        assertEquals(-1, Socket.sendToAddress(fd, false, Buffer.memoryAddress0(out), 0, 1, tooLong, 0, 9));
        assertEquals(-1, Socket.sendToAddresses(fd, false, Buffer.memoryAddress0(out), 0, tooLong, 0, 9));

        byte[] loopback = inputForm(InetAddress.getByAddress(LOOPBACK4));
        int ebadf = -ErrorsStaticallyReferencedJniMethods.errnoEBADF();
        assertEquals(ebadf, Socket.sendTo(-1, false, out, 0, 1, loopback, 0, 9));
        assertEquals(ebadf, Socket.sendToAddress(-1, false, Buffer.memoryAddress0(out), 0, 1, loopback, 0, 9));
        assertEquals(ebadf, Socket.sendToAddresses(-1, false, Buffer.memoryAddress0(out), 0, loopback, 0, 9));
        assertThrows(ClosedChannelException.class, () -> Socket.recvFrom(-1, out, 0, 8));
        assertThrows(ClosedChannelException.class, () -> Socket.recvFromAddress(-1, Buffer.memoryAddress0(out), 0, 8));
    }

    @Test
    void disconnectKeepsThePortBesideAnotherSocketOnIt() throws Exception {
        // {IPv6 socket, peer, where another socket takes the port while this one is connected}:
        // the wildcard can no longer be had, the address used while connected still can.
        Object[][] cases = {
            {false, "127.0.0.1", "127.0.0.2"},
            {true, "::1", "127.0.0.1"},
        };
        for (Object[] c : cases) {
            boolean ipv6 = (Boolean) c[0];
            InetAddress peer = InetAddress.getByName((String) c[1]);
            if (ipv6 && !ipv6LoopbackUsable(peer)) {
                continue;
            }
            String what = "beside " + c[2];
            int fd = udpSocket(ipv6, InetAddress.getByName(ipv6 ? "::" : "0.0.0.0"));
            int port = portOf(fd);
            DatagramChannel other = jdkChannel(ipv6 ? StandardProtocolFamily.INET6 : StandardProtocolFamily.INET, peer);
            int otherPort = ((InetSocketAddress) other.getLocalAddress()).getPort();
            assertEquals(0, Socket.connect(fd, ipv6, inputForm(peer), 0, otherPort), what);
            DatagramChannel holder = DatagramChannel.open(StandardProtocolFamily.INET);
            channels.add(holder);
            holder.bind(new InetSocketAddress(InetAddress.getByName((String) c[2]), port));
            assertEquals(0, Socket.disconnect(fd, ipv6), what);
            assertEquals(port, portOf(fd), what);
            other.send(ByteBuffer.wrap(bytes("kept")), new InetSocketAddress(peer, port));
            assertEquals(4, receive(fd, ByteBuffer.allocateDirect(16), 0, 16).receivedAmount(), what);
        }
    }

    @Test
    void failedProbeRaisesAndReceivesNothing() throws Exception {
        int[] pipe = TestNatives.pipe();
        fds.add(pipe[0]);
        fds.add(pipe[1]);
        assertEquals(1, TestNatives.write(pipe[1], bytes("!")));
        ChannelException thrown = assertThrows(ChannelException.class,
                () -> Socket.recvFrom(pipe[0], ByteBuffer.allocateDirect(8), 0, 8));
        assertEquals("getsockopt() failed: "
                + ErrorsStaticallyReferencedJniMethods.strError(TestNatives.errno("ENOTSOCK")), thrown.getMessage());
        assertArrayEquals(bytes("!"), TestNatives.read(pipe[0], 8), "the waiting byte was not consumed");
    }

    @Test
    void originalDestinationWithTheOptionOn() throws Exception {
        InetAddress loopback = InetAddress.getByAddress(LOOPBACK4);
        int fd = udpSocket(false, InetAddress.getByAddress(new byte[4]));
        DatagramChannel peer = jdkChannel(StandardProtocolFamily.INET, loopback);
        InetSocketAddress ours = new InetSocketAddress(loopback, portOf(fd));
        assertEquals(0, TestNatives.receiveOriginalDestination(fd, true));

        peer.send(ByteBuffer.wrap(bytes("dst")), ours);
        DatagramSocketAddress sender = receive(fd, ByteBuffer.allocateDirect(8), 0, 8);
        assertDestination(sender, portOf(fd), 3);

        // A control message the kernel puts ahead of the destination does not hide it.
        assertEquals(0, TestNatives.receiveTtl(fd, true));
        peer.send(ByteBuffer.wrap(bytes("ttl!")), ours);
        assertDestination(receive(fd, ByteBuffer.allocateDirect(8), 0, 8), portOf(fd), 4);

        // Nor do two (they once pushed it out of the control buffer).
        assertEquals(0, TestNatives.receivePacketInfo(fd, true));
        peer.send(ByteBuffer.wrap(bytes("two")), ours);
        assertDestination(receive(fd, ByteBuffer.allocateDirect(8), 0, 8), portOf(fd), 3);

        // Off again: the receive goes back to recvfrom.
        assertEquals(0, TestNatives.receiveOriginalDestination(fd, false));
        peer.send(ByteBuffer.wrap(bytes("off")), ours);
        assertNull(receive(fd, ByteBuffer.allocateDirect(8), 0, 8).localAddress());
    }

    private void assertDestination(DatagramSocketAddress sender, int port, int amount) throws IOException {
        assertEquals(amount, sender.receivedAmount());
        DatagramSocketAddress local = sender.localAddress();
        assertNotNull(local, "no original destination");
        assertArrayEquals(LOOPBACK4, local.address());
        assertEquals(port, local.port());
        assertEquals(0, local.scopeId());
        assertEquals(amount, local.receivedAmount());
        assertNull(local.localAddress());
        assertEquals(channels.get(0).socket().getLocalPort(), sender.port());
    }

    @Test
    void ipv6SocketWithTheProbeReceivesNormally() throws Exception {
        InetAddress loopback6 = InetAddress.getByName("::1");
        Assumptions.assumeTrue(ipv6LoopbackUsable(loopback6), "::1 cannot be bound on this machine");
        int fd = udpSocket(true, loopback6);
        DatagramChannel peer = jdkChannel(StandardProtocolFamily.INET6, loopback6);
        peer.send(ByteBuffer.wrap(bytes("v6")), new InetSocketAddress(loopback6, portOf(fd)));
        DatagramSocketAddress sender = receive(fd, ByteBuffer.allocateDirect(8), 0, 8);
        assertEquals(2, sender.receivedAmount());
        assertNull(sender.localAddress());
    }

    @Test
    void shadedModuleReturnsShadedAddresses() throws Exception {
        NativeLibrary.loadShaded();
        InetAddress loopback = InetAddress.getByAddress(LOOPBACK4);
        int fd = shaded.prefix.io.quarn.channel.unix.Socket.newSocketDgramFd(false);
        assertTrue(fd >= 0);
        fds.add(fd);
        assertEquals(0, shaded.prefix.io.quarn.channel.unix.Socket.bind(fd, false, inputForm(loopback), 0, 0));
        DatagramChannel peer = jdkChannel(StandardProtocolFamily.INET, loopback);
        peer.send(ByteBuffer.wrap(bytes("shade")), new InetSocketAddress(loopback, portOf(fd)));
        ByteBuffer in = ByteBuffer.allocateDirect(8);
        shaded.prefix.io.quarn.channel.unix.DatagramSocketAddress sender = null;
        for (int attempt = 0; attempt < 400 && sender == null; attempt++) {
            sender = shaded.prefix.io.quarn.channel.unix.Socket.recvFrom(fd, in, 0, 8);
            if (sender == null) {
                Thread.sleep(5);
            }
        }
        assertNotNull(sender, "no datagram within two seconds");
        assertEquals(5, sender.receivedAmount());
        assertEquals(peer.socket().getLocalPort(), sender.port());
        assertNull(shaded.prefix.io.quarn.channel.unix.Socket.recvFromAddress(fd, Buffer.memoryAddress0(in), 0, 8));
    }

    static boolean ipv6LoopbackUsable(InetAddress loopback6) {
        if (!(loopback6 instanceof Inet6Address)) {
            return false;
        }
        try (DatagramChannel probe = DatagramChannel.open(StandardProtocolFamily.INET6)) {
            probe.bind(new InetSocketAddress(loopback6, 0));
            return true;
        } catch (IOException | UnsupportedOperationException e) {
            return false;
        }
    }
}
