package io.quarn.channel.unix;

import static io.quarn.channel.unix.SocketLifecycleSupport.NEVER_OPEN_FD;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import io.quarn.channel.ChannelException;
import io.quarn.channel.unix.SocketLifecycleSupport.Descriptors;
import io.quarn.test.NativeLibrary;
import java.net.SocketOption;
import java.net.StandardProtocolFamily;
import java.net.StandardSocketOptions;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.DatagramChannel;
import java.nio.channels.NetworkChannel;
import java.nio.channels.SocketChannel;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

class SocketOptionTest {
    private final Descriptors fds = new Descriptors();

    @BeforeAll
    static void load() {
        NativeLibrary.load();
    }

    @AfterEach
    void closeDescriptors() {
        fds.close();
    }

    interface IntOptionSetter {
        void set(int fd, int value);
    }

    interface IntOptionGetter {
        int get(int fd);
    }

    /** Sets a boolean option on a native socket and on a JDK channel of the same kind; both read back alike. */
    private static void sameAsJdk(int fd, NetworkChannel jdk, SocketOption<Boolean> option, IntOptionSetter set,
            IntOptionGetter get) throws Exception {
        for (boolean on : new boolean[] {true, false}) {
            set.set(fd, on ? 1 : 0);
            jdk.setOption(option, on);
            assertEquals(jdk.getOption(option), get.get(fd) != 0, option.name() + " " + on);
        }
    }

    /** The same for an int option, whose value the system may round (buffer sizes are doubled on Linux). */
    private static void sameAsJdkInt(int fd, NetworkChannel jdk, SocketOption<Integer> option, int value,
            IntOptionSetter set, IntOptionGetter get) throws Exception {
        set.set(fd, value);
        jdk.setOption(option, value);
        assertEquals(jdk.getOption(option).intValue(), get.get(fd), option.name() + " " + value);
    }

    /**
     * Buffer sizes: the natives return what the kernel reports. Linux reports twice the size set (room for its
     * bookkeeping) and the JDK halves it back on Linux, so the two agree or differ by exactly that factor.
     */
    private static void sameBufferSizeAsJdk(int fd, NetworkChannel jdk, SocketOption<Integer> option, int value,
            IntOptionSetter set, IntOptionGetter get) throws Exception {
        set.set(fd, value);
        jdk.setOption(option, value);
        int jdkValue = jdk.getOption(option);
        int nativeValue = get.get(fd);
        assertTrue(nativeValue == jdkValue || nativeValue == 2 * jdkValue,
                option.name() + ": native " + nativeValue + ", JDK " + jdkValue);
        assertTrue(nativeValue >= value, option.name() + " " + nativeValue);
    }

    @Test
    void streamOptionsReadBackAsTheJdkReadsThem() throws Exception {
        int fd = fds.add(Socket.newSocketStreamFd(false));
        try (SocketChannel jdk = SocketChannel.open(StandardProtocolFamily.INET)) {
            sameAsJdk(fd, jdk, StandardSocketOptions.TCP_NODELAY, Socket::setTcpNoDelay, Socket::isTcpNoDelay);
            sameAsJdk(fd, jdk, StandardSocketOptions.SO_KEEPALIVE, Socket::setKeepAlive, Socket::isKeepAlive);
            sameAsJdk(fd, jdk, StandardSocketOptions.SO_REUSEADDR, Socket::setReuseAddress, Socket::isReuseAddress);
            if (jdk.supportedOptions().contains(StandardSocketOptions.SO_REUSEPORT)) {
                sameAsJdk(fd, jdk, StandardSocketOptions.SO_REUSEPORT, Socket::setReusePort, Socket::isReusePort);
            }
            sameBufferSizeAsJdk(fd, jdk, StandardSocketOptions.SO_RCVBUF, 65536, Socket::setReceiveBufferSize,
                    Socket::getReceiveBufferSize);
            sameBufferSizeAsJdk(fd, jdk, StandardSocketOptions.SO_SNDBUF, 32768, Socket::setSendBufferSize,
                    Socket::getSendBufferSize);
            for (int linger : new int[] {5, 0, -1}) {
                sameAsJdkInt(fd, jdk, StandardSocketOptions.SO_LINGER, linger, Socket::setSoLinger,
                        Socket::getSoLinger);
            }
            sameAsJdkInt(fd, jdk, StandardSocketOptions.IP_TOS, 0x10, (f, v) -> Socket.setTrafficClass(f, false, v),
                    f -> Socket.getTrafficClass(f, false));
        }
        assertEquals(0, Socket.getSoError(fd));
    }

