package io.quarn.faults;

import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.quarn.channel.unix.FileDescriptor;
import java.util.ArrayDeque;
import java.util.Deque;
import java.util.concurrent.TimeUnit;
import java.util.function.IntSupplier;
import java.util.function.Supplier;

/**
 * One run of a scenario's body: the descriptors it owns (closed at the end whatever happens),
 * and the checks that turn a failed native into a {@link Failure} naming the step.
 */
final class Run {
    static final int EAGAIN = ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
    static final int EINPROGRESS = ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS();
    static final int ECONNRESET = ErrorsStaticallyReferencedJniMethods.errnoECONNRESET();
    /** Pseudo errnos: the demo server dropped a connection after a failure; a load returned -1. */
    static final int DROPPED = -1000;
    static final int FAILED_LOAD = -1001;
    /** A native that reports failure by a null result alone returned null. */
    static final int NULL_RESULT = -1002;

    /** Whether the fault armed for this run has been injected yet. */
    static boolean faultInjected() {
        return FaultControl.fired() > 0;
    }

    /** The function the sweep fails in this run, null in a clean run. */
    static volatile String armed;

    /** Whether this run's fault has been injected into function. */
    static boolean faultInjected(String function) {
        return faultInjected() && function.equals(armed);
    }

    /** A native reported a failure: a negated errno, an error record or an exception. */
    static final class Failure extends RuntimeException {
        private static final long serialVersionUID = 1L;
        final String step;
        /** The errno, 0 when the failure came as an exception. */
        final int errno;
        final Throwable thrown;

        Failure(String step, int errno, Throwable thrown) {
            super(step + ": " + (thrown != null ? thrown : errno < 0 ? "failed" : ErrorsStaticallyReferencedJniMethods.strError(errno)), null,
                    false, false);
            this.step = step;
            this.errno = errno;
            this.thrown = thrown;
        }
    }

    private final Deque<Integer> owned = new ArrayDeque<>();

    /** Fails the run with the negated errno a native returned. */
    static int ok(int result, String step) {
        if (result < 0) {
            throw new Failure(step, -result, null);
        }
        return result;
    }

    static long ok(long result, String step) {
        if (result < 0) {
            throw new Failure(step, (int) -result, null);
        }
        return result;
    }

    /** A native that reports failure by exception (and null or -1). */
    static <T> T call(Supplier<T> call, String step) {
        try {
            return call.get();
        } catch (Error e) {
            if (e instanceof OutOfMemoryError) {
                throw new Failure(step, 0, e);
            }
            throw e;
        } catch (Throwable e) {
            // ClosedChannelException and IOException come through undeclared.
            throw new Failure(step, 0, e);
        }
    }

    static void callVoid(Runnable call, String step) {
        call(() -> {
            call.run();
            return null;
        }, step);
    }

    /** Takes a descriptor result: checked, then owned by the run until closed. */
    int fd(int result, String step) {
        ok(result, step);
        owned.push(result);
        return result;
    }

    /** Closes an owned descriptor; a failed close has released it all the same (close(2) on Linux). */
    void close(int fd, String step) {
        owned.remove(fd);
        ok(FileDescriptor.close(fd), step);
    }

    void closeAll() {
        while (!owned.isEmpty()) {
            FileDescriptor.close(owned.pop());
        }
    }

    /** A broken promise of the library (lost data, a wrong result): never excused by a fault. */
    static void expect(boolean condition, String what) {
        if (!condition) {
            throw new AssertionError(what);
        }
    }

    /** Repeats a non-blocking call while it answers -EAGAIN, for at most five seconds. */
    static int untilReady(IntSupplier call, String step) {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
        int result;
        while ((result = call.getAsInt()) == -EAGAIN) {
            if (System.nanoTime() > deadline) {
                throw new Failure(step + " (still EAGAIN after 5 s)", EAGAIN, null);
            }
            Thread.onSpinWait();
        }
        return ok(result, step);
    }
}
