package io.quarn.faults;

import io.quarn.channel.kqueue.Native;
import io.quarn.hardening.DescriptorCount;
import io.quarn.test.NativeLibrary;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.SplittableRandom;

/**
 * Child-JVM entry of the churn soak: a few event loops ({@link ChurnWorker}) with connections
 * opened and closed at random for a number of seconds while another thread triggers their user
 * events. Fails when a byte is lost or corrupted, a client stops making progress or is still open
 * after draining, a trigger is never delivered, a loop reports a failure, the descriptor count does
 * not come back, the library's allocations grow with the connections, or resident memory
 * grows after the warm-up by more than 2 %.
 *
 * Argument: the seconds to run. Run it with a fixed, pre-touched heap (-Xms = -Xmx,
 * -XX:+AlwaysPreTouch) so that resident memory measures native growth.
 */
public final class ChurnSoak {
    private static final int LOOPS = 4;
    private static final int CLIENTS = 24;
    /** A connection is two sockets and their registrations; a leak of 64 bytes a socket is 128. */
    private static final int LEAK_BYTES_PER_CONNECTION = 8;

    private ChurnSoak() {
    }

    public static void main(String[] args) throws Exception {
        int seconds = Integer.parseInt(args[0]);
        NativeLibrary.load();
        ByteBuffer data = Net.data(256 * 1024, 99);
        Path directory = NativeLibrary.workDir();
        // The JDK makes a descriptor of its own the first time a file channel reads (the socket
        // pair it closes descriptors over): let that happen before counting.
        residentBytes();
        Map<Integer, String> before = DescriptorCount.snapshot();
        ChurnWorker.Totals totals = new ChurnWorker.Totals();
        ChurnWorker[] workers = new ChurnWorker[LOOPS];
        for (int i = 0; i < LOOPS; i++) {
            workers[i] = new ChurnWorker(i, totals, data, 0x5eed + i, CLIENTS, directory);
        }
        List<Thread> threads = new ArrayList<>();
        for (ChurnWorker worker : workers) {
            worker.peers(workers);
            threads.add(new Thread(worker, "churn-" + threads.size()));
        }
        threads.forEach(Thread::start);
        long[] triggered = new long[1];
        volatileStop = false;
        Thread trigger = new Thread(() -> {
            SplittableRandom random = new SplittableRandom(7);
            while (!volatileStop) {
                ChurnWorker worker = workers[random.nextInt(LOOPS)];
                worker.triggered.incrementAndGet();
                int result = Native.keventTriggerUserEvent(worker.kq.fd, ChurnWorker.WAKE);
                if (result < 0) {
                    totals.failures.add("keventTriggerUserEvent: " + result);
                }
                triggered[0]++;
                try {
                    Thread.sleep(1);
                } catch (InterruptedException e) {
                    return;
                }
            }
        }, "churn-trigger");
        trigger.start();

        // Resident memory is sampled every 200 ms; the median of the first ten samples after the
        // warm-up is compared with that of the last ten, so that a collection or a burst of
        // compilation at either end does not count. The bytes the library holds from the C
        // allocator (the fault injector, preloaded and never armed, counts its allocations and
        // frees, the kqueue layer's among them) are sampled with the connections opened so far:
        // their growth per connection, fitted over every sample, finds a leak of a few bytes a
        // socket that the JVM's resident memory hides.
        long warmUp = Math.max(8, seconds / 2);
        Thread.sleep(warmUp * 1000);
        int descriptorsWarm = DescriptorCount.snapshot().size();
        long peakDescriptors = descriptorsWarm;
        List<Long> resident = new ArrayList<>();
        List<long[]> allocated = new ArrayList<>();
        long end = System.nanoTime() + (seconds - warmUp) * 1_000_000_000L;
        while (System.nanoTime() < end || resident.size() < 20) {
            resident.add(residentBytes());
            allocated.add(new long[] {totals.connections.get(), FaultControl.heldBytes()});
            peakDescriptors = Math.max(peakDescriptors, DescriptorCount.snapshot().size());
            Thread.sleep(200);
        }
        long rssWarm = median(resident.subList(0, 10));
        long rssEnd = median(resident.subList(resident.size() - 10, resident.size()));

        for (ChurnWorker worker : workers) {
            worker.drain();
        }
        long drainEnd = System.nanoTime() + 10_000_000_000L;
        while (System.nanoTime() < drainEnd && java.util.Arrays.stream(workers).anyMatch(w -> w.clients() > 0)) {
            Thread.sleep(10);
        }
        for (ChurnWorker worker : workers) {
            if (worker.clients() > 0) {
                totals.failures.add(worker.clients() + " clients still open 10 s after draining began");
            }
        }
        volatileStop = true;
        trigger.join();
        // The last trigger of each loop is delivered, and seen to come after every earlier one.
        long deliveredEnd = System.nanoTime() + 2_000_000_000L;
        while (System.nanoTime() < deliveredEnd
                && java.util.Arrays.stream(workers).anyMatch(w -> w.delivered != w.triggered.get())) {
            Thread.sleep(10);
        }
        for (ChurnWorker worker : workers) {
            if (worker.delivered != worker.triggered.get()) {
                totals.failures.add("user event trigger " + worker.triggered.get() + " of a loop never delivered (last"
                        + " delivery saw " + worker.delivered + ")");
            }
        }
        for (ChurnWorker worker : workers) {
            worker.stop();
        }
        for (Thread thread : threads) {
            thread.join(10_000);
            if (thread.isAlive()) {
                totals.failures.add(thread.getName() + " did not stop in 10 s");
            }
        }
        for (ChurnWorker worker : workers) {
            Files.deleteIfExists(Path.of(new String(worker.localPath, java.nio.charset.StandardCharsets.UTF_8)));
        }
        Map<Integer, String> left = DescriptorCount.addedSince(before);
        double growth = 100.0 * (rssEnd - rssWarm) / rssWarm;
        double perConnection = slope(allocated);
        // Each loop's clients and their accepted ends, listeners, kqueues and the JVM's own.
        long descriptorBound = before.size() + LOOPS * (2L * CLIENTS + 4) + 16;
        System.out.printf("soak: %d s, %d loops, %d connections (%d local), %d round trips, %.1f MB, %d half-closes,"
                + " %d resets, %d datagrams, user events %d triggered %d delivered, corrupted %d, failures %d,"
                + " descriptors %d before, %d after warm-up, peak %d, %d left, resident %.1f MB after warm-up,"
                + " %.1f MB at the end (%+.2f %%), library allocations %.3f MB after warm-up, %+.2f bytes per connection%n",
                seconds, LOOPS, totals.connections.get(), totals.local.get(),
                totals.roundTrips.get(), totals.bytes.get() / 1e6, totals.halfCloses.get(), totals.resets.get(),
                totals.datagrams.get(), triggered[0], totals.wakeups.get(), totals.corrupted.get(),
                totals.failures.size(), before.size(), descriptorsWarm, peakDescriptors, left.size(), rssWarm / 1e6,
                rssEnd / 1e6, growth, allocated.get(0)[1] / 1e6, perConnection);
        List<String> problems = new ArrayList<>(totals.failures.subList(0, Math.min(20, totals.failures.size())));
        if (totals.corrupted.get() > 0) {
            problems.add(totals.corrupted.get() + " corrupted messages");
        }
        if (!left.isEmpty()) {
            problems.add("descriptors left open: " + left + describeSockets(left.values()));
        }
        if (peakDescriptors > descriptorBound) {
            problems.add("descriptor count reached " + peakDescriptors + ", more than the " + descriptorBound
                    + " the connections explain");
        }
        if (perConnection > LEAK_BYTES_PER_CONNECTION) {
            problems.add(String.format("the library's allocations grew by %.1f bytes per connection (limit %d)",
                    perConnection, LEAK_BYTES_PER_CONNECTION));
        }
        if (growth > 2.0) {
            problems.add(String.format("resident memory grew by %.2f %% after the warm-up", growth));
        }
        if (totals.roundTrips.get() == 0 || totals.datagrams.get() == 0 || totals.wakeups.get() == 0
                || totals.halfCloses.get() == 0 || totals.resets.get() == 0 || totals.local.get() == 0) {
            problems.add("some kind of traffic never happened");
        }
        for (String problem : problems) {
            System.out.println("FINDING soak: " + problem);
        }
        System.exit(problems.isEmpty() ? 0 : 1);
    }

