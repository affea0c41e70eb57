package io.quarn.channel.kqueue;

import static io.quarn.channel.kqueue.KQueueStaticallyReferencedJniMethods.evAdd;
import static io.quarn.channel.kqueue.KQueueStaticallyReferencedJniMethods.evClear;
import static io.quarn.channel.kqueue.KQueueStaticallyReferencedJniMethods.evEOF;
import static io.quarn.channel.kqueue.KQueueStaticallyReferencedJniMethods.evfiltRead;
import static io.quarn.channel.kqueue.KQueueStaticallyReferencedJniMethods.evfiltUser;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.channel.ChannelException;
import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.test.JdkDescriptors;
import io.quarn.test.NativeLibrary;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.Pipe;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Kqueues, the wait, user events and end-of-file reports, against real descriptors. */
class KQueueNativeTest {
    // EINVAL has the same number on Linux and FreeBSD; the library exports no constant for it.
    private static final int EINVAL = 22;

    private int kq = -1;
    private final Records changes = new Records(8);
    private final Records events = new Records(8);

    @BeforeAll
    static void load() {
        NativeLibrary.load();
    }

    @BeforeEach
    void createKqueue() {
        kq = Native.kqueueCreate();
        assertTrue(kq >= 0, "kqueue descriptor " + kq);
    }

    @AfterEach
    void closeKqueue() {
        if (kq >= 0) {
            assertEquals(0, FileDescriptor.close(kq));
        }
    }

    @Test
    void userEventTriggeredFromAnotherThreadWakesTheWaiter() throws Exception {
        assertEquals(0, Native.keventAddUserEvent(kq, 7));
        CompletableFuture<Integer> waiter = CompletableFuture.supplyAsync(
                () -> Native.keventWait(kq, 0, 0, events.address, events.capacity, 30, 0));
        Thread.sleep(50);
        long triggered = System.nanoTime();
        assertEquals(0, Native.keventTriggerUserEvent(kq, 7));
        assertEquals(1, waiter.get(40, TimeUnit.SECONDS));
        // Well before the wait's 30 s, however long a loaded machine held either thread back.
        assertTrue(System.nanoTime() - triggered < TimeUnit.SECONDS.toNanos(10), "woken by the trigger");
        assertEquals(7L, events.ident(0));
        assertEquals(evfiltUser(), events.filter(0));
        // Registered with EV_CLEAR: delivered once, then reset.
        assertEquals(0, Native.keventWait(kq, 0, 0, events.address, events.capacity, 0, 0));
    }

    @Test
    void userEventIdentMinusOneIsAllOnes() {
        assertEquals(0, Native.keventAddUserEvent(kq, -1));
        assertEquals(0, Native.keventTriggerUserEvent(kq, -1));
        assertEquals(1, Native.keventWait(kq, 0, 0, events.address, events.capacity, 0, 0));
        assertEquals(-1L, events.ident(0));
    }

