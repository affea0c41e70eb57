package io.quarn.bench;

import io.quarn.channel.unix.LimitsStaticallyReferencedJniMethods;

/**
 * The cost of crossing into the library: a trivial registered native (sizeOfjlong, which returns a
 * constant) against a plain Java static method that returns the same constant. scripts/bench.sh
 * keeps the JIT from inlining the Java method, as it cannot inline a native; inlined, the Java call
 * would cost nothing at all and the comparison would say nothing.
 */
final class NativeCallBench {
    private static final String NAME = "trivial native call";
    private static final String COMPARES = "registered native `sizeOfjlong()` vs a plain Java static call (not inlined)";
    private static final int CALLS = 200_000;
    private static volatile long sink;

    private NativeCallBench() {
    }

    static int plainSizeOfJlong() {
        return Long.BYTES;
    }

    private static double nativeRound() {
        long sum = 0;
        long start = System.nanoTime();
        for (int i = 0; i < CALLS; i++) {
            sum += LimitsStaticallyReferencedJniMethods.sizeOfjlong();
        }
        long elapsed = System.nanoTime() - start;
        sink = sum;
        return (double) elapsed / CALLS;
    }

    private static double javaRound() {
        long sum = 0;
        long start = System.nanoTime();
        for (int i = 0; i < CALLS; i++) {
            sum += plainSizeOfJlong();
        }
        long elapsed = System.nanoTime() - start;
        sink = sum;
        return (double) elapsed / CALLS;
    }

    static void run(int rounds) {
        try {
            Rounds r = new Rounds(5, rounds, new String[] {"native", "java"},
                    Rounds.slices(10, NativeCallBench::nativeRound, NativeCallBench::javaRound));
            Report.line("%s: native %.2f ns/call, Java static %.2f ns/call, ratio %.2f", NAME, r.median(0), r.median(1),
                    r.ratio(0, 1));
            Report.row(NAME, COMPARES, Report.fmt("native %.2f ns, Java %.2f ns per call", r.median(0), r.median(1)),
                    Report.fmt("%.2f", r.ratio(0, 1)), "none (reported)", "-");
        } catch (Throwable t) {
            Report.skipped(NAME, COMPARES, t);
        }
        systemCalls(rounds);
    }

    private static double perCall(int fd) {
        long ns = Baselines.systemCalls(fd, 20_000);
        NativeNet.check((int) Math.max(Math.min(ns, 0), Integer.MIN_VALUE), "a system call");
        return ns / 20_000.0;
    }

    /** What one system call costs here in CPU time: a bare one, and FIONREAD on a TCP socket. */
    private static void systemCalls(int rounds) {
        String name = "system call CPU cost";
        String compares = "FIONREAD on a connected TCP socket vs getppid(2), both from C, thread CPU time";
        try {
            int[] pair = NativeNet.pair(0);
            try {
                Rounds r = new Rounds(2, rounds, new String[] {"getppid", "FIONREAD"},
                        Rounds.slices(10, () -> perCall(-1), () -> perCall(pair[0])));
                Report.row(name, compares, Report.fmt("getppid %.0f ns, FIONREAD %.0f ns of CPU per call", r.median(0),
                        r.median(1)), Report.fmt("%.2f", r.ratio(1, 0)), "none (reported)", "-");
            } finally {
                io.quarn.channel.unix.FileDescriptor.close(pair[0]);
                io.quarn.channel.unix.FileDescriptor.close(pair[1]);
            }
        } catch (Throwable t) {
            Report.skipped(name, compares, t);
        }
    }
}
