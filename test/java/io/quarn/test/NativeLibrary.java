package io.quarn.test;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** Loads the built library (once per JVM) and runs child JVMs for tests that must fail a load. */
public final class NativeLibrary {
    private static boolean loaded;
    private static boolean shadedLoaded;

    private NativeLibrary() {
    }

    public static synchronized void load() {
        if (!loaded) {
            System.load(property("quarn.library"));
            loaded = true;
        }
    }

    public static synchronized void loadShaded() {
        if (!shadedLoaded) {
            System.load(property("quarn.library.shaded"));
            shadedLoaded = true;
        }
    }

    public static String property(String name) {
        String value = System.getProperty(name);
        if (value == null) {
            throw new IllegalStateException("system property " + name + " is not set");
        }
        return value;
    }

    /** A scratch directory of the build for files and sockets the tests make. */
    public static Path workDir() throws IOException {
        Path dir = Path.of(property("quarn.work"), "scratch");
        Files.createDirectories(dir);
        return dir;
    }

    /** The result of a child JVM. */
    public record ChildResult(int exitCode, String stdout, String stderr) {
    }

    /** Runs {@code mainClass} in a child JVM with JNI checking and the given classpath. */
    public static ChildResult runChild(String classpath, String mainClass, String... args)
            throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(Path.of(System.getProperty("java.home"), "bin", "java").toString());
        command.add("-Xcheck:jni");
        command.add("-cp");
        command.add(classpath);
        command.add(mainClass);
        command.addAll(List.of(args));
        Path out = Files.createTempFile(workDir(), "child", ".out");
        Path err = Files.createTempFile(workDir(), "child", ".err");
        try {
            Process process = new ProcessBuilder(command).redirectOutput(out.toFile()).redirectError(err.toFile())
                    .start();
            if (!process.waitFor(60, TimeUnit.SECONDS)) {
                process.destroyForcibly().waitFor();
                throw new IllegalStateException("child JVM did not finish in 60 s: " + command);
            }
            return new ChildResult(process.exitValue(), Files.readString(out), Files.readString(err));
        } finally {
            Files.deleteIfExists(out);
            Files.deleteIfExists(err);
        }
    }
}
