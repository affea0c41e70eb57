package io.quarn.channel.unix;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.net.Inet4Address;
import java.net.Inet6Address;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.UnknownHostException;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;

/** Conversions between JDK addresses and the natives' address forms, and descriptor bookkeeping. */
final class SocketLifecycleSupport {
    static final InetAddress IPV4_LOOPBACK = address("127.0.0.1");
    static final InetAddress IPV6_LOOPBACK = address("::1");
    /** The IPv4 wildcard in its IPv4-mapped input form. */
    static final byte[] MAPPED_ANY = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 0, 0, 0, 0};
    /** A descriptor number far above anything the test JVM opens. */
    static final int NEVER_OPEN_FD = 1_000_000;

    private SocketLifecycleSupport() {
    }

    static InetAddress address(String literal) {
        try {
            return InetAddress.getByName(literal);
        } catch (UnknownHostException e) {
            throw new AssertionError(e);
        }
    }

    /** The 16 input bytes: an IPv4 address in its ::ffff:a.b.c.d form, an IPv6 address as it is. */
    static byte[] inputBytes(InetAddress address) {
        byte[] raw = address.getAddress();
        if (raw.length == 16) {
            return raw;
        }
        byte[] mapped = MAPPED_ANY.clone();
        System.arraycopy(raw, 0, mapped, 12, 4);
        return mapped;
    }

    static int scopeId(InetAddress address) {
        return address instanceof Inet6Address six ? six.getScopeId() : 0;
    }

    /** Decodes an address record (8 or 24 bytes) found at offset. */
    static InetSocketAddress fromRecord(byte[] record, int offset, int length) throws UnknownHostException {
        ByteBuffer buffer = ByteBuffer.wrap(record, offset, length);
        byte[] address = new byte[length == 8 ? 4 : 16];
        buffer.get(address);
        if (length == 24) {
            int scopeId = buffer.getInt();
            int port = buffer.getInt();
            return new InetSocketAddress(Inet6Address.getByAddress(null, address, scopeId), port);
        }
        assertEquals(8, length, "a record is 8 or 24 bytes");
        int port = buffer.getInt();
        return new InetSocketAddress(InetAddress.getByAddress(address), port);
    }

    static InetSocketAddress fromRecord(byte[] record) throws UnknownHostException {
        return fromRecord(record, 0, record.length);
    }

    /** The address as an IPv4-form record shows it: a mapped IPv6 address becomes its IPv4 address. */
    static InetSocketAddress unmapped(InetSocketAddress address) throws UnknownHostException {
        InetAddress inet = address.getAddress();
        if (inet instanceof Inet4Address) {
            return address;
        }
        // InetAddress.getByAddress turns ::ffff:a.b.c.d into an Inet4Address by itself.
        return new InetSocketAddress(InetAddress.getByAddress(inet.getAddress()), address.getPort());
    }

    /** Whether this machine can bind ::1 (a container without IPv6 cannot). */
    static boolean ipv6LoopbackAvailable() {
        try (var channel = java.nio.channels.ServerSocketChannel.open()) {
            channel.bind(new InetSocketAddress(IPV6_LOOPBACK, 0));
            return true;
        } catch (Exception e) {
            return false;
        }
    }

    /** Descriptors the natives created, closed at the end of each test. */
    static final class Descriptors implements AutoCloseable {
        private final List<Integer> fds = new ArrayList<>();

        int add(int fd) {
            assertTrue(fd >= 0, "expected a descriptor, got " + fd);
            fds.add(fd);
            return fd;
        }

        @Override
        public void close() {
            for (int fd : fds) {
                FileDescriptor.close(fd);
            }
            fds.clear();
        }
    }
}
