package io.quarn.channel.kqueue;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.channel.unix.LimitsStaticallyReferencedJniMethods;
import io.quarn.test.NativeLibrary;
import org.junit.jupiter.api.Test;

/** The jar alone carries the library: its loader extracts it and the library finds its prefix. */
class NativeJarTest {
    @Test
    void plainJarLoadsItsLibrary() throws Exception {
        NativeLibrary.load();
        NativeLibrary.ChildResult result = NativeLibrary.runChild(
                NativeLibrary.property("quarn.jar") + ":" + NativeLibrary.property("quarn.tests"),
                "io.quarn.test.JarLoadProbe", "");
        assertEquals("file=libquarn_transport_native_kqueue_" + NativeLibraryLoader.architecture() + ".so\niovMax="
                + LimitsStaticallyReferencedJniMethods.iovMax() + "\n", result.stdout(), result.stderr());
    }

    @Test
    void relocatedJarFindsItsPackagePrefix() throws Exception {
        NativeLibrary.load();
        NativeLibrary.ChildResult result = NativeLibrary.runChild(
                NativeLibrary.property("quarn.jar.shaded") + ":" + NativeLibrary.property("quarn.tests"),
                "io.quarn.test.JarLoadProbe", "shaded.prefix.");
        assertEquals("file=libshaded_prefix_quarn_transport_native_kqueue_" + NativeLibraryLoader.architecture()
                + ".so\niovMax=" + LimitsStaticallyReferencedJniMethods.iovMax() + "\n", result.stdout(),
                result.stderr());
    }

    @Test
    void jarWithoutThisSystemsLibraryNamesTheFileItLookedFor() throws Exception {
        NativeLibrary.load();
        // The classes alone: a jar built for another system holds no library for this one.
        NativeLibrary.ChildResult result = NativeLibrary.runChild(
                NativeLibrary.property("quarn.classes") + ":" + NativeLibrary.property("quarn.tests"),
                "io.quarn.test.JarLoadProbe", "");
        String system = System.getProperty("os.name").equals("FreeBSD") ? "freebsd" : "linux";
        assertNotEquals(0, result.exitCode());
        assertTrue(result.stderr().contains("looked for META-INF/native/" + system
                + "/libquarn_transport_native_kqueue_" + NativeLibraryLoader.architecture() + ".so"), result.stderr());
    }
}