    @Test
    void userEventFailuresAreNegatedErrnoValues() {
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoENOENT(), Native.keventTriggerUserEvent(kq, 99),
                "never added");
        int closed = kq;
        assertEquals(0, FileDescriptor.close(kq));
        kq = -1;
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEBADF(), Native.keventAddUserEvent(closed, 1));
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEBADF(), Native.keventTriggerUserEvent(closed, 1));
        assertEquals(-ErrorsStaticallyReferencedJniMethods.errnoEBADF(),
                Native.keventWait(closed, 0, 0, events.address, events.capacity, 0, 0));
    }

    @Test
    void zeroTimeoutReturnsAtOnceAndFiniteTimeoutWaitsItsTime() {
        // A poll that sleeps fails every try; a loaded machine delays one try, not three.
        long fastest = Long.MAX_VALUE;
        for (int i = 0; i < 3 && fastest >= TimeUnit.MILLISECONDS.toNanos(500); i++) {
            long start = System.nanoTime();
            assertEquals(0, Native.keventWait(kq, 0, 0, events.address, events.capacity, 0, 0));
            fastest = Math.min(fastest, System.nanoTime() - start);
        }
        assertTrue(fastest < TimeUnit.MILLISECONDS.toNanos(500), "a poll does not wait");

        long start = System.nanoTime();
        assertEquals(0, Native.keventWait(kq, 0, 0, events.address, events.capacity, 0, 80_000_000));
        long elapsed = System.nanoTime() - start;
        assertTrue(elapsed >= TimeUnit.MILLISECONDS.toNanos(80), "waited only " + elapsed + " ns");
        assertTrue(elapsed < TimeUnit.SECONDS.toNanos(10), "waited " + elapsed + " ns");
    }

    @Test
    void invalidTimeoutsAreRejectedNotTurnedIntoPolls() {
        assertEquals(-EINVAL, Native.keventWait(kq, 0, 0, events.address, events.capacity, -1, 0));
        assertEquals(-EINVAL, Native.keventWait(kq, 0, 0, events.address, events.capacity, 0, 1_000_000_000));
    }

    @Test
    void eventListSmallerThanTheReadySetDeliversTheRestLater() {
        for (int ident = 1; ident <= 5; ident++) {
            assertEquals(0, Native.keventAddUserEvent(kq, ident));
            assertEquals(0, Native.keventTriggerUserEvent(kq, ident));
        }
        Set<Long> seen = new HashSet<>();
        assertEquals(2, Native.keventWait(kq, 0, 0, events.address, 2, 0, 0), "a full event list");
        seen.add(events.ident(0));
        seen.add(events.ident(1));
        for (int round = 0; round < 10 && seen.size() < 5; round++) {
            int count = Native.keventWait(kq, 0, 0, events.address, 2, 0, 0);
            assertTrue(count > 0 && count <= 2, "round " + round + " returned " + count);
            for (int i = 0; i < count; i++) {
                assertTrue(seen.add(events.ident(i)), "delivered twice: " + events.ident(i));
            }
        }
        assertEquals(Set.of(1L, 2L, 3L, 4L, 5L), seen);
        assertEquals(0, Native.keventWait(kq, 0, 0, events.address, events.capacity, 0, 0));
    }

    @Test
    void closedPipeWriterGivesEofOnTheReader() throws Exception {
        Pipe pipe = Pipe.open();
        try (Pipe.SourceChannel source = pipe.source(); Pipe.SinkChannel sink = pipe.sink()) {
            int reader = JdkDescriptors.of(source);
            changes.set(0, reader, evfiltRead(), (short) (evAdd() | evClear()));
            assertEquals(0, Native.keventWait(kq, changes.address, 1, events.address, events.capacity, 0, 0),
                    "nothing to read yet");

            sink.close();
            assertEquals(1, Native.keventWait(kq, 0, 0, events.address, events.capacity, 2, 0));
            assertEquals(reader, events.ident(0));
            assertEquals(evfiltRead(), events.filter(0));
            assertTrue(events.eof(0), "flags " + Integer.toHexString(events.flags(0)));
        }
    }

    @Test
    void closedTcpPeerGivesEof() throws Exception {
        try (ServerSocketChannel server = ServerSocketChannel.open()) {
            server.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0));
            try (SocketChannel client = SocketChannel.open(server.getLocalAddress())) {
                int fd = JdkDescriptors.of(client);
                try (SocketChannel peer = server.accept()) {
                    changes.set(0, fd, evfiltRead(), evAdd());
                    assertEquals(0,
                            Native.keventWait(kq, changes.address, 1, events.address, events.capacity, 0, 0));
                    peer.close();
                }
                assertEquals(1, Native.keventWait(kq, 0, 0, events.address, events.capacity, 2, 0));
                assertEquals(fd, events.ident(0));
                assertEquals(evfiltRead(), events.filter(0));
                assertTrue(events.eof(0), "flags " + Integer.toHexString(events.flags(0)));
            }
        }
    }

    @Test
    void kqueueCreateAtTheDescriptorLimitThrowsChannelException() throws Exception {
        String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
        String classpath = NativeLibrary.property("quarn.tests") + ":" + NativeLibrary.property("quarn.classes");
        List<String> command = new ArrayList<>(List.of("bash", "-c",
                "ulimit -n 256 && exec \"$0\" \"$@\"", java, "-Xcheck:jni", "-cp", classpath,
                "-Dquarn.library=" + NativeLibrary.property("quarn.library"),
                ExhaustDescriptors.class.getName()));
        Path out = Files.createTempFile(NativeLibrary.workDir(), "exhaust", ".out");
        try {
            Process process = new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(out.toFile())
                    .start();
            if (!process.waitFor(60, TimeUnit.SECONDS)) {
                process.destroyForcibly().waitFor();
                throw new AssertionError("child JVM did not finish in 60 s");
            }
            String output = Files.readString(out);
            assertEquals(0, process.exitValue(), output);
            assertTrue(output.startsWith("ChannelException: kqueue() failed: "), output);
            assertTrue(!output.contains("WARNING"), output);
        } finally {
            Files.deleteIfExists(out);
        }
    }

    /** Child-JVM entry: creates kqueues until the descriptor limit makes one fail. */
    public static final class ExhaustDescriptors {
        private ExhaustDescriptors() {
        }

        public static void main(String[] args) {
            NativeLibrary.load();
            for (int i = 0; i < 1000; i++) {
                try {
                    if (Native.kqueueCreate() < 0) {
                        System.out.println("negative result without an exception");
                        return;
                    }
                } catch (ChannelException e) {
                    System.out.println("ChannelException: " + e.getMessage());
                    return;
                }
            }
            System.out.println("no failure after 1000 kqueues");
        }
    }

    /** An array of kevent records in native memory, addressed through the layout natives. */
    private static final class Records {
        final int capacity;
        final ByteBuffer memory;
        final long address;
        private final int size = Native.sizeofKEvent();

        Records(int capacity) {
            NativeLibrary.load();
            this.capacity = capacity;
            memory = ByteBuffer.allocateDirect(capacity * Native.sizeofKEvent()).order(ByteOrder.nativeOrder());
            address = Buffer.memoryAddress0(memory);
        }

        void set(int index, int ident, short filter, short flags) {
            KQueueEventArray.evSet(address + (long) index * size, ident, filter, flags, 0);
        }

        long ident(int index) {
            return memory.getLong(index * size + Native.offsetofKEventIdent());
        }

        short filter(int index) {
            return memory.getShort(index * size + Native.offsetofKEventFilter());
        }

        short flags(int index) {
            return memory.getShort(index * size + Native.offsetofKEventFlags());
        }

        boolean eof(int index) {
            return (flags(index) & evEOF()) != 0;
        }
    }
}
