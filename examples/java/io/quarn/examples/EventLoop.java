package io.quarn.examples;

import io.quarn.channel.kqueue.KQueueEventArray;
import io.quarn.channel.kqueue.KQueueStaticallyReferencedJniMethods;
import io.quarn.channel.kqueue.Native;
import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.quarn.channel.unix.FileDescriptor;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;

/**
 * A single-threaded event loop on the kqueue natives: change records written with evSet into
 * direct memory, one keventWait per turn, and a user event that wakes the loop from any thread.
 */
public final class EventLoop implements AutoCloseable {
    /** What a registered descriptor does when the kqueue reports it. */
    public interface Handler {
        void ready(short filter, short flags, long data);
    }

    public static final short EVFILT_READ = KQueueStaticallyReferencedJniMethods.evfiltRead();
    public static final short EVFILT_WRITE = KQueueStaticallyReferencedJniMethods.evfiltWrite();
    public static final short EVFILT_USER = KQueueStaticallyReferencedJniMethods.evfiltUser();
    public static final short EV_ADD = KQueueStaticallyReferencedJniMethods.evAdd();
    public static final short EV_DELETE = KQueueStaticallyReferencedJniMethods.evDelete();
    public static final short EV_CLEAR = KQueueStaticallyReferencedJniMethods.evClear();
    public static final short EV_EOF = KQueueStaticallyReferencedJniMethods.evEOF();
    public static final short EV_ERROR = KQueueStaticallyReferencedJniMethods.evError();
    public static final int EAGAIN = ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
    public static final int EINPROGRESS = ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS();
    private static final int EBADF = ErrorsStaticallyReferencedJniMethods.errnoEBADF();
    private static final int ENOENT = ErrorsStaticallyReferencedJniMethods.errnoENOENT();

    private static final int SIZE = Native.sizeofKEvent();
    private static final int IDENT = Native.offsetofKEventIdent();
    private static final int FILTER = Native.offsetofKEventFilter();
    private static final int FLAGS = Native.offsetofKEventFlags();
    private static final int DATA = Native.offsetofKeventData();
    private static final int WAKE_IDENT = 0;
    private static final int CAPACITY = 1024;

    private final int kqueue;
    private ByteBuffer changes = ByteBuffer.allocateDirect(SIZE * CAPACITY).order(ByteOrder.nativeOrder());
    private final ByteBuffer events = ByteBuffer.allocateDirect(SIZE * CAPACITY).order(ByteOrder.nativeOrder());
    private long changesAddress = Buffer.memoryAddress0(changes);
    private final long eventsAddress = Buffer.memoryAddress0(events);
    private int changeCount;
    private Handler[] handlers = new Handler[1024];
    private volatile boolean stopped;
    private long waits;

    public EventLoop() {
        kqueue = Checks.fd(Native.kqueueCreate(), "kqueueCreate");
        int result = Native.keventAddUserEvent(kqueue, WAKE_IDENT);
        if (result < 0) {
            FileDescriptor.close(kqueue);
            throw new IllegalStateException("keventAddUserEvent: " + ErrorsStaticallyReferencedJniMethods.strError(-result));
        }
    }

    /** Queues a change for the descriptor; it reaches the kernel with the next wait. */
    public void register(int fd, short filter, short flags, Handler handler) {
        if (fd >= handlers.length) {
            Handler[] larger = new Handler[Math.max(fd + 1, handlers.length * 2)];
            System.arraycopy(handlers, 0, larger, 0, handlers.length);
            handlers = larger;
        }
        if (handler != null) {
            handlers[fd] = handler;
        }
        if ((changeCount + 1) * SIZE > changes.capacity()) {
            // Rare: more changes in one turn than the list holds. Grow it; the old records move along.
            ByteBuffer larger = ByteBuffer.allocateDirect(changes.capacity() * 2).order(ByteOrder.nativeOrder());
            changes.clear().limit(changeCount * SIZE);
            larger.put(changes).clear();
            changes = larger;
            changesAddress = Buffer.memoryAddress0(larger);
        }
        KQueueEventArray.evSet(changesAddress + (long) changeCount * SIZE, fd, filter, flags, 0);
        changeCount++;
    }

    /** Forgets the descriptor and closes it; closing drops its registrations in the kqueue. */
    public void close(int fd) {
        if (fd < handlers.length) {
            handlers[fd] = null;
        }
        FileDescriptor.close(fd);
    }

    /** Wakes the loop from another thread. */
    public void wakeup() {
        Native.keventTriggerUserEvent(kqueue, WAKE_IDENT);
    }

    /** Makes run() return after its current turn; callable from any thread. */
    public void stop() {
        stopped = true;
        wakeup();
    }

    public long waits() {
        return waits;
    }

    /** Runs turns until stop(); each turn waits at most timeoutMillis. */
    public void run(int timeoutMillis) {
        while (!stopped) {
            runOnce(timeoutMillis);
        }
    }

    /** One turn: submit queued changes, wait, dispatch. Returns the number of events. */
    public int runOnce(int timeoutMillis) {
        int ready = submit(timeoutMillis / 1000, (timeoutMillis % 1000) * 1_000_000);
        for (int i = 0; i < ready; i++) {
            int base = i * SIZE;
            int ident = (int) events.getLong(base + IDENT);
            short filter = events.getShort(base + FILTER);
            short flags = events.getShort(base + FLAGS);
            long data = events.getLong(base + DATA);
            if (filter == EVFILT_USER) {
                continue;
            }
            if ((flags & EV_ERROR) != 0) {
                // A change for a descriptor closed meanwhile: nothing to do. Any other failed
                // change (the kernel out of memory, say) would leave a descriptor that is never
                // reported again, so it ends the loop instead of going unnoticed.
                if (data != EBADF && data != ENOENT) {
                    throw new IllegalStateException("kevent change for descriptor " + ident + ": "
                            + ErrorsStaticallyReferencedJniMethods.strError((int) data));
                }
                continue;
            }
            Handler handler = ident < handlers.length ? handlers[ident] : null;
            if (handler != null) {
                handler.ready(filter, flags, data);
            }
        }
        return ready;
    }

    private int submit(int seconds, int nanos) {
        int count = changeCount;
        changeCount = 0;
        waits++;
        int ready = Native.keventWait(kqueue, changesAddress, count, eventsAddress, CAPACITY, seconds, nanos);
        if (ready < 0) {
            throw new IllegalStateException("keventWait: " + ErrorsStaticallyReferencedJniMethods.strError(-ready));
        }
        return ready;
    }

    @Override
    public void close() {
        FileDescriptor.close(kqueue);
    }
}
