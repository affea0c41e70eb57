package io.quarn.faults;

import io.quarn.channel.kqueue.KQueueEventArray;
import io.quarn.channel.kqueue.KQueueStaticallyReferencedJniMethods;
import io.quarn.channel.kqueue.Native;
import io.quarn.channel.unix.Buffer;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;

/** A kqueue with a change list and an event list in direct memory, driven through the natives. */
final class Kq {
    static final short READ = KQueueStaticallyReferencedJniMethods.evfiltRead();
    static final short WRITE = KQueueStaticallyReferencedJniMethods.evfiltWrite();
    static final short USER = KQueueStaticallyReferencedJniMethods.evfiltUser();
    static final short ADD = KQueueStaticallyReferencedJniMethods.evAdd();
    static final short DELETE = KQueueStaticallyReferencedJniMethods.evDelete();
    static final short CLEAR = KQueueStaticallyReferencedJniMethods.evClear();
    // EV_ONESHOT has no constant native; the layer uses FreeBSD's values on every system.
    static final short ONESHOT = 0x10;
    static final short DISABLE = KQueueStaticallyReferencedJniMethods.evDisable();
    static final short ENABLE = KQueueStaticallyReferencedJniMethods.evEnable();
    static final short ERROR = KQueueStaticallyReferencedJniMethods.evError();
    static final short EOF = KQueueStaticallyReferencedJniMethods.evEOF();
    private static final int SIZE = Native.sizeofKEvent();
    private static final int CAPACITY = 1024;

    final int fd;
    private final ByteBuffer changes = ByteBuffer.allocateDirect(SIZE * CAPACITY).order(ByteOrder.nativeOrder());
    private final ByteBuffer events = ByteBuffer.allocateDirect(SIZE * CAPACITY).order(ByteOrder.nativeOrder());
    private final long changesAddress = Buffer.memoryAddress0(changes);
    private final long eventsAddress = Buffer.memoryAddress0(events);
    private int changeCount;

    Kq(int fd) {
        this.fd = fd;
    }

    /** Drops changes queued but never submitted (a run that failed before its wait). */
    void discardChanges() {
        changeCount = 0;
    }

    void change(int ident, short filter, short flags) {
        KQueueEventArray.evSet(changesAddress + (long) changeCount * SIZE, ident, filter, flags, 0);
        changeCount++;
    }

    /**
     * Submits the queued changes and waits up to timeoutMillis for at most capacity events; an
     * error record for a change fails the run with its errno.
     */
    int wait(int capacity, int timeoutMillis, String step) {
        int count = changeCount;
        changeCount = 0;
        int ready = Run.ok(Native.keventWait(fd, changesAddress, count, eventsAddress, capacity, timeoutMillis / 1000,
                (timeoutMillis % 1000) * 1_000_000), step);
        for (int i = 0; i < ready; i++) {
            if ((flags(i) & ERROR) != 0 && data(i) != 0) {
                throw new Run.Failure(step + " (error record)", (int) data(i), null);
            }
        }
        return ready;
    }

    /** Submits the queued changes and waits; error records are left for the caller. Negated errno on failure. */
    int waitRaw(int capacity, int timeoutMillis) {
        int count = changeCount;
        changeCount = 0;
        return Native.keventWait(fd, changesAddress, count, eventsAddress, capacity, timeoutMillis / 1000,
                (timeoutMillis % 1000) * 1_000_000);
    }

    long ident(int i) {
        return events.getLong(i * SIZE + Native.offsetofKEventIdent());
    }

    short filter(int i) {
        return events.getShort(i * SIZE + Native.offsetofKEventFilter());
    }

    short flags(int i) {
        return events.getShort(i * SIZE + Native.offsetofKEventFlags());
    }

    long data(int i) {
        return events.getLong(i * SIZE + Native.offsetofKeventData());
    }
}
