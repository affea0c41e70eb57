package io.quarn.examples;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.test.NativeLibrary;
import io.quarn.hardening.DescriptorCount;
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
    void demoEchoesWithoutLoss() throws Exception {
        assertTrue(EchoDemo.run(4, 4096, 1, false));
    }
}
