package io.quarn.channel.unix;

import static io.quarn.channel.unix.SocketLifecycleSupport.IPV4_LOOPBACK;
import static io.quarn.channel.unix.SocketLifecycleSupport.fromRecord;
import static io.quarn.channel.unix.SocketLifecycleSupport.inputBytes;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import io.quarn.channel.unix.SocketLifecycleSupport.Descriptors;
import io.quarn.test.NativeLibrary;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.channels.DatagramChannel;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** Java address bytes in, address records out, through bind and localAddress on real sockets. */
class SocketAddressTest {
    private final Descriptors fds = new Descriptors();

    @BeforeAll
    static void load() {
        NativeLibrary.load();
    }

    @AfterEach
    void closeDescriptors() {
        fds.close();
    }

    @Test
    void mappedLoopbackOnADualStackSocketReadsBackAsIPv4() throws Exception {
        assumeTrue(SocketLifecycleSupport.ipv6LoopbackAvailable(), "no IPv6 on this machine");
        int fd = fds.add(Socket.newSocketDgramFd(true));
        assertEquals(0, Socket.bind(fd, true, inputBytes(IPV4_LOOPBACK), 0, 0));
        byte[] record = Socket.localAddress(fd);
        assertEquals(8, record.length, "::ffff:127.0.0.1 is an IPv4-form address");
        assertEquals(IPV4_LOOPBACK, fromRecord(record).getAddress());
    }

    @Test
    void onlyTheLow16BitsOfThePortCount() throws Exception {
        int port;
        try (DatagramChannel probe = DatagramChannel.open()) {
            probe.bind(new InetSocketAddress(IPV4_LOOPBACK, 0));
            port = ((InetSocketAddress) probe.getLocalAddress()).getPort();
        }
        int fd = fds.add(Socket.newSocketDgramFd(false));
        assertEquals(0, Socket.bind(fd, false, inputBytes(IPV4_LOOPBACK), 0, 0x10000 + port));
        assertEquals(new InetSocketAddress(IPV4_LOOPBACK, port), fromRecord(Socket.localAddress(fd)));
    }

    @Test
    void shortInputMeansTrailingZeros() throws Exception {
        // Four bytes 0x00 leave the IPv4 part (bytes 12 to 15) zero: the wildcard.
        int fd = fds.add(Socket.newSocketDgramFd(false));
        assertEquals(0, Socket.bind(fd, false, new byte[4], 0, 0));
        InetSocketAddress local = fromRecord(Socket.localAddress(fd));
        assertEquals(InetAddress.getByName("0.0.0.0"), local.getAddress());
    }

    @Test
    void ipv6RecordCarriesScopeIdAndPort() throws Exception {
        assumeTrue(SocketLifecycleSupport.ipv6LoopbackAvailable(), "no IPv6 on this machine");
        try (DatagramChannel jdk = DatagramChannel.open()) {
            jdk.bind(new InetSocketAddress(SocketLifecycleSupport.IPV6_LOOPBACK, 0));
            int fd = fds.add(Socket.newSocketDgramFd(true));
            InetSocketAddress target = (InetSocketAddress) jdk.getLocalAddress();
            assertEquals(0, Socket.connect(fd, true, inputBytes(target.getAddress()), 0, target.getPort()));
            byte[] record = Socket.remoteAddress(fd);
            assertEquals(24, record.length);
            assertEquals(target, fromRecord(record));
            assertEquals(jdk.getLocalAddress(), fromRecord(record));
        }
    }
}
