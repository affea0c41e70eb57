package io.quarn.channel.kqueue;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.channel.unix.LimitsStaticallyReferencedJniMethods;
import io.quarn.test.NativeLibrary;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * The classes come from the main jar and the library from the platform's jar: the loader finds,
 * checks and extracts it, and the library finds its package prefix in the extracted file's name.
 */
class NativeJarTest {
    private static final String PLAIN = "libquarn_transport_native_kqueue_" + NativeLibraryLoader.architecture() + ".so";
    private static final String SHADED = "libshaded_prefix_quarn_transport_native_kqueue_"
            + NativeLibraryLoader.architecture() + ".so";

    @ParameterizedTest(name = "{0} + {1}")
    @CsvSource({
        // The plain classes and library; the relocated classes with the library renamed for them,
        // and with the plain library of the platform's jar, which they extract under their own name.
        "quarn.jar,        quarn.native.jar,        '',             @PLAIN",
        "quarn.jar.shaded, quarn.native.jar.shaded, shaded.prefix., @SHADED",
        "quarn.jar.shaded, quarn.native.jar,        shaded.prefix., @SHADED",
    })
    void classesLoadTheLibraryOfThePlatformJar(String classes, String library, String prefix, String file)
            throws Exception {
        NativeLibrary.load();
        NativeLibrary.ChildResult result = NativeLibrary.runChild(NativeLibrary.property(classes) + ":"
                + NativeLibrary.property(library) + ":" + NativeLibrary.property("quarn.tests"),
                "io.quarn.test.JarLoadProbe", prefix);
        assertEquals("file=" + expand(file) + "\niovMax=" + LimitsStaticallyReferencedJniMethods.iovMax() + "\n",
                result.stdout(), result.stderr());
    }

    @ParameterizedTest(name = "{0} + {1}")
    @CsvSource(delimiter = '|', value = {
        // No platform jar: the message names the file looked for and the dependency that has it.
        "quarn.jar | quarn.tests                  | looked for META-INF/native/@CLASSIFIER/@PLAIN; add the "
                + "dependency io.quarn:quarn-transport-native-kqueue:@VERSION:@CLASSIFIER",
        // A library of another version, or of none, is refused and both versions are named.
        "quarn.jar | quarn.native.jar.other       | is version 0.0.0-other but the classes of "
                + "io.quarn.channel.kqueue.NativeLibraryLoader are version @VERSION",
        "quarn.jar | quarn.native.jar.unversioned | is version unknown (no version in",
        // Classes without their version file refuse every library.
        "quarn.classes | quarn.native.jar         | are version unknown (no version.properties beside them)",
    })
    void loaderRefusesAMissingOrMismatchedLibrary(String classes, String library, String message) throws Exception {
        NativeLibrary.load();
        NativeLibrary.ChildResult result = NativeLibrary.runChild(NativeLibrary.property(classes) + ":"
                + NativeLibrary.property(library) + ":" + NativeLibrary.property("quarn.tests"),
                "io.quarn.test.JarLoadProbe", "");
        String expected = expand(message);
        assertNotEquals(0, result.exitCode());
        assertTrue(result.stderr().contains(expected), "expected \"" + expected + "\" in " + result.stderr());
        assertTrue(result.stdout().startsWith("file=" + PLAIN), result.stdout());
    }

    private static String expand(String text) {
        return text.replace("@PLAIN", PLAIN).replace("@SHADED", SHADED).replace("@CLASSIFIER",
                NativeLibraryLoader.classifier()).replace("@VERSION", NativeLibrary.property("quarn.version"));
    }
}
