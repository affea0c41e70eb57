package io.quarn.examples;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.test.NativeLibrary;
import io.quarn.hardening.DescriptorCount;
import io.quarn.hardening.HardeningNatives;
import io.quarn.test.TestNatives;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.Map;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * The demo under load: the echo stress with 1,000 concurrent loopback connections, random
 * message sizes, clients closing and resetting at random; and the demo itself, briefly.
 */
public class EchoLoadTest {
    @BeforeAll
    static void load() {
        NativeLibrary.load();
        TestNatives.load();
    }

    @Test
    void thousandConnectionsLoseAndCorruptNothing() throws Exception {
        Map<Integer, String> before = DescriptorCount.snapshot();
        EchoStress.Result result = EchoStress.run(1000, 4, 0x51ee);
        Map<Integer, String> left = DescriptorCount.addedSince(before);
        Map<Integer, String> after = DescriptorCount.snapshot();
        System.out.printf("echo stress: %,d connections, %,d round trips, %,d bytes echoed, %,d resets, "
                + "%d corrupted, %d failures; descriptors %d before, %d after%n", result.connections(),
                result.roundTrips(), result.bytes(), result.resets(), result.corrupted(), result.failures(),
                before.size(), after.size());
        assertTrue(result.finished(), "clients did not finish: " + result);
        assertEquals(0, result.corrupted(), result.toString());
        assertEquals(0, result.failures(), result.toString());
        assertTrue(result.connections() >= 1000, result.toString());
        assertTrue(result.resets() > 0, result.toString());
        assertEquals(Map.of(), left, "descriptors left by the stress");
    }

    @Test
    void clientLoopUnderASignalStormLosesNothing() throws Exception {
        // The clients' event loop runs on this thread while a C thread signals it every 100 us:
        // its waits are cut short again and again, and every byte must still come back.
        assertTrue(HardeningNatives.installHandler() > 0);
        byte[] address = EchoDemo.loopback(false);
        EventLoop serverLoop = new EventLoop();
        EventLoop clientLoop = new EventLoop();
        EchoServer server = new EchoServer(serverLoop, address, false);
        int count = 8;
        CountDownLatch finished = new CountDownLatch(count);
        List<EchoClient> clients = new ArrayList<>();
        for (int i = 0; i < count; i++) {
            EchoClient client = new EchoClient(clientLoop, 1 << (10 + i), 0xc0ffee + i, finished::countDown);
            clients.add(client);
            client.connect(address, false, server.port());
        }
        Thread serverThread = new Thread(() -> serverLoop.run(100), "storm-echo-server");
        serverThread.start();
        long before = HardeningNatives.delivered();
        assertEquals(0, HardeningNatives.startStorm(HardeningNatives.currentThread(), 100));
        long waits;
        try {
            long start = System.nanoTime();
            while (System.nanoTime() - start < TimeUnit.SECONDS.toNanos(1)) {
                clientLoop.runOnce(50);
            }
            clients.forEach(client -> client.stopRequested = true);
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
            while (finished.getCount() > 0 && System.nanoTime() < deadline) {
                clientLoop.runOnce(50);
            }
            waits = clientLoop.waits();
        } finally {
            HardeningNatives.stopStorm();
            serverLoop.stop();
            serverThread.join();
            server.close();
            clientLoop.close();
            serverLoop.close();
        }
        long delivered = HardeningNatives.delivered() - before;
        long trips = clients.stream().mapToLong(c -> c.roundTrips).sum();
        long bytes = clients.stream().mapToLong(c -> c.bytesReceived).sum();
        System.out.printf("signal storm: %-40s %,7d delivered; %,d waits, %,d round trips, %,d bytes%n",
                "demo event loop, 8 clients, 1 s", delivered, waits, trips, bytes);
        assertEquals(0, finished.getCount(), "clients did not finish");
        for (EchoClient client : clients) {
            assertTrue(client.intact(), "client lost or corrupted data: " + client.failure);
        }
        assertTrue(delivered > 0);
    }

    @Test
    void demoEchoesWithoutLoss() throws Exception {
        assertTrue(EchoDemo.run(4, 4096, 1, false));
    }
}
