package io.quarn.channel.unix;

import static org.junit.jupiter.api.Assertions.assertEquals;

import io.quarn.test.NativeLibrary;
import java.nio.ByteBuffer;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

class LimitsAndBufferTest {
    @BeforeAll
    static void load() {
        NativeLibrary.load();
    }

    @Test
    void limitsAreThePlatformsConstants() {
        assertEquals(Long.MAX_VALUE, LimitsStaticallyReferencedJniMethods.ssizeMax());
        assertEquals(1024, LimitsStaticallyReferencedJniMethods.iovMax());
        assertEquals(1024, LimitsStaticallyReferencedJniMethods.uioMaxIov());
        assertEquals(Long.BYTES, LimitsStaticallyReferencedJniMethods.sizeOfjlong());
        int expectedSunPath = System.getProperty("os.name").equals("Linux") ? 108 : 104;
        assertEquals(expectedSunPath, LimitsStaticallyReferencedJniMethods.udsSunPathSize());
    }

    @Test
    void bufferAddressesFollowSlicesAndHeapBuffersHaveNone() {
        assertEquals(8, Buffer.addressSize0());
        ByteBuffer direct = ByteBuffer.allocateDirect(64);
        long base = Buffer.memoryAddress0(direct);
        assertEquals(base + 16, Buffer.memoryAddress0(direct.slice(16, 8)));
        direct.position(5);
        assertEquals(base, Buffer.memoryAddress0(direct), "the address ignores the position");
        assertEquals(0, Buffer.memoryAddress0(ByteBuffer.allocate(8)));
    }
}