    private static volatile boolean volatileStop;

    /** The kernel's lines for the sockets among the descriptors, to tell what was left open. */
    private static String describeSockets(java.util.Collection<String> targets) throws IOException {
        StringBuilder result = new StringBuilder();
        for (String table : new String[] {"tcp", "tcp6", "udp", "unix"}) {
            for (String line : Files.readAllLines(Path.of("/proc/net/" + table))) {
                for (String target : targets) {
                    String inode = target.replaceAll("\\D", "");
                    if (!inode.isEmpty() && line.matches(".*\\s" + inode + "(\\s.*)?")) {
                        result.append("\n    ").append(table).append(": ").append(line.trim());
                    }
                }
            }
        }
        return result.toString();
    }

    /** Least-squares slope of bytes in use against connections opened, over {connections, bytes} samples. */
    private static double slope(List<long[]> samples) {
        double n = samples.size();
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (long[] sample : samples) {
            double x = sample[0] - samples.get(0)[0];
            double y = sample[1] - samples.get(0)[1];
            sx += x;
            sy += y;
            sxx += x * x;
            sxy += x * y;
        }
        double spread = n * sxx - sx * sx;
        return spread == 0 ? 0 : (n * sxy - sx * sy) / spread;
    }

    private static long median(List<Long> samples) {
        List<Long> sorted = new ArrayList<>(samples);
        java.util.Collections.sort(sorted);
        return sorted.get(sorted.size() / 2);
    }

    private static long residentBytes() throws IOException {
        String[] fields = Files.readString(Path.of("/proc/self/statm")).trim().split(" ");
        return Long.parseLong(fields[1]) * 4096;
    }
}
