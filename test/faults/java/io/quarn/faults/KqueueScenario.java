package io.quarn.faults;

import io.quarn.channel.kqueue.Native;
import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.test.NativeLibrary;
import java.nio.ByteBuffer;
import java.util.concurrent.TimeUnit;

/**
 * A kqueue kept across runs with several pipes registered on it (edge, level, one-shot and
 * disabled knotes), an event list smaller than the ready set, user events triggered from
 * another thread, deletions and closes; plus a second kqueue made and closed in every run.
 */
final class KqueueScenario implements Scenario {
    private static final int PIPES = 4;
    private static final int WAKE = 7;
    private Kq kq;

    @Override
    public void setUp() {
        NativeLibrary.load();
        kq = new Kq(Native.kqueueCreate());
        Run.ok(kq.fd, "kqueueCreate");
        Run.ok(Native.keventAddUserEvent(kq.fd, WAKE), "keventAddUserEvent");
    }

    @Override
    public void tearDown() {
        FileDescriptor.close(kq.fd);
    }

    @Override
    public void body(Run run) throws Exception {
        // A run failed before its wait leaves its changes queued for descriptors it has closed
        // since: submitted now, they would name whatever file took those numbers, or none.
        kq.discardChanges();
        Kq other = new Kq(run.fd(Native.kqueueCreate(), "kqueueCreate"));
        Run.ok(Native.keventAddUserEvent(other.fd, 1), "keventAddUserEvent");
        Run.ok(Native.keventTriggerUserEvent(other.fd, 1), "keventTriggerUserEvent");
        Run.expect(other.wait(4, 1000, "keventWait") == 1 && other.filter(0) == Kq.USER, "a triggered user event was lost");
        run.close(other.fd, "close kqueue");

        int[] readEnds = new int[PIPES];
        int[] writeEnds = new int[PIPES];
        for (int i = 0; i < PIPES; i++) {
            long pipe = Run.ok(FileDescriptor.newPipe(), "newPipe");
            readEnds[i] = run.fd((int) (pipe >>> 32), "newPipe");
            writeEnds[i] = run.fd((int) pipe, "newPipe");
        }
        short[] readFlags = {(short) (Kq.ADD | Kq.CLEAR), Kq.ADD, (short) (Kq.ADD | Kq.ONESHOT),
            (short) (Kq.ADD | Kq.DISABLE)};
        for (int i = 0; i < PIPES; i++) {
            kq.change(readEnds[i], Kq.READ, readFlags[i]);
            kq.change(writeEnds[i], Kq.WRITE, (short) (Kq.ADD | Kq.CLEAR));
        }
        ByteBuffer bytes = Net.data(16, 3);
        for (int i = 0; i < PIPES; i++) {
            Run.expect(Run.ok(FileDescriptor.writeAddress(writeEnds[i], Buffer.memoryAddress0(bytes), 0, i + 1),
                    "writeAddress") == i + 1, "a short write into an empty pipe");
        }
        // Seven knotes are ready (the disabled one is not); two at a time must deliver them all.
        boolean[] seen = new boolean[2 * PIPES];
        int missing = 2 * PIPES - 1;
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(2);
        while (missing > 0) {
            Run.expect(System.nanoTime() < deadline, missing + " ready knotes not delivered in 2 s");
            int ready = kq.wait(2, 100, "keventWait");
            for (int e = 0; e < ready; e++) {
                for (int i = 0; i < PIPES; i++) {
                    int slot = kq.filter(e) == Kq.READ && kq.ident(e) == readEnds[i] ? 2 * i
                            : kq.filter(e) == Kq.WRITE && kq.ident(e) == writeEnds[i] ? 2 * i + 1 : -1;
                    if (slot >= 0 && !seen[slot]) {
                        // A failed FIONREAD leaves the layer nothing but 0 for data; the event itself is
                        // kept. A write end reports the pipe's free space.
                        Run.expect(slot % 2 == 1 || kq.data(e) == i + 1
                                || (kq.data(e) == 0 && Run.faultInjected("ioctl")), "read data " + kq.data(e)
                                + " for " + (i + 1));
                        Run.expect(slot % 2 == 0 || kq.data(e) > 0, "write data " + kq.data(e) + " for a pipe holding "
                                + (i + 1) + " bytes");
                        Run.expect(slot != 6, "a disabled knote fired");
                        seen[slot] = true;
                        missing--;
                    }
                }
            }
        }
        // The level knote is reported again; enabling the disabled one reports it now.
        kq.change(readEnds[3], Kq.READ, Kq.ENABLE);
        boolean level = false;
        boolean enabled = false;
        deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(2);
        while (!(level && enabled)) {
            Run.expect(System.nanoTime() < deadline, "level " + level + ", enabled " + enabled + " after 2 s");
            int ready = kq.wait(8, 100, "keventWait");
            for (int e = 0; e < ready; e++) {
                level |= kq.filter(e) == Kq.READ && kq.ident(e) == readEnds[1];
                enabled |= kq.filter(e) == Kq.READ && kq.ident(e) == readEnds[3];
            }
        }
        triggerFromAnotherThread();
        heldBack(run);
        // Deletions, then closes: closing drops what is left.
        kq.change(readEnds[0], Kq.READ, Kq.DELETE);
        kq.change(writeEnds[0], Kq.WRITE, Kq.DELETE);
        kq.wait(8, 0, "keventWait");
        for (int i = 0; i < PIPES; i++) {
            run.close(readEnds[i], "close");
            run.close(writeEnds[i], "close");
        }
        Run.expect(drain() == 0, "events for closed pipes");
    }

