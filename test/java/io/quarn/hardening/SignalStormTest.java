package io.quarn.hardening;

import static io.quarn.hardening.Loopback.IPV4;
import static io.quarn.hardening.Loopback.check;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.channel.DefaultFileRegion;
import io.quarn.channel.kqueue.BsdSocket;
import io.quarn.channel.kqueue.KQueueEventArray;
import io.quarn.channel.kqueue.KQueueStaticallyReferencedJniMethods;
import io.quarn.channel.kqueue.Native;
import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.DatagramSocketAddress;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import io.quarn.test.JdkDescriptors;
import io.quarn.test.NativeLibrary;
import io.quarn.test.TestNatives;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.DatagramChannel;
import java.nio.channels.FileChannel;
import java.nio.channels.Pipe;
import java.nio.channels.ReadableByteChannel;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.nio.channels.WritableByteChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.zip.CRC32;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Every data-path native, run on a thread that a C thread signals every 100 µs (a handler
 * without SA_RESTART, so blocked system calls fail with EINTR): each result must be exactly
 * what it would have been without the signals. Blocking descriptors are used wherever the
 * call can sleep, since only a sleeping call is interrupted; peers run on other threads,
 * which the signals never reach.
 */
public class SignalStormTest {
    private static final int INTERVAL_MICROS = 100;
    private static final int LARGE = 32 << 20;
    private static final long TICK_NANOS = 10_000_000L;
    private static short EVFILT_READ;
    private static short EV_ADD;
    private static short EV_DELETE;
    private static short EV_ERROR;

    private static ExecutorService peers;
    private static Path dir;

    @BeforeAll
    static void setUp() throws Exception {
        NativeLibrary.load();
        TestNatives.load();
        EVFILT_READ = KQueueStaticallyReferencedJniMethods.evfiltRead();
        EV_ADD = KQueueStaticallyReferencedJniMethods.evAdd();
        EV_DELETE = KQueueStaticallyReferencedJniMethods.evDelete();
        EV_ERROR = KQueueStaticallyReferencedJniMethods.evError();
        assertTrue(HardeningNatives.installHandler() > 0, "signal handler");
        peers = Executors.newCachedThreadPool();
        Path shm = Path.of("/dev/shm");
        dir = Files.createTempDirectory(Files.isDirectory(shm) && Files.isWritable(shm) ? shm : Path.of("/tmp"), "qs");
    }

    @AfterAll
    static void tearDown() throws Exception {
        peers.shutdownNow();
        assertTrue(peers.awaitTermination(10, TimeUnit.SECONDS));
        try (var paths = Files.walk(dir)) {
            paths.sorted(java.util.Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        }
    }

    private interface Body {
        void run() throws Exception;
    }

    /** Runs the body on this thread under the storm; returns the signals its handler counted. */
    private static long underStorm(String operation, Body body) throws Exception {
        long before = HardeningNatives.delivered();
        assertEquals(0, HardeningNatives.startStorm(HardeningNatives.currentThread(), INTERVAL_MICROS));
        long sent;
        long start = System.nanoTime();
        try {
            body.run();
        } finally {
            sent = HardeningNatives.stopStorm();
        }
        long delivered = HardeningNatives.delivered() - before;
        System.out.printf("signal storm: %-40s %,7d signals sent, %,7d delivered in %,6d ms%n", operation, sent,
                delivered, TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start));
        assertTrue(delivered > 0, operation + ": no signal reached the thread");
        return delivered;
    }

    private static <T> T within(Future<T> future) throws Exception {
        return future.get(30, TimeUnit.SECONDS);
    }

    private static ByteBuffer randomDirect(int size, long seed) {
        byte[] bytes = new byte[size];
        new Random(seed).nextBytes(bytes);
        return ByteBuffer.allocateDirect(size).put(bytes).flip();
    }

    private static long crc(ByteBuffer buffer) {
        CRC32 crc = new CRC32();
        crc.update(buffer.duplicate());
        return crc.getValue();
    }

