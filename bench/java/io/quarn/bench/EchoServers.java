package io.quarn.bench;

import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import io.quarn.examples.EventLoop;
import java.io.IOException;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.VarHandle;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.StandardSocketOptions;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.SelectionKey;
import java.nio.channels.Selector;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.util.function.Consumer;

/**
 * The echo servers of the many-connection benchmark: one event loop on one thread, echoing whatever
 * each ready connection holds. The variants are the library's natives on the demo's event loop, JDK
 * NIO, and C epoll loops with and without the layer's FIONREAD. Each counts its waits and the
 * events they returned, published after every wait for the harness to read from another thread.
 */
final class EchoServers {
    static final int BACKLOG = 4096;
    private static final int RELAY = 64 * 1024;
    // Changes queued before a wait submits them: what the demo's loop holds without growing its list.
    private static final int REGISTRATION_BATCH = 512;
    private static final int WAIT_MILLIS = 100;

    private EchoServers() {
    }

    /** One variant's server. Accepting and registering run on the harness's thread, serve() on its own. */
    abstract static class Server implements AutoCloseable {
        private static final VarHandle WAITS;
        private static final VarHandle EVENTS;

        static {
            try {
                WAITS = MethodHandles.lookup().findVarHandle(Server.class, "waits", long.class);
                EVENTS = MethodHandles.lookup().findVarHandle(Server.class, "events", long.class);
            } catch (ReflectiveOperationException e) {
                throw new ExceptionInInitializerError(e);
            }
        }

        volatile boolean stopped;
        private long waits;
        private long events;

        abstract int port();

        /** Accepts one connection if one is waiting; false when none is. */
        abstract boolean acceptOne() throws IOException;

        /** Registers every accepted connection with the loop, before serve() starts. */
        abstract void register() throws IOException;

        /** The loop, until stop(). */
        abstract void serve() throws Exception;

        void stop() {
            stopped = true;
        }

        /** Called by the loop after every wait; plain stores, ordered but without a fence. */
        final void counted(int ready) {
            WAITS.setOpaque(this, waits + 1);
            EVENTS.setOpaque(this, events + ready);
        }

        long waits() {
            return (long) WAITS.getOpaque(this);
        }

        long events() {
            return (long) EVENTS.getOpaque(this);
        }
    }

    static Server create(String variant, int connections) throws IOException {
        return switch (variant) {
            case "natives" -> new Natives(connections);
            case "NIO" -> new Nio(connections);
            case "C" -> new C(connections, false, false);
            case "C+FIONREAD" -> new C(connections, true, false);
            case "C ET+FIONREAD" -> new C(connections, true, true);
            default -> throw new IllegalArgumentException(variant);
        };
    }

    /** Connections accepted with the natives, as plain descriptors (the natives and the C loops). */
    private abstract static class Descriptors extends Server {
        final int[] listener = NativeNet.listener(BACKLOG);
        final int[] fds;
        int accepted;
        private final byte[] peer = new byte[25];

        Descriptors(int connections) {
            fds = new int[connections];
        }

        @Override
        int port() {
            return listener[1];
        }

        @Override
        boolean acceptOne() {
            int fd = Socket.accept(listener[0], peer);
            if (fd == -NativeNet.eagain()) {
                return false;
            }
            fds[accepted++] = NativeNet.check(fd, "accept");
            Socket.setTcpNoDelay(fd, 1);
            return true;
        }

        @Override
        public void close() {
            for (int i = 0; i < accepted; i++) {
                FileDescriptor.close(fds[i]);
            }
            FileDescriptor.close(listener[0]);
        }
    }

    /** The natives on the demo's event loop: edge-triggered read knotes, an event list of 1,024 records. */
    private static final class Natives extends Descriptors {
        private final EventLoop loop = new EventLoop();
        private final ByteBuffer relay = ByteBuffer.allocateDirect(RELAY);
        private final long relayAddress = Buffer.memoryAddress0(relay);
        private final int eagain = NativeNet.eagain();
        private volatile Throwable failure;

        Natives(int connections) {
            super(connections);
        }

        @Override
        void register() {
            short flags = (short) (EventLoop.EV_ADD | EventLoop.EV_CLEAR);
            for (int i = 0; i < accepted; i++) {
                int fd = fds[i];
                loop.register(fd, EventLoop.EVFILT_READ, flags, (filter, f, data) -> echo(fd));
                if ((i + 1) % REGISTRATION_BATCH == 0) {
                    loop.runOnce(0);
                }
            }
            loop.runOnce(0);
        }

