package io.quarn.examples;

import static io.quarn.examples.EventLoop.EAGAIN;
import static io.quarn.examples.EventLoop.EVFILT_READ;
import static io.quarn.examples.EventLoop.EVFILT_WRITE;
import static io.quarn.examples.EventLoop.EV_ADD;
import static io.quarn.examples.EventLoop.EV_CLEAR;

import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import java.nio.ByteBuffer;
import java.util.HashSet;
import java.util.Set;
import java.util.concurrent.atomic.AtomicLong;

/** An echo server on one event loop: accept, then read and write back on direct buffers. */
public final class EchoServer {
    private final EventLoop loop;
    private final int listenFd;
    private final int port;
    private final Set<Connection> connections = new HashSet<>();
    final AtomicLong accepted = new AtomicLong();
    final AtomicLong bytesEchoed = new AtomicLong();

    public EchoServer(EventLoop loop, byte[] address, boolean ipv6) {
        this.loop = loop;
        listenFd = Checks.fd(Socket.newSocketStreamFd(ipv6), "socket");
        try {
            Socket.setReuseAddress(listenFd, 1);
            Checks.ok(Socket.bind(listenFd, ipv6, address, 0, 0), "bind");
            Checks.ok(Socket.listen(listenFd, 4096), "listen");
            byte[] local = Socket.localAddress(listenFd);
            if (local == null) {
                throw new IllegalStateException("getsockname failed on the listening socket");
            }
            port = ((local[local.length - 2] & 0xff) << 8) | (local[local.length - 1] & 0xff);
        } catch (Throwable e) {
            // ClosedChannelException too, which the option natives throw undeclared.
            FileDescriptor.close(listenFd);
            throw e;
        }
        loop.register(listenFd, EVFILT_READ, (short) (EV_ADD | EV_CLEAR), (filter, flags, data) -> acceptAll());
    }

    public int port() {
        return port;
    }

    private void acceptAll() {
        byte[] peer = new byte[25];
        // The listener is edge-triggered: drain it to EAGAIN. A connection aborted before it was
        // accepted fails alone, so go on past failures, a bounded number of them (running out of
        // descriptors fails every time until some are closed).
        int failures = 0;
        for (;;) {
            int fd = Socket.accept(listenFd, peer);
            if (fd == -EAGAIN) {
                return;
            }
            if (fd < 0) {
                if (++failures == 64) {
                    return;
                }
                continue;
            }
            accepted.incrementAndGet();
            try {
                Socket.setTcpNoDelay(fd, 1);
            } catch (Exception e) {
                // The option failed (ChannelException, or ClosedChannelException thrown
                // undeclared): this connection goes, the rest stay.
                FileDescriptor.close(fd);
                continue;
            }
            Connection connection = new Connection(fd);
            connections.add(connection);
            short flags = (short) (EV_ADD | EV_CLEAR);
            loop.register(fd, EVFILT_READ, flags, connection);
            loop.register(fd, EVFILT_WRITE, flags, connection);
        }
    }

    /** Closes every connection and the listening socket; call on the loop's thread or after it stopped. */
    public void close() {
        for (Connection connection : connections) {
            loop.close(connection.fd);
        }
        connections.clear();
        loop.close(listenFd);
    }

    private final class Connection implements EventLoop.Handler {
        private final int fd;
        private final ByteBuffer buffer = ByteBuffer.allocateDirect(64 * 1024);
        private int pendingStart;
        private int pendingEnd;

        Connection(int fd) {
            this.fd = fd;
        }

        @Override
        public void ready(short filter, short flags, long data) {
            // Edge-triggered: drain until the kernel says EAGAIN, in either direction.
            for (;;) {
                if (pendingStart < pendingEnd) {
                    int written = FileDescriptor.write(fd, buffer, pendingStart, pendingEnd);
                    if (written == -EAGAIN) {
                        return;
                    }
                    if (written < 0) {
                        drop();
                        return;
                    }
                    pendingStart += written;
                    continue;
                }
                int read = FileDescriptor.read(fd, buffer, 0, buffer.capacity());
                if (read == -EAGAIN) {
                    return;
                }
                if (read <= 0) {
                    drop();
                    return;
                }
                bytesEchoed.addAndGet(read);
                pendingStart = 0;
                pendingEnd = read;
            }
        }

        private void drop() {
            connections.remove(this);
            loop.close(fd);
        }
    }
}
