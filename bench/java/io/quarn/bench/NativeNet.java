package io.quarn.bench;

import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import java.io.IOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.StandardSocketOptions;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;

/** Loopback connections for the benchmarks: through the library's natives, and through JDK NIO. */
final class NativeNet {
    private NativeNet() {
    }

    /** ::ffff:127.0.0.1, the form the natives take an IPv4 address in. */
    private static final byte[] LOOPBACK = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (byte) 0xff, (byte) 0xff, 127, 0, 0, 1};

    static int eagain() {
        return ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
    }

    static int check(int result, String what) {
        if (result < 0) {
            throw new IllegalStateException(what + " failed: " + strError(-result));
        }
        return result;
    }

    /**
     * A connected TCP pair over 127.0.0.1 made with the natives: {server, client}, both non-blocking
     * with TCP_NODELAY. A buffer size above 0 is set on both ends before the connection is made.
     */
    static int[] pair(int bufferSize) throws InterruptedException {
        int[] bound = listener(1, bufferSize);
        int listener = bound[0];
        int port = bound[1];
        int client = -1;
        try {
            client = check(Socket.newSocketStreamFd(false), "socket");
            if (bufferSize > 0) {
                Socket.setSendBufferSize(client, bufferSize);
                Socket.setReceiveBufferSize(client, bufferSize);
            }
            int connected = Socket.connect(client, false, LOOPBACK, 0, port);
            if (connected < 0 && connected != -ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS()) {
                check(connected, "connect");
            }
            byte[] peer = new byte[25];
            int server = Socket.accept(listener, peer);
            for (int tries = 0; server == -eagain() && tries < 5000; tries++) {
                Thread.sleep(1);
                server = Socket.accept(listener, peer);
            }
            check(server, "accept");
            if (Socket.finishConnect(client) != 0) {
                FileDescriptor.close(server);
                throw new IllegalStateException("connect did not complete");
            }
            Socket.setTcpNoDelay(client, 1);
            Socket.setTcpNoDelay(server, 1);
            int[] pair = {server, client};
            client = -1;
            return pair;
        } finally {
            FileDescriptor.close(listener);
            if (client >= 0) {
                FileDescriptor.close(client);
            }
        }
    }

    /** A non-blocking socket listening on 127.0.0.1 with the given backlog: {descriptor, port}. */
    static int[] listener(int backlog) {
        return listener(backlog, 0);
    }

    // Buffer sizes go on the listener before the connection is made, so that accepted sockets
    // inherit them and the window scale agrees with them.
    private static int[] listener(int backlog, int bufferSize) {
        Socket.initialize(true);
        int listener = check(Socket.newSocketStreamFd(false), "socket");
        try {
            if (bufferSize > 0) {
                Socket.setSendBufferSize(listener, bufferSize);
                Socket.setReceiveBufferSize(listener, bufferSize);
            }
            check(Socket.bind(listener, false, LOOPBACK, 0, 0), "bind");
            check(Socket.listen(listener, backlog), "listen");
            byte[] local = Socket.localAddress(listener);
            int port = ((local[local.length - 2] & 0xff) << 8) | (local[local.length - 1] & 0xff);
            return new int[] {listener, port};
        } catch (RuntimeException e) {
            FileDescriptor.close(listener);
            throw e;
        }
    }

    static String strError(int errno) {
        return ErrorsStaticallyReferencedJniMethods.strError(errno);
    }

    /** The same pair through NIO: {server, client}, both non-blocking with TCP_NODELAY. */
    static SocketChannel[] nioPair(int bufferSize) throws IOException {
        try (ServerSocketChannel listener = ServerSocketChannel.open()) {
            if (bufferSize > 0) {
                listener.setOption(StandardSocketOptions.SO_RCVBUF, bufferSize);
            }
            listener.bind(new InetSocketAddress(InetAddress.getByName("127.0.0.1"), 0), 1);
            SocketChannel client = SocketChannel.open();
            try {
                if (bufferSize > 0) {
                    client.setOption(StandardSocketOptions.SO_SNDBUF, bufferSize);
                    client.setOption(StandardSocketOptions.SO_RCVBUF, bufferSize);
                }
                client.connect(listener.getLocalAddress());
                SocketChannel server = listener.accept();
                if (bufferSize > 0) {
                    server.setOption(StandardSocketOptions.SO_SNDBUF, bufferSize);
                }
                for (SocketChannel channel : new SocketChannel[] {server, client}) {
                    channel.setOption(StandardSocketOptions.TCP_NODELAY, true);
                    channel.configureBlocking(false);
                }
                return new SocketChannel[] {server, client};
            } catch (IOException | RuntimeException e) {
                client.close();
                throw e;
            }
        }
    }
}
