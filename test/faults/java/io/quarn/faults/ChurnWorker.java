package io.quarn.faults;

import io.quarn.channel.kqueue.Native;
import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.DatagramSocketAddress;
import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.SplittableRandom;
import java.util.concurrent.atomic.AtomicLong;

/**
 * One event loop of the churn soak, on its own thread and kqueue: a TCP and a local listener
 * whose connections it echoes, clients of its own to the listeners of every loop that send
 * checked messages and then go on, close, half-close or reset at random, and (on loop 0) UDP
 * datagrams sent one at a time and checked. It waits with an event list smaller than the
 * ready set, and counts the user events other threads trigger on it.
 */
final class ChurnWorker implements Runnable {
    static final int WAKE = 1;
    private static final int EVENT_LIST = 4;
    private static final int MAX_MESSAGE = 32 * 1024;
    /** A client that moves no byte for this long has lost one (its echo never completes). */
    private static final long STALL_NANOS = 5_000_000_000L;
    private static final int ECONNRESET = ErrorsStaticallyReferencedJniMethods.errnoECONNRESET();
    private static final int EPIPE = ErrorsStaticallyReferencedJniMethods.errnoEPIPE();
    private static final int EBADF = ErrorsStaticallyReferencedJniMethods.errnoEBADF();
    private static final int ENOENT = ErrorsStaticallyReferencedJniMethods.errnoENOENT();

    /** Figures shared by every loop. */
    static final class Totals {
        final AtomicLong connections = new AtomicLong();
        final AtomicLong local = new AtomicLong();
        final AtomicLong roundTrips = new AtomicLong();
        final AtomicLong bytes = new AtomicLong();
        final AtomicLong halfCloses = new AtomicLong();
        final AtomicLong resets = new AtomicLong();
        final AtomicLong datagrams = new AtomicLong();
        final AtomicLong wakeups = new AtomicLong();
        final AtomicLong corrupted = new AtomicLong();
        final List<String> failures = java.util.Collections.synchronizedList(new ArrayList<>());
    }

    private interface Handler {
        void ready(short filter, short flags);

        /** Gives back what the handler borrowed, when its descriptor closes. */
        default void release() {
        }
    }

    // Direct buffers are reused: new ones for every connection would churn native memory
    // through the collector, and resident memory would measure that rather than the library.
    private final java.util.ArrayDeque<ByteBuffer> echoBuffers = new java.util.ArrayDeque<>();
    private final java.util.ArrayDeque<ByteBuffer> clientBuffers = new java.util.ArrayDeque<>();

    private static ByteBuffer borrow(java.util.ArrayDeque<ByteBuffer> pool, int size) {
        ByteBuffer buffer = pool.poll();
        return buffer != null ? buffer : ByteBuffer.allocateDirect(size);
    }

    private final int index;
    private final Totals totals;
    private final ByteBuffer data;
    private final SplittableRandom random;
    private final int clients;
    final Kq kq;
    final int tcpListener;
    final int tcpPort;
    final int localListener;
    final byte[] localPath;
    private ChurnWorker[] all;
    private Handler[] handlers = new Handler[1024];
    private final List<Integer> open = new ArrayList<>();
    private volatile int ownClients;
    private volatile boolean draining;
    private volatile boolean stopped;
    /** The last user-event trigger's number, set before it is triggered; the number a delivery saw. */
    final AtomicLong triggered = new AtomicLong();
    volatile long delivered;
    private long nextStallCheck;
    private int udpSender = -1;
    private int udpReceiver = -1;
    private int udpPort;
    private int udpOutstanding = -1;
    private long udpSentAt;
    private final ByteBuffer udpIn = ByteBuffer.allocateDirect(2048);

