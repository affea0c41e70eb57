package io.quarn.bench;

import java.util.Arrays;

/**
 * Runs the variants of one comparison side by side: a few warm-up rounds, then several rounds in
 * which the variants alternate (or interleave in short slices), so that a change in the machine's
 * load touches them all alike. Each round yields one figure per variant; a comparison reports the
 * median of those figures and the median of the per-round ratios.
 */
final class Rounds {
    /** One measured round of a variant; returns its figure (for example nanoseconds per operation). */
    interface Variant {
        double run() throws Exception;
    }

    /** One measured round of all variants together, interleaved finely; returns one figure per variant. */
    interface Interleaved {
        double[] run() throws Exception;
    }

    private final String[] names;
    private final double[][] figures;
    private final int rounds;

    /** Runs variants that interleave themselves within each round (see {@link Interleaved}). */
    Rounds(int warmups, int rounds, String[] names, Interleaved all) throws Exception {
        this.names = names;
        this.rounds = rounds;
        this.figures = new double[names.length][rounds];
        for (int w = 0; w < warmups; w++) {
            all.run();
        }
        for (int r = 0; r < rounds; r++) {
            double[] round = all.run();
            for (int v = 0; v < names.length; v++) {
                figures[v][r] = round[v];
            }
        }
    }

    Rounds(int warmups, int rounds, String[] names, Variant... variants) throws Exception {
        this.names = names;
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

    /**
     * A round made of {@code count} short slices; each slice runs every variant once, in an order
     * that rotates from slice to slice, and each variant's figure for the round is its smallest
     * over the slices. On a shared machine noise only ever adds time, so the least disturbed slice
     * is the best estimate of what the code itself costs, and short interleaved slices make a burst
     * of load elsewhere fall on all variants alike.
     */
    static Interleaved slices(int count, Variant... variants) {
        int[] turn = new int[1];
        return () -> {
            double[] best = new double[variants.length];
            java.util.Arrays.fill(best, Double.MAX_VALUE);
            for (int slice = 0; slice < count; slice++) {
                for (int k = 0; k < variants.length; k++) {
                    int v = (k + turn[0]) % variants.length;
                    best[v] = Math.min(best[v], variants[v].run());
                }
                turn[0]++;
            }
            return best;
        };
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
