package io.quarn.bench;

import java.util.Locale;

/**
 * Prints results: a readable line per figure and one machine-readable row per comparison, which
 * scripts/bench.sh collects into the markdown table. Rows start with "ROW|" and hold, separated by
 * '|': the benchmark, what it compares, the measured figures, the ratio, the target and the verdict.
 */
final class Report {
    private Report() {
    }

    static void line(String format, Object... args) {
        System.out.println(String.format(Locale.ROOT, format, args));
    }

    static void row(String benchmark, String compares, String figures, String ratio, String target, String verdict) {
        System.out.println(String.join("|", "ROW", benchmark, compares, figures, ratio, target, verdict));
        System.out.flush();
    }

    /** A row for a ratio that must stay at or below {@code limit}. */
    static void atMost(String benchmark, String compares, String figures, double ratio, double limit) {
        row(benchmark, compares, figures, fmt("%.3f", ratio), fmt("<= %.2f", limit), ratio <= limit ? "met" : "MISSED");
    }

    /** A row for a ratio that must reach at least {@code limit}. */
    static void atLeast(String benchmark, String compares, String figures, double ratio, double limit) {
        row(benchmark, compares, figures, fmt("%.3f", ratio), fmt(">= %.2f", limit), ratio >= limit ? "met" : "MISSED");
    }

    static void skipped(String benchmark, String compares, Throwable why) {
        String reason = why.getClass().getSimpleName() + ": " + why.getMessage();
        line("%s: skipped (%s)", benchmark, reason);
        row(benchmark, compares, "skipped: " + reason.replace('|', '/'), "", "", "not run");
    }

    static String fmt(String format, Object... args) {
        return String.format(Locale.ROOT, format, args);
    }
}