    ChurnWorker(int index, Totals totals, ByteBuffer data, long seed, int clients, Path directory) {
        this.index = index;
        this.totals = totals;
        this.data = data;
        this.random = new SplittableRandom(seed);
        this.clients = clients;
        kq = new Kq(Run.ok(Native.kqueueCreate(), "kqueueCreate"));
        Run.ok(Native.keventAddUserEvent(kq.fd, WAKE), "keventAddUserEvent");
        tcpListener = Run.ok(Socket.newSocketStreamFd(false), "socket");
        Run.ok(Socket.bind(tcpListener, false, Net.IPV4, 0, 0), "bind");
        Run.ok(Socket.listen(tcpListener, 1024), "listen");
        tcpPort = Net.localPort(tcpListener);
        localPath = directory.resolve("churn-" + ProcessHandle.current().pid() + "-" + index + ".sock").toString()
                .getBytes(StandardCharsets.UTF_8);
        localListener = Run.ok(Socket.newSocketDomainFd(), "socket");
        Run.ok(Socket.bindDomainSocket(localListener, localPath), "bindDomainSocket");
        Run.ok(Socket.listen(localListener, 1024), "listen");
        register(tcpListener, (short) (Kq.ADD | Kq.CLEAR), (filter, flags) -> acceptAll(tcpListener), false);
        register(localListener, (short) (Kq.ADD | Kq.CLEAR), (filter, flags) -> acceptAll(localListener), false);
        if (index == 0) {
            udpSender = Run.ok(Socket.newSocketDgramFd(false), "socket");
            Run.ok(Socket.bind(udpSender, false, Net.IPV4, 0, 0), "bind");
            udpReceiver = Run.ok(Socket.newSocketDgramFd(false), "socket");
            Run.ok(Socket.bind(udpReceiver, false, Net.IPV4, 0, 0), "bind");
            udpPort = Net.localPort(udpReceiver);
            register(udpReceiver, Kq.ADD, (filter, flags) -> receiveDatagrams(), false);
        }
    }

    void peers(ChurnWorker[] workers) {
        all = workers;
    }

    /** Opens no more clients, and lets each finish its message and close. */
    void drain() {
        draining = true;
    }

    int clients() {
        return ownClients;
    }

    void stop() {
        stopped = true;
        Native.keventTriggerUserEvent(kq.fd, WAKE);
    }

    @Override
    public void run() {
        try {
            while (!stopped) {
                while (!draining && ownClients < clients) {
                    openClient();
                }
                sendDatagram();
                int ready = kq.waitRaw(EVENT_LIST, 10);
                if (ready < 0) {
                    fail("keventWait: " + ErrorsStaticallyReferencedJniMethods.strError(-ready));
                    return;
                }
                for (int e = 0; e < ready; e++) {
                    dispatch(e);
                }
                checkProgress();
            }
        } catch (RuntimeException | AssertionError e) {
            fail("loop " + index + ": " + e);
        } finally {
            closeEverything();
        }
    }

    private void dispatch(int e) {
        short filter = kq.filter(e);
        short flags = kq.flags(e);
        if (filter == Kq.USER) {
            // Every trigger numbered up to this one came before this delivery.
            delivered = triggered.get();
            totals.wakeups.incrementAndGet();
            return;
        }
        if ((flags & Kq.ERROR) != 0) {
            long error = kq.data(e);
            if (error != EBADF && error != ENOENT) {
                fail("change for descriptor " + kq.ident(e) + ": " + ErrorsStaticallyReferencedJniMethods.strError((int) error));
            }
            return;
        }
        int fd = (int) kq.ident(e);
        Handler handler = fd < handlers.length ? handlers[fd] : null;
        if (handler != null) {
            handler.ready(filter, flags);
        }
    }

    private void register(int fd, short flags, Handler handler, boolean write) {
        if (fd >= handlers.length) {
            handlers = java.util.Arrays.copyOf(handlers, Math.max(fd + 1, handlers.length * 2));
        }
        handlers[fd] = handler;
        open.add(fd);
        kq.change(fd, Kq.READ, flags);
        if (write) {
            kq.change(fd, Kq.WRITE, flags);
        }
        // Applied at once (no event list): a change queued for the next wait could outlive its
        // descriptor, and a kqueue answers a list of failed changes longer than its event list
        // with -1 and the rest unapplied.
        int applied = kq.waitRaw(0, 0);
        if (applied < 0) {
            fail("registering descriptor " + fd + ": " + ErrorsStaticallyReferencedJniMethods.strError(-applied));
        }
    }

