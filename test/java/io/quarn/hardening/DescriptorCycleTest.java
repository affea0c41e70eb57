package io.quarn.hardening;

import static io.quarn.hardening.Loopback.IPV4;
import static io.quarn.hardening.Loopback.check;
import static io.quarn.hardening.Loopback.untilReady;
import static io.quarn.hardening.Loopback.untilReceived;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.channel.kqueue.Native;
import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.DatagramSocketAddress;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import io.quarn.test.NativeLibrary;
import io.quarn.test.TestNatives;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Create, use and close every kind of descriptor the library makes, many times over: the
 * process ends each loop with exactly the descriptors it started with. The count of cycles
 * is quarn.hardening.cycles (10,000 by default); each loop also stops at its time budget.
 */
public class DescriptorCycleTest {
    private static final int CYCLES = Integer.getInteger("quarn.hardening.cycles", 10_000);
    private static final long BUDGET_NANOS = TimeUnit.SECONDS.toNanos(40);

    private static ByteBuffer scratch;
    private static long address;
    private static ByteBuffer events;
    private static long eventsAddress;
    private static Path dir;

    @BeforeAll
    static void load() throws Exception {
        NativeLibrary.load();
        TestNatives.load();
        scratch = ByteBuffer.allocateDirect(64);
        address = Buffer.memoryAddress0(scratch);
        events = ByteBuffer.allocateDirect(Native.sizeofKEvent() * 4);
        eventsAddress = Buffer.memoryAddress0(events);
        dir = Files.createTempDirectory(Path.of("/tmp"), "qh");
    }

