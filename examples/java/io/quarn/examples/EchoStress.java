package io.quarn.examples;

import static io.quarn.examples.EventLoop.EAGAIN;
import static io.quarn.examples.EventLoop.EINPROGRESS;
import static io.quarn.examples.EventLoop.EVFILT_READ;
import static io.quarn.examples.EventLoop.EVFILT_WRITE;
import static io.quarn.examples.EventLoop.EV_ADD;
import static io.quarn.examples.EventLoop.EV_CLEAR;

import io.quarn.channel.kqueue.NativeLibraryLoader;
import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * Echo under load: many concurrent connections with random message sizes; clients close
 * cleanly or reset (linger 0) at random and connect again, until the time is up. Every echoed
 * message is compared byte for byte with what was sent.
 */
public final class EchoStress {
    private static final int MAX_MESSAGE = 64 * 1024;

    /** The outcome of a run. */
    public record Result(long connections, long roundTrips, long bytes, long corrupted, long failures,
            long resets, boolean finished) {
        public boolean ok() {
            return corrupted == 0 && failures == 0 && finished;
        }
    }

    private EchoStress() {
    }

    public static void main(String[] args) throws Exception {
        int connections = args.length > 0 ? Integer.parseInt(args[0]) : 1000;
        int seconds = args.length > 1 ? Integer.parseInt(args[1]) : 10;
        String library = System.getProperty("quarn.library");
        if (library != null) {
            System.load(library);
        } else {
            NativeLibraryLoader.load();
        }
        Result result = run(connections, seconds, 42);
        System.out.println(result);
        System.exit(result.ok() ? 0 : 1);
    }

    public static Result run(int concurrent, int seconds, long seed) throws Exception {
        byte[] address = EchoDemo.loopback(false);
        EventLoop serverLoop = new EventLoop();
        EventLoop clientLoop = new EventLoop();
        EchoServer server = new EchoServer(serverLoop, address, false);
        CountDownLatch finished = new CountDownLatch(concurrent);
        List<StressClient> clients = new ArrayList<>();
        Random seeds = new Random(seed);
        for (int i = 0; i < concurrent; i++) {
            clients.add(new StressClient(clientLoop, address, server.port(), seeds.nextLong(), finished::countDown));
        }
        Thread serverThread = new Thread(() -> serverLoop.run(200), "stress-server");
        serverThread.start();
        // Connect from the clients' loop thread, so that every client touches only that thread.
        Thread clientThread = new Thread(() -> {
            for (StressClient client : clients) {
                client.connect();
            }
            clientLoop.run(200);
        }, "stress-clients");
        clientThread.start();
        Thread.sleep(seconds * 1000L);
        for (StressClient client : clients) {
            client.stopRequested = true;
        }
        clientLoop.wakeup();
        boolean allDone = finished.await(30, TimeUnit.SECONDS);
        clientLoop.stop();
        clientThread.join();
        serverLoop.stop();
        serverThread.join();
        for (StressClient client : clients) {
            client.closeIfOpen();
        }
        server.close();
        clientLoop.close();
        serverLoop.close();
        long trips = 0, bytes = 0, corrupted = 0, failures = 0, resets = 0;
        for (StressClient client : clients) {
            trips += client.roundTrips;
            bytes += client.bytes;
            corrupted += client.corrupted;
            failures += client.failures;
            resets += client.resets;
        }
        return new Result(server.accepted.get(), trips, bytes, corrupted, failures, resets, allDone);
    }

    private static final class StressClient implements EventLoop.Handler {
        private final EventLoop loop;
        private final byte[] address;
        private final int port;
        private final Random random;
        private final Runnable onDone;
        private final ByteBuffer out = ByteBuffer.allocateDirect(MAX_MESSAGE);
        private final ByteBuffer in = ByteBuffer.allocateDirect(MAX_MESSAGE);
        private final long outAddress = Buffer.memoryAddress0(out);
        private final long inAddress = Buffer.memoryAddress0(in);
        private final byte[] scratch = new byte[MAX_MESSAGE];
        private int fd = -1;
        private boolean connecting;
        private boolean done;
        private int size;
        private int sent;
        private int received;
        private int tripsLeftOnConnection;
        volatile boolean stopRequested;
        long roundTrips;
        long bytes;
        long corrupted;
        long failures;
        long resets;

        StressClient(EventLoop loop, byte[] address, int port, long seed, Runnable onDone) {
            this.loop = loop;
            this.address = address;
            this.port = port;
            this.random = new Random(seed);
            this.onDone = onDone;
        }

        void connect() {
            fd = Socket.newSocketStreamFd(false);
            if (fd < 0) {
                fail();
                return;
            }
            int result = Socket.connect(fd, false, address, 0, port);
            if (result != 0 && result != -EINPROGRESS) {
                fail();
                return;
            }
            connecting = result != 0;
            tripsLeftOnConnection = 1 + random.nextInt(20);
            short flags = (short) (EV_ADD | EV_CLEAR);
            loop.register(fd, EVFILT_READ, flags, this);
            loop.register(fd, EVFILT_WRITE, flags, this);
            if (!connecting) {
                nextMessage();
            }
        }

        @Override
        public void ready(short filter, short flags, long data) {
            if (done || fd < 0) {
                return;
            }
            if (connecting) {
                if (Socket.finishConnect(fd) != 0) {
                    fail();
                    return;
                }
                connecting = false;
                nextMessage();
            }
            pump();
        }

        private void nextMessage() {
            size = 1 + random.nextInt(random.nextBoolean() ? 512 : MAX_MESSAGE);
            random.nextBytes(scratch);
            out.clear();
            out.put(scratch, 0, size).flip();
            sent = 0;
            received = 0;
        }

        private void pump() {
            boolean progress = true;
            while (progress) {
                progress = false;
                if (sent < size) {
                    int n = FileDescriptor.writeAddress(fd, outAddress, sent, size);
                    if (n > 0) {
                        sent += n;
                        progress = true;
                    } else if (n != -EAGAIN) {
                        fail();
                        return;
                    }
                }
                if (received < sent) {
                    int n = FileDescriptor.readAddress(fd, inAddress, received, size);
                    if (n > 0) {
                        received += n;
                        progress = true;
                    } else if (n != -EAGAIN) {
                        fail();
                        return;
                    }
                }
                if (received == size) {
                    out.clear().limit(size);
                    in.clear().limit(size);
                    if (!out.equals(in)) {
                        corrupted++;
                    }
                    roundTrips++;
                    bytes += size;
                    if (stopRequested) {
                        closeIfOpen();
                        finish();
                        return;
                    }
                    if (--tripsLeftOnConnection == 0) {
                        // Leave: half the time with a reset (linger 0), then connect again.
                        if (random.nextBoolean()) {
                            Socket.setSoLinger(fd, 0);
                            resets++;
                        }
                        closeIfOpen();
                        connect();
                        return;
                    }
                    nextMessage();
                    progress = true;
                }
            }
        }

        /** Counts a failed connection, closes it and ends this client. */
        private void fail() {
            failures++;
            closeIfOpen();
            finish();
        }

        void closeIfOpen() {
            if (fd >= 0) {
                loop.close(fd);
                fd = -1;
            }
        }

        private void finish() {
            if (!done) {
                done = true;
                onDone.run();
            }
        }
    }
}
