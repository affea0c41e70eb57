package io.quarn.hardening;

import static io.quarn.hardening.Loopback.IPV4;
import static io.quarn.hardening.Loopback.check;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.channel.ChannelException;
import io.quarn.channel.DefaultFileRegion;
import io.quarn.channel.kqueue.BsdSocket;
import io.quarn.channel.kqueue.KQueueEventArray;
import io.quarn.channel.kqueue.KQueueStaticallyReferencedJniMethods;
import io.quarn.channel.kqueue.Native;
import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import io.quarn.test.NativeLibrary;
import io.quarn.test.TestNatives;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.ClosedChannelException;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.concurrent.Callable;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.DynamicTest;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestFactory;
import org.junit.jupiter.api.function.Executable;

/**
 * Every bad input the library must survive, as one table: each row names the input, makes the
 * call, and states the specified outcome, either a result (a negated errno, -1, null) with
 * no exception, or an exception of a given class and message prefix. None may crash the JVM.
 */
public class BadInputTest {
    /** A descriptor number that was open once and is closed now, far above any other open one. */
    private static int closed;
    private static int kqueueClosed;
    private static int pipeRead;
    private static int pipeWrite;
    private static int udp;
    private static int tcp;
    private static int local;
    private static Path dir;
    private static FileChannel file;
    private static ByteBuffer buffer;
    private static long address;
    private static ByteBuffer vector;
    private static long vectorAddress;
    private static ByteBuffer events;
    private static long eventsAddress;
    private static int ebadf;
    private static int einval;
    private static int enametoolong;
    private static int enoent;
    private static int efault;

    @BeforeAll
    static void open() throws Exception {
        NativeLibrary.load();
        TestNatives.load();
        ebadf = ErrorsStaticallyReferencedJniMethods.errnoEBADF();
        einval = TestNatives.errno("EINVAL");
        enametoolong = TestNatives.errno("ENAMETOOLONG");
        enoent = ErrorsStaticallyReferencedJniMethods.errnoENOENT();
        efault = TestNatives.errno("EFAULT");
        assertTrue(efault > 0, "EFAULT in the test natives' table");
        long pair = FileDescriptor.newPipe();
        pipeRead = (int) (pair >>> 32);
        pipeWrite = (int) pair;
        closed = check(HardeningNatives.dupAbove(pipeRead, 900), "dup");
        assertEquals(0, FileDescriptor.close(closed));
        udp = check(Socket.newSocketDgramFd(false), "socket");
        tcp = check(Socket.newSocketStreamFd(false), "socket");
        local = check(Socket.newSocketDomainFd(), "socket");
        dir = Files.createTempDirectory(Path.of("/tmp"), "qb");
        Path region = dir.resolve("region.bin");
        Files.write(region, new byte[4096]);
        file = FileChannel.open(region, StandardOpenOption.READ);
        buffer = ByteBuffer.allocateDirect(256);
        address = Buffer.memoryAddress0(buffer);
        vector = ByteBuffer.allocateDirect(32).order(ByteOrder.nativeOrder());
        vectorAddress = Buffer.memoryAddress0(vector);
        vector.putLong(0, address).putLong(8, 16);
        events = ByteBuffer.allocateDirect(Native.sizeofKEvent() * 4).order(ByteOrder.nativeOrder());
        eventsAddress = Buffer.memoryAddress0(events);
        kqueue();
        // Last, so that no descriptor this class opens takes the closed kqueue's number.
        kqueueClosed = Native.kqueueCreate();
        assertEquals(0, FileDescriptor.close(kqueueClosed));
    }