    /**
     * Pauses the peer for a millisecond after every 256 KiB, so that the storm's thread often
     * sleeps in its call, full or empty handed, when a signal arrives.
     */
    private static void pauseNowAndThen(long before, int moved) throws InterruptedException {
        if ((before >> 18) != ((before + moved) >> 18)) {
            Thread.sleep(1);
        }
    }

    /** The peer's side of a transfer: reads to the end in small pieces, so the writer keeps blocking. */
    private static Callable<long[]> drain(ReadableByteChannel channel) {
        return () -> {
            ByteBuffer piece = ByteBuffer.allocate(8192);
            CRC32 crc = new CRC32();
            long total = 0;
            int n;
            while ((n = channel.read(piece.clear())) > 0) {
                crc.update(piece.flip());
                pauseNowAndThen(total, n);
                total += n;
            }
            return new long[] {total, crc.getValue()};
        };
    }

    /** The peer's side of a transfer towards the storm thread: writes the data, then closes. */
    private static Callable<Void> feed(WritableByteChannel channel, ByteBuffer data) {
        return () -> {
            try (channel) {
                ByteBuffer source = data.duplicate();
                while (source.hasRemaining()) {
                    ByteBuffer piece = source.slice().limit(Math.min(8192, source.remaining()));
                    int n = channel.write(piece);
                    pauseNowAndThen(source.position(), n);
                    source.position(source.position() + n);
                }
            }
            return null;
        };
    }

    /** Reads until end of stream with readAddress on this thread; {bytes, checksum}. */
    private static long[] readAllByAddress(int fd) {
        ByteBuffer buffer = ByteBuffer.allocateDirect(65536);
        long address = Buffer.memoryAddress0(buffer);
        CRC32 crc = new CRC32();
        long total = 0;
        int n;
        while ((n = FileDescriptor.readAddress(fd, address, 0, buffer.capacity())) != 0) {
            check(n, "readAddress");
            crc.update(buffer.clear().limit(n));
            total += n;
        }
        return new long[] {total, crc.getValue()};
    }

    // ---- keventWait ----

    @Test
    void timedWaitWaitsItsTimeAndAppliesItsChangesOnce() throws Exception {
        int kqueue = Native.kqueueCreate();
        long pair = FileDescriptor.newPipe();
        int readEnd = (int) (pair >>> 32);
        int writeEnd = (int) pair;
        int size = Native.sizeofKEvent();
        ByteBuffer changes = ByteBuffer.allocateDirect(size).order(ByteOrder.nativeOrder());
        ByteBuffer events = ByteBuffer.allocateDirect(size * 4).order(ByteOrder.nativeOrder());
        long changesAddress = Buffer.memoryAddress0(changes);
        long eventsAddress = Buffer.memoryAddress0(events);
        try {
            KQueueEventArray.evSet(changesAddress, readEnd, EVFILT_READ, EV_ADD, 0);
            assertEquals(0, Native.keventWait(kqueue, changesAddress, 1, eventsAddress, 4, 0, 0));
            // Deleting the knote succeeds once; submitted a second time it would fail with an
            // error record, which ends the wait at once with 1. So a wait that runs its full
            // time and returns 0 applied its change exactly once.
            KQueueEventArray.evSet(changesAddress, readEnd, EVFILT_READ, EV_DELETE, 0);
            long[] elapsed = new long[2];
            int[] results = new int[2];
            underStorm("keventWait 300 ms + 1.2 s", () -> {
                long start = System.nanoTime();
                results[0] = Native.keventWait(kqueue, changesAddress, 1, eventsAddress, 4, 0, 300_000_000);
                elapsed[0] = System.nanoTime() - start;
                start = System.nanoTime();
                results[1] = Native.keventWait(kqueue, changesAddress, 0, eventsAddress, 4, 1, 200_000_000);
                elapsed[1] = System.nanoTime() - start;
            });
            assertEquals(0, results[0]);
            assertEquals(0, results[1]);
            long[] asked = {300_000_000L, 1_200_000_000L};
            for (int i = 0; i < 2; i++) {
                // The wait clock is the system's coarse monotonic clock, which runs up to one tick
                // (at most 10 ms) behind: an interrupted wait may end that much early, never more.
                assertTrue(elapsed[i] >= asked[i] - TICK_NANOS, "waited only " + elapsed[i] + " ns of " + asked[i]);
                // A retry that waited its whole time again would never end under the storm; a
                // loaded machine may add seconds to an honest one.
                assertTrue(elapsed[i] < asked[i] + 5_000_000_000L, "waited " + elapsed[i] + " ns for " + asked[i]);
            }
            // The knote is gone: a readable pipe reports nothing, and a second delete fails.
            ByteBuffer one = ByteBuffer.allocateDirect(1);
            assertEquals(1, FileDescriptor.write(writeEnd, one, 0, 1));
            assertEquals(0, Native.keventWait(kqueue, 0, 0, eventsAddress, 4, 0, 0));
            assertEquals(1, Native.keventWait(kqueue, changesAddress, 1, eventsAddress, 4, 0, 0));
            assertEquals(EV_ERROR, events.getShort(Native.offsetofKEventFlags()) & EV_ERROR);
        } finally {
            FileDescriptor.close(readEnd);
            FileDescriptor.close(writeEnd);
            FileDescriptor.close(kqueue);
        }
    }

