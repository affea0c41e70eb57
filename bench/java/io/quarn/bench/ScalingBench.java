package io.quarn.bench;

import java.lang.management.ManagementFactory;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.locks.LockSupport;
import java.util.function.ToDoubleFunction;

/**
 * The many-connection echo: one server event loop thread against a client process that keeps one
 * 64-byte request in flight on each of 1 to 10,000 connections, for a bounded time per point. The
 * server variants (EchoServers) take turns within every round, so that the machine's mood touches
 * them alike; the figures are medians over rounds and the ratios medians of per-round ratios.
 *
 * <p>Per run it reports the client's round trips per second, the server thread's CPU time and the
 * bytes it allocated per round trip (ThreadMXBean), and the events per wait. Runs of their own at
 * 10,000 connections measure memory per connection: the JVM runs with a fixed,
 * pre-touched heap, so that the process's resident memory grows only with native memory, and the
 * Java heap is counted apart as the live heap after a full collection.
 *
 * <p>Two placements: server thread and client on different cores, and both on one core.
 */
final class ScalingBench {
    static final String[] VARIANTS = {"natives", "NIO", "C", "C+FIONREAD", "C ET+FIONREAD"};
    // -Dquarn.bench.scaling.points=100,1000 narrows a run, for profiling one point.
    private static final int[] POINTS = java.util.Arrays.stream(
            System.getProperty("quarn.bench.scaling.points", "1,10,100,1000,10000").split(","))
            .mapToInt(Integer::parseInt).toArray();
    private static final int SIZE = 64;
    private static final int MEMORY_POINT = 10_000;
    private static final int NATIVES = 0;
    private static final int NIO = 1;
    private static final int C_FIONREAD = 3;
    private static final int C_EDGE = 4;
    private static final long SETUP_NANOS = 60_000_000_000L;
    private static final int CLIENT_MAX_SECONDS = 120;
    private static final long PAGE = 4096;

    private static final com.sun.management.ThreadMXBean THREADS =
            (com.sun.management.ThreadMXBean) ManagementFactory.getThreadMXBean();

    record Mode(String name, int serverCore, int clientCore) {
    }

    /** One run's figures. */
    record Figures(double tripsPerSecond, double cpuPerTrip, double eventsPerWait, double allocatedPerTrip) {
    }

    private record Snapshot(long nanos, long trips, long cpu, long allocated, long waits, long events) {
    }

    private final String client;
    private final int rounds;
    private final long warmupMillis;
    private final long windowMillis;
    // {native, heap} bytes per connection, by variant
    private final Map<String, double[]> memory = new LinkedHashMap<>();
    // "mode/connections" -> figures[variant][round]
    private final Map<String, Figures[][]> results = new LinkedHashMap<>();

    private ScalingBench(String client, int rounds, boolean quick) {
        this.client = client;
        this.rounds = rounds;
        this.warmupMillis = quick ? 100 : 400;
        this.windowMillis = quick ? 300 : 1000;
    }

    static void run(String client, int rounds, boolean quick) {
        try {
            if (client == null || !Files.isExecutable(Path.of(client))) {
                throw new IllegalStateException("the client driver is not built: " + client);
            }
            new ScalingBench(client, rounds, quick).runAll();
        } catch (Throwable t) {
            Report.skipped("many-connection echo", "natives vs NIO vs C epoll, 1 to 10,000 connections", t);
        }
    }

