package io.quarn.faults;

import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.quarn.hardening.DescriptorCount;
import java.nio.channels.ClosedChannelException;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeSet;

/**
 * Child-JVM entry of the fault sweep: runs one scenario once counting the library's calls per
 * function, then again for each call in turn (up to a bound) failing it with each errno that
 * function really returns. Every run must end as the contract says, and a clean run right after
 * it must pass on the same kqueue or module with no descriptor left behind. Prints one summary
 * line, one line per call site, and a line per finding; exits 1 when anything was found.
 *
 * Arguments: scenario name, then "smoke" for the bounded subset or the bound on N.
 */
public final class Sweep {
    /** The errnos each function is failed with, the ones it returns in real life. */
    static final Map<String, String[]> ERRNOS = new LinkedHashMap<>();

    static {
        String[] memory = {"ENOMEM"};
        for (String name : new String[] {"malloc", "calloc", "realloc", "strdup", "strndup"}) {
            ERRNOS.put(name, memory);
        }
        ERRNOS.put("epoll_create1", new String[] {"EMFILE", "ENFILE", "ENOMEM"});
        ERRNOS.put("epoll_ctl", new String[] {"ENOMEM", "ENOSPC"});
        ERRNOS.put("epoll_pwait2", new String[] {"EINTR"});
        ERRNOS.put("epoll_wait", new String[] {"EINTR"});
        ERRNOS.put("eventfd", new String[] {"EMFILE", "ENFILE"});
        ERRNOS.put("ioctl", new String[] {"EIO"});
        ERRNOS.put("socket", new String[] {"EMFILE", "ENFILE", "ENOBUFS"});
        // The kernel answers EAGAIN only with an empty queue: an EAGAIN with a connection waiting
        // would leave an edge-triggered listener without another event, a fault of the test.
        ERRNOS.put("accept4", new String[] {"EMFILE", "EINTR", "ENFILE"});
        ERRNOS.put("accept", new String[] {"EMFILE", "EINTR", "ENFILE"});
        ERRNOS.put("connect", new String[] {"EINTR", "EAGAIN", "ENOBUFS"});
        ERRNOS.put("bind", new String[] {"EADDRINUSE", "ENOMEM"});
        ERRNOS.put("listen", new String[] {"EADDRINUSE", "ENOBUFS"});
        ERRNOS.put("shutdown", new String[] {"ENOTCONN"});
        ERRNOS.put("getsockname", new String[] {"ENOBUFS"});
        ERRNOS.put("getpeername", new String[] {"ENOTCONN", "ENOBUFS"});
        // EBADF from getsockopt means a descriptor closed under the caller; the kqueue layer's
        // probes then refuse the registration with EBADF, which event loops take for a closed
        // descriptor. The option natives' EBADF rule is exercised through setsockopt.
        ERRNOS.put("getsockopt", new String[] {"ENOMEM", "ENOBUFS"});
        ERRNOS.put("setsockopt", new String[] {"ENOMEM", "EBADF"});
        ERRNOS.put("fcntl", new String[] {"EBADF"});
        ERRNOS.put("pipe2", new String[] {"EMFILE", "ENFILE"});
        ERRNOS.put("pipe", new String[] {"EMFILE", "ENFILE"});
        ERRNOS.put("recvmsg", new String[] {"EINTR", "EAGAIN", "ENOMEM", "ECONNRESET"});
        ERRNOS.put("sendmsg", new String[] {"EINTR", "EAGAIN", "ENOBUFS", "EPIPE"});
        ERRNOS.put("recvfrom", new String[] {"EINTR", "EAGAIN", "ENOMEM"});
        ERRNOS.put("sendto", new String[] {"EINTR", "EAGAIN", "ENOBUFS"});
        ERRNOS.put("read", new String[] {"EINTR", "EAGAIN", "EIO", "ECONNRESET"});
        ERRNOS.put("write", new String[] {"EINTR", "EAGAIN", "EIO", "EPIPE"});
        ERRNOS.put("writev", new String[] {"EINTR", "EAGAIN", "EIO"});
        ERRNOS.put("sendfile", new String[] {"EINTR", "EAGAIN", "EIO"});
        ERRNOS.put("close", new String[] {"EINTR", "EIO"});
        ERRNOS.put("open", new String[] {"EMFILE", "ENFILE"});
        ERRNOS.put("unlink", new String[] {"EIO"});
        ERRNOS.put("fstat", new String[] {"EIO"});
        ERRNOS.put("clock_gettime", new String[] {"EINVAL"});
        ERRNOS.put("poll", new String[] {"EINTR", "ENOMEM"});
        // dladdr fails by returning 0 and snprintf by returning -1; the errno is the run's label.
        ERRNOS.put("dladdr", new String[] {"ENOENT"});
        ERRNOS.put("snprintf", new String[] {"EOVERFLOW"});
    }