    @Test
    void timedWaitReportsTheEventThatArrivesDuringTheStorm() throws Exception {
        int kqueue = Native.kqueueCreate();
        long pair = FileDescriptor.newPipe();
        int readEnd = (int) (pair >>> 32);
        int writeEnd = (int) pair;
        int size = Native.sizeofKEvent();
        ByteBuffer changes = ByteBuffer.allocateDirect(size).order(ByteOrder.nativeOrder());
        ByteBuffer events = ByteBuffer.allocateDirect(size * 4).order(ByteOrder.nativeOrder());
        long changesAddress = Buffer.memoryAddress0(changes);
        long eventsAddress = Buffer.memoryAddress0(events);
        try {
            KQueueEventArray.evSet(changesAddress, readEnd, EVFILT_READ, EV_ADD, 0);
            int[] result = new int[1];
            underStorm("keventWait until an event", () -> {
                Future<Integer> writer = peers.submit(() -> {
                    Thread.sleep(200);
                    return FileDescriptor.write(writeEnd, ByteBuffer.allocateDirect(3), 0, 3);
                });
                result[0] = Native.keventWait(kqueue, changesAddress, 1, eventsAddress, 4, 5, 0);
                assertEquals(3, within(writer));
            });
            assertEquals(1, result[0]);
            assertEquals(readEnd, events.getLong(Native.offsetofKEventIdent()));
            assertEquals(EVFILT_READ, events.getShort(Native.offsetofKEventFilter()));
            assertEquals(3, events.getLong(Native.offsetofKeventData()));
        } finally {
            FileDescriptor.close(readEnd);
            FileDescriptor.close(writeEnd);
            FileDescriptor.close(kqueue);
        }
    }

    // ---- reads and writes ----

