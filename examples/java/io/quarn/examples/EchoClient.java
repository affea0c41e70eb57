package io.quarn.examples;

import static io.quarn.examples.EventLoop.EAGAIN;
import static io.quarn.examples.EventLoop.EINPROGRESS;
import static io.quarn.examples.EventLoop.EVFILT_READ;
import static io.quarn.examples.EventLoop.EVFILT_WRITE;
import static io.quarn.examples.EventLoop.EV_ADD;
import static io.quarn.examples.EventLoop.EV_CLEAR;

import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import java.nio.ByteBuffer;
import java.util.Random;
import java.util.zip.CRC32;

/**
 * One echo client: sends a message of random bytes, waits for all of it to come back, and
 * repeats until asked to stop. Every byte sent and received goes into a running checksum.
 */
final class EchoClient implements EventLoop.Handler {
    private final EventLoop loop;
    private final int size;
    private final Random random;
    private final ByteBuffer out;
    private final ByteBuffer in;
    private final long outAddress;
    private final long inAddress;
    private final byte[] scratch;
    private final CRC32 sentChecksum = new CRC32();
    private final CRC32 receivedChecksum = new CRC32();
    private final Runnable onDone;
    private int fd = -1;
    private boolean connecting;
    private boolean done;
    private int sent;
    private int received;
    volatile boolean stopRequested;
    volatile long roundTrips;
    volatile long bytesSent;
    volatile long bytesReceived;
    volatile String failure;

    EchoClient(EventLoop loop, int size, long seed, Runnable onDone) {
        this.loop = loop;
        this.size = size;
        this.random = new Random(seed);
        this.out = ByteBuffer.allocateDirect(size);
        this.in = ByteBuffer.allocateDirect(size);
        this.outAddress = Buffer.memoryAddress0(out);
        this.inAddress = Buffer.memoryAddress0(in);
        this.scratch = new byte[size];
        this.onDone = onDone;
    }

    void connect(byte[] address, boolean ipv6, int port) {
        fd = Checks.fd(Socket.newSocketStreamFd(ipv6), "socket");
        Socket.setTcpNoDelay(fd, 1);
        int result = Socket.connect(fd, ipv6, address, 0, port);
        if (result != 0 && result != -EINPROGRESS) {
            fail("connect: " + result);
            return;
        }
        connecting = result != 0;
        short flags = (short) (EV_ADD | EV_CLEAR);
        loop.register(fd, EVFILT_READ, flags, this);
        loop.register(fd, EVFILT_WRITE, flags, this);
        if (!connecting) {
            nextMessage();
        }
    }

    @Override
    public void ready(short filter, short flags, long data) {
        if (done) {
            return;
        }
        if (connecting) {
            int error = Socket.finishConnect(fd);
            if (error != 0) {
                fail("connect failed: " + error);
                return;
            }
            connecting = false;
            nextMessage();
        }
        pump();
    }

    private void nextMessage() {
        random.nextBytes(scratch);
        out.clear();
        out.put(scratch).flip();
        sentChecksum.update(scratch, 0, size);
        sent = 0;
        received = 0;
    }

    private void pump() {
        boolean progress = true;
        while (progress && !done) {
            progress = false;
            if (sent < size) {
                int n = FileDescriptor.writeAddress(fd, outAddress, sent, size);
                if (n > 0) {
                    sent += n;
                    bytesSent += n;
                    progress = true;
                } else if (n != -EAGAIN) {
                    fail("write: " + n);
                    return;
                }
            }
            if (received < sent) {
                int n = FileDescriptor.readAddress(fd, inAddress, received, size);
                if (n > 0) {
                    received += n;
                    bytesReceived += n;
                    progress = true;
                } else if (n == 0) {
                    fail("the server closed the connection");
                    return;
                } else if (n != -EAGAIN) {
                    fail("read: " + n);
                    return;
                }
            }
            if (received == size) {
                in.clear();
                receivedChecksum.update(in);
                roundTrips++;
                if (stopRequested) {
                    finish();
                    return;
                }
                nextMessage();
                progress = true;
            }
        }
    }

    /** True when everything sent came back, byte for byte by checksum. */
    boolean intact() {
        return failure == null && bytesSent == bytesReceived && sentChecksum.getValue() == receivedChecksum.getValue();
    }

    private void fail(String why) {
        failure = why;
        finish();
    }

    private void finish() {
        if (done) {
            return;
        }
        done = true;
        if (fd >= 0) {
            loop.close(fd);
        }
        onDone.run();
    }
}
