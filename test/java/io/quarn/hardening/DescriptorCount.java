package io.quarn.hardening;

import io.quarn.test.NoDescriptorLeaks;
import java.io.IOException;
import java.util.Map;
import java.util.TreeMap;

/**
 * Open descriptors before and after a loop. The JVM itself opens files for a moment now and
 * then (its container limits under /sys/fs/cgroup, say), so only descriptors that appeared
 * and stay count as left behind, and a descriptor that was open before may have closed since.
 */
public final class DescriptorCount {
    private DescriptorCount() {
    }

    public static Map<Integer, String> snapshot() throws IOException {
        return NoDescriptorLeaks.openDescriptors();
    }

    /** The descriptors open now that were not open before, after up to a second for stragglers. */
    public static Map<Integer, String> addedSince(Map<Integer, String> before)
            throws IOException, InterruptedException {
        Map<Integer, String> added = new TreeMap<>();
        for (int attempt = 0; attempt < 20; attempt++) {
            added = snapshot();
            added.entrySet().removeIf(entry -> entry.getValue().equals(before.get(entry.getKey())));
            if (added.isEmpty()) {
                break;
            }
            Thread.sleep(50);
        }
        return added;
    }
}
