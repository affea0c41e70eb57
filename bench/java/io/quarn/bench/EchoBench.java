package io.quarn.bench;

import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.examples.EventLoop;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.SelectionKey;
import java.nio.channels.Selector;
import java.nio.channels.SocketChannel;

/**
 * Echo round trips of 64 bytes on one loopback connection, client and server on one event loop in
 * one thread: the client writes a message, the server echoes what it reads, the client waits for
 * all of it before it sends the next. Every variant does the same calls per round trip (two waits,
 * two reads, two writes): the library's natives on the demo's event loop (the kqueue layer, change
 * records written with evSet, edge-triggered), JDK NIO (a Selector and non-blocking
 * SocketChannels), and a C loop on epoll.
 */
final class EchoBench {
    private static final String NAME = "64-byte echo round trips";
    private static final String COMPARES = "natives + kqueue layer vs JDK NIO Selector vs raw C epoll (one thread)";
    private static final int SIZE = 64;
    // Each slice opens its own connections; the timed part is the round trips only.
    private static final int SLICES = 6;
    private static final long DEADLINE_NANOS = 30_000_000_000L;

    private EchoBench() {
    }

    static void run(int rounds, int trips) {
        try {
            Rounds r = new Rounds(1, rounds, new String[] {"natives", "NIO", "C", "C+FIONREAD"}, Rounds.slices(SLICES,
                    () -> natives(trips), () -> nio(trips), () -> c(trips, false), () -> c(trips, true)));
            double natives = 1e9 / r.median(0);
            double nio = 1e9 / r.median(1);
            double c = 1e9 / r.median(2);
            double cFionread = 1e9 / r.median(3);
            // The figures are nanoseconds per round trip; rates are their inverse, so ratios swap.
            double vsC = r.ratio(2, 0);
            double vsNio = r.ratio(1, 0);
            Report.line("echo: natives %.0f, NIO %.0f, C epoll %.0f, C epoll + FIONREAD %.0f round trips/s; "
                    + "natives/C %.3f, natives/NIO %.3f, C/NIO %.3f, natives/(C + FIONREAD) %.3f", natives, nio, c,
                    cFionread, vsC, vsNio, r.ratio(1, 2), r.ratio(3, 0));
            String figures = Report.fmt("natives %.0f, NIO %.0f, C %.0f, C + FIONREAD %.0f round trips/s", natives, nio,
                    c, cFionread);
            Report.atLeast(NAME + " vs raw C", "natives + kqueue layer vs raw C epoll", figures, vsC, 0.95);
            // The targets against NIO are the many-connection echo's (ScalingBench), from 10 connections up.
            Report.row(NAME + " vs NIO", "natives + kqueue layer vs JDK NIO Selector", figures,
                    Report.fmt("%.3f", vsNio), "none (reported)", "-");
            Report.row(NAME + ", raw C vs NIO", "raw C epoll vs JDK NIO Selector (the most any Java loop could gain)",
                    figures, Report.fmt("%.3f", r.ratio(1, 2)), "none (reported)", "-");
            Report.row(NAME + " vs C + FIONREAD", "natives + kqueue layer vs C epoll with the layer's FIONREAD per event",
                    figures, Report.fmt("%.3f", r.ratio(3, 0)), "none (reported)", "-");
        } catch (Throwable t) {
            Report.skipped(NAME, COMPARES, t);
        }
    }

