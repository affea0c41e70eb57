package io.quarn.channel.unix;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.channel.ChannelException;
import io.quarn.test.NativeLibrary;
import io.quarn.test.ThrowProbe;
import java.io.IOException;
import java.net.PortUnreachableException;
import java.nio.channels.ClosedChannelException;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

class ErrorsTest {
    private static long plainCopy;
    private static long shadedCopy;

    @BeforeAll
    static void load() {
        NativeLibrary.load();
        NativeLibrary.loadShaded();
        plainCopy = ThrowProbe.bind(NativeLibrary.property("quarn.library"));
        shadedCopy = ThrowProbe.bind(NativeLibrary.property("quarn.library.shaded"));
        assertNotEquals(0, plainCopy);
        assertNotEquals(0, shadedCopy);
    }

    @Test
    void errnoConstantsAreThePlatformsOwn() {
        assertEquals(ErrorsStaticallyReferencedJniMethods.errnoEAGAIN(),
                ErrorsStaticallyReferencedJniMethods.errnoEWOULDBLOCK());
        int[] values = {ErrorsStaticallyReferencedJniMethods.errnoENOENT(),
            ErrorsStaticallyReferencedJniMethods.errnoENOTCONN(), ErrorsStaticallyReferencedJniMethods.errnoEBADF(),
            ErrorsStaticallyReferencedJniMethods.errnoEPIPE(), ErrorsStaticallyReferencedJniMethods.errnoECONNRESET(),
            ErrorsStaticallyReferencedJniMethods.errnoEAGAIN(), ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS(),
            ErrorsStaticallyReferencedJniMethods.errorECONNREFUSED(), ErrorsStaticallyReferencedJniMethods.errorEISCONN(),
            ErrorsStaticallyReferencedJniMethods.errorEALREADY(), ErrorsStaticallyReferencedJniMethods.errorENETUNREACH()};
        if (System.getProperty("os.name").equals("Linux")) {
            assertEquals(java.util.Arrays.toString(new int[] {2, 107, 9, 32, 104, 11, 115, 111, 106, 114, 101}),
                    java.util.Arrays.toString(values));
        } else {
            assertEquals(values.length, java.util.Arrays.stream(values).distinct().count());
        }
        // The shaded copy registers the same natives on its own classes.
        assertEquals(ErrorsStaticallyReferencedJniMethods.errnoEPIPE(),
                shaded.prefix.io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods.errnoEPIPE());
    }

    @Test
    void strErrorGivesTheSystemsTextAndKeepsTheSign() {
        int ebadf = ErrorsStaticallyReferencedJniMethods.errnoEBADF();
        assertEquals("Bad file descriptor", ErrorsStaticallyReferencedJniMethods.strError(ebadf));
        String negative = ErrorsStaticallyReferencedJniMethods.strError(-ebadf);
        assertNotEquals("Bad file descriptor", negative, "a negative number is not made positive");
        assertFalse(negative.isEmpty());
    }

    @Test
    void channelExceptionIsThrownThroughThePrefixedClass() {
        int ebadf = ErrorsStaticallyReferencedJniMethods.errnoEBADF();
        RuntimeException thrown = assertThrows(RuntimeException.class,
                () -> ThrowProbe.call(shadedCopy, "throwChannelExceptionErrorNo", "getsockopt() failed: ", -ebadf));
        assertEquals(shaded.prefix.io.quarn.channel.ChannelException.class, thrown.getClass());
        assertEquals("getsockopt() failed: Bad file descriptor", thrown.getMessage());

        ChannelException plainThrown = assertThrows(ChannelException.class,
                () -> ThrowProbe.call(plainCopy, "throwChannelExceptionErrorNo", "setsockopt() failed: ", ebadf));
        assertEquals("setsockopt() failed: Bad file descriptor", plainThrown.getMessage());
    }

    @Test
    void errnoThrowsBuildTheirMessageFromPrefixAndText() {
        int epipe = ErrorsStaticallyReferencedJniMethods.errnoEPIPE();
        String text = ErrorsStaticallyReferencedJniMethods.strError(epipe);
        IOException io = assertThrows(IOException.class,
                () -> ThrowProbe.call(plainCopy, "throwIOExceptionErrorNo", "write() failed: ", -epipe));
        assertEquals(IOException.class, io.getClass());
        assertEquals("write() failed: " + text, io.getMessage());
        RuntimeException runtime = assertThrows(RuntimeException.class,
                () -> ThrowProbe.call(plainCopy, "throwRuntimeExceptionErrorNo", null, epipe));
        assertEquals(RuntimeException.class, runtime.getClass());
        assertEquals(text, runtime.getMessage());
        // The most negative int has no positive counterpart; it still gives a message.
        IOException extreme = assertThrows(IOException.class,
                () -> ThrowProbe.call(plainCopy, "throwIOExceptionErrorNo", "p: ", Integer.MIN_VALUE));
        assertTrue(extreme.getMessage().startsWith("p: ") && extreme.getMessage().length() > 3, extreme.getMessage());
    }

    @Test
    void plainThrowsCarryTheCallersMessage() {
        assertEquals("r", assertThrows(RuntimeException.class,
                () -> ThrowProbe.call(plainCopy, "throwRuntimeException", "r", 0)).getMessage());
        IOException io = assertThrows(IOException.class, () -> ThrowProbe.call(plainCopy, "throwIOException", "i", 0));
        assertEquals(IOException.class, io.getClass());
        assertEquals("i", io.getMessage());
        assertEquals("unreachable", assertThrows(PortUnreachableException.class,
                () -> ThrowProbe.call(plainCopy, "throwPortUnreachableException", "unreachable", 0)).getMessage());
    }

    @Test
    void closedChannelHasNoMessageAndOutOfMemoryAnEmptyOne() {
        ClosedChannelException closed = assertThrows(ClosedChannelException.class,
                () -> ThrowProbe.call(plainCopy, "throwClosedChannelException", null, 0));
        assertNull(closed.getMessage());
        OutOfMemoryError oom = assertThrows(OutOfMemoryError.class,
                () -> ThrowProbe.call(plainCopy, "throwOutOfMemoryError", null, 0));
        assertEquals("", oom.getMessage());
    }
}