    @AfterAll
    static void close() throws Exception {
        for (int fd : new int[] {pipeRead, pipeWrite, udp, tcp, local}) {
            FileDescriptor.close(fd);
        }
        file.close();
        try (var paths = Files.walk(dir)) {
            paths.sorted(java.util.Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        }
    }

    /** One bad input: the call and its specified outcome. */
    private record Row(String input, Callable<Object> call, Object result, Class<? extends Throwable> thrown,
            String messagePrefix) {
        void check() {
            Object got;
            try {
                got = call.call();
            } catch (Throwable t) {
                if (thrown == null) {
                    throw new AssertionError(input + ": unexpected " + t, t);
                }
                assertEquals(thrown, t.getClass(), input + ": " + t);
                if (messagePrefix != null) {
                    assertTrue(t.getMessage() != null && t.getMessage().startsWith(messagePrefix),
                            input + ": message " + t.getMessage());
                }
                return;
            }
            assertTrue(thrown == null, input + ": returned " + got + " instead of throwing " + thrown);
            assertTrue(Objects.equals(result, got), input + ": expected " + result + " but got " + got);
        }
    }

    private static Row returns(String input, Callable<Object> call, Object result) {
        return new Row(input, call, result, null, null);
    }

    private static Row raises(String input, Callable<Object> call, Class<? extends Throwable> thrown, String prefix) {
        return new Row(input, call, null, thrown, prefix);
    }

    private static byte[] pathOf(String name) {
        return dir.resolve(name).toString().getBytes(StandardCharsets.UTF_8);
    }

    private static byte[] pathOfLength(int length) {
        byte[] path = new byte[length];
        Arrays.fill(path, (byte) 'p');
        path[0] = '/';
        return path;
    }

    /** The flags and data of the first event record, after a wait that returned one record. */
    private static String firstRecord(int returned) {
        return returned + " record(s), flags 0x" + Integer.toHexString(events.getShort(Native.offsetofKEventFlags())
                & 0xffff) + ", data " + events.getLong(Native.offsetofKeventData());
    }

    private static String errorRecord(int errno) {
        return "1 record(s), flags 0x" + Integer.toHexString(KQueueStaticallyReferencedJniMethods.evError() & 0xffff)
                + ", data " + errno;
    }

    /** Calls of every native family on one bad descriptor. */
    private static List<Row> descriptorRows(String what, int fd) {
        ByteBuffer[] buffers = {buffer.duplicate()};
        DefaultFileRegion region = new DefaultFileRegion(file, 0, 4096);
        byte[] peer = new byte[25];
        return List.of(
                returns(what + ": close", () -> FileDescriptor.close(fd), -ebadf),
                returns(what + ": write", () -> FileDescriptor.write(fd, buffer, 0, 16), -ebadf),
                returns(what + ": writeAddress", () -> FileDescriptor.writeAddress(fd, address, 0, 16), -ebadf),
                returns(what + ": writev", () -> FileDescriptor.writev(fd, buffers, 0, 1, 1 << 20), (long) -ebadf),
                returns(what + ": writevAddresses", () -> FileDescriptor.writevAddresses(fd, vectorAddress, 1),
                        (long) -ebadf),
                returns(what + ": read", () -> FileDescriptor.read(fd, buffer, 0, 16), -ebadf),
                returns(what + ": readAddress", () -> FileDescriptor.readAddress(fd, address, 0, 16), -ebadf),
                returns(what + ": keventWait poll", () -> Native.keventWait(fd, 0, 0, eventsAddress, 4, 0, 0), -ebadf),
                returns(what + ": keventWait timed", () -> Native.keventWait(fd, 0, 0, eventsAddress, 4, 0, 1000),
                        -ebadf),
                returns(what + ": keventAddUserEvent", () -> Native.keventAddUserEvent(fd, 1), -ebadf),
                returns(what + ": keventTriggerUserEvent", () -> Native.keventTriggerUserEvent(fd, 1), -ebadf),
                returns(what + ": bind", () -> Socket.bind(fd, false, IPV4, 0, 0), -ebadf),
                returns(what + ": listen", () -> Socket.listen(fd, 4), -ebadf),
                returns(what + ": connect", () -> Socket.connect(fd, false, IPV4, 0, 9), -ebadf),
                raises(what + ": finishConnect", () -> Socket.finishConnect(fd), ClosedChannelException.class, null),
                returns(what + ": disconnect", () -> Socket.disconnect(fd, false), -ebadf),
                returns(what + ": accept", () -> Socket.accept(fd, peer), -ebadf),
                returns(what + ": shutdown", () -> Socket.shutdown(fd, true, true), -ebadf),
                returns(what + ": localAddress", () -> Socket.localAddress(fd), null),
                returns(what + ": remoteAddress", () -> Socket.remoteAddress(fd), null),
                raises(what + ": isIPv6", () -> Socket.isIPv6(fd), ChannelException.class, "getsockname(...) failed: "),
                raises(what + ": setTcpNoDelay", () -> {
                    Socket.setTcpNoDelay(fd, 1);
                    return null;
                }, ClosedChannelException.class, null),
                raises(what + ": getSoLinger", () -> Socket.getSoLinger(fd), ClosedChannelException.class, null),
                returns(what + ": sendTo", () -> Socket.sendTo(fd, false, buffer, 0, 16, IPV4, 0, 9), -ebadf),
                returns(what + ": sendToAddress", () -> Socket.sendToAddress(fd, false, address, 0, 16, IPV4, 0, 9),
                        -ebadf),
                returns(what + ": sendToAddresses", () -> Socket.sendToAddresses(fd, false, vectorAddress, 1, IPV4, 0,
                        9), -ebadf),
                raises(what + ": recvFrom", () -> Socket.recvFrom(fd, buffer, 0, 16), ClosedChannelException.class,
                        null),
                raises(what + ": recvFromAddress", () -> Socket.recvFromAddress(fd, address, 0, 16),
                        ClosedChannelException.class, null),
                returns(what + ": bindDomainSocket", () -> Socket.bindDomainSocket(fd, pathOf("bad.sock")), -ebadf),
                returns(what + ": connectDomainSocket", () -> Socket.connectDomainSocket(fd, pathOf("bad.sock")),
                        -ebadf),
                returns(what + ": sendFd from it", () -> Socket.sendFd(fd, pipeRead), -ebadf),
                returns(what + ": recvFd", () -> Socket.recvFd(fd), -ebadf),
                raises(what + ": setTcpNoPush", () -> {
                    BsdSocket.setTcpNoPush(fd, 1);
                    return null;
                }, ClosedChannelException.class, null),
                raises(what + ": getTcpNoPush", () -> BsdSocket.getTcpNoPush(fd), ClosedChannelException.class, null),
                raises(what + ": getSndLowAt", () -> BsdSocket.getSndLowAt(fd), ClosedChannelException.class, null),
                raises(what + ": setSndLowAt", () -> {
                    BsdSocket.setSndLowAt(fd, 1);
                    return null;
                }, ClosedChannelException.class, null),
                raises(what + ": setAcceptFilter", () -> {
                    BsdSocket.setAcceptFilter(fd, "dataready", "");
                    return null;
                }, ClosedChannelException.class, null),
                raises(what + ": getAcceptFilter", () -> BsdSocket.getAcceptFilter(fd), ClosedChannelException.class,
                        null),
                raises(what + ": getPeerCredentials", () -> BsdSocket.getPeerCredentials(fd),
                        ClosedChannelException.class, null),
                returns(what + ": sendFile to it", () -> BsdSocket.sendFile(fd, region, 0, 0, 4096), (long) -ebadf));
    }

    private static List<Row> table() throws Exception {
        List<Row> rows = new ArrayList<>();
        // Descriptors: closed, never opened (-1 and the largest int), and a kqueue closed after use.
        rows.addAll(descriptorRows("closed descriptor", closed));
        rows.addAll(descriptorRows("descriptor -1", -1));
        rows.addAll(descriptorRows("descriptor 2^31-1", Integer.MAX_VALUE));
        rows.add(returns("closed kqueue: keventWait poll",
                () -> Native.keventWait(kqueueClosed, 0, 0, eventsAddress, 4, 0, 0), -ebadf));
        rows.add(returns("closed kqueue: keventWait timed",
                () -> Native.keventWait(kqueueClosed, 0, 0, eventsAddress, 4, 0, 1000), -ebadf));
        rows.add(returns("closed kqueue: keventAddUserEvent", () -> Native.keventAddUserEvent(kqueueClosed, 1), -ebadf));
        rows.add(returns("closed kqueue: keventTriggerUserEvent",
                () -> Native.keventTriggerUserEvent(kqueueClosed, 1), -ebadf));
        rows.add(returns("kqueue natives on a pipe: keventWait",
                () -> Native.keventWait(pipeRead, 0, 0, eventsAddress, 4, 0, 0), -ebadf));
        rows.add(returns("kqueue natives on a pipe: keventTriggerUserEvent",
                () -> Native.keventTriggerUserEvent(pipeRead, 1), -ebadf));
        rows.add(returns("passing a closed descriptor: sendFd", () -> Socket.sendFd(local, closed), -ebadf));

        // Address arrays longer than 16 bytes: -1 at once, no system call, no exception.
        byte[] seventeen = new byte[17];
        rows.add(returns("17-byte address: bind IPv4", () -> Socket.bind(tcp, false, seventeen, 0, 0), -1));
        rows.add(returns("17-byte address: bind IPv6 flag", () -> Socket.bind(tcp, true, seventeen, 0, 0), -1));
        rows.add(returns("17-byte address: connect", () -> Socket.connect(tcp, false, seventeen, 0, 9), -1));
        rows.add(returns("17-byte address: sendTo", () -> Socket.sendTo(udp, false, buffer, 0, 16, seventeen, 0, 9),
                -1));
        rows.add(returns("17-byte address: sendToAddress",
                () -> Socket.sendToAddress(udp, false, address, 0, 16, seventeen, 0, 9), -1));
        rows.add(returns("17-byte address: sendToAddresses",
                () -> Socket.sendToAddresses(udp, false, vectorAddress, 1, seventeen, 0, 9), -1));

        // Negative lengths and spans.
        ByteBuffer[] buffers = {buffer.duplicate()};
        rows.add(returns("writev LENGTH -1", () -> FileDescriptor.writev(pipeWrite, buffers, 0, -1, 100),
                (long) -einval));
        rows.add(returns("writev LENGTH Integer.MIN_VALUE",
                () -> FileDescriptor.writev(pipeWrite, buffers, 0, Integer.MIN_VALUE, 100), (long) -einval));
        rows.add(returns("writevAddresses length -1", () -> FileDescriptor.writevAddresses(pipeWrite, vectorAddress,
                -1), (long) -einval));
        rows.add(returns("write limit below position", () -> FileDescriptor.write(pipeWrite, buffer, 16, 8), -einval));
        rows.add(returns("writeAddress limit below position",
                () -> FileDescriptor.writeAddress(pipeWrite, address, 16, 8), -einval));
        rows.add(returns("read limit below position", () -> FileDescriptor.read(pipeRead, buffer, 16, 8), -einval));
        rows.add(returns("readAddress limit below position",
                () -> FileDescriptor.readAddress(pipeRead, address, 16, 8), -einval));
        rows.add(returns("sendFile length -1", () -> BsdSocket.sendFile(tcp, new DefaultFileRegion(file, 0, 4096), 0,
                0, -1), (long) -einval));
        rows.add(returns("sendFile length Long.MIN_VALUE", () -> BsdSocket.sendFile(tcp,
                new DefaultFileRegion(file, 0, 4096), 0, 0, Long.MIN_VALUE), (long) -einval));
        rows.add(returns("keventWait negative timeout seconds",
                () -> Native.keventWait(kqueue(), 0, 0, eventsAddress, 4, -1, 0), -einval));
        rows.add(returns("keventWait timeout nanoseconds of a billion",
                () -> Native.keventWait(kqueue(), 0, 0, eventsAddress, 4, 0, 1_000_000_000), -einval));
        rows.add(returns("keventWait negative change count",
                () -> Native.keventWait(kqueue(), eventsAddress, -1, eventsAddress, 4, 0, 0), -einval));
        rows.add(returns("keventWait negative event capacity",
                () -> Native.keventWait(kqueue(), 0, 0, eventsAddress, -1, 0, 0), -einval));
        // The vector send passes its count on: the kernel refuses it before reading anything.
        int emsgsize = TestNatives.errno("EMSGSIZE");
        // Null lists: the kernel would answer EFAULT; the layer on Linux must not crash instead.
        rows.add(returns("keventWait null change list", () -> Native.keventWait(kqueue(), 0, 1, eventsAddress, 4, 0,
                0), -efault));
        rows.add(returns("keventWait null event list", () -> Native.keventWait(kqueue(), 0, 0, 0, 4, 0, 1000),
                -efault));
        rows.add(returns("sendToAddresses length -1",
                () -> Socket.sendToAddresses(udp, false, vectorAddress, -1, IPV4, 0, 9), -emsgsize));
        rows.add(returns("sendTo limit below position", () -> Socket.sendTo(udp, false, buffer, 16, 8, IPV4, 0, 9),
                -einval));
        rows.add(returns("sendToAddress limit below position",
                () -> Socket.sendToAddress(udp, false, address, 16, 8, IPV4, 0, 9), -einval));
        String invalid = "recvfrom() failed: " + ErrorsStaticallyReferencedJniMethods.strError(einval);
        rows.add(raises("recvFrom limit below position", () -> Socket.recvFrom(udp, buffer, 16, 8),
                java.io.IOException.class, invalid));
        rows.add(raises("recvFromAddress limit below position", () -> Socket.recvFromAddress(udp, address, 16, 8),
                java.io.IOException.class, invalid));
        // A negative position: with the largest limit the int difference overflows; with a small
        // one the region would start before the caller's memory.
        for (int[] span : new int[][] {{Integer.MIN_VALUE, Integer.MAX_VALUE}, {-8, 8}}) {
            int p = span[0];
            int l = span[1];
            String what = "position " + p + " limit " + l + ": ";
            rows.add(returns(what + "write", () -> FileDescriptor.write(pipeWrite, buffer, p, l), -einval));
            rows.add(returns(what + "writeAddress", () -> FileDescriptor.writeAddress(pipeWrite, address, p, l),
                    -einval));
            rows.add(returns(what + "read", () -> FileDescriptor.read(pipeRead, buffer, p, l), -einval));
            rows.add(returns(what + "readAddress", () -> FileDescriptor.readAddress(pipeRead, address, p, l),
                    -einval));
            rows.add(returns(what + "sendTo", () -> Socket.sendTo(udp, false, buffer, p, l, IPV4, 0, 9), -einval));
            rows.add(returns(what + "sendToAddress", () -> Socket.sendToAddress(udp, false, address, p, l, IPV4, 0,
                    9), -einval));
            rows.add(raises(what + "recvFromAddress", () -> Socket.recvFromAddress(udp, address, p, l),
                    java.io.IOException.class, invalid));
        }
        // Limits past a 16-byte buffer's capacity: the kernel would write or send what lies behind it.
        ByteBuffer small = ByteBuffer.allocateDirect(16);
        for (int[] span : new int[][] {{0, 64}, {16, 17}}) {
            int p = span[0];
            int l = span[1];
            String what = "16-byte buffer, position " + p + " limit " + l + ": ";
            rows.add(returns(what + "write", () -> FileDescriptor.write(pipeWrite, small, p, l), -einval));
            rows.add(returns(what + "read", () -> FileDescriptor.read(pipeRead, small, p, l), -einval));
            rows.add(returns(what + "sendTo", () -> Socket.sendTo(udp, false, small, p, l, IPV4, 0, 9), -einval));
            rows.add(raises(what + "recvFrom", () -> Socket.recvFrom(udp, small, p, l), java.io.IOException.class,
                    invalid));
        }
        rows.add(returns("shutdown of neither direction", () -> Socket.shutdown(tcp, false, false), -einval));

        // Local socket paths: longer than the address holds, far longer than any path, empty.
        int sunPath = io.quarn.channel.unix.LimitsStaticallyReferencedJniMethods.udsSunPathSize();
        byte[] tooLong = pathOfLength(sunPath + 1);
        byte[] huge = pathOfLength(5000);
        rows.add(returns("local path of sun_path + 1 bytes: bind", () -> Socket.bindDomainSocket(local, tooLong),
                -enametoolong));
        rows.add(returns("local path of sun_path + 1 bytes: connect", () -> Socket.connectDomainSocket(local, tooLong),
                -enametoolong));
        rows.add(returns("local path of 5000 bytes: bind", () -> Socket.bindDomainSocket(local, huge), -enametoolong));
        rows.add(returns("local path of 5000 bytes: connect", () -> Socket.connectDomainSocket(local, huge),
                -enametoolong));
        rows.add(returns("empty local path: bind", () -> Socket.bindDomainSocket(local, new byte[0]), -enoent));
        rows.add(returns("missing local path: connect", () -> Socket.connectDomainSocket(local, pathOf("none.sock")),
                -enoent));

        // File regions without a usable file.
        rows.add(raises("file region without a channel", () -> BsdSocket.sendFile(tcp, new DefaultFileRegion(null, 0,
                10), 0, 0, 10), RuntimeException.class, "failed to get DefaultFileRegion.file"));
        FileChannel closedChannel = FileChannel.open(dir.resolve("region.bin"), StandardOpenOption.READ);
        closedChannel.close();
        rows.add(raises("file region of a closed channel", () -> BsdSocket.sendFile(tcp, new DefaultFileRegion(
                closedChannel, 0, 10), 0, 0, 10), RuntimeException.class, "failed to get FileDescriptor.fd"));

        Path zip = dir.resolve("region.zip");
        try (var zipfs = java.nio.file.FileSystems.newFileSystem(zip, java.util.Map.of("create", "true"))) {
            Files.write(zipfs.getPath("entry"), new byte[64]);
        }
        zipFileSystem = java.nio.file.FileSystems.newFileSystem(zip);
        foreignChannel = FileChannel.open(zipFileSystem.getPath("entry"), StandardOpenOption.READ);
        rows.add(raises("file region of another FileChannel class (zip file system)", () -> BsdSocket.sendFile(tcp,
                new DefaultFileRegion(foreignChannel, 0, 10), 0, 0, 10), RuntimeException.class,
                "failed to get FileChannelImpl.fd"));

        // Heap buffers have no native address; null and out-of-range array elements.
        ByteBuffer heap = ByteBuffer.allocate(16);
        rows.add(returns("heap buffer: write", () -> FileDescriptor.write(pipeWrite, heap, 0, 16), -efault));
        rows.add(returns("heap buffer: read", () -> FileDescriptor.read(pipeRead, heap, 0, 16), -efault));
        rows.add(returns("heap buffer: writev", () -> FileDescriptor.writev(pipeWrite, new ByteBuffer[] {heap}, 0, 1,
                100), (long) -efault));
        rows.add(returns("null buffer: write", () -> FileDescriptor.write(pipeWrite, null, 0, 16), -efault));
        rows.add(returns("null buffer: read", () -> FileDescriptor.read(pipeRead, null, 0, 16), -efault));
        rows.add(returns("null array: writev", () -> FileDescriptor.writev(pipeWrite, null, 0, 1, 100),
                (long) -einval));
        rows.add(returns("null buffer: sendTo", () -> Socket.sendTo(udp, false, null, 0, 16, IPV4, 0, 9), -efault));
        rows.add(returns("heap buffer: sendTo", () -> Socket.sendTo(udp, false, heap, 0, 16, IPV4, 0, 9), -efault));
        rows.add(raises("null buffer: recvFrom", () -> Socket.recvFrom(udp, null, 0, 16), java.io.IOException.class,
                "recvfrom() failed: " + ErrorsStaticallyReferencedJniMethods.strError(efault)));
        rows.add(returns("null buffer: memoryAddress0", () -> Buffer.memoryAddress0(null), 0L));
        rows.add(returns("heap buffer: memoryAddress0", () -> Buffer.memoryAddress0(heap), 0L));
        rows.add(returns("null element: writev", () -> FileDescriptor.writev(pipeWrite, new ByteBuffer[1], 0, 1, 100),
                (long) -einval));
        rows.add(raises("writev past the array's end", () -> FileDescriptor.writev(pipeWrite, buffers, 1, 1, 100),
                ArrayIndexOutOfBoundsException.class, null));

        // Change records the kqueue must refuse one by one, with an error record each.
        rows.add(returns("change for descriptor -1", () -> firstRecord(waitWithChange(-1,
                KQueueStaticallyReferencedJniMethods.evfiltRead())), errorRecord(ebadf)));
        rows.add(returns("change for a closed descriptor", () -> firstRecord(waitWithChange(closed,
                KQueueStaticallyReferencedJniMethods.evfiltRead())), errorRecord(ebadf)));
        rows.add(returns("change with an unknown filter", () -> firstRecord(waitWithChange(pipeRead, (short) -99)),
                errorRecord(einval)));
        return rows;
    }

    private static int kqueueFd = -1;

    /** One live kqueue for the rows that need a good one, closed with the class. */
    private static int kqueue() {
        if (kqueueFd < 0) {
            kqueueFd = Native.kqueueCreate();
        }
        return kqueueFd;
    }

    private static int waitWithChange(int ident, short filter) {
        ByteBuffer change = ByteBuffer.allocateDirect(Native.sizeofKEvent());
        long changeAddress = Buffer.memoryAddress0(change);
        KQueueEventArray.evSet(changeAddress, ident, filter, KQueueStaticallyReferencedJniMethods.evAdd(), 0);
        return Native.keventWait(kqueue(), changeAddress, 1, eventsAddress, 4, 1, 0);
    }

    private static java.nio.file.FileSystem zipFileSystem;
    private static FileChannel foreignChannel;

    @AfterAll
    static void closeKqueue() throws Exception {
        if (foreignChannel != null) {
            foreignChannel.close();
            zipFileSystem.close();
        }
        if (kqueueFd >= 0) {
            FileDescriptor.close(kqueueFd);
        }
    }

    @TestFactory
    Stream<DynamicTest> everyBadInputGivesItsSpecifiedError() throws Exception {
        List<Row> rows = table();
        System.out.printf("bad input table: %d rows%n", rows.size());
        return rows.stream().map(row -> DynamicTest.dynamicTest(row.input(), row::check));
    }

    @Test
    void refusedAddressesLeaveTheSocketAsItWas() throws Exception {
        int fd = check(Socket.newSocketDgramFd(false), "socket");
        int receiver = check(Socket.newSocketDgramFd(false), "socket");
        try {
            assertEquals(-1, Socket.bind(fd, false, new byte[17], 0, 0));
            assertEquals(0, Loopback.localPort(fd), "bound by a refused address");
            check(Socket.bind(receiver, false, IPV4, 0, 0), "bind");
            int port = Loopback.localPort(receiver);
            byte[] seventeen = Arrays.copyOf(IPV4, 17);
            assertEquals(-1, Socket.sendToAddress(fd, false, address, 0, 8, seventeen, 0, port));
            assertEquals(8, Socket.sendToAddress(fd, false, address, 0, 8, IPV4, 0, port));
            // Only the good datagram arrives.
            assertEquals(8, Loopback.untilReceived(() -> Socket.recvFromAddress(receiver, address, 0, 64))
                    .receivedAmount());
            assertNull(Socket.recvFromAddress(receiver, address, 0, 64));
        } finally {
            FileDescriptor.close(fd);
            FileDescriptor.close(receiver);
        }
    }

    @Test
    void refusedReceivesLeaveTheDatagramWaiting() throws Exception {
        int fd = check(Socket.newSocketDgramFd(false), "socket");
        int receiver = check(Socket.newSocketDgramFd(false), "socket");
        try {
            check(Socket.bind(receiver, false, IPV4, 0, 0), "bind");
            ByteBuffer data = ByteBuffer.allocateDirect(200);
            for (int i = 0; i < 200; i++) {
                data.put(i, (byte) i);
            }
            assertEquals(200, Socket.sendTo(fd, false, data, 0, 200, IPV4, 0, Loopback.localPort(receiver)));
            // With the datagram waiting, the kernel would take the negative span as a huge length
            // and write the datagram at position 300, or write past the 16 bytes of the slice,
            // inside this buffer (so that a regression is seen here rather than corrupting other
            // memory); a heap buffer's EFAULT would come after Linux had taken the datagram.
            ByteBuffer region = ByteBuffer.allocateDirect(1024);
            long base = Buffer.memoryAddress0(region);
            ByteBuffer slice = region.slice(0, 16);
            String invalid = ErrorsStaticallyReferencedJniMethods.strError(einval);
            String noAddress = ErrorsStaticallyReferencedJniMethods.strError(efault);
            for (Map.Entry<Executable, String> refusal : List.of(
                    Map.entry((Executable) () -> Socket.recvFromAddress(receiver, base, 300, 100), invalid),
                    Map.entry((Executable) () -> Socket.recvFrom(receiver, slice, 0, 200), invalid),
                    Map.entry((Executable) () -> Socket.recvFrom(receiver, ByteBuffer.allocate(200), 0, 200),
                            noAddress))) {
                java.io.IOException refused = assertThrows(java.io.IOException.class, refusal.getKey());
                assertEquals("recvfrom() failed: " + refusal.getValue(), refused.getMessage());
            }
            for (int i = 0; i < region.capacity(); i++) {
                assertEquals(0, region.get(i), "byte " + i + " written by a refused receive");
            }
            var from = Loopback.untilReceived(() -> Socket.recvFrom(receiver, region, 0, 200));
            assertEquals(200, from.receivedAmount());
            assertEquals(data.clear(), region.clear().limit(200));
        } finally {
            FileDescriptor.close(fd);
            FileDescriptor.close(receiver);
        }
    }

    @Test
    void badSpansSendNothingOnAStream() throws Exception {
        int listener = Loopback.tcpListener(4);
        int client = check(Socket.newSocketStreamFd(false), "socket");
        int[] accepted = {-1};
        try {
            int connected = Socket.connect(client, false, IPV4, 0, Loopback.localPort(listener));
            assertTrue(connected == 0 || connected == -Loopback.EINPROGRESS);
            int server = accepted[0] = Loopback.untilReady(() -> Socket.accept(listener, new byte[32]));
            // On a connected stream the destination is ignored, and the length near 2^64 once
            // sent memory past the buffer to the peer.
            assertEquals(-einval, Socket.sendTo(client, false, buffer, 16, 8, IPV4, 0, 9));
            assertEquals(-einval, Socket.sendToAddress(client, false, address, 16, 8, IPV4, 0, 9));
            ByteBuffer small = ByteBuffer.allocateDirect(16);
            assertEquals(-einval, Socket.sendTo(client, false, small, 0, 64, IPV4, 0, 9), "a limit past the capacity");
            assertEquals(-einval, FileDescriptor.write(client, small, 0, 64), "a limit past the capacity");
            assertEquals(3, Socket.sendToAddress(client, false, address, 0, 3, IPV4, 0, 9));
            Socket.shutdown(client, false, true);
            ByteBuffer in = ByteBuffer.allocateDirect(4096);
            long total = 0;
            int n;
            for (int reads = 0; reads < 100
                    && (n = Loopback.untilReady(() -> FileDescriptor.read(server, in, 0, in.capacity()))) > 0;
                    reads++) {
                total += n;
            }
            assertEquals(3, total, "only the good send reaches the peer");
        } finally {
            FileDescriptor.close(client);
            FileDescriptor.close(listener);
            if (accepted[0] >= 0) {
                FileDescriptor.close(accepted[0]);
            }
        }
    }

    @Test
    void acceptIntoATooShortArrayClosesTheConnection() throws Exception {
        int listener = Loopback.tcpListener(4);
        int client = check(Socket.newSocketStreamFd(false), "socket");
        try {
            int connected = Socket.connect(client, false, IPV4, 0, Loopback.localPort(listener));
            assertTrue(connected == 0 || connected == -Loopback.EINPROGRESS);
            assertEquals(-einval, Socket.accept(listener, null));
            assertThrows(ArrayIndexOutOfBoundsException.class, () -> Loopback.untilReady(() -> Socket.accept(listener,
                    new byte[4])));
            // The connection taken off the queue was closed, not leaked: the client sees the end.
            assertEquals(0, Loopback.untilReady(() -> FileDescriptor.readAddress(client, address, 0, 1)));
            assertFalse(TestNatives.isOpen(closed));
        } finally {
            FileDescriptor.close(client);
            FileDescriptor.close(listener);
        }
    }
}
