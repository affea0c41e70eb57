package io.quarn.test;

/** Child-JVM entry: loads the library from a jar through its loader class, by reflection so
 * that the same probe serves the plain and the relocated copy of the classes. */
public final class JarLoadProbe {
    private JarLoadProbe() {
    }

    public static void main(String[] args) throws Exception {
        String prefix = args[0];
        Class<?> loader = Class.forName(prefix + "io.quarn.channel.kqueue.NativeLibraryLoader");
        System.out.println("file=" + loader.getMethod("libraryFileName").invoke(null));
        loader.getMethod("load").invoke(null);
        Class<?> limits = Class.forName(prefix + "io.quarn.channel.unix.LimitsStaticallyReferencedJniMethods");
        System.out.println("iovMax=" + limits.getMethod("iovMax").invoke(null));
    }
}
