package io.quarn.channel.kqueue;

import java.io.IOException;
import java.io.InputStream;
import java.net.URL;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Locale;
import java.util.Properties;

/**
 * Loads the native library from the class path, where the platform's jar (classifier
 * {@code linux-x86_64}, {@code linux-aarch_64} or {@code freebsd-aarch_64}) keeps it under
 * {@code META-INF/native/<classifier>/}, so that a jar built for one system never hands its library
 * to another. The classes and the library may come from different jars: the library is looked up
 * through the class loader of these classes, which sees every jar of the class path.
 *
 * <p>The library learns its Java package prefix from its own file name, so a relocated copy of
 * these classes (say under {@code shaded.prefix.}) extracts the library as
 * {@code libshaded_prefix_quarn_transport_native_kqueue_<arch>.so}. It takes a library shipped
 * under that name, and otherwise the plain library of the platform's jar. The file is extracted
 * into a private temporary directory and deleted when the JVM exits.
 *
 * <p>Beside the library lies its version file; a library whose version is not the version of
 * these classes is refused.
 */
public final class NativeLibraryLoader {
    private static final String LIBRARY_NAME = "quarn_transport_native_kqueue";
    private static boolean loaded;

    private NativeLibraryLoader() {
    }

    /** The file name the library has in this copy of the classes, for example libquarn_..._x86_64.so. */
    public static String libraryFileName() {
        return "lib" + packagePrefix() + LIBRARY_NAME + "_" + architecture() + ".so";
    }

    /** Where this copy of the classes looks for its library first, for the running system. */
    public static String libraryResource() {
        return "META-INF/native/" + classifier() + "/" + libraryFileName();
    }

    /** The classifier of the jar that carries the running system's library, for example linux-x86_64. */
    public static String classifier() {
        return system() + "-" + architecture();
    }

    /** The version of these classes, which their library must have too. */
    public static String version() {
        try (InputStream in = NativeLibraryLoader.class.getResourceAsStream("version.properties")) {
            return in == null ? null : readVersion(in);
        } catch (IOException e) {
            return null;
        }
    }

    /** The relocation prefix of this copy of the classes with '_' between its parts: empty, or say shaded_prefix_. */
    private static String packagePrefix() {
        String ownPackage = NativeLibraryLoader.class.getPackageName();
        // Spelled in pieces so that a relocating tool, which rewrites the package in string
        // constants too, leaves it alone.
        String plainPackage = String.join(".", "io", "quarn", "channel", "kqueue");
        return ownPackage.substring(0, ownPackage.length() - plainPackage.length()).replace('.', '_');
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

    /** Extracts, checks and loads the library once per class loader. */
    public static synchronized void load() {
        if (loaded) {
            return;
        }
        String name = libraryFileName();
        String folder = "META-INF/native/" + classifier() + "/";
        String plainName = "lib" + LIBRARY_NAME + "_" + architecture() + ".so";
        ClassLoader classLoader = NativeLibraryLoader.class.getClassLoader();
        URL library = classLoader.getResource(folder + name);
        if (library == null && !name.equals(plainName)) {
            library = classLoader.getResource(folder + plainName);
        }
        String classesVersion = version();
        if (library == null) {
            throw new UnsatisfiedLinkError("no library for " + System.getProperty("os.name") + "/"
                    + System.getProperty("os.arch") + " on the class path: looked for " + folder + name
                    + (name.equals(plainName) ? "" : " and " + folder + plainName) + "; add the dependency "
                    + String.join(".", "io", "quarn") + ":quarn-transport-native-kqueue:" + classesVersion + ":"
                    + classifier());
        }
        String resource = library.toString();
        try {
            checkVersion(library, classesVersion);
            Path dir = Files.createTempDirectory("quarn-native",
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            // deleteOnExit runs in reverse order: the file goes before its directory.
            dir.toFile().deleteOnExit();
            Path file = dir.resolve(name);
            file.toFile().deleteOnExit();
            try (InputStream in = library.openStream()) {
                Files.copy(in, file, StandardCopyOption.REPLACE_EXISTING);
            }
            System.load(file.toString());
            loaded = true;
        } catch (IOException e) {
            UnsatisfiedLinkError error = new UnsatisfiedLinkError("cannot extract " + resource + ": " + e);
            error.initCause(e);
            throw error;
        }
    }

    /** Refuses the library unless the version file beside it, in the same jar, names the classes' version. */
    private static void checkVersion(URL library, String classesVersion) throws IOException {
        String versionFile = "lib" + LIBRARY_NAME + "_" + architecture() + ".properties";
        String libraryVersion;
        try (InputStream in = new URL(library, versionFile).openStream()) {
            libraryVersion = readVersion(in);
        } catch (IOException e) {
            libraryVersion = null;
        }
        if (classesVersion == null || !classesVersion.equals(libraryVersion)) {
            throw new UnsatisfiedLinkError("the library " + library + " is version "
                    + (libraryVersion == null ? "unknown (no version in " + versionFile + " beside it)" : libraryVersion)
                    + " but the classes of " + NativeLibraryLoader.class.getName() + " are version "
                    + (classesVersion == null ? "unknown (no version.properties beside them)" : classesVersion)
                    + ": use the main jar and the " + classifier() + " jar of the same version");
        }
    }

    private static String readVersion(InputStream in) throws IOException {
        Properties properties = new Properties();
        properties.load(in);
        String version = properties.getProperty("version");
        return version == null ? null : version.trim();
    }
}