    private void runAll() throws Exception {
        long limit = ((com.sun.management.UnixOperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean())
                .getMaxFileDescriptorCount();
        Report.line("many-connection echo: descriptor limit %d (the JVM raises its soft limit to the hard limit); "
                + "%d rounds, %d ms warm-up and %d ms measured per run", limit, rounds, warmupMillis, windowMillis);
        List<Mode> modes = new ArrayList<>();
        if (Runtime.getRuntime().availableProcessors() >= 2) {
            modes.add(new Mode("separate cores", 0, 1));
        }
        modes.add(new Mode("one core", 0, 0));
        // The JIT compiles every variant's loop and accept path before anything is measured (its
        // own memory would otherwise count as the connections').
        for (String variant : new String[] {"NIO", "natives", "C", "C+FIONREAD", "C ET+FIONREAD"}) {
            measure(variant, 2_000, modes.get(0), false);
        }
        // Memory in runs of its own, whose windows a full collection may disturb, and before any
        // timed run at that size: the kqueue layer keeps its table of descriptors from one kqueue
        // to the next, so only the first run that large shows what it costs. NIO goes last: its
        // closed channels were seen to stay reachable until a later run of that size.
        // The measuring itself first, uncounted: the first use of the JVM's management beans
        // loads classes and grows resident memory by about 2 MB, which would count as the
        // connections' of whichever variant came first.
        if (MEMORY_POINT + 256 <= limit) {
            residentAndHeap();
            nativeMemoryTracking("baseline", "none");
            nativeMemoryTracking("summary.diff", "none");
            for (String variant : new String[] {"C", "C+FIONREAD", "natives", "NIO"}) {
                measure(variant, MEMORY_POINT, modes.get(0), true);
            }
        }
        for (Mode mode : modes) {
            for (int connections : POINTS) {
                if (connections + 256 > limit) {
                    Report.line("%d connections: skipped, above the descriptor limit %d", connections, limit);
                    continue;
                }
                runPoint(mode, connections);
            }
        }
        for (Map.Entry<String, double[]> e : memory.entrySet()) {
            double[] m = e.getValue();
            Report.line("MEM|%s|%.0f|%.0f|%.0f", e.getKey(), m[0], m[1], m[0] + m[1]);
        }
        targets(modes);
    }

    private void runPoint(Mode mode, int connections) throws Exception {
        Figures[][] figures = new Figures[VARIANTS.length][rounds];
        for (int round = 0; round < rounds; round++) {
            for (int k = 0; k < VARIANTS.length; k++) {
                int v = (k + round) % VARIANTS.length;
                figures[v][round] = measure(VARIANTS[v], connections, mode, false);
            }
        }
        results.put(key(mode, connections), figures);
        for (int v = 0; v < VARIANTS.length; v++) {
            Figures[] f = figures[v];
            Report.line("SCALE|%s|%d|%s|%.0f|%.0f|%.2f|%.2f", mode.name(), connections, VARIANTS[v],
                    median(f, Figures::tripsPerSecond), median(f, Figures::cpuPerTrip),
                    median(f, Figures::eventsPerWait), median(f, Figures::allocatedPerTrip));
        }
    }

    private static String key(Mode mode, int connections) {
        return mode.name() + "/" + connections;
    }

    /** One run: a fresh server and client, connections made, warm-up, then the measured window. */
    private Figures measure(String variant, int connections, Mode mode, boolean measureMemory) throws Exception {
        long[] before = measureMemory ? residentAndHeap() : null;
        if (measureMemory) {
            nativeMemoryTracking("baseline", variant);
        }
        long setupDeadline = System.nanoTime() + SETUP_NANOS;
        try (EchoServers.Server server = EchoServers.create(variant, connections);
             EchoClientProcess driver = EchoClientProcess.start(client, server.port(), connections, SIZE,
                     mode.clientCore(), CLIENT_MAX_SECONDS)) {
            int accepted = 0;
            while (accepted < connections || !driver.connected()) {
                if (accepted < connections && server.acceptOne()) {
                    accepted++;
                } else if (System.nanoTime() > setupDeadline) {
                    throw new IllegalStateException("connections not made in time: " + accepted + " of " + connections);
                } else {
                    LockSupport.parkNanos(200_000);
                }
            }
            server.register();
            Throwable[] failure = new Throwable[1];
            Thread thread = new Thread(() -> {
                try {
                    NativeNet.check(Baselines.pinThread(mode.serverCore()), "pinning the server thread");
                    server.serve();
                } catch (Throwable t) {
                    failure[0] = t;
                }
            }, "echo-server-" + variant);
            thread.start();
            try {
                driver.go(setupDeadline);
                Thread.sleep(warmupMillis);
                if (measureMemory) {
                    long[] after = residentAndHeap();
                    long unrelated = nativeMemoryTracking("summary.diff", variant);
                    memory.put(variant, new double[] {(double) (after[0] - before[0] - unrelated) / connections,
                        (double) (after[1] - before[1]) / connections});
                }
                Snapshot start = snapshot(thread, server, driver);
                Thread.sleep(windowMillis);
                Snapshot end = snapshot(thread, server, driver);
                if (failure[0] != null || !thread.isAlive()) {
                    throw new IllegalStateException("the " + variant + " server failed", failure[0]);
                }
                double trips = Math.max(1, end.trips() - start.trips());
                return new Figures(trips * 1e9 / (end.nanos() - start.nanos()), (end.cpu() - start.cpu()) / trips,
                        (double) (end.events() - start.events()) / Math.max(1, end.waits() - start.waits()),
                        (end.allocated() - start.allocated()) / trips);
            } finally {
                server.stop();
                thread.join(10_000);
                if (thread.isAlive()) {
                    throw new IllegalStateException("the " + variant + " server did not stop");
                }
            }
        }
    }

    private static Snapshot snapshot(Thread thread, EchoServers.Server server, EchoClientProcess driver) {
        long id = thread.getId();
        return new Snapshot(System.nanoTime(), driver.roundTrips(), THREADS.getThreadCpuTime(id),
                THREADS.getThreadAllocatedBytes(id), server.waits(), server.events());
    }

    // The JVM's own areas that grow with compiling and with a new thread, not with connections.
    private static final java.util.regex.Pattern UNRELATED = java.util.regex.Pattern.compile(
            "-\\s+(Arena Chunk|Compiler|Thread|Code) \\(.*committed=\\d+KB ([+-]\\d+)KB.*");

    /**
     * With -Dquarn.bench.nmt=true and the JVM's native memory tracking on
     * (-XX:NativeMemoryTracking=summary): a baseline before a memory run, and after it the JVM's
     * own account of what grew, printed, and the bytes its compiler and thread areas grew by, which
     * the resident memory's growth also holds but the connections did not cost (0 without it).
     */
    private static long nativeMemoryTracking(String command, String variant) {
        if (!Boolean.getBoolean("quarn.bench.nmt")) {
            return 0;
        }
        long unrelated = 0;
        try {
            Object text = ManagementFactory.getPlatformMBeanServer().invoke(
                    new javax.management.ObjectName("com.sun.management:type=DiagnosticCommand"), "vmNativeMemory",
                    new Object[] {new String[] {command}}, new String[] {String[].class.getName()});
            if (command.startsWith("summary")) {
                for (String line : text.toString().split("\n")) {
                    if (line.contains("committed=") && line.matches(".*committed=\\d+KB [+-]\\d+KB.*")) {
                        Report.line("NMT %s: %s", variant, line.trim());
                    }
                    java.util.regex.Matcher m = UNRELATED.matcher(line.trim());
                    if (m.matches()) {
                        // What the JVM gives back stays resident in the C library's free lists.
                        unrelated += Math.max(0, Long.parseLong(m.group(2).replace("+", ""))) * 1024;
                    }
                }
            }
        } catch (Exception e) {
            Report.line("NMT %s: %s", variant, e);
        }
        return unrelated;
    }

    /**
     * {resident bytes, live Java heap bytes} after full collections. Closed channels are freed only
     * after their cleaners have run, which needs a collection, the cleaner thread, and another one.
     */
    private static long[] residentAndHeap() throws Exception {
        for (int i = 0; i < 3; i++) {
            System.gc();
            Thread.sleep(50);
        }
        long heap = ManagementFactory.getMemoryMXBean().getHeapMemoryUsage().getUsed();
        String[] statm = Files.readString(Path.of("/proc/self/statm")).trim().split(" ");
        return new long[] {Long.parseLong(statm[1]) * PAGE, heap};
    }

    private static double median(Figures[] figures, ToDoubleFunction<Figures> metric) {
        double[] values = new double[figures.length];
        for (int i = 0; i < figures.length; i++) {
            values[i] = metric.applyAsDouble(figures[i]);
        }
        return Rounds.median(values);
    }

    /** The median over rounds of metric(a) / metric(b), each ratio taken within one round. */
    private double ratio(Mode mode, int connections, int a, int b, ToDoubleFunction<Figures> metric) {
        Figures[][] f = results.get(key(mode, connections));
        double[] ratios = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            ratios[r] = metric.applyAsDouble(f[a][r]) / metric.applyAsDouble(f[b][r]);
        }
        return Rounds.median(ratios);
    }