    /** The pseudo results and the functions whose failure may produce them. */
    private static final Map<Integer, java.util.Set<String>> PSEUDO = Map.of(
            Run.NULL_RESULT, java.util.Set.of("getsockname", "getpeername"),
            Run.FAILED_LOAD, java.util.Set.of("malloc", "calloc", "realloc", "strdup", "strndup", "dladdr", "snprintf",
                    "clock_gettime"),
            Run.DROPPED, java.util.Set.of("accept4", "epoll_ctl", "setsockopt", "read", "write", "ioctl", "fcntl",
                    "getsockopt", "malloc", "calloc"));

    private static final int ENOMEM = FaultControl.errno("ENOMEM");
    private static final int EINTR = FaultControl.errno("EINTR");
    private static final int EBADF = FaultControl.errno("EBADF");
    private static final int EAGAIN = FaultControl.errno("EAGAIN");

    private final Scenario scenario;
    private final String name;
    private final List<String> findings = new ArrayList<>();
    private long runs;
    private long injected;
    private long reported;
    private long retried;
    private long absorbed;
    private long unreached;
    private long lastSite;
    /** What runs now and since when, for the watchdog. */
    private volatile String current = "set-up";
    private volatile long currentSince = System.nanoTime();
    private final Map<String, TreeSet<Long>> failedSites = new LinkedHashMap<>();

    private Sweep(String name, Scenario scenario) {
        this.name = name;
        this.scenario = scenario;
    }

    public static void main(String[] args) throws Exception {
        if (!FaultControl.available()) {
            System.out.println("the fault injector is not preloaded (LD_PRELOAD)");
            System.exit(2);
        }
        Scenario scenario = Scenarios.named(args[0]);
        boolean smoke = args.length > 1 && args[1].equals("smoke");
        int bound = args.length > 1 && !smoke ? Integer.parseInt(args[1]) : 0;
        Sweep sweep = new Sweep(args[0], scenario);
        boolean clean = sweep.sweep(smoke, bound);
        System.exit(clean ? 0 : 1);
    }

    private boolean sweep(boolean smoke, int bound) throws Exception {
        startWatchdog(Thread.currentThread());
        scenario.setUp();
        if (FaultControl.ranges() == 0) {
            throw new IllegalStateException("the injector found no library under test in this JVM");
        }
        FaultControl.disarm();
        runClean("counting run");
        Map<Integer, Long> counts = new LinkedHashMap<>();
        for (int id = 0; id < FaultControl.functions(); id++) {
            long calls = FaultControl.calls(id);
            if (calls > 0) {
                counts.put(id, calls);
            }
        }
        Map<Integer, String> before = DescriptorCount.snapshot();
        long started = System.nanoTime();
        for (Map.Entry<Integer, Long> entry : counts.entrySet()) {
            String function = FaultControl.name(entry.getKey());
            String[] errnos = ERRNOS.get(function);
            for (long nth : callsToFail(entry.getValue(), smoke, bound)) {
                for (int e = 0; e < errnos.length; e++) {
                    once(entry.getKey(), function, nth, errnos[e]);
                    Map<Integer, String> now = DescriptorCount.snapshot();
                    Map<Integer, String> added = DescriptorCount.addedSince(before);
                    Map<Integer, String> gone = new java.util.TreeMap<>(before);
                    // The JVM opens and closes files of its own; the library's kinds must stay.
                    gone.entrySet().removeIf(fd -> fd.getValue().equals(now.get(fd.getKey()))
                            || !fd.getValue().matches("(socket|pipe|anon_inode):.*"));
                    if (!added.isEmpty() || !gone.isEmpty()) {
                        found(String.format("%s#%d %s at 0x%x: descriptors left open: %s; closed that were not the"
                                + " run's: %s", function, nth, errnos[e], lastSite, added, gone));
                        before = now;
                    }
                }
            }
        }
        scenario.tearDown();
        int sites = 0;
        for (Map.Entry<Integer, Long> entry : counts.entrySet()) {
            String function = FaultControl.name(entry.getKey());
            TreeSet<Long> failed = failedSites.getOrDefault(function, new TreeSet<>());
            for (long site : FaultControl.sites(entry.getKey())) {
                sites++;
                System.out.printf("site %s %s 0x%x %s%n", name, function, site, failed.contains(site) ? "failed" : "seen");
            }
        }
        System.out.printf("sweep %s: functions %d, call sites %d, calls counted %d, runs %d, injected %d, reported %d,"
                + " retried %d, absorbed %d, not reached %d, findings %d, %.1f s%n", name, counts.size(), sites,
                counts.values().stream().mapToLong(Long::longValue).sum(), runs, injected, reported, retried, absorbed,
                unreached, findings.size(), (System.nanoTime() - started) / 1e9);
        return findings.isEmpty();
    }

    /** Every N up to the bound, a spread of the middle and the last calls; the smoke takes the first four, the middle and the last. */
    private static List<Long> callsToFail(long count, boolean smoke, int bound) {
        List<Long> result = new ArrayList<>();
        if (smoke) {
            for (long nth : new long[] {1, 2, 3, 4, (count + 1) / 2, count}) {
                if (nth >= 1 && nth <= count && !result.contains(nth)) {
                    result.add(nth);
                }
            }
            return result;
        }
        for (long nth = 1; nth <= Math.min(count, bound); nth++) {
            result.add(nth);
        }
        // Sixteen calls spread over the middle, so that a scenario's later phases fail too.
        long first = bound + 1;
        long last = count - 4;
        for (int i = 0; i < 16 && last >= first; i++) {
            long nth = first + (last - first) * i / 15;
            if (!result.contains(nth)) {
                result.add(nth);
            }
        }
        // The last calls are often the closing ones.
        for (long nth = Math.max(bound + 1, count - 3); nth <= count; nth++) {
            result.add(nth);
        }
        return result;
    }