        // Edge-triggered: a read shorter than the relay has emptied the socket, so one read is enough.
        private void echo(int fd) {
            int n = FileDescriptor.readAddress(fd, relayAddress, 0, RELAY);
            if (n > 0) {
                int written = FileDescriptor.writeAddress(fd, relayAddress, 0, n);
                if (written != n) {
                    failure = new IllegalStateException("short echo: " + written + " of " + n);
                }
            }
            // A connection that ended reports no more edges; the harness closes it.
        }

        @Override
        void serve() {
            while (!stopped) {
                counted(loop.runOnce(WAIT_MILLIS));
            }
            if (failure != null) {
                throw new IllegalStateException(failure);
            }
        }

        @Override
        void stop() {
            super.stop();
            loop.wakeup();
        }

        @Override
        public void close() {
            super.close();
            loop.close();
        }
    }

    /** JDK NIO: a Selector, level-triggered, with the allocation-free select(Consumer). */
    private static final class Nio extends Server {
        private final Selector selector = Selector.open();
        private final ServerSocketChannel listener = ServerSocketChannel.open();
        private final SocketChannel[] channels;
        private int accepted;
        private final ByteBuffer relay = ByteBuffer.allocateDirect(RELAY);
        private final Consumer<SelectionKey> echo = this::echo;

        Nio(int connections) throws IOException {
            channels = new SocketChannel[connections];
            try {
                listener.bind(new InetSocketAddress(InetAddress.getByName("127.0.0.1"), 0), BACKLOG);
                listener.configureBlocking(false);
            } catch (IOException | RuntimeException e) {
                close();
                throw e;
            }
        }

        @Override
        int port() {
            try {
                return ((InetSocketAddress) listener.getLocalAddress()).getPort();
            } catch (IOException e) {
                throw new IllegalStateException(e);
            }
        }

        @Override
        boolean acceptOne() throws IOException {
            SocketChannel channel = listener.accept();
            if (channel == null) {
                return false;
            }
            channels[accepted++] = channel;
            channel.configureBlocking(false);
            channel.setOption(StandardSocketOptions.TCP_NODELAY, true);
            return true;
        }

        @Override
        void register() throws IOException {
            for (int i = 0; i < accepted; i++) {
                channels[i].register(selector, SelectionKey.OP_READ);
            }
            selector.selectNow();
        }

        private void echo(SelectionKey key) {
            SocketChannel channel = (SocketChannel) key.channel();
            try {
                relay.clear();
                if (channel.read(relay) < 0) {
                    key.cancel();
                    return;
                }
                relay.flip();
                channel.write(relay);
                if (relay.hasRemaining()) {
                    throw new IllegalStateException("short echo");
                }
            } catch (IOException e) {
                // The peer is gone: stop watching it; the harness closes it.
                key.cancel();
            }
        }

        @Override
        void serve() throws IOException {
            while (!stopped) {
                counted(selector.select(echo, WAIT_MILLIS));
            }
        }

        @Override
        void stop() {
            super.stop();
            selector.wakeup();
        }

        @Override
        public void close() throws IOException {
            for (int i = 0; i < accepted; i++) {
                channels[i].close();
            }
            listener.close();
            selector.close();
        }
    }

    /**
     * A C epoll loop (bench/jni/baselines.cpp), optionally with one FIONREAD per read event, level-
     * or edge-triggered (then read until a read comes back short, as the natives' loop does).
     */
    private static final class C extends Descriptors {
        private final boolean bytesReadable;
        private final boolean edge;
        // Slot 0: stop; slot 8: waits; slot 9: events (64-bit, native order).
        private final ByteBuffer control = ByteBuffer.allocateDirect(128).order(ByteOrder.nativeOrder());

        C(int connections, boolean bytesReadable, boolean edge) {
            super(connections);
            this.bytesReadable = bytesReadable;
            this.edge = edge;
        }

        @Override
        void register() {
            // The C loop registers the descriptors itself when it starts.
        }

        @Override
        void serve() {
            NativeNet.check(Baselines.echoServe(fds, accepted, bytesReadable, edge, Buffer.memoryAddress0(control)),
                    "the C echo server");
        }

        @Override
        void stop() {
            super.stop();
            control.putLong(0, 1);
        }

        @Override
        long waits() {
            return control.getLong(64);
        }

        @Override
        long events() {
            return control.getLong(72);
        }
    }
}
