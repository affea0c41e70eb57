package io.quarn.channel.kqueue;

import static org.junit.jupiter.api.Assertions.assertEquals;

import io.quarn.channel.unix.Buffer;
import io.quarn.test.NativeLibrary;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The kevent record layout, the event constants and the change records evSet writes. */
class KQueueEventArrayTest {
    @BeforeAll
    static void load() {
        NativeLibrary.load();
        NativeLibrary.loadShaded();
    }

    @Test
    void layoutIsTheSixtyFourByteRecord() {
        assertEquals(64, Native.sizeofKEvent());
        assertEquals(0, Native.offsetofKEventIdent());
        assertEquals(8, Native.offsetofKEventFilter());
        assertEquals(10, Native.offsetofKEventFlags());
        assertEquals(12, Native.offsetofKEventFFlags());
        assertEquals(16, Native.offsetofKeventData());
        assertEquals(64, shaded.prefix.io.quarn.channel.kqueue.Native.sizeofKEvent(), "shaded copy");
    }

    @Test
    void constantsAreFreeBsdValuesAsShorts() {
        assertEquals((short) -1, KQueueStaticallyReferencedJniMethods.evfiltRead());
        assertEquals((short) -2, KQueueStaticallyReferencedJniMethods.evfiltWrite());
        assertEquals((short) -11, KQueueStaticallyReferencedJniMethods.evfiltUser());
        assertEquals((short) 1, KQueueStaticallyReferencedJniMethods.evAdd());
        assertEquals((short) 4, KQueueStaticallyReferencedJniMethods.evEnable());
        assertEquals((short) 8, KQueueStaticallyReferencedJniMethods.evDisable());
        assertEquals((short) 2, KQueueStaticallyReferencedJniMethods.evDelete());
        assertEquals((short) 32, KQueueStaticallyReferencedJniMethods.evClear());
        assertEquals((short) 16384, KQueueStaticallyReferencedJniMethods.evError());
        // The bit pattern 0x8000 read as a short: tests the bit in a flags field read as a short.
        short eof = KQueueStaticallyReferencedJniMethods.evEOF();
        assertEquals((short) -32768, eof);
        assertEquals(0x8000, eof & 0xFFFF);
        // FreeBSD has no socket filter and none of its notes.
        assertEquals((short) 0, KQueueStaticallyReferencedJniMethods.evfiltSock());
        assertEquals((short) 0, KQueueStaticallyReferencedJniMethods.noteReadClosed());
        assertEquals((short) 0, KQueueStaticallyReferencedJniMethods.noteConnReset());
        assertEquals((short) 0, KQueueStaticallyReferencedJniMethods.noteDisconnected());
        assertEquals((short) -11, shaded.prefix.io.quarn.channel.kqueue.KQueueStaticallyReferencedJniMethods.evfiltUser(),
                "shaded copy");
    }

    @Test
    void evSetSignExtendsTheIdentAndClearsTheTailOfADirtyRecord() {
        ByteBuffer records = ByteBuffer.allocateDirect(3 * 64).order(ByteOrder.nativeOrder());
        for (int i = 0; i < records.capacity(); i++) {
            records.put(i, (byte) 0x5A);
        }
        long address = Buffer.memoryAddress0(records);
        KQueueEventArray.evSet(address + 64, -1, KQueueStaticallyReferencedJniMethods.evfiltRead(),
                (short) (KQueueStaticallyReferencedJniMethods.evAdd() | KQueueStaticallyReferencedJniMethods.evEOF()),
                0x81234567);

        assertEquals(-1L, records.getLong(64), "ident: all 64 bits set");
        assertEquals((short) -1, records.getShort(64 + 8));
        assertEquals((short) 0x8001, records.getShort(64 + 10));
        assertEquals(0x81234567, records.getInt(64 + 12));
        for (int offset = 16; offset < 64; offset++) {
            assertEquals(0, records.get(64 + offset), "data, udata and ext cleared at offset " + offset);
        }
        assertEquals((byte) 0x5A, records.get(63), "the record before is untouched");
        assertEquals((byte) 0x5A, records.get(128), "the record after is untouched");

        KQueueEventArray.evSet(address, 7, KQueueStaticallyReferencedJniMethods.evfiltWrite(), (short) 0, 0);
        assertEquals(7L, records.getLong(0), "a positive ident is not sign-extended");
        assertEquals((short) -2, records.getShort(8));
    }

    @Test
    void shadedCopyWritesTheSameRecord() {
        ByteBuffer record = ByteBuffer.allocateDirect(64).order(ByteOrder.nativeOrder());
        shaded.prefix.io.quarn.channel.kqueue.KQueueEventArray.evSet(Buffer.memoryAddress0(record), 9, (short) -11,
                (short) 1, 0);
        assertEquals(9L, record.getLong(0));
        assertEquals((short) -11, record.getShort(8));
    }
}
