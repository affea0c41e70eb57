package io.quarn.bench;

import java.util.Arrays;
import java.util.HashSet;
import java.util.Set;

/**
 * The Java benchmark harness: compares the library's natives with JDK NIO and with raw C, side by
 * side in one run. Not a test: it prints figures and ratios and never fails on them.
 *
 * <p>Usage: {@code BenchMain [--only call,pipe,echo,wakeup,bulk,sendfile,scaling] [--rounds N] [--quick]},
 * with {@code -Dquarn.library=} the library's path, {@code -Dquarn.bench.library=} the baselines' and
 * {@code -Dquarn.bench.client=} the many-connection echo's client driver.
 * scripts/bench.sh runs it pinned to one core and turns its ROW lines into a markdown table.
 */
public final class BenchMain {
    private BenchMain() {
    }

    public static void main(String[] args) throws Exception {
        Set<String> only = new HashSet<>(Arrays.asList("call", "pipe", "echo", "wakeup", "bulk", "sendfile", "scaling"));
        int rounds = 15;
        boolean quick = false;
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--only" -> only = new HashSet<>(Arrays.asList(args[++i].split(",")));
                case "--rounds" -> rounds = Integer.parseInt(args[++i]);
                case "--quick" -> quick = true;
                default -> {
                    System.err.println("usage: BenchMain [--only call,pipe,echo,wakeup,bulk,sendfile,scaling] [--rounds N] [--quick]");
                    System.exit(2);
                }
            }
        }
        System.load(required("quarn.library"));
        System.load(required("quarn.bench.library"));
        int scale = quick ? 10 : 1;
        Report.line("rounds: %d after warm-up; processors visible to the JVM: %d", rounds,
                Runtime.getRuntime().availableProcessors());
        if (only.contains("call")) {
            NativeCallBench.run(rounds);
        }
        if (only.contains("pipe")) {
            PipeWriteBench.run(rounds);
        }
        if (only.contains("echo")) {
            EchoBench.run(rounds, 2_000 / scale);
        }
        if (only.contains("wakeup")) {
            WakeupBench.run(rounds, 2_000 / scale);
        }
        if (only.contains("bulk")) {
            BulkBench.runWrites(rounds, (64L << 20) / scale);
        }
        if (only.contains("sendfile")) {
            BulkBench.runSendFile(rounds, (64L << 20) / scale);
        }
        if (only.contains("scaling")) {
            // Whole runs of up to 10,000 connections: five rounds rather than the short slices above.
            ScalingBench.run(System.getProperty("quarn.bench.client"), quick ? 1 : 5, quick);
        }
    }

    private static String required(String property) {
        String value = System.getProperty(property);
        if (value == null) {
            System.err.println("set -D" + property + "=<path of the shared library>");
            System.exit(2);
        }
        return value;
    }
}