    @Test
    void largeWritesAndReadsOverAPipe() throws Exception {
        ByteBuffer data = randomDirect(LARGE, 1);
        long expected = crc(data);
        // Buffer form and address form of write, then a gathering write over a native vector.
        {
            Pipe first = Pipe.open();
            try (Pipe.SinkChannel sink = first.sink(); Pipe.SourceChannel source = first.source()) {
                int fd = JdkDescriptors.of(sink);
                check(HardeningNatives.setBlocking(fd, true), "blocking");
                Future<long[]> reader = peers.submit(drain(source));
                underStorm("write/writeAddress/writevAddresses pipe", () -> {
                    int half = LARGE / 2;
                    int third = LARGE * 3 / 4;
                    for (int at = 0; at < half;) {
                        at += check(FileDescriptor.write(fd, data, at, half), "write");
                    }
                    long address = Buffer.memoryAddress0(data);
                    for (int at = half; at < third;) {
                        at += check(FileDescriptor.writeAddress(fd, address, at, third), "writeAddress");
                    }
                    ByteBuffer vector = ByteBuffer.allocateDirect(32).order(ByteOrder.nativeOrder());
                    long vectorAddress = Buffer.memoryAddress0(vector);
                    for (long at = third; at < LARGE;) {
                        long split = at + (LARGE - at) / 2;
                        vector.putLong(0, address + at).putLong(8, split - at);
                        vector.putLong(16, address + split).putLong(24, LARGE - split);
                        long n = FileDescriptor.writevAddresses(fd, vectorAddress, split > at ? 2 : 1);
                        assertTrue(n > 0, "writevAddresses: " + n);
                        at += n;
                    }
                });
                sink.close();
                assertArrayEquals(new long[] {LARGE, expected}, within(reader));
            }
            Pipe second = Pipe.open();
            try (Pipe.SinkChannel sink = second.sink(); Pipe.SourceChannel source = second.source()) {
                int fd = JdkDescriptors.of(source);
                check(HardeningNatives.setBlocking(fd, true), "blocking");
                Future<Void> writer = peers.submit(feed(sink, data));
                long[] received = new long[2];
                underStorm("readAddress pipe", () -> {
                    long[] result = readAllByAddress(fd);
                    received[0] = result[0];
                    received[1] = result[1];
                });
                within(writer);
                assertArrayEquals(new long[] {LARGE, expected}, received);
            }
        }
    }