    private void close(int fd) {
        if (handlers[fd] != null) {
            handlers[fd].release();
        }
        handlers[fd] = null;
        if (!open.remove(Integer.valueOf(fd))) {
            fail("closing descriptor " + fd + ", which this loop does not hold");
            return;
        }
        FileDescriptor.close(fd);
    }

    private void fail(String what) {
        totals.failures.add(what);
    }

    /** Twice a second: a client that has not moved a byte for 5 s is a failure, and is closed. */
    private void checkProgress() {
        long now = System.nanoTime();
        if (now < nextStallCheck) {
            return;
        }
        nextStallCheck = now + 500_000_000L;
        for (Handler handler : handlers) {
            if (handler instanceof Client client && now - client.progressAt > STALL_NANOS) {
                client.lost("no progress for 5 s at " + client.written + " written and " + client.read + " read of "
                        + client.length);
            }
        }
    }

    private void acceptAll(int listener) {
        byte[] peer = new byte[25];
        for (;;) {
            int fd = Socket.accept(listener, peer);
            if (fd == -Run.EAGAIN) {
                return;
            }
            if (fd < 0) {
                fail("accept: " + ErrorsStaticallyReferencedJniMethods.strError(-fd));
                return;
            }
            register(fd, (short) (Kq.ADD | Kq.CLEAR), new Echo(fd), true);
        }
    }

    private void openClient() {
        ChurnWorker target = all[random.nextInt(all.length)];
        boolean local = random.nextInt(4) == 0;
        int fd;
        if (local) {
            fd = Run.ok(Socket.newSocketDomainFd(), "socket");
            int connected = Socket.connectDomainSocket(fd, target.localPath);
            if (connected < 0) {
                FileDescriptor.close(fd);
                fail("connectDomainSocket: " + ErrorsStaticallyReferencedJniMethods.strError(-connected));
                return;
            }
            totals.local.incrementAndGet();
        } else {
            fd = Run.ok(Socket.newSocketStreamFd(false), "socket");
            int connected = Socket.connect(fd, false, Net.IPV4, 0, target.tcpPort);
            if (connected < 0 && connected != -Run.EINPROGRESS) {
                FileDescriptor.close(fd);
                fail("connect: " + ErrorsStaticallyReferencedJniMethods.strError(-connected));
                return;
            }
        }
        totals.connections.incrementAndGet();
        ownClients++;
        Client client = new Client(fd);
        register(fd, (short) (Kq.ADD | Kq.CLEAR), client, true);
        client.next();
    }

    /** The server side of a connection: echoes until the end of the stream or a reset. */
    private final class Echo implements Handler {
        private final int fd;
        private final ByteBuffer buffer = borrow(echoBuffers, 16 * 1024);
        private int start;
        private int end;

        Echo(int fd) {
            this.fd = fd;
        }

        @Override
        public void release() {
            echoBuffers.push(buffer);
        }

        @Override
        public void ready(short filter, short flags) {
            for (;;) {
                if (start < end) {
                    int written = FileDescriptor.write(fd, buffer, start, end);
                    if (written == -Run.EAGAIN) {
                        return;
                    }
                    if (written < 0) {
                        gone(-written);
                        return;
                    }
                    start += written;
                    continue;
                }
                int read = FileDescriptor.read(fd, buffer, 0, buffer.capacity());
                if (read == -Run.EAGAIN) {
                    return;
                }
                if (read <= 0) {
                    gone(read == 0 ? 0 : -read);
                    return;
                }
                start = 0;
                end = read;
            }
        }

        private void gone(int error) {
            if (error != 0 && error != ECONNRESET && error != EPIPE) {
                fail("echo: " + ErrorsStaticallyReferencedJniMethods.strError(error));
            }
            close(fd);
        }
    }

    /** A client: a checked message at a time, then on, or a close, a half-close or a reset. */
    private final class Client implements Handler {
        private final int fd;
        private final ByteBuffer in = borrow(clientBuffers, MAX_MESSAGE);
        private int offset;
        private int length;
        private int written;
        private int read;
        private boolean halfClosed;
        private long progressAt = System.nanoTime();

        Client(int fd) {
            this.fd = fd;
        }