    private void targets(List<Mode> modes) {
        for (Mode mode : modes) {
            String where = ", " + mode.name();
            perPoint(mode, 1, "natives server CPU per round trip vs C + FIONREAD" + where,
                    "natives / C epoll with one FIONREAD per read event (what JNI and the Java loop add)",
                    NATIVES, C_FIONREAD, Figures::cpuPerTrip, false, 1.05);
            perPoint(mode, 1, "natives server CPU per round trip vs C edge-triggered + FIONREAD" + where,
                    "natives / C epoll edge-triggered, one FIONREAD per read event (the natives'"
                            + " system calls: the bound for their loop)", NATIVES, C_EDGE, Figures::cpuPerTrip, false, 0);
            perPoint(mode, 10, "natives round trips/s vs NIO" + where, "natives / JDK NIO select(Consumer)",
                    NATIVES, NIO, Figures::tripsPerSecond, true, 1.00);
            perPoint(mode, 10, "natives server CPU per round trip vs NIO" + where, "natives / JDK NIO select(Consumer)",
                    NATIVES, NIO, Figures::cpuPerTrip, false, 1.00);
            perPoint(mode, 1, "raw C round trips/s vs NIO" + where,
                    "C epoll / JDK NIO (what a Java loop could gain at most)", 2, NIO, Figures::tripsPerSecond, true, 0);
            if (results.containsKey(key(mode, 10)) && results.containsKey(key(mode, 10_000))) {
                Figures[] small = results.get(key(mode, 10))[NATIVES];
                Figures[] large = results.get(key(mode, 10_000))[NATIVES];
                // The same ratio for every variant: what grows for all of them is the kernel's.
                StringBuilder others = new StringBuilder();
                for (int v = 1; v < VARIANTS.length; v++) {
                    others.append(Report.fmt("; %s %.3f", VARIANTS[v], growth(mode, v)));
                }
                Report.atMost("natives server CPU per round trip, 10,000 vs 10 connections" + where,
                        "the same loop with 10,000 and with 10 connections",
                        Report.fmt("natives %.0f vs %.0f ns%s", median(large, Figures::cpuPerTrip),
                                median(small, Figures::cpuPerTrip), others), growth(mode, NATIVES), 1.30);
            }
            allocation(mode);
        }
        Mode one = modes.get(modes.size() - 1);
        if (results.containsKey(key(one, 1_000))) {
            double ratio = ratio(one, 1_000, NATIVES, NIO, Figures::tripsPerSecond);
            Figures[][] f = results.get(key(one, 1_000));
            Report.atLeast("natives round trips/s vs NIO, 1,000 connections, one core", "natives / JDK NIO",
                    Report.fmt("natives %.0f, NIO %.0f round trips/s", median(f[NATIVES], Figures::tripsPerSecond),
                            median(f[NIO], Figures::tripsPerSecond)), ratio, 1.10);
        }
        if (memory.containsKey("natives") && memory.containsKey("NIO")) {
            StringBuilder figures = new StringBuilder();
            for (Map.Entry<String, double[]> e : memory.entrySet()) {
                double[] m = e.getValue();
                figures.append(Report.fmt("%s%s %.0f (native %.0f, heap %.0f)", figures.length() == 0 ? "" : "; ",
                        e.getKey(), m[0] + m[1], m[0], m[1]));
            }
            // What each figure holds: the natives' native bytes are the kqueue layer's entries and the
            // loop's lists, their heap the demo loop's handlers; NIO's heap holds its channel and
            // key objects, and a transport on the natives needs a channel object per connection
            // too. So the totals favour the natives; the native parts compare like with like.
            double[] natives = memory.get("natives");
            double[] nio = memory.get("NIO");
            Report.atMost("memory per connection at 10,000 connections, natives vs NIO",
                    "resident native memory plus live Java heap, bytes per connection (NIO's heap holds its"
                            + " channels and keys; the natives' no channel objects)", figures + " bytes",
                    (natives[0] + natives[1]) / (nio[0] + nio[1]), 1.00);
            Report.row("native memory per connection at 10,000 connections, natives vs NIO",
                    "resident native memory alone: the kqueue layer's entries and the loop's lists vs the"
                            + " selector's", figures + " bytes", Report.fmt("%.3f", natives[0] / nio[0]),
                    "none (reported)", "-");
        }
    }

