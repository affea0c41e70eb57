package io.quarn.examples;

import io.quarn.channel.kqueue.NativeLibraryLoader;
import io.quarn.channel.unix.Socket;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * An echo server and N clients on loopback, each side on its own event loop driven only by the
 * library's natives. Prints a progress line each second and a summary; exits non-zero if any
 * byte was lost or corrupted.
 */
public final class EchoDemo {
    private EchoDemo() {
    }

    public static void main(String[] args) throws Exception {
        int clients = 8;
        int size = 4096;
        int seconds = 5;
        boolean ipv6 = false;
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--clients" -> clients = Integer.parseInt(args[++i]);
                case "--size" -> size = Integer.parseInt(args[++i]);
                case "--seconds" -> seconds = Integer.parseInt(args[++i]);
                case "--ipv6" -> ipv6 = true;
                default -> {
                    System.err.println("usage: EchoDemo [--clients N] [--size BYTES] [--seconds S] [--ipv6]");
                    System.exit(2);
                }
            }
        }
        String library = System.getProperty("quarn.library");
        if (library != null) {
            System.load(library);
        } else {
            NativeLibraryLoader.load();
        }
        Socket.initialize(!ipv6);
        System.exit(run(clients, size, seconds, ipv6) ? 0 : 1);
    }

    static byte[] loopback(boolean ipv6) {
        byte[] address = new byte[16];
        if (ipv6) {
            address[15] = 1;
        } else {
            address[10] = (byte) 0xff;
            address[11] = (byte) 0xff;
            address[12] = 127;
            address[15] = 1;
        }
        return address;
    }

    static boolean run(int clientCount, int size, int seconds, boolean ipv6) throws Exception {
        byte[] address = loopback(ipv6);
        EventLoop serverLoop = new EventLoop();
        EventLoop clientLoop = new EventLoop();
        EchoServer server = new EchoServer(serverLoop, address, ipv6);
        CountDownLatch finished = new CountDownLatch(clientCount);
        List<EchoClient> clients = new ArrayList<>();
        for (int i = 0; i < clientCount; i++) {
            EchoClient client = new EchoClient(clientLoop, size, 0x5eed + i, finished::countDown);
            clients.add(client);
            client.connect(address, ipv6, server.port());
        }
        Thread serverThread = new Thread(() -> serverLoop.run(1000), "echo-server");
        Thread clientThread = new Thread(() -> clientLoop.run(1000), "echo-clients");
        serverThread.start();
        clientThread.start();

        System.out.printf("echo on %s port %d: %d clients, %d-byte messages, %d s%n", ipv6 ? "[::1]" : "127.0.0.1",
                server.port(), clientCount, size, seconds);
        long start = System.nanoTime();
        long lastTrips = 0;
        for (int second = 1; second <= seconds; second++) {
            Thread.sleep(Math.max(0, start + second * 1_000_000_000L - System.nanoTime()) / 1_000_000);
            long trips = clients.stream().mapToLong(c -> c.roundTrips).sum();
            System.out.printf("  %2d s: %d connections, %,d round trips (%,d/s), %,d bytes echoed%n", second,
                    server.accepted.get(), trips, trips - lastTrips, server.bytesEchoed.get());
            lastTrips = trips;
        }
        // Each client always has a message in flight; it stops after the round trip under way.
        for (EchoClient client : clients) {
            client.stopRequested = true;
        }
        boolean allDone = finished.await(10, TimeUnit.SECONDS);
        double elapsed = (System.nanoTime() - start) / 1e9;
        clientLoop.stop();
        clientThread.join();
        serverLoop.stop();
        serverThread.join();
        server.close();
        clientLoop.close();
        serverLoop.close();

        long trips = clients.stream().mapToLong(c -> c.roundTrips).sum();
        long sent = clients.stream().mapToLong(c -> c.bytesSent).sum();
        long received = clients.stream().mapToLong(c -> c.bytesReceived).sum();
        long broken = clients.stream().filter(c -> !c.intact()).count();
        System.out.printf("summary: %d connections, %,d round trips in %.1f s (%,.0f/s), %,d bytes sent, %,d bytes "
                + "echoed back%n", server.accepted.get(), trips, elapsed, trips / elapsed, sent, received);
        for (EchoClient client : clients) {
            if (client.failure != null) {
                System.out.println("  client failed: " + client.failure);
            }
        }
        boolean ok = allDone && broken == 0 && server.accepted.get() == clientCount;
        System.out.println(ok ? "OK: no byte lost or corrupted (checksums equal end to end)"
                : "FAILED: " + broken + " clients lost or corrupted data" + (allDone ? "" : ", clients did not finish"));
        return ok;
    }
}
