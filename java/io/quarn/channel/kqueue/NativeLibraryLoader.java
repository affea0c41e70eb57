package io.quarn.channel.kqueue;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Locale;

/**
 * Loads the native library that ships inside the jar under {@code META-INF/native/<system>/}:
 * {@code linux} or {@code freebsd}, so that a jar built for one system never hands its library
 * to another.
 *
 * <p>The library learns its Java package prefix from its own file name, so a relocated copy
 * of these classes (say under {@code shaded.prefix.}) ships and extracts the library as
 * {@code libshaded_prefix_quarn_transport_native_kqueue_<arch>.so}. The file is extracted into a
 * private temporary directory and deleted when the JVM exits.
 */
public final class NativeLibraryLoader {
    private static final String LIBRARY_NAME = "quarn_transport_native_kqueue";
    private static boolean loaded;

    private NativeLibraryLoader() {
    }

    /** The file name the library has in this copy of the classes, for example libquarn_..._x86_64.so. */
    public static String libraryFileName() {
        String ownPackage = NativeLibraryLoader.class.getPackageName();
        // Spelled in pieces so that a relocating tool, which rewrites the package in string
        // constants too, leaves it alone.
        String plainPackage = String.join(".", "io", "quarn", "channel", "kqueue");
        String prefix = ownPackage.substring(0, ownPackage.length() - plainPackage.length()).replace('.', '_');
        return "lib" + prefix + LIBRARY_NAME + "_" + architecture() + ".so";
    }

    /** Where this copy of the classes finds its library in the jar, for the running system. */
    public static String libraryResource() {
        return "META-INF/native/" + system() + "/" + libraryFileName();
    }

    static String system() {
        String os = System.getProperty("os.name").toLowerCase(Locale.ROOT);
        if (os.startsWith("linux")) {
            return "linux";
        }
        if (os.startsWith("freebsd")) {
            return "freebsd";
        }
        throw new UnsatisfiedLinkError("no native transport for " + System.getProperty("os.name"));
    }

    static String architecture() {
        String arch = System.getProperty("os.arch").toLowerCase(Locale.ROOT);
        switch (arch) {
            case "amd64":
            case "x86_64":
                return "x86_64";
            case "aarch64":
            case "arm64":
                return "aarch_64";
            default:
                throw new UnsatisfiedLinkError("no native transport for " + arch);
        }
    }

    /** Extracts and loads the library once per class loader. */
    public static synchronized void load() {
        if (loaded) {
            return;
        }
        String name = libraryFileName();
        String resource = libraryResource();
        try (InputStream in = NativeLibraryLoader.class.getClassLoader().getResourceAsStream(resource)) {
            if (in == null) {
                throw new UnsatisfiedLinkError("the jar holds no library for " + System.getProperty("os.name") + "/"
                        + System.getProperty("os.arch") + ": looked for " + resource);
            }
            Path dir = Files.createTempDirectory("quarn-native",
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            // deleteOnExit runs in reverse order: the file goes before its directory.
            dir.toFile().deleteOnExit();
            Path file = dir.resolve(name);
            file.toFile().deleteOnExit();
            Files.copy(in, file, StandardCopyOption.REPLACE_EXISTING);
            System.load(file.toString());
            loaded = true;
        } catch (IOException e) {
            UnsatisfiedLinkError error = new UnsatisfiedLinkError("cannot extract " + resource + ": " + e);
            error.initCause(e);
            throw error;
        }
    }
}