    /** The median over rounds of a variant's CPU per round trip at 10,000 connections over that at 10. */
    private double growth(Mode mode, int variant) {
        Figures[] small = results.get(key(mode, 10))[variant];
        Figures[] large = results.get(key(mode, 10_000))[variant];
        double[] ratios = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            ratios[r] = large[r].cpuPerTrip() / small[r].cpuPerTrip();
        }
        return Rounds.median(ratios);
    }

    /**
     * One row for a ratio at every point from {@code from} connections up: the figures column lists
     * each point's ratio, the row's ratio is the worst of them. A limit of 0 only reports.
     */
    private void perPoint(Mode mode, int from, String name, String compares, int a, int b,
            ToDoubleFunction<Figures> metric, boolean higherIsBetter, double limit) {
        StringBuilder figures = new StringBuilder();
        double worst = higherIsBetter ? Double.MAX_VALUE : 0;
        for (int connections : POINTS) {
            if (connections < from || !results.containsKey(key(mode, connections))) {
                continue;
            }
            double ratio = ratio(mode, connections, a, b, metric);
            worst = higherIsBetter ? Math.min(worst, ratio) : Math.max(worst, ratio);
            figures.append(Report.fmt("%s%d: %.3f", figures.length() == 0 ? "" : ", ", connections, ratio));
        }
        if (figures.length() == 0) {
            return;
        }
        String shown = "ratio at each number of connections: " + figures;
        if (limit == 0) {
            Report.row(name, compares, shown, Report.fmt("%.3f (worst)", worst), "none (reported)", "-");
        } else if (higherIsBetter) {
            Report.atLeast(name, compares + ", worst point", shown, worst, limit);
        } else {
            Report.atMost(name, compares + ", worst point", shown, worst, limit);
        }
    }

    /** Bytes the server thread allocated per round trip, natives and NIO side by side at every point. */
    private void allocation(Mode mode) {
        StringBuilder figures = new StringBuilder();
        double worst = 0;
        for (int connections : POINTS) {
            Figures[][] f = results.get(key(mode, connections));
            if (f == null) {
                continue;
            }
            double natives = median(f[NATIVES], Figures::allocatedPerTrip);
            worst = Math.max(worst, natives);
            figures.append(Report.fmt("%s%d: %.1f vs %.1f", figures.length() == 0 ? "" : ", ", connections, natives,
                    median(f[NIO], Figures::allocatedPerTrip)));
        }
        Report.row("bytes allocated per round trip by the server thread, " + mode.name(),
                "natives vs NIO (ThreadMXBean.getThreadAllocatedBytes)", "natives vs NIO at each number of connections: "
                        + figures, Report.fmt("%.2f B (natives, worst)", worst), "< 1 B (none per event)",
                worst < 1 ? "met" : "MISSED");
    }
}
