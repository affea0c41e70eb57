package io.quarn.bench;

import io.quarn.examples.EventLoop;
import java.io.IOException;
import java.nio.channels.Selector;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.LockSupport;

/**
 * Wakeup latency on one core: a waiter thread blocks in its wait; this thread notes the time and
 * wakes it; the latency is the time until the waiter's wait returned. Between samples this thread
 * sleeps, so that the waiter runs and blocks again. Compared: keventTriggerUserEvent waking a
 * keventWait (the demo's event loop), Selector.wakeup() waking Selector.select(), and, in C, an
 * eventfd write waking epoll_wait.
 */
final class WakeupBench {
    private static final String NAME = "wakeup latency";
    private static final String COMPARES = "`keventTriggerUserEvent` waking `keventWait` vs `Selector.wakeup()` vs eventfd in C";
    private static final long GAP_NANOS = 100_000;
    private static final long DEADLINE_NANOS = 30_000_000_000L;

    private WakeupBench() {
    }

    /** Something a waiter blocks in and another thread ends. */
    private interface Waitable {
        /** Blocks until woken; false if the wait ended without a wakeup. */
        boolean await() throws Exception;

        void wake();
    }

    static void run(int rounds, int samples) {
        try {
            long[][][] latencies = new long[3][rounds][];
            int[] round = new int[3];
            Rounds.Variant natives = () -> keep(latencies[0], round, 0, kqueue(samples));
            Rounds.Variant nio = () -> keep(latencies[1], round, 1, selector(samples));
            Rounds.Variant c = () -> keep(latencies[2], round, 2, eventfd(samples));
            Rounds r = new Rounds(2, rounds, new String[] {"kqueue", "NIO", "eventfd"}, natives, nio, c);
            double[][] p99 = new double[3][rounds];
            for (int v = 0; v < 3; v++) {
                for (int i = 0; i < rounds; i++) {
                    p99[v][i] = Rounds.percentile(latencies[v][i], 99);
                }
            }
            double kqueueP99 = Rounds.median(p99[0]);
            double nioP99 = Rounds.median(p99[1]);
            double eventfdP99 = Rounds.median(p99[2]);
            Report.line("wakeup p50: kqueue %.1f us, NIO %.1f us, eventfd %.1f us; p99: %.1f / %.1f / %.1f us",
                    r.median(0) / 1e3, r.median(1) / 1e3, r.median(2) / 1e3, kqueueP99 / 1e3, nioP99 / 1e3,
                    eventfdP99 / 1e3);
            String figures = Report.fmt("p50 %.1f / %.1f / %.1f us, p99 %.1f / %.1f / %.1f us (kqueue / NIO / eventfd)",
                    r.median(0) / 1e3, r.median(1) / 1e3, r.median(2) / 1e3, kqueueP99 / 1e3, nioP99 / 1e3,
                    eventfdP99 / 1e3);
            Report.atMost(NAME + " p50 vs eventfd", "`keventTriggerUserEvent` waking `keventWait` vs eventfd in C", figures,
                    r.ratio(0, 2), 1.5);
            Report.row(NAME + " p50, NIO vs eventfd", "`Selector.wakeup()` vs eventfd in C", figures,
                    Report.fmt("%.3f", r.ratio(1, 2)), "none (reported)", "-");
            Report.row(NAME + " p99 vs eventfd", "`keventTriggerUserEvent` vs eventfd in C", figures,
                    Report.fmt("%.3f", kqueueP99 / eventfdP99), "none (reported)", "-");
        } catch (Throwable t) {
            Report.skipped(NAME, COMPARES, t);
        }
    }

    /** Keeps a round's samples (warm-up rounds fill slots that are overwritten) and returns its p50. */
    private static double keep(long[][] store, int[] round, int variant, long[] samples) {
        store[round[variant] % store.length] = samples;
        round[variant]++;
        return Rounds.percentile(samples, 50);
    }

    private static long[] kqueue(int samples) throws Exception {
        try (EventLoop loop = new EventLoop()) {
            return measure(samples, new Waitable() {
                @Override
                public boolean await() {
                    return loop.runOnce(5000) > 0;
                }

                @Override
                public void wake() {
                    loop.wakeup();
                }
            });
        }
    }

    private static long[] selector(int samples) throws Exception {
        try (Selector selector = Selector.open()) {
            return measure(samples, new Waitable() {
                @Override
                public boolean await() throws IOException {
                    long start = System.nanoTime();
                    selector.select(5000);
                    return System.nanoTime() - start < 4_000_000_000L;
                }

                @Override
                public void wake() {
                    selector.wakeup();
                }
            });
        }
    }

    private static long[] eventfd(int samples) {
        long[] latencies = new long[samples];
        long status = Baselines.wakeupEventfd(latencies, GAP_NANOS);
        NativeNet.check((int) Math.max(status, Integer.MIN_VALUE), "eventfd wakeup in C");
        return latencies;
    }

    private static long[] measure(int samples, Waitable waitable) throws Exception {
        long[] latencies = new long[samples];
        AtomicInteger completed = new AtomicInteger();
        AtomicLong triggeredAt = new AtomicLong();
        Throwable[] failure = new Throwable[1];
        Thread waiter = new Thread(() -> {
            try {
                for (int i = 0; i < samples; i++) {
                    boolean woken = waitable.await();
                    long now = System.nanoTime();
                    if (!woken) {
                        throw new IllegalStateException("the wait ended without a wakeup");
                    }
                    latencies[i] = now - triggeredAt.getAcquire();
                    completed.set(i + 1);
                }
            } catch (Throwable t) {
                failure[0] = t;
                completed.set(Integer.MAX_VALUE);
            }
        }, "wakeup-waiter");
        waiter.start();
        long deadline = System.nanoTime() + DEADLINE_NANOS;
        try {
            for (int i = 0; i < samples; i++) {
                // Let the waiter finish the previous sample and block again before the next wakeup.
                LockSupport.parkNanos(GAP_NANOS);
                while (completed.get() < i) {
                    if (System.nanoTime() > deadline) {
                        throw new IllegalStateException("the waiter stopped answering");
                    }
                    LockSupport.parkNanos(GAP_NANOS);
                }
                if (failure[0] != null) {
                    break;
                }
                triggeredAt.setRelease(System.nanoTime());
                waitable.wake();
            }
        } finally {
            waiter.join(10_000);
            if (waiter.isAlive()) {
                waitable.wake();
                waiter.join(10_000);
            }
        }
        if (failure[0] != null) {
            throw new IllegalStateException("waiter failed", failure[0]);
        }
        return latencies;
    }
}