    /** Nanoseconds per round trip on the natives and the demo's event loop. */
    static double natives(int trips) throws Exception {
        int[] pair = NativeNet.pair(0);
        int server = pair[0];
        int client = pair[1];
        try (EventLoop loop = new EventLoop()) {
            ByteBuffer relay = ByteBuffer.allocateDirect(64 * 1024);
            ByteBuffer message = ByteBuffer.allocateDirect(SIZE);
            ByteBuffer echoed = ByteBuffer.allocateDirect(SIZE);
            long relayAddress = Buffer.memoryAddress0(relay);
            long messageAddress = Buffer.memoryAddress0(message);
            long echoedAddress = Buffer.memoryAddress0(echoed);
            int eagain = NativeNet.eagain();
            int[] state = new int[2]; // round trips done, bytes of the current echo received
            short flags = (short) (EventLoop.EV_ADD | EventLoop.EV_CLEAR);
            // Edge-triggered: a read shorter than asked for has emptied the socket, so one read per
            // event is enough, as in the level-triggered C and NIO loops.
            loop.register(server, EventLoop.EVFILT_READ, flags, (filter, f, data) -> {
                int n = FileDescriptor.readAddress(server, relayAddress, 0, relay.capacity());
                if (n == -eagain) {
                    return;
                }
                if (n <= 0 || FileDescriptor.writeAddress(server, relayAddress, 0, n) != n) {
                    throw new IllegalStateException("server read or write failed: " + n);
                }
            });
            loop.register(client, EventLoop.EVFILT_READ, flags, (filter, f, data) -> {
                int n = FileDescriptor.readAddress(client, echoedAddress, state[1], SIZE);
                if (n == -eagain) {
                    return;
                }
                if (n <= 0) {
                    throw new IllegalStateException("client read failed: " + n);
                }
                state[1] += n;
                if (state[1] == SIZE) {
                    if (echoed.get(0) != message.get(0)) {
                        throw new IllegalStateException("echo corrupted");
                    }
                    state[1] = 0;
                    state[0]++;
                    message.put(0, (byte) state[0]);
                    if (state[0] < trips && FileDescriptor.writeAddress(client, messageAddress, 0, SIZE) != SIZE) {
                        throw new IllegalStateException("client write failed");
                    }
                }
            });
            // The registrations reach the kernel with the first wait; do it before the clock starts.
            loop.runOnce(0);
            long start = System.nanoTime();
            long deadline = start + DEADLINE_NANOS;
            message.put(0, (byte) 0);
            if (FileDescriptor.writeAddress(client, messageAddress, 0, SIZE) != SIZE) {
                throw new IllegalStateException("client write failed");
            }
            while (state[0] < trips) {
                loop.runOnce(1000);
                if (System.nanoTime() > deadline) {
                    throw new IllegalStateException("echo on the natives timed out");
                }
            }
            return (double) (System.nanoTime() - start) / trips;
        } finally {
            FileDescriptor.close(server);
            FileDescriptor.close(client);
        }
    }

    /** Nanoseconds per round trip on a JDK Selector with non-blocking SocketChannels. */
    static double nio(int trips) throws IOException {
        SocketChannel[] pair = NativeNet.nioPair(0);
        SocketChannel server = pair[0];
        SocketChannel client = pair[1];
        try (Selector selector = Selector.open(); server; client) {
            ByteBuffer relay = ByteBuffer.allocateDirect(64 * 1024);
            ByteBuffer message = ByteBuffer.allocateDirect(SIZE);
            ByteBuffer echoed = ByteBuffer.allocateDirect(SIZE);
            SelectionKey serverKey = server.register(selector, SelectionKey.OP_READ);
            client.register(selector, SelectionKey.OP_READ);
            // The registrations reach the kernel with the first select; do it before the clock
            // starts, as the natives do.
            selector.selectNow();
            int[] state = new int[1];
            long start = System.nanoTime();
            long deadline = start + DEADLINE_NANOS;
            message.clear().put(0, (byte) 0);
            if (client.write(message) != SIZE) {
                throw new IllegalStateException("client write failed");
            }
            while (state[0] < trips) {
                // The allocation-free form of select: no selected-key set to iterate and clear.
                selector.select(key -> {
                    try {
                        if (key == serverKey) {
                            relay.clear();
                            int n = server.read(relay);
                            if (n < 0) {
                                throw new IllegalStateException("server read failed");
                            }
                            relay.flip();
                            server.write(relay);
                        } else {
                            int n = client.read(echoed);
                            if (n < 0) {
                                throw new IllegalStateException("client read failed");
                            }
                            if (!echoed.hasRemaining()) {
                                if (echoed.get(0) != message.get(0)) {
                                    throw new IllegalStateException("echo corrupted");
                                }
                                echoed.clear();
                                state[0]++;
                                message.clear().put(0, (byte) state[0]);
                                if (state[0] < trips && client.write(message) != SIZE) {
                                    throw new IllegalStateException("client write failed");
                                }
                            }
                        }
                    } catch (IOException e) {
                        throw new IllegalStateException(e);
                    }
                }, 1000);
                if (System.nanoTime() > deadline) {
                    throw new IllegalStateException("echo on NIO timed out");
                }
            }
            return (double) (System.nanoTime() - start) / trips;
        }
    }

    /** Nanoseconds per round trip of the C epoll loop, with or without the layer's FIONREAD per event. */
    static double c(int trips, boolean bytesReadable) {
        long ns = Baselines.echoEpoll(trips, SIZE, bytesReadable);
        NativeNet.check((int) Math.max(Math.min(ns, 0), Integer.MIN_VALUE), "echo in C");
        return (double) ns / trips;
    }
}