    @Test
    void largeGatheringWritesAndReadsOverATcpConnection() throws Exception {
        ByteBuffer data = randomDirect(LARGE, 2);
        long expected = crc(data);
        try (ServerSocketChannel server = ServerSocketChannel.open()) {
            server.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0));
            try (SocketChannel ours = SocketChannel.open(server.getLocalAddress());
                    SocketChannel theirs = server.accept()) {
                int fd = JdkDescriptors.of(ours);
                check(HardeningNatives.setBlocking(fd, true), "blocking");
                Future<long[]> reader = peers.submit(drain(theirs));
                underStorm("writev TCP", () -> {
                    // Four slices per call, under a budget that leaves the last one for later.
                    int quarter = LARGE / 4;
                    ByteBuffer[] slices = new ByteBuffer[4];
                    for (int i = 0; i < 4; i++) {
                        slices[i] = data.duplicate().position(i * quarter).limit((i + 1) * quarter);
                    }
                    int first = 0;
                    while (first < 4) {
                        long n = FileDescriptor.writev(fd, slices, first, 4 - first, 3L * quarter);
                        assertTrue(n > 0, "writev: " + n);
                        while (n > 0) {
                            int take = (int) Math.min(n, slices[first].remaining());
                            slices[first].position(slices[first].position() + take);
                            n -= take;
                            if (!slices[first].hasRemaining()) {
                                first++;
                            }
                        }
                    }
                });
                ours.shutdownOutput();
                assertArrayEquals(new long[] {LARGE, expected}, within(reader));

                Future<Void> writer = peers.submit(feed(theirs, data));
                long[] received = new long[2];
                underStorm("read TCP", () -> {
                    ByteBuffer buffer = ByteBuffer.allocateDirect(65536);
                    CRC32 crc = new CRC32();
                    int n;
                    while ((n = FileDescriptor.read(fd, buffer, 0, buffer.capacity())) != 0) {
                        check(n, "read");
                        crc.update(buffer.clear().limit(n));
                        received[0] += n;
                    }
                    received[1] = crc.getValue();
                });
                within(writer);
                assertArrayEquals(new long[] {LARGE, expected}, received);
            }
        }
    }

    // ---- connect and accept ----

    @Test
    void connectWaitsOutAFullAcceptQueue() throws Exception {
        // With a backlog of 0 the queue holds one connection; the kernel drops the next SYN
        // until the peer makes room, so a blocking connect sleeps until the SYN is sent again.
        int listener = Loopback.tcpListener(0);
        int client = -1;
        int accepted = -1;
        try (SocketChannel filler = SocketChannel.open(new InetSocketAddress(InetAddress.getLoopbackAddress(),
                Loopback.localPort(listener)))) {
            int port = Loopback.localPort(listener);
            client = check(Socket.newSocketStreamFd(false), "socket");
            check(HardeningNatives.setBlocking(client, true), "blocking");
            Future<Integer> makeRoom = peers.submit(() -> {
                Thread.sleep(300);
                return Loopback.untilReady(() -> Socket.accept(listener, new byte[25]));
            });
            int connecting = client;
            int[] result = new int[1];
            underStorm("connect (blocking, queue full)", () -> result[0] = Socket.connect(connecting, false, IPV4, 0,
                    port));
            assertEquals(0, result[0]);
            FileDescriptor.close(check(within(makeRoom), "accept"));
            byte[] peer = new byte[25];
            accepted = check(Loopback.untilReady(() -> Socket.accept(listener, peer)), "accept");
            assertEquals(Loopback.localPort(client), ((peer[7] & 0xff) << 8) | (peer[8] & 0xff));
            assertEquals(0, Socket.finishConnect(client));
        } finally {
            FileDescriptor.close(accepted);
            FileDescriptor.close(client);
            FileDescriptor.close(listener);
        }
    }

    @Test
    void blockingAcceptTakesEveryConnectionInOrder() throws Exception {
        int listener = Loopback.tcpListener(16);
        check(HardeningNatives.setBlocking(listener, true), "blocking");
        int port = Loopback.localPort(listener);
        int count = 50;
        List<SocketChannel> clients = new ArrayList<>();
        try {
            Future<List<Integer>> connector = peers.submit(() -> {
                List<Integer> ports = new ArrayList<>();
                for (int i = 0; i < count; i++) {
                    Thread.sleep(5);
                    SocketChannel channel = SocketChannel.open(new InetSocketAddress(InetAddress.getLoopbackAddress(),
                            port));
                    synchronized (clients) {
                        clients.add(channel);
                    }
                    ports.add(((InetSocketAddress) channel.getLocalAddress()).getPort());
                }
                return ports;
            });
            List<Integer> acceptedPorts = new ArrayList<>();
            underStorm("accept (blocking) x" + count, () -> {
                byte[] peer = new byte[25];
                for (int i = 0; i < count; i++) {
                    int fd = check(Socket.accept(listener, peer), "accept");
                    assertTrue(TestNatives.isNonBlocking(fd));
                    acceptedPorts.add(((peer[7] & 0xff) << 8) | (peer[8] & 0xff));
                    FileDescriptor.close(fd);
                }
            });
            assertEquals(within(connector), acceptedPorts);
        } finally {
            synchronized (clients) {
                for (SocketChannel channel : clients) {
                    channel.close();
                }
            }
            FileDescriptor.close(listener);
        }
    }

    @Test
    void connectDomainSocketWaitsOutAFullBacklog() throws Exception {
        byte[] path = dir.resolve("backlog.sock").toString().getBytes(StandardCharsets.UTF_8);
        int listener = check(Socket.newSocketDomainFd(), "socket");
        int filler = -1;
        int client = -1;
        int accepted = -1;
        try {
            check(Socket.bindDomainSocket(listener, path), "bind");
            // A backlog of 0 holds one connection; a blocking connect then sleeps until the
            // peer accepts.
            check(Socket.listen(listener, 0), "listen");
            filler = check(Socket.newSocketDomainFd(), "socket");
            check(Socket.connectDomainSocket(filler, path), "connect");
            client = check(Socket.newSocketDomainFd(), "socket");
            check(HardeningNatives.setBlocking(client, true), "blocking");
            Future<Integer> makeRoom = peers.submit(() -> {
                Thread.sleep(300);
                return Loopback.untilReady(() -> Socket.accept(listener, new byte[25]));
            });
            int connecting = client;
            int[] result = new int[1];
            underStorm("connectDomainSocket (blocking, full)",
                    () -> result[0] = Socket.connectDomainSocket(connecting, path));
            assertEquals(0, result[0]);
            FileDescriptor.close(check(within(makeRoom), "accept"));
            accepted = check(Loopback.untilReady(() -> Socket.accept(listener, new byte[25])), "accept");
            ByteBuffer one = ByteBuffer.allocateDirect(1).put(0, (byte) 7);
            assertEquals(1, FileDescriptor.write(client, one, 0, 1));
            ByteBuffer got = ByteBuffer.allocateDirect(1);
            int from = accepted;
            assertEquals(1, Loopback.untilReady(() -> FileDescriptor.read(from, got, 0, 1)));
            assertEquals(7, got.get(0));
        } finally {
            FileDescriptor.close(accepted);
            FileDescriptor.close(client);
            FileDescriptor.close(filler);
            FileDescriptor.close(listener);
        }
    }

    @Test
    void sendFdWaitsForRoomInAFullSocket() throws Exception {
        try (Loopback.PassingPair local = Loopback.passingPair(dir.resolve("full.sock"))) {
            int sender = local.sender;
            int receiver = local.receiver;
            int passed = local.passed;
            int from = sender;
            ByteBuffer chunk = ByteBuffer.allocateDirect(65536);
            long filled = 0;
            int n;
            while ((n = FileDescriptor.write(sender, chunk, 0, chunk.capacity())) > 0) {
                filled += n;
            }
            assertEquals(-Loopback.EAGAIN, n);
            check(HardeningNatives.setBlocking(sender, true), "blocking");
            int to = receiver;
            long total = filled;
            // The peer drains exactly the filler after a pause (a plain read must not reach the
            // byte that carries the descriptor), then takes the descriptor.
            Future<Integer> drainer = peers.submit(() -> {
                Thread.sleep(300);
                ByteBuffer sink = ByteBuffer.allocateDirect(65536);
                long left = total;
                while (left > 0) {
                    int want = (int) Math.min(left, sink.capacity());
                    left -= check(Loopback.untilReady(() -> FileDescriptor.read(to, sink, 0, want)), "read");
                }
                return Loopback.untilReady(() -> Socket.recvFd(to));
            });
            int[] sent = new int[1];
            underStorm("sendFd (blocking, full)", () -> sent[0] = Socket.sendFd(from, passed));
            assertEquals(1, sent[0]);
            int received = check(within(drainer), "recvFd");
            assertTrue(TestNatives.sameFile(received, passed));
            FileDescriptor.close(received);
        }
    }

    // ---- sendFile ----

    @Test
    void sendFileMovesAWholeFileThroughABlockingSocket() throws Exception {
        ByteBuffer data = randomDirect(LARGE, 3);
        long expected = crc(data);
        Path file = dir.resolve("region.bin");
        try (FileChannel out = FileChannel.open(file, StandardOpenOption.CREATE, StandardOpenOption.WRITE,
                StandardOpenOption.TRUNCATE_EXISTING)) {
            while (data.hasRemaining()) {
                out.write(data);
            }
        }
        data.flip();
        try (ServerSocketChannel server = ServerSocketChannel.open();
                FileChannel in = FileChannel.open(file, StandardOpenOption.READ)) {
            server.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0));
            int fd = check(Socket.newSocketStreamFd(false), "socket");
            try {
                int connected = Socket.connect(fd, false, IPV4, 0, ((InetSocketAddress) server.getLocalAddress())
                        .getPort());
                assertTrue(connected == 0 || connected == -Loopback.EINPROGRESS);
                try (SocketChannel theirs = server.accept()) {
                    check(HardeningNatives.setBlocking(fd, true), "blocking");
                    Future<long[]> reader = peers.submit(drain(theirs));
                    DefaultFileRegion region = new DefaultFileRegion(in, 0, LARGE);
                    underStorm("sendFile (blocking)", () -> {
                        // On a blocking socket an interrupted transfer carries on: one call sends
                        // the whole region, however often the storm cuts a system call short.
                        long n = BsdSocket.sendFile(fd, region, 0, 0, LARGE);
                        assertEquals(LARGE, n, "sendFile stopped short");
                        assertEquals(LARGE, region.transferred());
                    });
                    Socket.shutdown(fd, false, true);
                    assertArrayEquals(new long[] {LARGE, expected}, within(reader));
                }
            } finally {
                FileDescriptor.close(fd);
            }
        }
    }

    // ---- datagrams ----

    @Test
    void datagramRoundTripsThroughEverySendAndReceive() throws Exception {
        int fd = check(Socket.newSocketDgramFd(false), "socket");
        try (DatagramChannel echo = DatagramChannel.open()) {
            echo.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0));
            int echoPort = ((InetSocketAddress) echo.getLocalAddress()).getPort();
            check(Socket.bind(fd, false, IPV4, 0, 0), "bind");
            check(HardeningNatives.setBlocking(fd, true), "blocking");
            int rounds = 3000;
            Future<Integer> echoer = peers.submit(() -> {
                ByteBuffer buffer = ByteBuffer.allocate(2048);
                for (int i = 0; i < rounds; i++) {
                    InetSocketAddress from = (InetSocketAddress) echo.receive(buffer.clear());
                    echo.send(buffer.flip(), from);
                }
                return rounds;
            });
            ByteBuffer out = ByteBuffer.allocateDirect(2048);
            ByteBuffer in = ByteBuffer.allocateDirect(2048);
            ByteBuffer vector = ByteBuffer.allocateDirect(32).order(ByteOrder.nativeOrder());
            long outAddress = Buffer.memoryAddress0(out);
            long inAddress = Buffer.memoryAddress0(in);
            long vectorAddress = Buffer.memoryAddress0(vector);
            Random random = new Random(4);
            byte[] bytes = new byte[1400];
            underStorm("sendTo*/recvFrom* x" + rounds, () -> {
                for (int i = 0; i < rounds; i++) {
                    int size = 1 + random.nextInt(bytes.length);
                    random.nextBytes(bytes);
                    out.clear().put(bytes, 0, size);
                    int sent = switch (i % 3) {
                        case 0 -> Socket.sendTo(fd, false, out, 0, size, IPV4, 0, echoPort);
                        case 1 -> Socket.sendToAddress(fd, false, outAddress, 0, size, IPV4, 0, echoPort);
                        default -> {
                            int split = size / 2;
                            vector.putLong(0, outAddress).putLong(8, split);
                            vector.putLong(16, outAddress + split).putLong(24, size - split);
                            yield Socket.sendToAddresses(fd, false, vectorAddress, 2, IPV4, 0, echoPort);
                        }
                    };
                    assertEquals(size, sent);
                    DatagramSocketAddress from = i % 2 == 0 ? Socket.recvFrom(fd, in, 0, in.capacity())
                            : Socket.recvFromAddress(fd, inAddress, 0, in.capacity());
                    assertNotNull(from);
                    assertEquals(size, from.receivedAmount());
                    assertEquals(echoPort, from.port());
                    assertEquals(out.flip(), in.clear().limit(size), "datagram " + i);
                }
            });
            assertEquals(rounds, within(echoer));
        } finally {
            FileDescriptor.close(fd);
        }
    }

    // ---- descriptor passing ----

    @Test
    void recvFdWaitsForEveryPassedDescriptor() throws Exception {
        try (Loopback.PassingPair local = Loopback.passingPair(dir.resolve("storm.sock"))) {
            int sender = local.sender;
            int receiver = local.receiver;
            int passed = local.passed;
            int from = sender;
            check(HardeningNatives.setBlocking(receiver, true), "blocking");
            int count = 200;
            Future<Integer> passer = peers.submit(() -> {
                for (int i = 0; i < count; i++) {
                    Thread.sleep(1);
                    check(Socket.sendFd(from, passed), "sendFd");
                }
                return count;
            });
            int to = receiver;
            underStorm("recvFd (blocking) x" + count, () -> {
                for (int i = 0; i < count; i++) {
                    int received = check(Socket.recvFd(to), "recvFd");
                    assertTrue(received > 0);
                    assertTrue(TestNatives.sameFile(received, passed));
                    assertTrue(TestNatives.isNonBlocking(received));
                    FileDescriptor.close(received);
                }
            });
            assertEquals(count, within(passer));
        }
    }
}