    /** A run that takes 30 s is stuck: report what it was and where, and end the JVM. */
    private void startWatchdog(Thread main) {
        Thread watchdog = new Thread(() -> {
            for (;;) {
                try {
                    Thread.sleep(1000);
                } catch (InterruptedException e) {
                    return;
                }
                if (System.nanoTime() - currentSince > 30_000_000_000L) {
                    StringBuilder stack = new StringBuilder();
                    for (StackTraceElement frame : main.getStackTrace()) {
                        stack.append("\n    at ").append(frame);
                    }
                    System.out.println("FINDING " + name + ": " + current + ": stuck for 30 s" + stack);
                    System.out.flush();
                    Runtime.getRuntime().halt(3);
                }
            }
        }, "sweep-watchdog");
        watchdog.setDaemon(true);
        watchdog.start();
    }

    private void once(int id, String function, long nth, String errnoName) {
        int errno = FaultControl.errno(errnoName);
        String what = function + "#" + nth + " " + errnoName;
        current = what;
        currentSince = System.nanoTime();
        runs++;
        Run run = new Run();
        String finding = null;
        Run.armed = function;
        FaultControl.arm(id, nth, errno);
        try {
            scenario.body(run);
            if (FaultControl.fired() > 0 && (errno == EINTR || errno == EAGAIN)) {
                retried++;
            } else if (FaultControl.fired() > 0) {
                // Judged by scripts/faults.sh against the table of failures that may be absorbed.
                absorbed++;
                System.out.printf("absorbed %s %s 0x%x %s%n", name, function, FaultControl.firedSite(), errnoName);
            } else {
                unreached++;
            }
        } catch (Run.Failure failure) {
            finding = FaultControl.fired() == 0 ? "failed with no fault injected: " + failure.getMessage()
                    : judge(function, errno, failure.errno, failure.thrown, failure.getMessage());
        } catch (AssertionError e) {
            finding = e.getMessage();
        } catch (Throwable e) {
            finding = FaultControl.fired() == 0 ? "failed with no fault injected: " + e
                    : judge(function, errno, 0, e, e.toString());
        } finally {
            long site = FaultControl.firedSite();
            lastSite = site;
            if (FaultControl.fired() > 0) {
                injected++;
                failedSites.computeIfAbsent(function, key -> new TreeSet<>()).add(site);
            }
            FaultControl.disarm();
            Run.armed = null;
            run.closeAll();
            if (finding != null) {
                found(String.format("%s at 0x%x: %s", what, site, finding));
            }
        }
        current = "clean run after " + what;
        String after = runClean(current);
        if (after != null) {
            found(after);
        }
    }

    private void found(String finding) {
        findings.add(finding);
        System.out.println("FINDING " + name + ": " + finding);
    }

    /** Null when the failure reached the caller as the contract says, else what is wrong. */
    private String judge(String function, int injectedErrno, int errno, Throwable thrown, String message) {
        boolean allocation = ERRNOS.get(function)[0].equals("ENOMEM") && ERRNOS.get(function).length == 1;
        if (injectedErrno == EINTR) {
            return "an interruption reached the caller instead of being retried: " + message;
        }
        if (thrown == null) {
            if (PSEUDO.containsKey(errno)) {
                if (!PSEUDO.get(errno).contains(function)) {
                    return "a " + function + " failure ended as " + message;
                }
                reported++;
                return null;
            }
            if (errno == injectedErrno || (allocation && errno == ENOMEM)) {
                reported++;
                return null;
            }
            return "reported as " + ErrorsStaticallyReferencedJniMethods.strError(errno) + ": " + message;
        }
        String text = ErrorsStaticallyReferencedJniMethods.strError(injectedErrno);
        // Address natives report failure by a null alone; callers can only name the call.
        boolean named = function.startsWith("get") && function.endsWith("name") && thrown.getMessage() != null
                && thrown.getMessage().contains(function);
        if (named || (thrown.getMessage() != null && thrown.getMessage().contains(text))
                || (thrown instanceof ClosedChannelException && injectedErrno == EBADF)
                || (thrown instanceof OutOfMemoryError && allocation)) {
            reported++;
            return null;
        }
        return "reported as " + message;
    }

    /** Runs the body with no fault; a failure here is a finding (null when it passed). */
    private String runClean(String what) {
        Run run = new Run();
        try {
            scenario.body(run);
            return null;
        } catch (Throwable e) {
            if (what.equals("counting run")) {
                throw new IllegalStateException("the scenario fails with no fault injected", e);
            }
            return what + " failed: " + e;
        } finally {
            run.closeAll();
        }
    }
}
