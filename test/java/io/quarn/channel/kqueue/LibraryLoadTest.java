package io.quarn.channel.kqueue;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.LimitsStaticallyReferencedJniMethods;
import io.quarn.test.NativeLibrary;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import javax.tools.JavaCompiler;
import javax.tools.ToolProvider;
import org.junit.jupiter.api.Test;

class LibraryLoadTest {
    @Test
    void loadsUnprefixedAndRegistersOnPlainClassNames() {
        NativeLibrary.load();
        assertEquals(8, Buffer.addressSize0());
        assertEquals(8, LimitsStaticallyReferencedJniMethods.sizeOfjlong());
        assertEquals(Long.MAX_VALUE, LimitsStaticallyReferencedJniMethods.ssizeMax());
        assertEquals(LimitsStaticallyReferencedJniMethods.iovMax(), LimitsStaticallyReferencedJniMethods.uioMaxIov());
        ByteBuffer direct = ByteBuffer.allocateDirect(16);
        assertTrue(Buffer.memoryAddress0(direct) != 0);
        assertEquals(0, Buffer.memoryAddress0(ByteBuffer.allocate(16)), "a heap buffer has no address");
    }

    @Test
    void loadsUnderPackagePrefixTakenFromItsFileName() {
        NativeLibrary.load();
        NativeLibrary.loadShaded();
        assertEquals(8, shaded.prefix.io.quarn.channel.unix.Buffer.addressSize0());
        assertEquals(LimitsStaticallyReferencedJniMethods.udsSunPathSize(),
                shaded.prefix.io.quarn.channel.unix.LimitsStaticallyReferencedJniMethods.udsSunPathSize());
    }

    @Test
    void badlyNamedCopyFailsWithFatalLineAndUnsatisfiedLinkError() throws Exception {
        String library = NativeLibrary.property("quarn.library.badname");
        NativeLibrary.ChildResult result = NativeLibrary.runChild(classpath(), "io.quarn.test.LoadProbe", library);
        assertEquals("FATAL: transport-native-kqueue JNI encountered unexpected dlinfo.dli_fname: " + library + "\n",
                result.stderr().lines().filter(l -> l.startsWith("FATAL")).findFirst().orElse("<none>") + "\n",
                result.stderr());
        assertTrue(result.stdout().startsWith("UnsatisfiedLinkError"), result.stdout());
    }

    @Test
    void classLackingANativeFailsTheLoad() throws Exception {
        NativeLibrary.ChildResult result = runWithReplacedClass("io/quarn/channel/unix/LimitsStaticallyReferencedJniMethods",
                List.of("package io.quarn.channel.unix;",
                        "public final class LimitsStaticallyReferencedJniMethods {",
                        "    public static native long ssizeMax();",
                        "    public static native int iovMax();",
                        "    public static native int uioMaxIov();",
                        "    public static native int sizeOfjlong();",
                        "}"));
        // The registration's own NoSuchMethodError is what the failed load leaves the VM to raise.
        assertTrue(result.stdout().startsWith("NoSuchMethodError: ") && result.stdout().contains("udsSunPathSize"),
                result.stdout() + result.stderr());
        // The kqueue natives registered before the failure point into the unmapped library no more.
        assertTrue(result.stdout().contains("Native.sizeofKEvent raised UnsatisfiedLinkError\n"),
                result.stdout() + result.stderr());
    }

    @Test
    void moduleFailingAfterItsRegistrationLeavesNoNativeBehind() throws Exception {
        // The BSD socket module registers its natives, then misses the credentials constructor.
        NativeLibrary.ChildResult result = runWithReplacedClass("io/quarn/channel/unix/PeerCredentials",
                List.of("package io.quarn.channel.unix;", "public final class PeerCredentials {", "}"));
        assertTrue(result.stdout().startsWith("NoSuchMethodError: "), result.stdout() + result.stderr());
        for (String call : List.of("Native.sizeofKEvent", "Socket.isIPv6Preferred", "BsdSocket.getTcpNoPush")) {
            assertTrue(result.stdout().contains(call + " raised UnsatisfiedLinkError\n"),
                    call + ":\n" + result.stdout() + result.stderr());
        }
        assertEquals(0, result.exitCode(), result.stderr());
    }

    /** Loads the library in a child JVM whose class path puts a replacement class first. */
    private static NativeLibrary.ChildResult runWithReplacedClass(String className, List<String> lines)
            throws Exception {
        Path dir = Files.createTempDirectory(NativeLibrary.workDir(), "replaced");
        try {
            Path source = dir.resolve("src/" + className + ".java");
            Files.createDirectories(source.getParent());
            Files.writeString(source, String.join("\n", lines));
            Path classes = dir.resolve("classes");
            JavaCompiler compiler = ToolProvider.getSystemJavaCompiler();
            assertEquals(0, compiler.run(null, null, null, "-d", classes.toString(), source.toString()));
            NativeLibrary.ChildResult result = NativeLibrary.runChild(classes + ":" + classpath(),
                    "io.quarn.test.LoadProbe", NativeLibrary.property("quarn.library"), "callAfterFailure");
            assertFalse(result.stderr().contains("WARNING"), "the child's JNI checks: " + result.stderr());
            return result;
        } finally {
            deleteTree(dir);
        }
    }

    @Test
    void childLoadsTheRealLibrary() throws Exception {
        NativeLibrary.ChildResult result = NativeLibrary.runChild(classpath(), "io.quarn.test.LoadProbe",
                NativeLibrary.property("quarn.library"), "iovMax");
        assertEquals("LOADED\niovMax=" + LimitsStaticallyReferencedJniMethods.iovMax() + "\n", result.stdout(),
                result.stderr());
    }

    private static String classpath() {
        return NativeLibrary.property("quarn.tests") + ":" + NativeLibrary.property("quarn.classes");
    }

    private static void deleteTree(Path dir) throws IOException {
        try (var paths = Files.walk(dir)) {
            paths.sorted(java.util.Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        }
    }
}