        @Override
        public void release() {
            clientBuffers.push(in);
        }

        void next() {
            offset = random.nextInt(data.capacity() - MAX_MESSAGE);
            length = 1 + random.nextInt(MAX_MESSAGE);
            written = 0;
            read = 0;
            ready(Kq.WRITE, (short) 0);
        }

        @Override
        public void ready(short filter, short flags) {
            if (halfClosed) {
                int result = FileDescriptor.read(fd, in, 0, 16);
                if (result == -Run.EAGAIN) {
                    return;
                }
                if (result != 0) {
                    fail("after a half-close: " + (result < 0 ? ErrorsStaticallyReferencedJniMethods.strError(-result)
                            : result + " unexpected bytes"));
                }
                done();
                return;
            }
            while (written < length) {
                int result = FileDescriptor.writeAddress(fd, Buffer.memoryAddress0(data), offset + written, offset + length);
                if (result == -Run.EAGAIN) {
                    break;
                }
                if (result < 0) {
                    lost("write: " + ErrorsStaticallyReferencedJniMethods.strError(-result));
                    return;
                }
                written += result;
                progressAt = System.nanoTime();
            }
            while (read < length) {
                int result = FileDescriptor.read(fd, in, read, length);
                if (result == -Run.EAGAIN) {
                    return;
                }
                if (result <= 0) {
                    lost(result == 0 ? "end of stream in the middle of an echo"
                            : "read: " + ErrorsStaticallyReferencedJniMethods.strError(-result));
                    return;
                }
                read += result;
                progressAt = System.nanoTime();
            }
            if (Net.crc(data, offset, offset + length) != Net.crc(in, 0, length)) {
                totals.corrupted.incrementAndGet();
            }
            totals.roundTrips.incrementAndGet();
            totals.bytes.addAndGet(length);
            switch (draining ? 0 : random.nextInt(10)) {
                case 0 -> done();
                case 1 -> {
                    totals.halfCloses.incrementAndGet();
                    halfClosed = true;
                    progressAt = System.nanoTime();
                    Run.ok(Socket.shutdown(fd, false, true), "shutdown");
                    ready(Kq.READ, (short) 0);
                }
                case 2 -> {
                    totals.resets.incrementAndGet();
                    Socket.setSoLinger(fd, 0);
                    done();
                }
                default -> next();
            }
        }

        private void lost(String what) {
            fail("client: " + what);
            done();
        }

        private void done() {
            ownClients--;
            close(fd);
        }
    }

    private void sendDatagram() {
        if (udpSender < 0 || draining) {
            return;
        }
        if (udpOutstanding >= 0) {
            if (System.nanoTime() - udpSentAt > 2_000_000_000L) {
                fail("datagram of " + udpOutstanding + " bytes not received in 2 s");
                udpOutstanding = -1;
            }
            return;
        }
        int length = 1 + random.nextInt(1400);
        int offset = random.nextInt(data.capacity() - length);
        int sent = Socket.sendToAddress(udpSender, false, Buffer.memoryAddress0(data), offset, offset + length, Net.IPV4,
                0, udpPort);
        if (sent != length) {
            fail("sendToAddress: " + sent + " of " + length);
            return;
        }
        udpOffset = offset;
        udpOutstanding = length;
        udpSentAt = System.nanoTime();
    }

    private int udpOffset;

    private void receiveDatagrams() {
        DatagramSocketAddress from;
        while ((from = Socket.recvFrom(udpReceiver, udpIn, 0, udpIn.capacity())) != null) {
            if (from.receivedAmount() != udpOutstanding
                    || Net.crc(udpIn, 0, udpOutstanding) != Net.crc(data, udpOffset, udpOffset + udpOutstanding)) {
                totals.corrupted.incrementAndGet();
            }
            totals.datagrams.incrementAndGet();
            udpOutstanding = -1;
        }
    }

    private void closeEverything() {
        for (Integer fd : new ArrayList<>(open)) {
            close(fd);
        }
        if (udpSender >= 0) {
            FileDescriptor.close(udpSender);
        }
        FileDescriptor.close(kq.fd);
    }
}
