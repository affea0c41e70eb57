package io.quarn.bench;

import java.util.Arrays;

/**
 * Runs the variants of one comparison side by side: a few warm-up rounds, then several rounds in
 * which the variants alternate, so that a change in the machine's load touches them all alike.
 * Each round yields one figure per variant; a comparison reports the median of those figures and
 * the median of the per-round ratios.
 */
final class Rounds {
    /** One measured round of a variant; returns its figure (for example nanoseconds per operation). */
    interface Variant {
        double run() throws Exception;
    }

    private final String[] names;
    private final Variant[] variants;
    private final double[][] figures;
    private final int rounds;

    Rounds(int warmups, int rounds, String[] names, Variant... variants) throws Exception {
        this.names = names;
        this.variants = variants;
        this.rounds = rounds;
        this.figures = new double[variants.length][rounds];
        for (int w = 0; w < warmups; w++) {
            for (Variant variant : variants) {
                variant.run();
            }
        }
        for (int r = 0; r < rounds; r++) {
            // Rotate the order too, so that no variant always runs right after the same one.
            for (int k = 0; k < variants.length; k++) {
                int v = (k + r) % variants.length;
                figures[v][r] = variants[v].run();
            }
        }
    }

    double median(int variant) {
        return median(figures[variant]);
    }

    /** The median over rounds of figure(a) / figure(b), each ratio taken within one round. */
    double ratio(int a, int b) {
        double[] ratios = new double[rounds];
        for (int r = 0; r < rounds; r++) {
            ratios[r] = figures[a][r] / figures[b][r];
        }
        return median(ratios);
    }

    String name(int variant) {
        return names[variant];
    }

    static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        int n = sorted.length;
        return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }

    /** The p-th percentile (0 to 100) of the values, nearest rank. */
    static double percentile(long[] values, double p) {
        long[] sorted = values.clone();
        Arrays.sort(sorted);
        int rank = (int) Math.ceil(p / 100.0 * sorted.length);
        return sorted[Math.max(0, Math.min(sorted.length - 1, rank - 1))];
    }
}