    @Test
    void datagramBroadcastReadsBackAsTheJdkReadsIt() throws Exception {
        int fd = fds.add(Socket.newSocketDgramFd(false));
        try (DatagramChannel jdk = DatagramChannel.open(StandardProtocolFamily.INET)) {
            sameAsJdk(fd, jdk, StandardSocketOptions.SO_BROADCAST, Socket::setBroadcast, Socket::isBroadcast);
        }
    }

    @Test
    void ipv6TrafficClassReadsBackAsTheJdkReadsIt() throws Exception {
        assumeTrue(SocketLifecycleSupport.ipv6LoopbackAvailable(), "no IPv6 on this machine");
        int fd = fds.add(Socket.newSocketStreamFd(true));
        try (SocketChannel jdk = SocketChannel.open(StandardProtocolFamily.INET6)) {
            sameAsJdkInt(fd, jdk, StandardSocketOptions.IP_TOS, 0x20, (f, v) -> Socket.setTrafficClass(f, true, v),
                    f -> Socket.getTrafficClass(f, true));
        }
    }

    @Test
    void ipv6TrafficClassOnAnIPv4SocketReadsIpTosButCannotBeSet() {
        int fd = fds.add(Socket.newSocketStreamFd(false));
        Socket.setTrafficClass(fd, false, 0x08);
        assertEquals(0x08, Socket.getTrafficClass(fd, true), "falls back to IP_TOS");
        ChannelException e = assertThrows(ChannelException.class, () -> Socket.setTrafficClass(fd, true, 0x20));
        assertTrue(e.getMessage().startsWith("setsockopt() failed: "), e.getMessage());
        assertEquals(0x08, Socket.getTrafficClass(fd, false));
    }

    @Test
    void lingerOffByDefaultWithoutException() {
        int fd = fds.add(Socket.newSocketStreamFd(false));
        assertEquals(-1, Socket.getSoLinger(fd));
    }

    @Test
    void valuesPassThroughUnreduced() {
        int fd = fds.add(Socket.newSocketStreamFd(false));
        Socket.setKeepAlive(fd, 7);
        assertNotEquals(0, Socket.isKeepAlive(fd));
        Socket.setKeepAlive(fd, 0);
        assertEquals(0, Socket.isKeepAlive(fd));
    }

    @Test
    void everyOptionNativeOnAClosedDescriptorRaisesClosedChannelException() {
        int fd = NEVER_OPEN_FD;
        Executable[] calls = {
            () -> Socket.setTcpNoDelay(fd, 1), () -> Socket.setReusePort(fd, 1), () -> Socket.setBroadcast(fd, 1),
            () -> Socket.setReuseAddress(fd, 1), () -> Socket.setReceiveBufferSize(fd, 1024),
            () -> Socket.setSendBufferSize(fd, 1024), () -> Socket.setKeepAlive(fd, 1), () -> Socket.setSoLinger(fd, 1),
            () -> Socket.setTrafficClass(fd, false, 1), () -> Socket.setTrafficClass(fd, true, 1),
            () -> Socket.isKeepAlive(fd), () -> Socket.isTcpNoDelay(fd), () -> Socket.isBroadcast(fd),
            () -> Socket.isReuseAddress(fd), () -> Socket.isReusePort(fd), () -> Socket.getReceiveBufferSize(fd),
            () -> Socket.getSendBufferSize(fd), () -> Socket.getSoLinger(fd), () -> Socket.getTrafficClass(fd, false),
            () -> Socket.getTrafficClass(fd, true), () -> Socket.getSoError(fd),
        };
        for (int i = 0; i < calls.length; i++) {
            ClosedChannelException e = assertThrows(ClosedChannelException.class, calls[i], "call " + i);
            assertNull(e.getMessage());
        }
    }

    @Test
    void optionTheSocketDoesNotKnowRaisesChannelExceptionWithTheErrorText() {
        // TCP_NODELAY means nothing to a datagram socket.
        int fd = fds.add(Socket.newSocketDgramFd(false));
        ChannelException read = assertThrows(ChannelException.class, () -> Socket.isTcpNoDelay(fd));
        assertTrue(read.getMessage().startsWith("getsockopt() failed: "), read.getMessage());
        ChannelException write = assertThrows(ChannelException.class, () -> Socket.setTcpNoDelay(fd, 1));
        assertTrue(write.getMessage().startsWith("setsockopt() failed: "), write.getMessage());
    }
}