    @AfterAll
    static void removeDirectory() throws Exception {
        try (var paths = Files.walk(dir)) {
            paths.sorted(java.util.Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        }
    }

    private interface Cycle {
        void run() throws Exception;
    }

    /** Runs the cycle up to CYCLES times within the budget; the open descriptors must be the same after. */
    private static void cycles(String kind, Cycle cycle) throws Exception {
        Map<Integer, String> before = DescriptorCount.snapshot();
        long start = System.nanoTime();
        int done = 0;
        while (done < CYCLES && System.nanoTime() - start < BUDGET_NANOS) {
            cycle.run();
            done++;
        }
        long millis = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        Map<Integer, String> left = DescriptorCount.addedSince(before);
        Map<Integer, String> after = DescriptorCount.snapshot();
        System.out.printf("descriptor cycles: %-22s %,6d in %,6d ms; open descriptors %d before, %d after%n", kind,
                done, millis, before.size(), after.size());
        assertEquals(Map.of(), left, kind + ": descriptors left after " + done + " cycles");
        assertTrue(done >= Math.min(CYCLES, 1000), kind + ": only " + done + " cycles fitted the budget");
    }

    private static void writeAndReadOneByte(int writer, int reader) {
        scratch.put(0, (byte) 0x5a);
        assertEquals(1, untilReady(() -> FileDescriptor.writeAddress(writer, address, 0, 1)));
        scratch.put(1, (byte) 0);
        assertEquals(1, untilReady(() -> FileDescriptor.readAddress(reader, address, 1, 2)));
        assertEquals(0x5a, scratch.get(1));
    }

    @Test
    void kqueues() throws Exception {
        cycles("kqueue", () -> {
            int kq = Native.kqueueCreate();
            assertEquals(0, Native.keventAddUserEvent(kq, 1));
            assertEquals(0, Native.keventTriggerUserEvent(kq, 1));
            assertEquals(1, Native.keventWait(kq, 0, 0, eventsAddress, 4, 0, 0));
            assertEquals(0, FileDescriptor.close(kq));
        });
    }

    @Test
    void pipes() throws Exception {
        cycles("pipe (both ends)", () -> {
            long pair = FileDescriptor.newPipe();
            assertTrue(pair >= 0);
            int readEnd = (int) (pair >>> 32);
            int writeEnd = (int) pair;
            writeAndReadOneByte(writeEnd, readEnd);
            assertEquals(0, FileDescriptor.close(writeEnd));
            assertEquals(0, FileDescriptor.close(readEnd));
        });
    }

    @Test
    void openedFiles() throws Exception {
        // Truncating a file on disk 10,000 times takes seconds; memory-backed files take milliseconds.
        Path shm = Path.of("/dev/shm");
        Path base = Files.isDirectory(shm) && Files.isWritable(shm) ? shm : dir;
        Path file = base.resolve("quarn-cycle-" + ProcessHandle.current().pid());
        String path = file.toString();
        cycles("open (file)", () -> {
            int fd = check(FileDescriptor.open(path), "open");
            assertEquals(1, FileDescriptor.writeAddress(fd, address, 0, 1));
            assertEquals(0, FileDescriptor.close(fd));
        });
        Files.deleteIfExists(file);
    }

    @ParameterizedTest(name = "IPv6 {0}")
    @ValueSource(booleans = {false, true})
    void datagramSockets(boolean ipv6) throws Exception {
        byte[] loopback = ipv6 ? Loopback.IPV6 : IPV4;
        cycles(ipv6 ? "UDP IPv6" : "UDP", () -> {
            int fd = check(Socket.newSocketDgramFd(ipv6), "socket");
            check(Socket.bind(fd, ipv6, loopback, 0, 0), "bind");
            int port = Loopback.localPort(fd);
            assertEquals(8, Socket.sendToAddress(fd, ipv6, address, 0, 8, loopback, 0, port));
            DatagramSocketAddress from = untilReceived(() -> Socket.recvFromAddress(fd, address, 8, 64));
            assertEquals(8, from.receivedAmount());
            assertEquals(0, FileDescriptor.close(fd));
        });
    }

    @ParameterizedTest(name = "IPv6 {0}")
    @ValueSource(booleans = {false, true})
    void tcpConnectionsAndAcceptedSockets(boolean ipv6) throws Exception {
        byte[] loopback = ipv6 ? Loopback.IPV6 : IPV4;
        int listener = Loopback.tcpListener(ipv6, 64);
        try {
            int port = Loopback.localPort(listener);
            byte[] peer = new byte[25];
            cycles(ipv6 ? "TCP IPv6 + accepted" : "TCP + accepted TCP", () -> {
                int client = check(Socket.newSocketStreamFd(ipv6), "socket");
                int connected = Socket.connect(client, ipv6, loopback, 0, port);
                assertTrue(connected == 0 || connected == -Loopback.EINPROGRESS, "connect: " + connected);
                int accepted = check(untilReady(() -> Socket.accept(listener, peer)), "accept");
                writeAndReadOneByte(client, accepted);
                writeAndReadOneByte(accepted, client);
                // A reset instead of an orderly close: no TIME_WAIT left behind for each cycle.
                Socket.setSoLinger(client, 0);
                assertEquals(0, FileDescriptor.close(client));
                assertEquals(0, FileDescriptor.close(accepted));
            });
        } finally {
            FileDescriptor.close(listener);
        }
    }

    @Test
    void localConnectionsAndAcceptedLocalSockets() throws Exception {
        byte[] path = dir.resolve("cycle.sock").toString().getBytes(StandardCharsets.UTF_8);
        int listener = check(Socket.newSocketDomainFd(), "socket");
        try {
            check(Socket.bindDomainSocket(listener, path), "bind");
            check(Socket.listen(listener, 64), "listen");
            byte[] peer = new byte[25];
            cycles("local + accepted local", () -> {
                int client = check(Socket.newSocketDomainFd(), "socket");
                check(untilReady(() -> Socket.connectDomainSocket(client, path)), "connect");
                int accepted = check(untilReady(() -> Socket.accept(listener, peer)), "accept");
                writeAndReadOneByte(client, accepted);
                assertEquals(0, FileDescriptor.close(client));
                assertEquals(0, FileDescriptor.close(accepted));
            });
        } finally {
            FileDescriptor.close(listener);
        }
    }

    @Test
    void descriptorsReceivedByRecvFd() throws Exception {
        try (Loopback.PassingPair local = Loopback.passingPair(dir.resolve("pass.sock"))) {
            int from = local.sender;
            int to = local.receiver;
            int passed = local.passed;
            cycles("received by recvFd", () -> {
                assertEquals(1, Socket.sendFd(from, passed));
                int received = check(untilReady(() -> Socket.recvFd(to)), "recvFd");
                assertTrue(TestNatives.sameFile(received, passed));
                assertEquals(0, FileDescriptor.close(received));
            });
        }
    }
}