    private void triggerFromAnotherThread() throws InterruptedException {
        int[] result = new int[1];
        Thread trigger = new Thread(() -> result[0] = Native.keventTriggerUserEvent(kq.fd, WAKE));
        trigger.start();
        trigger.join();
        Run.ok(result[0], "keventTriggerUserEvent");
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(2);
        for (;;) {
            Run.expect(System.nanoTime() < deadline, "a user event triggered from another thread was lost");
            int ready = kq.wait(8, 100, "keventWait");
            for (int e = 0; e < ready; e++) {
                if (kq.filter(e) == Kq.USER && kq.ident(e) == WAKE) {
                    return;
                }
            }
        }
    }

    /**
     * A socket with a read and a write knote both ready and room for one event a wait: the knote
     * held back is evaluated again (by a poll) and delivered by the next wait.
     */
    private void heldBack(Run run) {
        int[] pair = Net.tcpPair(run);
        kq.change(pair[1], Kq.READ, (short) (Kq.ADD | Kq.CLEAR));
        kq.change(pair[1], Kq.WRITE, (short) (Kq.ADD | Kq.CLEAR));
        ByteBuffer one = Net.data(1, 5);
        Run.expect(Run.ok(FileDescriptor.writeAddress(pair[2], Buffer.memoryAddress0(one), 0, 1), "writeAddress") == 1,
                "a short write into an empty socket");
        boolean read = false;
        boolean write = false;
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(1);
        while (!(read && write)) {
            Run.expect(System.nanoTime() < deadline, "a knote held back for want of room was lost: read " + read
                    + ", write " + write);
            int ready = kq.wait(1, 100, "keventWait");
            for (int e = 0; e < ready; e++) {
                read |= kq.filter(e) == Kq.READ && kq.ident(e) == pair[1];
                write |= kq.filter(e) == Kq.WRITE && kq.ident(e) == pair[1];
            }
        }
        kq.change(pair[1], Kq.READ, Kq.DELETE);
        kq.change(pair[1], Kq.WRITE, Kq.DELETE);
        kq.wait(8, 0, "keventWait");
    }

    /** Events still pending other than a user event, with a poll. */
    private int drain() {
        int ready = kq.wait(8, 0, "keventWait");
        int others = 0;
        for (int e = 0; e < ready; e++) {
            others += kq.filter(e) == Kq.USER ? 0 : 1;
        }
        return others;
    }
}
